// The clock of record stamps: the processor's cycle counter only where it
// keeps time, CLOCK_MONOTONIC elsewhere, and either turned into the wall
// clock's time. Internal: its sources are compiled into this executable.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <string>

#include "../../src/platform/Cycles.h"
#include "../../src/platform/StampClock.h"

namespace zvk::test {
namespace {

using detail::StampSource;

std::int64_t now_us() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

// The kernel sets "nonstop_tsc" from the same CPUID bit (0x80000007 EDX 8).
bool kernel_says_invariant() {
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line)) {
        if (line.rfind("flags", 0) == 0) {
            return line.find(" nonstop_tsc") != std::string::npos;
        }
    }
    return false;
}

TEST(StampClock, CycleCounterOnlyWhereInvariant) {
#if defined(__x86_64__) || defined(__i386__)
    EXPECT_EQ(detail::stamps_are_cycles(), kernel_says_invariant());
#else
    EXPECT_FALSE(detail::stamps_are_cycles());
#endif
}

TEST(StampClock, EitherSourceGivesTheWallClock) {
    const bool invariant = detail::stamps_are_cycles();
    for (StampSource source : {StampSource::monotonic, StampSource::cycles}) {
        if (source == StampSource::cycles && !invariant) {
            continue;
        }
        detail::stamp_source.store(source);
        detail::StampClock clock;
        const std::int64_t before = now_us();
        const std::uint64_t stamp = detail::read_stamp();
        const std::int64_t after = now_us();
        // An older stamp, so that a wrong rate shows.
        while (now_us() < after + 20'000) {
        }
        clock.refresh();
        // A millisecond for the rate's error and the clocks' reads.
        EXPECT_GE(clock.to_us(stamp), before - 1000) << static_cast<int>(source);
        EXPECT_LE(clock.to_us(stamp), after + 1000) << static_cast<int>(source);
    }
    detail::stamp_source.store(invariant ? StampSource::cycles : StampSource::monotonic);
}

}  // namespace
}  // namespace zvk::test
