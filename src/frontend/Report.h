// The library's own diagnostics: one line (rarely two) on standard output,
// never through its loggers.
#pragma once

#include <string_view>

namespace zvk::detail {

// Writes `line` and a line end to std::cout in one piece and flushes, so
// that lines reported by several threads at once never mix. Never throws.
void report(std::string_view line) noexcept;

// Held across fork() by the service's fork handlers, after every lock a
// reporting thread may hold, so that the child never inherits it locked.
void lock_reports();
void unlock_reports();

}  // namespace zvk::detail
