// The system's clocks read as whole units: clock_gettime only, so a
// fatal-signal handler may read them too.
#pragma once

#include <time.h>

#include <cstdint>

namespace zvk::detail {

inline std::int64_t clock_ns(clockid_t clock) noexcept {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// For intervals and deadlines: never goes back.
inline std::int64_t monotonic_ms() noexcept { return clock_ns(CLOCK_MONOTONIC) / 1'000'000; }

// For a record's time: µs since 1970 UTC.
inline std::int64_t wall_clock_us() noexcept { return clock_ns(CLOCK_REALTIME) / 1000; }

}  // namespace zvk::detail
