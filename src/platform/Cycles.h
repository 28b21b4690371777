// The clock of record stamps and the processor's spin-wait hint: the
// time-stamp counter where it keeps time, CLOCK_MONOTONIC elsewhere.
#pragma once

#include <time.h>

#include <atomic>
#include <cstdint>

namespace zvk::detail {

enum class StampSource : int { undecided, cycles, monotonic };

// Decided on the first stamp and never changed: a stamp of one source is
// never compared with one of the other. Relaxed: each thread that finds it
// undecided decides the same way.
extern std::atomic<StampSource> stamp_source;
// The time-stamp counter on x86 when the processor says it is invariant
// (CPUID 0x80000007, EDX bit 8: one rate whatever the power state, in
// step across cores); CLOCK_MONOTONIC otherwise.
StampSource decide_stamp_source() noexcept;

inline std::uint64_t monotonic_stamp() noexcept {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint64_t>(now.tv_sec) * 1'000'000'000u +
           static_cast<std::uint64_t>(now.tv_nsec);
}

// A stamp taken now: later on any thread means larger, as far as the
// hardware keeps its counters in step. In counter ticks or in ns, as
// stamps_are_cycles() says.
inline std::uint64_t read_stamp() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    StampSource source = stamp_source.load(std::memory_order_relaxed);
    if (source == StampSource::undecided) [[unlikely]] {
        source = decide_stamp_source();
    }
    if (source == StampSource::cycles) [[likely]] {
        // The counter may be read before earlier loads complete: a thread
        // that saw another's record handed over could stamp its own
        // earlier. The fence waits for them.
        __builtin_ia32_lfence();
        return __builtin_ia32_rdtsc();
    }
#endif
    return monotonic_stamp();
}

inline bool stamps_are_cycles() noexcept {
    StampSource source = stamp_source.load(std::memory_order_relaxed);
    if (source == StampSource::undecided) {
        source = decide_stamp_source();
    }
    return source == StampSource::cycles;
}

// Tells the core that this is a spin loop (frees the pipeline for the
// sibling hardware thread); nothing where there is no such hint.
inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace zvk::detail
