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

// Whether handles stamp their records in local time (the running
// configuration's time_zone). Any thread.
bool stamps_local();

}  // namespace detail
}  // namespace zvk
