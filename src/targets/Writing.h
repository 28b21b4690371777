// Which targets the calling thread is writing for: a worker's own target
// for its whole life, or a target written on the caller's thread after
// exit, with nesting when a write_msg logs into another target.
#pragma once

namespace zvk {

class Target;

namespace detail {

// Whether the calling thread is inside a write for `target`.
bool writes_for(const Target* target) noexcept;
// Whether it writes for any target: it is the library's (a worker) or runs
// a write_msg, and must never wait for another target.
bool writes_for_any() noexcept;

}  // namespace detail
}  // namespace zvk
