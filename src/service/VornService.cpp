#include "zvk/VornService.h"

#include <algorithm>
#include <unordered_set>

#include "../config/Settings.h"
#include "../frontend/ReadSection.h"
#include "../frontend/Report.h"
#include "../targets/ServiceHooks.h"
#include "FileSizeSignal.h"
#include "Service.h"
#include "zvk/FileLog.h"
#include "zvk/Logger.h"
#include "zvk/Target.h"

namespace zvk {

std::atomic<VornService*> VornService::vornsvc{nullptr};

namespace {

// Makes `service` the instance. Never taken again once `vornsvc` is set;
// constructing an instance must not call back into either operation.
VornService* publish(VornService* service) {
    detail::arm_exit_stop();
    VornService::vornsvc.store(service, std::memory_order_release);
    return service;
}

// Each distinct text get_config_value ever returned: a reference to one
// stays valid whatever reloads do to the model.
const std::string& interned(const std::string& text) {
    static auto* texts = new std::unordered_set<std::string>();  // outlives every static
    std::lock_guard lock(detail::interned_mutex());
    return *texts->insert(text).first;
}

// A target one of the create operations asks for, started once the
// service's mutex is released; null when it does not start.
template <class Decide>
Target* started(VornService& service, Decide decide) {
    detail::Changes changes;
    Target* target = nullptr;
    {
        std::lock_guard lock(detail::ServiceAccess::mutex(service));
        target = decide(changes);
    }
    detail::apply_changes(service, changes);
    std::unique_lock lock(detail::ServiceAccess::mutex(service));
    detail::Routing& routing = detail::ServiceAccess::routing(service);
    // Another thread may be starting it: its start is this call's result.
    routing.start_done.wait(lock, [&] {
        auto found = routing.made.find(target);
        return found == routing.made.end() || found->second.phase != detail::OwnedTarget::STARTING;
    });
    auto found = routing.made.find(target);
    return found != routing.made.end() && found->second.phase != detail::OwnedTarget::RETIRING
               ? target
               : nullptr;
}

// The keys of `table`, sorted. The caller holds the service's mutex.
template <class Table>
std::vector<std::string> sorted_names(const Table& table) {
    std::vector<std::string> names;
    names.reserve(table.size());
    for (const auto& entry : table) {
        names.push_back(entry.first);
    }
    std::sort(names.begin(), names.end());
    return names;
}

// A handle's route, decided here under the service's mutex: the frontend
// never takes it.
detail::HandleRoute handle_route(const std::string& name, long owner_id) {
    VornService* service = VornService::get_service();
    detail::HandleRoute found;
    found.logger = service->get_logger(name, owner_id);
    std::lock_guard lock(detail::ServiceAccess::mutex(*service));
    if (found.logger != nullptr) {
        found.level = found.logger->level;
    }
    found.route = detail::find_or_add_logger(*service, name, owner_id);
    found.local_time = service->time_zone == "local";
    return found;
}

// Unlocked, as a target read them before: a target starts with
// start_mutex held, and a load changes them only with it held.
std::string running_log_dir() { return VornService::get_service()->log_dir; }
bool running_local_time() { return VornService::get_service()->time_zone == "local"; }

// At the library's load, before any handle or target can ask.
struct InstallHooks {
    InstallHooks() {
        detail::install_handle_resolver(handle_route);
        detail::install_service_hooks(
            {running_log_dir, running_local_time, detail::guard_file_size_signal});
    }
} install_hooks;

}  // namespace

namespace detail {

std::mutex& instance_mutex() {
    static std::mutex mutex;
    return mutex;
}

std::mutex& interned_mutex() {
    static auto* mutex = new std::mutex();  // outlives every static
    return *mutex;
}

}  // namespace detail

VornService* VornService::get_service() {
    VornService* service = vornsvc.load(std::memory_order_acquire);
    if (service != nullptr) {
        return service;
    }
    std::lock_guard lock(detail::instance_mutex());
    service = vornsvc.load(std::memory_order_acquire);
    if (service == nullptr) {
        service = publish(new VornService());
    }
    return service;
}

VornService* VornService::init_vorn_service(const std::string& path) {
    VornService* service = vornsvc.load(std::memory_order_acquire);
    if (service != nullptr) {
        return service;
    }
    std::lock_guard lock(detail::instance_mutex());
    service = vornsvc.load(std::memory_order_acquire);
    if (service == nullptr) {
        service = publish(new VornService(path));
    }
    return service;
}

void VornService::reset_vorn_state() {
    VornService* service = vornsvc.load(std::memory_order_acquire);
    if (service != nullptr) {
        service->stop();
    }
}

VornService::VornService()
    : default_log_dir(detail::kDefaultLogDir),
      default_file_size(detail::kDefaultFileSize),
      default_config_file(detail::config_search_paths().back()),
      default_config_path(detail::config_search_paths().front()),
      state(SERVICE_STOPPED),
      file_limit(default_file_size),
      config(nullptr),
      routing(std::make_unique<detail::Routing>()) {
    init(nullptr);
}

VornService::VornService(const std::string& path)
    : default_log_dir(detail::kDefaultLogDir),
      default_file_size(detail::kDefaultFileSize),
      default_config_file(detail::config_search_paths().back()),
      default_config_path(detail::config_search_paths().front()),
      state(SERVICE_STOPPED),
      file_limit(default_file_size),
      config(nullptr),
      routing(std::make_unique<detail::Routing>()) {
    init(path.c_str());
}

VornService::~VornService() { stop(); }

Logger* VornService::get_logger(const std::string& name, long owner_id) {
    {
        std::lock_guard lock(registry_mutex);
        auto found = loggers.find(name);
        if (found != loggers.end()) {
            Logger* logger = found->second;
            return logger->has_owner && logger->owner_id != owner_id ? nullptr : logger;
        }
    }
    return create_logger(name, owner_id);
}

Logger* VornService::create_logger(const std::string& name, long owner_id) {
    detail::Changes changes;
    Logger* logger = nullptr;
    {
        std::lock_guard lock(registry_mutex);
        logger = detail::route_logger(*this, name, owner_id, changes);
    }
    detail::apply_changes(*this, changes);
    // Routed to nothing when its target did not start.
    return logger != nullptr && logger->current_target() != nullptr ? logger : nullptr;
}

Target* VornService::get_target(const std::string& name) {
    return started(
        *this, [&](detail::Changes& changes) { return detail::target_for(*this, name, changes); });
}

// The target of the table registered as `name`, or one `make` makes.
template <class Make>
Target* VornService::registered_or(const std::string& name, Make make) {
    return started(*this, [&](detail::Changes& changes) -> Target* {
        auto found = targets.find(name);
        return found != targets.end() ? found->second
                                      : detail::make_target(*this, make(), name, changes);
    });
}

Target* VornService::create_std_target() {
    return registered_or("console", [] { return new Target("console", Target::CONSOLE_TARGET); });
}

Target* VornService::create_file_target(const std::string& name) {
    return registered_or(name, [&] { return new FileLog(name); });
}

const std::string& VornService::get_config_value(const std::string& key) {
    std::string value;
    {
        std::lock_guard lock(registry_mutex);
        value = detail::config_value(*this, key);
    }
    return interned(value);
}

int VornService::running_state() const {
    std::lock_guard lock(registry_mutex);
    return state;
}

std::string VornService::running_log_dir() const {
    std::lock_guard lock(registry_mutex);
    return log_dir;
}

std::string VornService::running_time_zone() const {
    std::lock_guard lock(registry_mutex);
    return time_zone;
}

std::uint64_t VornService::running_file_limit() const {
    std::lock_guard lock(registry_mutex);
    return file_limit;
}

std::string VornService::running_config_file() const {
    std::lock_guard lock(registry_mutex);
    return config_file;
}

std::shared_ptr<const VornConfig> VornService::running_config() const {
    std::lock_guard lock(registry_mutex);
    // config is routing->model's while set; the stop at exit clears config
    // alone, and then no model runs.
    return config != nullptr ? routing->model : nullptr;
}

std::vector<std::string> VornService::logger_names() const {
    std::lock_guard lock(registry_mutex);
    return sorted_names(loggers);
}

std::vector<std::string> VornService::target_names() const {
    std::lock_guard lock(registry_mutex);
    return sorted_names(targets);
}

}  // namespace zvk
