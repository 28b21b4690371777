// Flush at fatal signals: the handler and the targets it flushes. What the
// targets see of it (a crash begun, the alternate stacks) is theirs.
#pragma once

#include "../targets/CrashState.h"

namespace zvk {

class Target;

namespace detail {

// The targets the handler flushes. The service adds each target it starts
// and removes it before deleting it.
void watch_target(Target* target);
void unwatch_target(Target* target);
// Takes over SIGSEGV, SIGBUS, SIGILL, SIGFPE and SIGABRT, and SIGTERM,
// SIGINT, SIGHUP and SIGQUIT where they are still at their default;
// gives each back as it was (unless the application installed a handler
// of its own meanwhile). The caller holds the registry mutex.
void enable_crash_flush();
void disable_crash_flush();

}  // namespace detail
}  // namespace zvk
