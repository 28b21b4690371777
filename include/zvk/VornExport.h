/// \file
/// The export macro of libzvk-vorn.so.1.
#pragma once

/// libzvk-vorn.so.1 is built with hidden visibility: only classes marked
/// ZVK_VORN_API are its interface, so internals can change without breaking
/// programs linked against it.
#define ZVK_VORN_API __attribute__((visibility("default")))
