/// \file
/// The export macro of libzvk-xmlutil.so.1.
#pragma once

/// libzvk-xmlutil.so.1 is built with hidden visibility: only classes marked
/// ZVK_XMLUTIL_API are its interface, so internals can change without
/// breaking programs linked against it.
#define ZVK_XMLUTIL_API __attribute__((visibility("default")))
