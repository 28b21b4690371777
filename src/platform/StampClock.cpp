#include "StampClock.h"

#include <time.h>

#include "Cycles.h"

namespace zvk::detail {

namespace {

std::int64_t read_ns(clockid_t clock) noexcept {
    timespec now{};
    clock_gettime(clock, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

struct Reading {
    std::uint64_t stamp;
    std::int64_t mono_ns;
    static Reading now() noexcept { return {read_stamp(), read_ns(CLOCK_MONOTONIC)}; }
};

// The far end of the rate's measurement: the longer ago, the finer.
const Reading loaded = Reading::now();

}  // namespace

void StampClock::refresh() noexcept {
    Reading now = Reading::now();
    real_minus_mono_ns = read_ns(CLOCK_REALTIME) - read_ns(CLOCK_MONOTONIC);
    if (stamps_are_cycles()) {
        // Right after loading, the interval is too short to tell the rate:
        // 200 µs gives it to better than a part in a thousand.
        while (now.mono_ns - loaded.mono_ns < 200'000) {
            now = Reading::now();
        }
        ns_per_stamp = static_cast<double>(now.mono_ns - loaded.mono_ns) /
                       static_cast<double>(now.stamp - loaded.stamp);
    }
    now_stamp = now.stamp;
    now_mono_ns = now.mono_ns;
}

std::int64_t StampClock::to_us(std::uint64_t stamp) const noexcept {
    // Signed: another core's counter may be a little ahead of this one's.
    const auto age = static_cast<std::int64_t>(now_stamp - stamp);
    const auto mono_ns =
        now_mono_ns - static_cast<std::int64_t>(static_cast<double>(age) * ns_per_stamp);
    return (mono_ns + real_minus_mono_ns) / 1000;
}

}  // namespace zvk::detail
