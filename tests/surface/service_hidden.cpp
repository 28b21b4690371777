// The members of the service and logger headers that an application can no
// longer name: each line marked hidden must be refused.
#include <atomic>

#include "zvk/Logger.h"
#include "zvk/VornService.h"

bool named(zvk::VornService& service, zvk::Logger& logger) {
    bool given = service.config_given;                        // hidden
    std::atomic<int>& accepts = logger.accepts;               // hidden
    const char* record_name = logger.record_name();           // hidden
    zvk::Target* syslog = service.create_syslog_target("s");  // hidden
    return given && accepts.load() > 0 && record_name != nullptr && syslog != nullptr;
}
