#include "zvk/VornInit.h"

#include <mutex>
#include <vector>

#include "../frontend/Report.h"
#include "Registry.h"
#include "zvk/Target.h"
#include "zvk/VornService.h"

namespace zvk {

VornInit::VornInit() = default;
VornInit::~VornInit() = default;

int VornInit::init() {
    VornService* service = VornService::get_service();
    // The state read must be the one this init left, not another thread's.
    std::lock_guard lock(service->registry_mutex);
    // A file the application named is loaded again, not forgotten for the
    // default search.
    const std::string given = service->config_file;
    service->init(service->config_given ? given.c_str() : nullptr);
    return service->state == VornService::SERVICE_RUNNING ? 0 : -1;
}

int VornInit::reload() { return VornService::get_service()->reload(); }

int VornInit::load_config(const std::string& path) {
    VornService* service = VornService::init_vorn_service(path);
    std::lock_guard lock(service->registry_mutex);
    if (service->config_given && service->config_file == path) {
        return service->state == VornService::SERVICE_RUNNING ? 0 : -1;
    }
    // The service was started otherwise (by an earlier handle, or from
    // another file). Loading `path` now would take away the loggers of the
    // handles already made, so it is done only while there are none.
    if (!service->loggers.empty() || !service->targets.empty()) {
        detail::report(
            "Could not load Vorn config file: " + path + " - the service runs with " +
            (service->config_file.empty() ? std::string("no config file") : service->config_file) +
            " and has loggers in use");
        return -1;
    }
    service->init(path.c_str());
    return service->state == VornService::SERVICE_RUNNING ? 0 : -1;
}

int VornInit::flush() {
    VornService* service = VornService::vornsvc.load(std::memory_order_acquire);
    if (service == nullptr) {
        return 0;
    }
    std::vector<Target*> targets;
    {
        std::lock_guard lock(service->registry_mutex);
        targets = detail::distinct_targets(*service);
    }
    // Waiting without the registry mutex: a slow target holds up no other
    // thread's handles or initialisation, only this flush. Targets are
    // never freed while the process runs, and a stop ends the wait.
    int result = 0;
    for (Target* target : targets) {
        if (target->flush() != 0) {
            result = -1;
        }
    }
    return result;
}

void VornInit::reset_vorn_state() {
    VornService::get_service();
    VornService::reset_vorn_state();
}

}  // namespace zvk
