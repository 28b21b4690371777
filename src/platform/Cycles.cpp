#include "Cycles.h"

#if defined(__x86_64__) || defined(__i386__)
#include <cpuid.h>
#endif

namespace zvk::detail {

constinit std::atomic<StampSource> stamp_source{StampSource::undecided};

StampSource decide_stamp_source() noexcept {
    StampSource source = StampSource::monotonic;
#if defined(__x86_64__) || defined(__i386__)
    unsigned eax = 0;
    unsigned ebx = 0;
    unsigned ecx = 0;
    unsigned edx = 0;
    // GCC's header returns unsigned, Clang's int: the highest leaf either way.
    const auto highest = static_cast<unsigned>(__get_cpuid_max(0x8000'0000u, nullptr));
    if (highest >= 0x8000'0007u && __get_cpuid(0x8000'0007u, &eax, &ebx, &ecx, &edx) != 0 &&
        (edx & (1u << 8)) != 0) {
        source = StampSource::cycles;
    }
#endif
    StampSource expected = StampSource::undecided;
    // Another thread may have decided meanwhile: the same, but its word counts.
    if (!stamp_source.compare_exchange_strong(expected, source, std::memory_order_relaxed)) {
        return expected;
    }
    return source;
}

}  // namespace zvk::detail
