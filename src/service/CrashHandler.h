// Flush at fatal signals: the handler, the targets it flushes, and the
// alternate signal stacks that let it run after a stack overflow.
#pragma once

#include <atomic>

namespace zvk {

class Target;

namespace detail {

// The targets the handler flushes. The service adds each target it starts
// and removes it before deleting it.
void watch_target(Target* target);
void unwatch_target(Target* target);
// The threads that have entered the fatal-signal handler.
extern std::atomic<int> crash_arrivals;
// A fatal signal is being handled: what the handler may still read (the
// targets it watched a moment ago) is not to be freed, and nothing more is
// accepted, so that the handler gets each target at once and the
// workers write nothing the handler does not wait for. Read with each
// record: one load.
inline bool crash_in_progress() noexcept {
    return crash_arrivals.load(std::memory_order_relaxed) != 0;
}
// The same for a thread about to free a target after unwatch_target: the
// handler's fetch_add, then its load of the slot, and that thread's
// exchange of the slot, then this load, are all sequentially consistent,
// so either the handler finds the slot empty or this sees it begun.
inline bool crash_begun() noexcept { return crash_arrivals.load(std::memory_order_seq_cst) != 0; }

// Takes over SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT, and SIGTERM,
// SIGINT, SIGHUP and SIGQUIT where they are still at their default;
// gives each back as it was (unless the application installed a handler
// of its own meanwhile). The caller holds the registry mutex.
void enable_crash_flush();
void disable_crash_flush();

// An alternate signal stack for the calling thread, for as long as the
// object lives, unless the thread has one already.
class CrashStack {
public:
    CrashStack();
    ~CrashStack();
    CrashStack(const CrashStack&) = delete;
    CrashStack& operator=(const CrashStack&) = delete;

private:
    void* memory;  // owned; null when the thread had a stack already
};

}  // namespace detail
}  // namespace zvk
