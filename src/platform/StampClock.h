// Turns lane stamps into wall-clock time, on the writer's thread. Where a
// stamp is the processor's time-stamp counter (read_stamp), its rate is
// measured against CLOCK_MONOTONIC from a reading taken when the library
// was loaded to the latest refresh, and CLOCK_REALTIME's distance from
// CLOCK_MONOTONIC is read at each refresh, so that a step of the wall
// clock moves the times of later records, not the rate. Elsewhere a stamp
// is CLOCK_MONOTONIC itself.
#pragma once

#include <cstdint>

namespace zvk::detail {

class StampClock {
public:
    // Reads the clocks now; before a batch of conversions.
    void refresh() noexcept;
    // µs since 1970 UTC of the moment `stamp` was taken.
    std::int64_t to_us(std::uint64_t stamp) const noexcept;

private:
    std::uint64_t now_stamp = 0;
    std::int64_t now_mono_ns = 0;
    std::int64_t real_minus_mono_ns = 0;
    double ns_per_stamp = 1.0;
};

}  // namespace zvk::detail
