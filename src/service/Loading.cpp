// Finding, loading and applying the configuration: init, reload and stop.
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <system_error>
#include <unordered_set>

#include "../config/ConfigNotes.h"
#include "../config/Settings.h"
#include "../frontend/Report.h"
#include "ConfigWatch.h"
#include "CrashHandler.h"
#include "Service.h"
#include "zvk/Target.h"
#include "zvk/VornService.h"

namespace zvk {

namespace {

bool path_exists(const std::string& path) {
    // Follows symbolic links; a directory counts. Throws on a file-system
    // error other than "not found", which init reports.
    std::filesystem::file_type type = std::filesystem::status(path).type();
    return type != std::filesystem::file_type::none &&
           type != std::filesystem::file_type::not_found;
}

// The file the search finds in `dir` (empty: the working directory), as
// the search names it there; empty when there is none.
std::string search_in(const std::string& dir) {
    for (const std::string& candidate : detail::config_search_paths()) {
        const std::string path = dir.empty() ? candidate : dir + "/" + candidate;
        if (path_exists(path)) {
            return path;
        }
    }
    return {};
}

// Loads `path`: `complete` is false (and a line says why) when it does not
// load. The model then holds every record made before the element that
// stopped the load: nothing when the file did not open or parse.
std::shared_ptr<VornConfig> load_model(const std::string& path, bool& complete) {
    auto model = std::make_shared<VornConfig>();
    std::ifstream in(path);
    std::error_code ec;
    // A directory opens for reading on Linux and fails only when read;
    // report it as the unopenable file it is.
    if (in.is_open() && std::filesystem::is_directory(path, ec)) {
        in.close();
    }
    bool opened = in.is_open();
    if (!opened) {
        detail::report("Could not open Vorn config file: " + path);
    }
    complete = model->load_config(static_cast<std::istream&>(in)) == 0;
    if (opened) {
        detail::report_notes(*model, path, complete);
    }
    if (!complete && opened) {
        // Without this line an application would run with fewer loggers
        // than its file names and no clue why.
        const std::string why = detail::place_and_reason(detail::load_failure(*model, path));
        detail::report("Could not load Vorn config file: " + path +
                       (why.empty() ? "" : " - " + why));
    }
    return model;
}

void report_exited() {
    detail::report("Could not load Vorn config file - the service stopped at process exit");
}

}  // namespace

namespace detail {

std::string absolute_path(const std::string& path) {
    std::error_code ec;
    std::filesystem::path full = std::filesystem::absolute(path, ec);
    std::string text = ec ? path : full.lexically_normal().string();
    while (text.size() > 1 && text.back() == '/') {
        text.pop_back();
    }
    return text;
}

namespace {

// Without a file: an empty model, every handle unrouted.
void run_without_file(VornService& service, Changes& changes) {
    Routing& routing = ServiceAccess::routing(service);
    routing.model = std::make_shared<VornConfig>();
    service.config = routing.model.get();
    routing.crash_flush = false;
    changes.process_settings_off = true;
    for (auto& entry : routing.slots) {
        if (!route_own(service, entry.first, entry.second)) {
            route(entry.second, nullptr, -1);
        }
    }
    report("Could not locate Vorn config file");
}

// The model a reload would run, read from `path` (found anew when not
// `given`), with its `loaded` version and `locale`; null when it does not
// load whole (said in a line: the running configuration stays).
std::shared_ptr<VornConfig> load_fresh(const Routing& routing, bool given, const std::string& file,
                                       std::string& path, FileVersion& loaded,
                                       std::locale& locale) {
    try {
        if (!given) {
            // The search again, where it ran when the service was loaded.
            path = search_in(routing.search_dir);
            if (path.empty()) {
                report("Could not locate Vorn config file");
            }
        }
        loaded = version_of(path);
        bool complete = false;
        std::shared_ptr<VornConfig> fresh;
        if (!path.empty()) {
            fresh = load_model(path, complete);
        }
        // A reload keeps the running configuration rather than a part.
        if (!complete) {
            throw std::runtime_error("");
        }
        locale = fresh->get_locale();
        return fresh;
    } catch (const std::exception& e) {
        if (*e.what() != '\0') {
            report(std::string("exception while loading Vorn config ") + e.what());
        }
        // Named as it was found or given.
        const std::string shown =
            given ? file
                  : (!routing.search_dir.empty() && path.starts_with(routing.search_dir + "/")
                         ? path.substr(routing.search_dir.size() + 1)
                         : path);
        report("Could not reload Vorn config file: " + shown +
               " - the running configuration stays");
        return nullptr;
    }
}

// Under the service's mutex: the targets of the table that `fresh` makes
// alike (same record, same log directory), by name.
std::unordered_map<std::string, Target*> kept_targets(VornService& service, const VornConfig& fresh,
                                                      const std::string& new_log_dir) {
    Routing& routing = ServiceAccess::routing(service);
    std::unordered_map<std::string, Target*> kept;
    for (const auto& [name, target] : service.targets) {
        const std::string& was = routing.made[target].identity;
        if (target->type != Target::CONSOLE_TARGET) {
            if (identity_of(fresh, name, new_log_dir) == was) {
                kept.emplace(name, target);
            }
            continue;
        }
        // The one console target stays while a record of the new model is
        // the one it was made from; stdout records find it under "console".
        bool made_here = identity_of(fresh, "console", new_log_dir) == was;
        for (const auto& [record_name, record] : fresh.targets) {
            made_here = made_here || (record->type == fresh.key_stdout &&
                                      identity_of(fresh, record_name, new_log_dir) == was);
        }
        if (made_here) {
            kept.emplace("console", target);
        }
    }
    return kept;
}

}  // namespace

int init_applying(VornService& service, const char* path) {
    Routing& routing = ServiceAccess::routing(service);
    // `path` may point into config_file itself.
    const std::string given = path != nullptr ? path : "";
    Changes changes;
    try {
        std::string file = given;
        std::string search_dir;
        if (path == nullptr) {
            search_dir = absolute_path(".");
            file = search_in(std::string());
        }
        std::shared_ptr<VornConfig> model;
        bool complete = false;
        std::locale locale;
        FileVersion loaded;
        if (!file.empty()) {
            loaded = version_of(file);
            model = load_model(file, complete);
            // An unknown locale name is thrown here, before anything changed.
            if (complete) {
                locale = model->get_locale();
            }
        }
        {
            std::lock_guard starting(routing.start_mutex);
            std::lock_guard lock(ServiceAccess::mutex(service));
            if (routing.exiting) {
                report_exited();
                return -1;
            }
            // Whatever an earlier load left, a failed one included: its
            // targets write what they accepted and leave, and every load
            // starts from empty tables.
            end_config_watch();
            for (Target* target : made_in_table(service)) {
                retire(service, target, changes, false);
            }
            service.loggers.clear();
            service.state = VornService::SERVICE_STOPPED;
            routing.config_given = path != nullptr;
            service.config_file = file;
            routing.loaded_path = file.empty() ? std::string() : absolute_path(file);
            routing.search_dir = search_dir;
            if (file.empty()) {
                run_without_file(service, changes);
            } else {
                // A file that does not load runs with what was read before
                // the element that stopped it: its records and file-size
                // limit, not its locale, time zone or log directory.
                if (!complete && service.log_dir.empty() && !model->targets.empty()) {
                    // No file loaded before: its targets write to the
                    // default directory, not to the root.
                    service.log_dir = service.default_log_dir;
                }
                apply_model(service, std::move(model), complete ? &locale : nullptr, changes);
                // Handles made before follow the new model.
                route_all(service, changes);
                watch_config(service_settings(*service.config).watch_seconds, routing.loaded_path,
                             loaded);
            }
        }
        apply_changes(service, changes);
        return file.empty() ? -1 : service.state;
    } catch (const std::exception& e) {
        report(std::string("exception while loading Vorn config ") + e.what());
    } catch (...) {
        report("Unknown exception occurred while loading Vorn configuration");
    }
    // A model that failed half-way (an unknown locale) would fail every
    // target made from it: the service stops cleanly instead.
    try {
        apply_changes(service, changes);
        stop_applying(service);
    } catch (...) {
    }
    return service.state;
}

int reload_applying(VornService& service) {
    Routing& routing = ServiceAccess::routing(service);
    std::string path;
    bool running = false;
    bool given = false;
    std::string file;
    {
        std::lock_guard lock(ServiceAccess::mutex(service));
        if (routing.exiting) {
            report_exited();
            return -1;
        }
        running = service.state == VornService::SERVICE_RUNNING;
        given = routing.config_given;
        file = service.config_file;
        path = routing.loaded_path;
    }
    if (!running) {
        // Nothing runs to keep: as an initialisation.
        init_applying(service, given ? file.c_str() : nullptr);
        std::lock_guard lock(ServiceAccess::mutex(service));
        return service.state == VornService::SERVICE_RUNNING ? 0 : -1;
    }
    FileVersion loaded;
    std::locale locale;
    std::shared_ptr<VornConfig> fresh = load_fresh(routing, given, file, path, loaded, locale);
    if (!fresh) {
        return -1;
    }
    Changes changes;
    {
        std::lock_guard starting(routing.start_mutex);
        std::lock_guard lock(ServiceAccess::mutex(service));
        if (routing.exiting) {
            report_exited();
            return -1;
        }
        const std::string new_log_dir = service_settings(*fresh).log_dir;
        // The targets whose record is unchanged stay as they run; the rest
        // leave once their loggers point elsewhere.
        std::unordered_map<std::string, Target*> kept = kept_targets(service, *fresh, new_log_dir);
        std::unordered_set<Target*> staying;
        for (const auto& entry : kept) {
            staying.insert(entry.second);
        }
        std::unordered_set<Target*> leaving;
        for (const auto& entry : service.targets) {
            if (staying.count(entry.second) == 0) {
                leaving.insert(entry.second);
            }
        }
        // Their loggers go straight to the new targets below, never
        // through "no target".
        for (Target* target : leaving) {
            retire(service, target, changes, false);
        }
        service.targets = std::move(kept);
        apply_model(service, std::move(fresh), &locale, changes);
        route_all(service, changes);
        watch_config(service_settings(*service.config).watch_seconds, absolute_path(path), loaded);
    }
    apply_changes(service, changes);
    return 0;
}

void stop_applying(VornService& service) {
    Changes changes;
    {
        std::lock_guard lock(ServiceAccess::mutex(service));
        end_config_watch();
        // In every state: a failed or half-done initialisation leaves
        // targets with queued records too.
        clear_table(service, changes);
        ServiceAccess::routing(service).model.reset();
        service.config = nullptr;
        service.state = VornService::SERVICE_STOPPED;
        ServiceAccess::routing(service).crash_flush = false;
        // Once the targets have written what they accepted: a crash while
        // they drain still flushes them.
        changes.process_settings_off = true;
    }
    apply_changes(service, changes);
}

}  // namespace detail

int VornService::init(const char* path) {
    std::lock_guard applying(routing->apply_mutex);
    return detail::init_applying(*this, path);
}

int VornService::reload() {
    std::lock_guard applying(routing->apply_mutex);
    return detail::reload_applying(*this);
}

void VornService::stop() {
    std::lock_guard applying(routing->apply_mutex);
    detail::stop_applying(*this);
}

}  // namespace zvk
