#include "zvk/VornInit.h"

#include <memory>
#include <mutex>
#include <vector>

#include "../frontend/ReadSection.h"
#include "../frontend/Report.h"
#include "Service.h"
#include "zvk/Logger.h"
#include "zvk/Target.h"
#include "zvk/VornService.h"

namespace zvk {

VornInit::VornInit() = default;
VornInit::~VornInit() = default;

int VornInit::init() {
    VornService* service = VornService::get_service();
    // The state read must be the one this init left, not another thread's.
    std::lock_guard applying(detail::ServiceAccess::routing(*service).apply_mutex);
    std::string given;
    bool named = false;
    {
        std::lock_guard lock(service->registry_mutex);
        given = service->config_file;
        named = detail::ServiceAccess::routing(*service).config_given;
    }
    // A file the application named is loaded again, not forgotten for the
    // default search.
    detail::init_applying(*service, named ? given.c_str() : nullptr);
    std::lock_guard lock(service->registry_mutex);
    return service->state == VornService::SERVICE_RUNNING ? 0 : -1;
}

int VornInit::reload() { return VornService::get_service()->reload(); }

int VornInit::load_config(const std::string& path) {
    VornService* service = VornService::init_vorn_service(path);
    std::lock_guard applying(detail::ServiceAccess::routing(*service).apply_mutex);
    {
        std::lock_guard lock(service->registry_mutex);
        if (detail::ServiceAccess::routing(*service).config_given && service->config_file == path) {
            return service->state == VornService::SERVICE_RUNNING ? 0 : -1;
        }
        // The service was started otherwise (by an earlier handle, or from
        // another file). Loading `path` now would take away the loggers of
        // the handles already made, so it is done only while there are none.
        if (!service->loggers.empty() || !service->targets.empty()) {
            detail::report("Could not load Vorn config file: " + path +
                           " - the service runs with " +
                           (service->config_file.empty() ? std::string("no config file")
                                                         : service->config_file) +
                           " and has loggers in use");
            return -1;
        }
    }
    detail::init_applying(*service, path.c_str());
    std::lock_guard lock(service->registry_mutex);
    return service->state == VornService::SERVICE_RUNNING ? 0 : -1;
}

int VornInit::flush() {
    VornService* service = VornService::vornsvc.load(std::memory_order_acquire);
    if (service == nullptr) {
        return 0;
    }
    // Waiting without the service's mutex: a slow target holds up no other
    // thread's handles or initialisation, only this flush. One section per
    // target, keeping to it, keeps that target from being freed meanwhile:
    // a reload or stop that retires it waits for this flush, one that
    // retires others goes on.
    int result = 0;
    std::vector<Target*> targets;
    // Held here, the application's targets need no section.
    std::vector<std::shared_ptr<Target>> own;
    {
        std::lock_guard lock(service->registry_mutex);
        targets = detail::made_in_table(*service);
        own = detail::own_targets(*service);
    }
    for (const auto& target : own) {
        if (target->flush() != 0) {
            result = -1;
        }
    }
    detail::Routing& routing = detail::ServiceAccess::routing(*service);
    for (Target* target : targets) {
        detail::ReadSection section;
        detail::keep_to(target);
        {
            // A target retired before the section began may be freed: it
            // is no longer in the table, and only compared here.
            std::lock_guard lock(service->registry_mutex);
            auto found = routing.made.find(target);
            if (found == routing.made.end() ||
                found->second.phase == detail::OwnedTarget::RETIRING) {
                continue;
            }
        }
        if (target->flush() != 0) {
            result = -1;
        }
    }
    return result;
}

int VornInit::route(const std::string& name, std::shared_ptr<Target> target, int level) {
    if (level < 0 || level > 7) {
        return -1;
    }
    VornService* service = VornService::get_service();
    detail::Routing& routing = detail::ServiceAccess::routing(*service);
    if (target != nullptr) {
        // As a target of the table starts: its init may read the model.
        std::lock_guard starting(routing.start_mutex);
        std::shared_ptr<VornConfig> model;
        {
            std::lock_guard lock(service->registry_mutex);
            model = routing.model;
        }
        if (target->start(model.get()) != 0) {
            return -1;
        }
    }
    detail::Changes changes;
    {
        std::lock_guard lock(service->registry_mutex);
        if (routing.exiting) {
            return -1;
        }
        auto found = routing.own_routes.find(name);
        if (found != routing.own_routes.end()) {
            changes.released.push_back(std::move(found->second.target));
            routing.own_routes.erase(found);
        }
        if (target != nullptr) {
            routing.own_routes.emplace(name, detail::OwnRoute{std::move(target), level});
        }
        // Handles made before follow from their next call; the others find
        // the route when they are made.
        auto slot = routing.slots.find(name);
        if (slot != routing.slots.end() &&
            detail::route_logger(*service, name, slot->second->owner_id, changes) == nullptr) {
            detail::route(slot->second, nullptr, -1);
            service->loggers.erase(name);
        }
    }
    detail::apply_changes(*service, changes);
    return 0;
}

void VornInit::reset_vorn_state() {
    VornService::get_service();
    VornService::reset_vorn_state();
}

}  // namespace zvk
