// What the fatal-signal handler does to one target.
#pragma once

#include <ctime>

#include "zvk/Target.h"

namespace zvk::detail {

// Gets every record queued in `target` written, within `deadline`
// (CLOCK_MONOTONIC), with async-signal-safe steps only: by its worker when
// that runs on another thread (this thread only watches the count), else
// by this thread, with write(2) on the target's crash descriptor,
// non-blocking, polled before each attempt. Never takes the target's
// mutex: gives up when the calling thread was interrupted in the middle
// of a change to the target's queue or lanes, when another thread is
// still in the middle of one at `lock_deadline` or `deadline`, whichever
// comes first, or when the target has no crash descriptor and nobody else
// writes for it. True when flushed.
bool flush_at_crash(Target& target, const timespec& deadline,
                    const timespec& lock_deadline) noexcept;

}  // namespace zvk::detail
