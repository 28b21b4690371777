// membarrier(2): one system call that makes every running thread of the
// process pass a full memory barrier.
#pragma once

namespace zvk::detail {

// Registers the process for the expedited barrier; false where the kernel
// lacks it (the callers then fence on both sides themselves).
bool register_process_barrier() noexcept;
// The barrier on every running thread of the process; false when it was
// not issued (not registered, or the kernel refused it).
bool process_barrier() noexcept;

}  // namespace zvk::detail
