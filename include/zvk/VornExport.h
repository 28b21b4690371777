// libzvk-vorn.so.1 is built with hidden visibility: only classes marked
// ZVK_VORN_API are its interface, so internals can change without breaking
// programs linked against it.
#pragma once

#define ZVK_VORN_API __attribute__((visibility("default")))
