// What the writers and producers know of a fatal signal being handled, and
// the alternate signal stacks that let the handler run after a stack
// overflow. The handler itself is the service's.
#pragma once

#include <atomic>
#include <cstddef>

namespace zvk::detail {

// An alternate stack for the handler: enough for the flush's frames.
inline constexpr std::size_t kCrashStackSize = 64 * 1024;

// The threads that have entered the fatal-signal handler.
extern std::atomic<int> crash_arrivals;
// The handler is installed: threads the library starts take a stack.
extern std::atomic<bool> crash_flush_on;

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

// An alternate signal stack for the calling thread, for as long as the
// object lives, while the handler is installed and unless the thread has
// one already.
class CrashStack {
public:
    CrashStack();
    ~CrashStack();
    CrashStack(const CrashStack&) = delete;
    CrashStack& operator=(const CrashStack&) = delete;

private:
    void* memory;  // owned; null when the thread had a stack already
};

}  // namespace zvk::detail
