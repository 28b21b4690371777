// The service's registry as its own code walks it.
#pragma once

#include <vector>

namespace zvk {

class Target;
class VornService;

namespace detail {

// Each target of the registry once: the console target may stand under
// "console" and the names of stdout records. The caller holds the
// registry mutex.
std::vector<Target*> distinct_targets(const VornService& service);

// distinct_targets, kept from being freed until the matching unpin_targets,
// so that a flush can wait on them without the registry mutex. The caller
// of pin_targets holds the registry mutex.
std::vector<Target*> pin_targets(const VornService& service);
void unpin_targets();

// Whether handles stamp their records in local time (the running
// configuration's time_zone). Any thread.
bool stamps_local();

}  // namespace detail
}  // namespace zvk
