// What the fatal-signal handler does to one target.
#pragma once

#include <ctime>

namespace zvk {

class Target;

namespace detail {

// Gets every record queued in `target` written, by its worker or, when the
// calling thread is that worker or no worker runs, by the calling thread.
// Gives up at `deadline` (CLOCK_MONOTONIC), or when the mutex is still
// taken at `lock_deadline` or `deadline`, whichever comes first (the
// crashing thread may hold it). True when flushed.
bool flush_at_crash(Target& target, const timespec& deadline,
                    const timespec& lock_deadline) noexcept;

}  // namespace detail
}  // namespace zvk
