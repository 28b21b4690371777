// What a target asks of whoever runs it: the targets own this table and
// the service fills it in, so that nothing here reaches up to the service.
#pragma once

#include <string>

namespace zvk::detail {

struct ServiceHooks {
    // The directory a file target's relative names resolve against, as it
    // is when the target starts.
    std::string (*log_dir)();
    // Whether records are stamped in local time rather than GMT.
    bool (*local_time)();
    // Before a file target's first write: a write past the file-size limit
    // must fail with EFBIG rather than end the process.
    void (*guard_file_size_signal)();
};

// Set once while the library loads, before any target can start; what a
// target finds before that is the defaults: "logs", GMT, no guard.
void install_service_hooks(const ServiceHooks& hooks) noexcept;
const ServiceHooks& service_hooks() noexcept;

}  // namespace zvk::detail
