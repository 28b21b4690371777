#include "zvk/VornInit.h"

#include <mutex>

#include "zvk/VornService.h"

namespace zvk {

VornInit::VornInit() = default;
VornInit::~VornInit() = default;

int VornInit::init() {
    VornService* service = VornService::get_service();
    // The state read must be the one this init left, not another thread's.
    std::lock_guard lock(service->registry_mutex);
    service->init(nullptr);
    return service->state == VornService::SERVICE_RUNNING ? 0 : -1;
}

int VornInit::load_config(const std::string& path) {
    VornService* service = VornService::init_vorn_service(path);
    std::lock_guard lock(service->registry_mutex);
    return service->state == VornService::SERVICE_RUNNING ? 0 : -1;
}

void VornInit::reset_vorn_state() {
    VornService::get_service();
    VornService::reset_vorn_state();
}

}  // namespace zvk
