// Probes shared by the service tests; their configuration texts come from
// ConfigText.h. Every test that uses them runs inside zvk::test::isolated,
// in a fresh working directory.
#pragma once

#include <sys/resource.h>

#include <string>

#include "ConfigText.h"

namespace zvk::test {

// The soft limit; the tests also check that hard == soft.
inline rlim_t file_size_limit(rlim_t* hard = nullptr) {
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    if (hard != nullptr) {
        *hard = limit.rlim_max;
    }
    return limit.rlim_cur;
}

}  // namespace zvk::test
