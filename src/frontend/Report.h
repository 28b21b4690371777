// The library's own diagnostics: one line (rarely two) on standard output,
// never through its loggers.
#pragma once

#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace zvk::detail {

// Writes `line` and a line end to std::cout in one piece and flushes, so
// that lines reported by several threads at once never mix. Never throws.
void report(std::string_view line) noexcept;

// The words of a line that can repeat, for `target`: `first` for the
// first line of a series, else `count` is how many came since the last
// line said.
using RepeatWords = std::string (*)(const std::string& target, std::uint64_t count, bool first);

// A line that can repeat (a drop, a failing write): said at once the first
// time, then at most once a second per target and words, with the count of
// what came since the last line; a count still untold goes out at the next
// occurrence a second on, or by end_repeats. Never throws.
void report_repeated(const std::string& target, RepeatWords words,
                     std::uint64_t count = 1) noexcept;
// Says what is still untold of `target`'s repeating lines and forgets
// them: at its stop.
void end_repeats(const std::string& target) noexcept;

// Held across fork() by the service's fork handlers, after every lock a
// reporting thread may hold, so that the child never inherits it locked.
void lock_reports();
void unlock_reports();

// The words for errno value `err`: strerror_r, because several threads may
// report errors at once.
inline std::string error_text(int err) {
    char buf[256];
    return strerror_r(err, buf, sizeof buf);
}

// Digits built without any locale: a grouping global locale must not turn
// the seconds of a stamp into "1,773,576,000".
template <class Int>
std::string decimal(Int value) {
    char buf[24];
    auto result = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, result.ptr);
}

}  // namespace zvk::detail
