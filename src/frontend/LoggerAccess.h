// What the service changes in a Logger beyond its public fields.
#pragma once

#include <atomic>

#include "zvk/Logger.h"

namespace zvk::detail {

struct LoggerAccess {
    // Stored with the service's mutex held, after the target and level;
    // handles load it without a lock.
    static std::atomic<int>& accepts(Logger& logger) { return logger.accepts; }
};

}  // namespace zvk::detail
