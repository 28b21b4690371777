#include "Routing.h"

#include <algorithm>
#include <optional>
#include <stdexcept>
#include <unordered_set>

#include "../config/Settings.h"
#include "../frontend/LoggerAccess.h"
#include "../frontend/ReadSection.h"
#include "../frontend/Report.h"
#include "../targets/Carrier.h"
#include "CrashHandler.h"
#include "FileSizeSignal.h"
#include "Service.h"
#include "zvk/FileLog.h"
#include "zvk/JournalLog.h"
#include "zvk/Logger.h"
#include "zvk/SyslogLog.h"
#include "zvk/Target.h"

namespace zvk::detail {

namespace {

std::string output_of(const Target& target, const VornConfig* model, const std::string& log_dir) {
    if (target.type == Target::CONSOLE_TARGET) {
        return "stderr";
    }
    const VornConfig::target_cf_t* record =
        model != nullptr ? model->get_target(target.name) : nullptr;
    if (target.type == Target::FILE_TARGET) {
        const std::string* file = record != nullptr ? file_settings(*record).file_name : nullptr;
        return "file " + absolute_path(log_dir) + "/" + (file != nullptr ? *file : target.name);
    }
    const std::string* socket = record != nullptr ? syslog_settings(*record).socket : nullptr;
    if (target.type == Target::JOURNAL_TARGET) {
        return "journal " + (socket != nullptr ? *socket : std::string(kJournalSocket));
    }
    return "syslog " + (socket != nullptr ? *socket : element(Setting::socket).fallback);
}

// Applies the bound and the format `record` asks for to a target not
// started yet.
void apply_queue_bound(Target* target, const VornConfig::target_cf_t& record) {
    const QueueSettings queue = queue_settings(record);
    target->set_queue_bound(queue.max_records, queue.drop_when_full);
    target->set_queue_memory_max(static_cast<std::size_t>(queue.memory_max));
    target->set_format(format_settings(record).json ? Target::JSON_LINES : Target::TEXT_LINES);
}

// The caller holds the service's mutex.
bool output_busy(const Routing& routing, const std::string& output) {
    for (const auto& [target, made] : routing.made) {
        if (made.phase == OwnedTarget::RETIRING && made.output == output) {
            return true;
        }
    }
    return false;
}

// Takes a target that waits to start and may start now (none that writes
// its output is on its way out), in creation order; null for none. The
// caller holds the service's mutex.
Target* claim_start(Routing& routing) {
    Target* first = nullptr;
    std::uint64_t serial = 0;
    for (auto& [target, made] : routing.made) {
        if (made.phase == OwnedTarget::PENDING && (first == nullptr || made.serial < serial) &&
            !output_busy(routing, made.output)) {
            first = target;
            serial = made.serial;
        }
    }
    if (first != nullptr) {
        routing.made[first].phase = OwnedTarget::STARTING;
    }
    return first;
}

// Starts one claimed target; one that does not start leaves the table, for
// the caller to free once out of `section`, which keeps a retirer that
// decided meanwhile from freeing the target under this thread.
void start_claimed(VornService& service, Target* target, const std::shared_ptr<VornConfig>& model,
                   const ReadSection& /*held by the caller*/, Changes& changes) {
    Routing& routing = ServiceAccess::routing(service);
    int result = -1;
    {
        std::lock_guard starting(routing.start_mutex);
        try {
            result = target->start(model.get());
        } catch (...) {
            // An unknown locale name: the load reports it.
        }
    }
    std::lock_guard lock(ServiceAccess::mutex(service));
    auto found = routing.made.find(target);
    routing.start_done.notify_all();
    if (found == routing.made.end() || found->second.phase != OwnedTarget::STARTING) {
        return;  // retired meanwhile: its retirer frees it
    }
    if (result == 0) {
        found->second.phase = OwnedTarget::LIVE;
        watch_target(target);
        return;
    }
    retire(service, target, changes);
}

void start_pending(VornService& service) {
    Routing& routing = ServiceAccess::routing(service);
    for (;;) {
        Changes failed;
        {
            Target* target = nullptr;
            std::shared_ptr<VornConfig> model;
            std::optional<ReadSection> section;
            {
                std::lock_guard lock(ServiceAccess::mutex(service));
                target = claim_start(routing);
                if (target == nullptr) {
                    return;
                }
                model = routing.model;
                section.emplace();
            }
            start_claimed(service, target, model, *section, failed);
        }
        if (!failed.retired.empty()) {
            apply_changes(service, failed);
        }
    }
}

}  // namespace

std::string identity_of(const VornConfig& model, const std::string& record_name,
                        const std::string& log_dir) {
    const VornConfig::target_cf_t* record = model.get_target(record_name);
    if (record == nullptr) {
        return record_name == "console" ? "stdout\n" : std::string();
    }
    std::string identity = record->type + "\n";
    if (record->type == model.key_file) {
        identity += record_name + "\n" + absolute_path(log_dir) + "\n";
    }
    for (const auto& [key, value] : record->params) {
        identity += key + "=" + value + "\n";
    }
    return identity;
}

Logger* find_or_add_logger(VornService& service, const std::string& name, long owner_id) {
    auto& slots = ServiceAccess::routing(service).slots;
    auto found = slots.find(name);
    if (found != slots.end()) {
        Logger* logger = found->second;
        return logger->has_owner && logger->owner_id != owner_id ? nullptr : logger;
    }
    auto* logger = new Logger(name, nullptr, Logger::OUT);
    if (owner_id != 0) {
        logger->owner_id = owner_id;
        logger->has_owner = true;
    }
    slots.emplace(name, logger);
    return logger;
}

void route(Logger* logger, Target* target, int level) {
    // Threads that log see the target first, then the level. Sequentially
    // consistent: see ReadSection.
    std::atomic_ref<Target*>(logger->target).store(target, std::memory_order_seq_cst);
    if (level >= 0) {
        // current_level reads it without the service's mutex.
        std::atomic_ref<Logger::Level>(logger->level)
            .store(static_cast<Logger::Level>(level), std::memory_order_relaxed);
    }
    LoggerAccess::accepts(*logger).store(target != nullptr ? level : -1, std::memory_order_release);
}

bool route_own(VornService& service, const std::string& name, Logger* logger) {
    const auto& own = ServiceAccess::routing(service).own_routes;
    auto found = own.find(name);
    if (found == own.end()) {
        return false;
    }
    route(logger, found->second.target.get(), found->second.level);
    return true;
}

Logger* route_logger(VornService& service, const std::string& name, long owner_id,
                     Changes& changes) {
    try {
        // The logger of this name exists from now on, routed or not.
        Logger* logger = find_or_add_logger(service, name, owner_id);
        if (logger == nullptr) {
            return nullptr;
        }
        if (route_own(service, name, logger)) {
            service.loggers[name] = logger;
            return logger;
        }
        const VornConfig* model = service.config;
        const VornConfig::logger_cf_t* record =
            model != nullptr ? model->get_logger(name) : nullptr;
        std::string level_text;
        std::string target_name;
        if (record != nullptr) {
            level_text = record->level;
            target_name = record->target->name;
        } else if (model != nullptr && name == "CONSOLE") {
            // A built-in for applications without a logger record: every
            // level to the console target ("console" of the table or of the
            // model). Needs a model, like every target creation.
            level_text = "DEBUG";
            target_name = "console";
        }
        Target* target = nullptr;
        if (!target_name.empty()) {
            target = target_for(service, target_name, changes);
            if (target != nullptr) {
                // For a "stdout" record a second name of the console target.
                service.targets.emplace(target_name, target);
            }
        }
        if (level_text.empty()) {
            return nullptr;
        }
        int level = Logger::get_level(level_text);
        if (level == -1) {
            report("Invalid level: " + level_text);
            return nullptr;
        }
        if (target == nullptr) {
            return nullptr;
        }
        route(logger, target, level);
        service.loggers[name] = logger;
        return logger;
    } catch (const std::invalid_argument& e) {
        report("invalid_argument exception occurred while create logger: " + name + " - " +
               e.what());
    } catch (const std::out_of_range& e) {
        report("out_of_range exception occurred while create logger: " + name + " - " + e.what());
    } catch (...) {
        report("unknown exception occurred while create logger: " + name);
    }
    return nullptr;
}

Target* target_for(VornService& service, const std::string& name, Changes& changes) {
    auto found = service.targets.find(name);
    if (found != service.targets.end()) {
        return found->second;
    }
    // Making a target reads the model, so none is made after stop.
    const VornConfig* model = service.config;
    if (model == nullptr) {
        return nullptr;
    }
    const VornConfig::target_cf_t* record = model->get_target(name);
    if (record == nullptr) {
        return name == "console" ? console_for(service, "console", changes) : nullptr;
    }
    const FormatSettings format = format_settings(*record);
    if (format.refused) {
        report("Invalid format in target: " + name + " - \"" + *format.text + "\"");
        return nullptr;
    }
    Target* target = nullptr;
    if (record->type == model->key_stdout) {
        auto console = service.targets.find("console");
        if (console != service.targets.end()) {
            return console->second;
        }
        // The one console target takes its bound from the stdout record it
        // is first made for.
        target = console_for(service, name, changes);
    } else if (record->type == model->key_file) {
        target = make_target(service, new FileLog(name), name, changes);
    } else if (record->type == kSyslogType) {
        target = make_target(service, new SyslogLog(name), name, changes);
    } else if (record->type == kJournalType) {
        target = make_target(service, new JournalLog(name), name, changes);
    } else {
        report("Invalid target type: " + record->type);
        return nullptr;
    }
    apply_queue_bound(target, *record);
    return target;
}

Target* console_for(VornService& service, const std::string& record_name, Changes& changes) {
    return make_target(service, new Target("console", Target::CONSOLE_TARGET), record_name,
                       changes);
}

Target* make_target(VornService& service, Target* target, const std::string& record_name,
                    Changes&) {
    Routing& routing = ServiceAccess::routing(service);
    std::unique_ptr<Target> owned(target);
    OwnedTarget made{service.config != nullptr
                         ? identity_of(*service.config, record_name, service.log_dir)
                         : std::string(),
                     output_of(*target, service.config, service.log_dir), routing.next_serial++,
                     OwnedTarget::PENDING};
    routing.made.emplace(target, std::move(made));
    service.targets.emplace(target->name, target);
    return owned.release();
}

void route_all(VornService& service, Changes& changes) {
    for (auto& [name, logger] : ServiceAccess::routing(service).slots) {
        if (route_logger(service, name, logger->owner_id, changes) == nullptr) {
            route(logger, nullptr, -1);
            service.loggers.erase(name);
        }
    }
}

std::vector<Target*> made_in_table(const VornService& service) {
    std::vector<Target*> distinct;
    std::unordered_set<Target*> seen;
    for (const auto& entry : service.targets) {
        if (seen.insert(entry.second).second) {
            distinct.push_back(entry.second);
        }
    }
    return distinct;
}

void clear_table(VornService& service, Changes& changes) {
    for (auto& entry : ServiceAccess::routing(service).slots) {
        route(entry.second, nullptr, -1);
    }
    service.loggers.clear();
    for (Target* target : made_in_table(service)) {
        retire(service, target, changes);
    }
    for (auto& [name, own] : ServiceAccess::routing(service).own_routes) {
        changes.released.push_back(std::move(own.target));
    }
    ServiceAccess::routing(service).own_routes.clear();
}

void retire(VornService& service, Target* target, Changes& changes, bool unroute) {
    for (auto& [name, logger] : ServiceAccess::routing(service).slots) {
        if (unroute && logger->target == target) {
            route(logger, nullptr, -1);
            service.loggers.erase(name);
        }
    }
    std::erase_if(service.targets, [target](const auto& entry) { return entry.second == target; });
    ServiceAccess::routing(service).made[target].phase = OwnedTarget::RETIRING;
    changes.retired.push_back(target);
}

std::vector<Target*> made_targets(VornService& service) {
    const auto& made = ServiceAccess::routing(service).made;
    std::vector<Target*> all;
    for (const auto& entry : made) {
        all.push_back(entry.first);
    }
    std::sort(all.begin(), all.end(),
              [&made](Target* a, Target* b) { return made.at(a).serial < made.at(b).serial; });
    for (const auto& own : own_targets(service)) {
        all.push_back(own.get());
    }
    return all;
}

std::vector<std::shared_ptr<Target>> own_targets(VornService& service) {
    std::vector<std::shared_ptr<Target>> distinct;
    std::unordered_set<Target*> seen;
    for (const auto& entry : ServiceAccess::routing(service).own_routes) {
        if (seen.insert(entry.second.target.get()).second) {
            distinct.push_back(entry.second.target);
        }
    }
    return distinct;
}

void apply_changes(VornService& service, Changes& changes) {
    if (!changes.released.empty()) {
        std::vector<const void*> released;
        for (const auto& target : changes.released) {
            released.push_back(target.get());
        }
        wait_for_readers(released);
        // Where the application let go of it too, the target drains here.
        changes.released.clear();
    }
    start_pending(service);
    if (!changes.retired.empty()) {
        std::vector<Target*> retired = std::move(changes.retired);
        changes.retired.clear();
        // No Logger leads to them any more; once the threads that read one
        // before are out, nothing but their workers touches them. A thread
        // waiting inside one (a flush, a producer for room) would hold that
        // up for as long as the output is stuck: its wait ends first.
        for (Target* target : retired) {
            detail::Carrier::of(*target).release_waiters();
        }
        wait_for_readers(std::vector<const void*>(retired.begin(), retired.end()));
        for (Target* target : retired) {
            target->stop();  // its worker writes what it accepted, then ends
        }
        {
            std::lock_guard lock(ServiceAccess::mutex(service));
            for (Target* target : retired) {
                ServiceAccess::routing(service).made.erase(target);
            }
        }
        for (Target* target : retired) {
            unwatch_target(target);
            // A crash being handled may be flushing it: the process ends
            // anyway.
            if (!crash_begun()) {
                delete target;  // closes its files
            }
        }
        start_pending(service);
    }
    if (changes.process_settings_off) {
        std::lock_guard lock(ServiceAccess::mutex(service));
        Routing& routing = ServiceAccess::routing(service);
        if (service.state != VornService::SERVICE_RUNNING) {
            disable_crash_flush();
            restore_file_size_settings();
        } else if (!routing.crash_flush) {
            disable_crash_flush();
        }
    }
}

}  // namespace zvk::detail
