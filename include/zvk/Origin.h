#pragma once

#include <cstdint>

namespace zvk {

/// Where a record came from, as far as the library knows: what a target
/// that writes fields (the journal, JSON lines) adds to the caller's text.
/// Filled in at the hand-over; a target's write_msg finds it in the
/// Message. Vorn::log and Logger::log replace the strings by the library's
/// own copies, which stay valid for the life of the process, so that a
/// shared object that logged may be unloaded before its records are
/// written. Target::log takes them as they are: there they must be static.
struct Origin {
    const char* logger = nullptr;  ///< The logger's name; null when handed over without one.
    const char* file = nullptr;    ///< Where VORN_LOG was used (`__FILE__`), else null.
    const char* func = nullptr;    ///< The function it was used in, else null.
    int line = 0;                  ///< Its line, 0 when unknown.
    int thread = 0;                ///< The handing thread's kernel thread id (gettid).
    std::int64_t time_us = 0;      ///< Wall-clock time of the hand-over, µs since 1970 UTC.
};

}  // namespace zvk
