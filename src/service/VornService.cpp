#include "zvk/VornService.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <new>
#include <stdexcept>
#include <system_error>
#include <unordered_set>
#include <vector>

#include "../frontend/Report.h"
#include "ConfigWatch.h"
#include "CrashHandler.h"
#include "FileSizeSignal.h"
#include "Registry.h"
#include "zvk/FileLog.h"
#include "zvk/Logger.h"
#include "zvk/SyslogLog.h"
#include "zvk/Target.h"
#include "zvk/VornConfig.h"

namespace zvk {

std::atomic<VornService*> VornService::vornsvc{nullptr};

namespace detail {

namespace {

// What the library changed of the process's file-size settings, to be put
// back when the service stops. Guarded by registry_mutex.
struct FileLimitChange {
    bool lowered = false;   // the soft limit is ours
    rlim_t original = 0;    // the soft limit before the library set it
    bool guarding = false;  // SIGXFSZ was at its default; our handler is in
};
FileLimitChange limit_change;

// Handles keep Logger pointers and may hold a Target pointer they read a
// moment before: neither is ever freed while the process runs. A target
// taken out of service waits here, and serves again when a later
// configuration asks for the same one, so that memory stays bounded by the
// distinct targets a program configures. Guarded by registry_mutex.
struct Routing {
    std::unordered_map<std::string, Logger*> slots;     // every logger handed out, by name
    std::unordered_map<Target*, std::string> identity;  // what each target was made from
    std::vector<Target*> retired;
};

Routing& routing() {
    static Routing* state = new Routing();  // outlives every static
    return *state;
}

std::atomic<bool> local_stamps{false};

bool handler_is_ours(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == FileLog::handler;
}

}  // namespace

bool stamps_local() { return local_stamps.load(std::memory_order_relaxed); }

std::vector<Target*> distinct_targets(const VornService& service) {
    std::vector<Target*> distinct;
    std::unordered_set<Target*> seen;
    for (const auto& entry : service.targets) {
        if (seen.insert(entry.second).second) {
            distinct.push_back(entry.second);
        }
    }
    return distinct;
}

// A handler rather than SIG_IGN, so that a program the process executes
// gets the default disposition back.
void guard_file_size_signal() {
    struct sigaction current {};
    if (sigaction(SIGXFSZ, nullptr, &current) != 0) {
        return;
    }
    if (handler_is_ours(current)) {
        limit_change.guarding = true;
        return;
    }
    if ((current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_DFL) {
        return;
    }
    struct sigaction action {};
    action.sa_sigaction = FileLog::handler;
    action.sa_flags = SA_SIGINFO | SA_RESTART;
    sigemptyset(&action.sa_mask);
    if (sigaction(SIGXFSZ, &action, nullptr) == 0) {
        limit_change.guarding = true;
    }
}

void restore_file_size_settings() {
    if (limit_change.lowered) {
        rlimit limit{};
        if (getrlimit(RLIMIT_FSIZE, &limit) == 0) {
            // Someone may have lowered the hard limit meanwhile.
            limit.rlim_cur =
                limit.rlim_max == RLIM_INFINITY || limit_change.original <= limit.rlim_max
                    ? limit_change.original
                    : limit.rlim_max;
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        limit_change.lowered = false;
    }
    if (limit_change.guarding) {
        struct sigaction current {};
        // A handler the application installed after ours stays its own.
        if (sigaction(SIGXFSZ, nullptr, &current) == 0 && handler_is_ours(current)) {
            struct sigaction fallback {};
            fallback.sa_handler = SIG_DFL;
            sigemptyset(&fallback.sa_mask);
            sigaction(SIGXFSZ, &fallback, nullptr);
        }
        limit_change.guarding = false;
    }
}

}  // namespace detail

using detail::guard_file_size_signal;
using detail::restore_file_size_settings;

namespace {

// Chooses the one instance when get_service and init_vorn_service race on
// first use. Never taken again once `vornsvc` is set; constructing an
// instance must not call back into either operation.
std::mutex& instance_mutex() {
    static std::mutex mutex;
    return mutex;
}

bool path_exists(const std::string& path) {
    // Follows symbolic links; a directory counts. Throws on a file-system
    // error other than "not found", which init reports.
    std::filesystem::file_type type = std::filesystem::status(path).type();
    return type != std::filesystem::file_type::none &&
           type != std::filesystem::file_type::not_found;
}

// Set by the stop at process exit, under registry_mutex.
bool exiting = false;

// Points `logger` at `target` with `level` (-1 and null: no such logger
// now). Threads that log see the target first, then the level.
void route(Logger* logger, Target* target, int level) {
    std::atomic_ref<Target*>(logger->target).store(target, std::memory_order_release);
    if (level >= 0) {
        logger->level = static_cast<Logger::Level>(level);
    }
    logger->accepts.store(target != nullptr ? level : -1, std::memory_order_release);
}

// Takes `target` out of service: its worker writes what was accepted and
// ends; a thread that still reaches it writes its record itself.
void retire(Target* target) {
    detail::unwatch_target(target);
    target->retire();
    detail::routing().retired.push_back(target);
}

// What a target of the running configuration is made from: two names with
// the same identity are the same target.
std::string identity_of(const VornConfig& config, const std::string& name,
                        const std::string& log_dir) {
    const VornConfig::target_cf_t* record = config.get_target(name);
    if (record == nullptr) {
        return name == "console" ? "stdout\n" : std::string();
    }
    std::string identity = record->type + "\n";
    if (record->type == config.key_file) {
        identity += name + "\n" + log_dir + "\n";
    }
    for (const auto& [key, value] : record->params) {
        identity += key + "=" + value + "\n";
    }
    return identity;
}

// Every logger, target and the model out of service: handles log nothing
// until loggers of a new configuration take over. Each worker first writes
// what is queued (which also ends every flush waiting on it). Caller holds
// registry_mutex.
void tear_down(VornService& service) {
    detail::end_config_watch();
    delete service.config;
    service.config = nullptr;
    for (auto& entry : detail::routing().slots) {
        route(entry.second, nullptr, -1);
    }
    service.loggers.clear();
    const std::vector<Target*> distinct = detail::distinct_targets(service);
    service.targets.clear();
    for (Target* target : distinct) {
        retire(target);
    }
}

// Applies the bound `record` asks for to a target just started, before its
// first record. Returns `target`, which may be null.
Target* apply_queue_bound(Target* target, const VornConfig::target_cf_t& record) {
    if (target == nullptr) {
        return nullptr;
    }
    const std::string* max_text = VornConfig::target_param(record, "queue_max");
    const std::string* when_full = VornConfig::target_param(record, "when_full");
    target->set_queue_bound(max_text != nullptr ? Target::queue_max_from(*max_text) : 0,
                            when_full != nullptr && *when_full == "drop");
    return target;
}

// The stop at process exit. Static objects constructed before the service
// (and atexit handlers registered before it) run after this and may still
// hold handles: so the loggers and targets stay, their workers write what
// is queued and end, and later records are written on the caller's thread.
// The service itself is never destroyed, so a handle made even later finds
// a stopped service and no logger.
void stop_at_exit(VornService& service) {
    std::vector<Target*> distinct;
    {
        std::lock_guard lock(service.registry_mutex);
        detail::end_config_watch();
        delete service.config;
        service.config = nullptr;
        detail::disable_crash_flush();
        distinct = detail::distinct_targets(service);
        exiting = true;
    }
    // Without the registry mutex: what is left is written on this thread,
    // through write_msg, which may make handles or wait for other threads.
    // Nothing frees these targets from now on.
    for (Target* target : distinct) {
        target->stop_for_exit();
    }
    std::lock_guard lock(service.registry_mutex);
    restore_file_size_settings();
    service.state = VornService::SERVICE_STOPPED;
}

struct StopAtExit {
    ~StopAtExit() {
        VornService* service = VornService::vornsvc.load(std::memory_order_acquire);
        if (service != nullptr) {
            stop_at_exit(*service);
        }
    }
};

// Makes `service` the instance. The stop at exit is registered right after
// its construction, so that it runs before the destructors of everything
// constructed earlier, as a static service object's destructor would.
VornService* publish(VornService* service) {
    static StopAtExit stop_at_exit_guard;
    VornService::vornsvc.store(service, std::memory_order_release);
    return service;
}

// Each distinct target, locked by before_fork. Only the forking thread
// touches it, between before_fork and the matching after-fork handler,
// while it holds registry_mutex.
std::vector<Target*>& forked_targets() {
    static std::vector<Target*> targets;
    return targets;
}

// Holds the registry and every target still while the process forks, so
// that the child gets consistent maps and queues rather than ones some
// other thread was changing.
void before_fork() {
    // Also while another thread constructs the service: the child must not
    // inherit a construction that never finishes.
    instance_mutex().lock();
    VornService* service = VornService::vornsvc.load(std::memory_order_acquire);
    if (service == nullptr) {
        detail::lock_reports();
        return;
    }
    service->registry_mutex.lock();
    std::vector<Target*>& locked = forked_targets();
    locked = detail::distinct_targets(*service);
    // Retired ones too: a thread may still write its record through one.
    const std::vector<Target*>& retired = detail::routing().retired;
    locked.insert(locked.end(), retired.begin(), retired.end());
    for (Target* target : locked) {
        target->mutex.lock();
    }
    // Last: a worker may report while it holds its target's mutex.
    detail::lock_reports();
}

void after_fork_in_parent() {
    detail::unlock_reports();
    VornService* service = VornService::vornsvc.load(std::memory_order_acquire);
    if (service != nullptr) {
        for (Target* target : forked_targets()) {
            target->mutex.unlock();
        }
        forked_targets().clear();
        service->registry_mutex.unlock();
    }
    instance_mutex().unlock();
}

// The child has no worker threads: a target left RUNNING would make stop,
// and so the child's exit, wait for ever for a worker that does not exist.
// Its queue holds copies of records the parent writes; what the child logs
// through the copied targets could never be written. Both are dropped.
void after_fork_in_child() {
    detail::unlock_reports();
    VornService* service = VornService::vornsvc.load(std::memory_order_acquire);
    if (service != nullptr) {
        for (Target* target : forked_targets()) {
            target->drop_after_fork();  // mutex held since before_fork
            target->mutex.unlock();
        }
        // The parent's crash handlers would flush copies that never write.
        detail::disable_crash_flush();
        detail::forget_config_watch();
        forked_targets().clear();
        // A recursive mutex knows its owner by thread id, and the child's
        // one thread has a new id: unlock would refuse. Made afresh.
        new (&service->registry_mutex) std::recursive_mutex();
        // The child writes no log file until it initialises again; its own
        // files, and the programs it may execute, get the limit it had.
        restore_file_size_settings();
    }
    instance_mutex().unlock();
}

// At load, not with the service: a fork during the first construction
// must find the handlers in place.
[[maybe_unused]] const int fork_handlers =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

}  // namespace

VornService* VornService::get_service() {
    VornService* service = vornsvc.load(std::memory_order_acquire);
    if (service != nullptr) {
        return service;
    }
    std::lock_guard lock(instance_mutex());
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
    std::lock_guard lock(instance_mutex());
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
    : default_log_dir("logs"),
      default_file_size(10485760),
      default_config_file("vorn_config.xml"),
      default_config_path("config/vorn_config.xml"),
      state(SERVICE_STOPPED),
      file_limit(default_file_size),
      config(nullptr),
      config_given(false) {
    init(nullptr);
}

VornService::VornService(const std::string& path)
    : default_log_dir("logs"),
      default_file_size(10485760),
      default_config_file("vorn_config.xml"),
      default_config_path("config/vorn_config.xml"),
      state(SERVICE_STOPPED),
      file_limit(default_file_size),
      config(nullptr),
      config_given(false) {
    init(path.c_str());
}

VornService::~VornService() { stop(); }

int VornService::init(const char* path) {
    std::lock_guard lock(registry_mutex);
    // `path` may point into config_file itself.
    const std::string given = path != nullptr ? path : "";
    try {
        // Whatever an earlier load left, a failed one included: workers end
        // the way stop ends them, and every load starts from empty tables.
        tear_down(*this);
        detail::disable_crash_flush();
        state = SERVICE_STOPPED;
        config = new VornConfig();
        config_given = path != nullptr;
        config_file = path != nullptr ? given : config_path();
        if (config_file.empty()) {
            detail::report("Could not locate Vorn config file");
            return -1;
        }
        const detail::FileVersion loaded = detail::version_of(config_file);
        if (!load_model(*config, config_file)) {
            // Nothing to apply: the service runs without loggers.
        } else {
            set_locale(config->get_locale());
            time_zone = get_config_value("time_zone") == "LOCAL" ? "local" : "GMT";
            log_dir = config->log_dir();
            if (log_dir.empty()) {
                log_dir = default_log_dir;
            }
        }
        detail::local_stamps.store(time_zone == "local", std::memory_order_relaxed);
        set_file_limit();
        if (get_config_value("flush_on_crash") == "true") {
            detail::enable_crash_flush();
        }
        state = SERVICE_RUNNING;
        // Handles made before follow the new model.
        route_all();
        detail::watch_config(detail::watch_seconds_from(get_config_value("watch_seconds")),
                             config_file, loaded);
        return state;
    } catch (const std::exception& e) {
        detail::report(std::string("exception while loading Vorn config ") + e.what());
    } catch (...) {
        detail::report("Unknown exception occurred while loading Vorn configuration");
    }
    // A model that failed half-way (an unknown locale) would fail every
    // target made from it: the service stops cleanly instead.
    try {
        stop();
    } catch (...) {
    }
    return state;
}

std::string VornService::config_path() const {
    if (config_given) {
        return config_file;
    }
    if (path_exists(default_config_path)) {
        return default_config_path;
    }
    if (path_exists(default_config_file)) {
        return default_config_file;
    }
    return {};
}

int VornService::reload() {
    std::lock_guard lock(registry_mutex);
    if (state != SERVICE_RUNNING) {
        // Nothing runs to keep: as an initialisation.
        init(config_given ? config_file.c_str() : nullptr);
        return state == SERVICE_RUNNING ? 0 : -1;
    }
    std::string path;
    detail::FileVersion loaded;
    auto fresh = std::make_unique<VornConfig>();
    std::locale locale;
    try {
        path = config_path();
        if (path.empty()) {
            detail::report("Could not locate Vorn config file");
        }
        loaded = detail::version_of(path);
        if (path.empty() || !load_model(*fresh, path)) {
            throw std::runtime_error("");
        }
        locale = fresh->get_locale();
    } catch (const std::exception& e) {
        if (*e.what() != '\0') {
            detail::report(std::string("exception while loading Vorn config ") + e.what());
        }
        detail::report("Could not reload Vorn config file: " + path +
                       " - the running configuration stays");
        return -1;
    }
    std::string new_log_dir = fresh->log_dir().empty() ? default_log_dir : fresh->log_dir();
    // The targets whose record is unchanged stay as they run. The one
    // console target stays while a record of the new model is the one it
    // was made from; stdout records find it under "console".
    std::unordered_map<std::string, Target*> kept;
    for (const auto& [name, target] : targets) {
        const std::string& was = detail::routing().identity[target];
        if (target->type != Target::CONSOLE_TARGET) {
            if (identity_of(*fresh, name, new_log_dir) == was) {
                kept.emplace(name, target);
            }
            continue;
        }
        bool made_here = identity_of(*fresh, "console", new_log_dir) == was;
        for (const auto& [record_name, record] : fresh->targets) {
            made_here = made_here || (record->type == fresh->key_stdout &&
                                      identity_of(*fresh, record_name, new_log_dir) == was);
        }
        if (made_here) {
            kept.emplace("console", target);
        }
    }
    const std::vector<Target*> before = detail::distinct_targets(*this);
    delete config;
    config = fresh.release();
    set_locale(locale);
    time_zone = get_config_value("time_zone") == "LOCAL" ? "local" : "GMT";
    detail::local_stamps.store(time_zone == "local", std::memory_order_relaxed);
    log_dir = new_log_dir;
    set_file_limit();
    if (get_config_value("flush_on_crash") == "true") {
        detail::enable_crash_flush();
    } else {
        detail::disable_crash_flush();
    }
    targets = std::move(kept);
    route_all();
    // What no logger reaches any more writes what it accepted and leaves.
    std::unordered_set<Target*> now;
    for (const auto& entry : targets) {
        now.insert(entry.second);
    }
    for (Target* target : before) {
        if (now.count(target) == 0) {
            retire(target);
        }
    }
    detail::watch_config(detail::watch_seconds_from(get_config_value("watch_seconds")), path,
                         loaded);
    return 0;
}

bool VornService::load_model(VornConfig& model, const std::string& path) {
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
    if (model.load_config(static_cast<std::istream&>(in)) != 0) {
        // Without this line an application would run with no loggers and
        // no clue why.
        if (opened) {
            detail::report("Could not load Vorn config file: " + path);
        }
        return false;
    }
    return true;
}

Logger* VornService::get_logger(const std::string& name, long owner_id) {
    std::lock_guard lock(registry_mutex);
    auto found = loggers.find(name);
    if (found == loggers.end()) {
        return create_logger(name, owner_id);
    }
    Logger* logger = found->second;
    if (logger->has_owner && logger->owner_id != owner_id) {
        return nullptr;
    }
    return logger;
}

Logger* VornService::create_logger(const std::string& name, long owner_id) {
    std::lock_guard lock(registry_mutex);
    try {
        // The logger of this name exists from now on, routed or not.
        Logger* logger = slot(name, owner_id);
        if (logger == nullptr) {
            return nullptr;
        }
        std::string level_text;
        Target* target = nullptr;
        const VornConfig::logger_cf_t* record =
            config != nullptr ? config->get_logger(name) : nullptr;
        std::string target_name;
        if (record != nullptr) {
            level_text = record->level;
            target_name = record->target->name;
        } else if (config != nullptr && name == "CONSOLE") {
            // A built-in for applications without a logger record: every
            // level to the console target ("console" of the registry or of
            // the model). Needs a model, like every target creation.
            level_text = "DEBUG";
            target_name = "console";
        }
        if (!target_name.empty()) {
            auto found = targets.find(target_name);
            if (found != targets.end()) {
                target = found->second;
            } else {
                target = get_target(target_name);
                if (target != nullptr) {
                    // For a "stdout" record this adds a second name of the
                    // console target; teardown still retires it once.
                    targets.emplace(target_name, target);
                }
            }
        }
        if (level_text.empty()) {
            return nullptr;
        }
        int level = Logger::get_level(level_text);
        if (level == -1) {
            detail::report("Invalid level: " + level_text);
            return nullptr;
        }
        if (target == nullptr) {
            return nullptr;
        }
        route(logger, target, level);
        loggers[name] = logger;
        return logger;
    } catch (const std::invalid_argument& e) {
        detail::report("invalid_argument exception occurred while create logger: " + name + " - " +
                       e.what());
    } catch (const std::out_of_range& e) {
        detail::report("out_of_range exception occurred while create logger: " + name + " - " +
                       e.what());
    } catch (...) {
        detail::report("unknown exception occurred while create logger: " + name);
    }
    return nullptr;
}

Logger* VornService::slot(const std::string& name, long owner_id) {
    auto& slots = detail::routing().slots;
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

void VornService::route_all() {
    for (auto& [name, logger] : detail::routing().slots) {
        if (create_logger(name, logger->owner_id) == nullptr) {
            route(logger, nullptr, -1);
            loggers.erase(name);
        }
    }
}

Target* VornService::get_target(const std::string& name) {
    std::lock_guard lock(registry_mutex);
    auto found = targets.find(name);
    if (found != targets.end()) {
        return found->second;
    }
    // Starting a target reads the model, so none is made after stop.
    if (config == nullptr) {
        return nullptr;
    }
    const VornConfig::target_cf_t* record = config->get_target(name);
    if (record == nullptr) {
        return name == "console" ? create_std_target() : nullptr;
    }
    if (record->type == config->key_stdout) {
        auto console = targets.find("console");
        if (console != targets.end()) {
            return console->second;
        }
        // The one console target takes its bound from the stdout record it
        // is first created for.
        return apply_queue_bound(console_for(name), *record);
    }
    if (record->type == config->key_file) {
        return apply_queue_bound(create_file_target(name), *record);
    }
    if (record->type == "syslog") {
        return apply_queue_bound(create_syslog_target(name), *record);
    }
    detail::report("Invalid target type: " + record->type);
    return nullptr;
}

Target* VornService::create_std_target() {
    std::lock_guard lock(registry_mutex);
    return console_for("console");
}

Target* VornService::console_for(const std::string& record_name) {
    return start_target("console", record_name,
                        [] { return new Target("console", Target::CONSOLE_TARGET); });
}

Target* VornService::create_file_target(const std::string& name) {
    std::lock_guard lock(registry_mutex);
    return start_target(name, name, [&name] { return new FileLog(name); });
}

Target* VornService::create_syslog_target(const std::string& name) {
    std::lock_guard lock(registry_mutex);
    return start_target(name, name, [&name] { return new SyslogLog(name); });
}

Target* VornService::start_target(const std::string& name, const std::string& record_name,
                                  const std::function<Target*()>& make) {
    detail::Routing& routing = detail::routing();
    const std::string identity =
        config != nullptr ? identity_of(*config, record_name, log_dir) : std::string();
    // The same target taken out of service before serves again.
    for (std::size_t i = 0; i < routing.retired.size(); ++i) {
        Target* target = routing.retired[i];
        // A forked child's copy, or one that no longer starts, stays out:
        // a new target is tried in its place.
        if (target->name != name || routing.identity[target] != identity ||
            target->restart(config) != 0) {
            continue;
        }
        routing.retired.erase(routing.retired.begin() + static_cast<std::ptrdiff_t>(i));
        targets.emplace(name, target);
        detail::watch_target(target);
        return target;
    }
    // Deleted also when start throws (an unknown locale name).
    std::unique_ptr<Target> target(make());
    if (target->start(config) != 0) {
        return nullptr;
    }
    routing.identity[target.get()] = identity;
    targets.emplace(name, target.get());
    detail::watch_target(target.get());
    return target.release();
}

void VornService::stop() {
    std::lock_guard lock(registry_mutex);
    // In every state: a failed or half-done initialisation leaves targets
    // with queued records too.
    tear_down(*this);
    detail::disable_crash_flush();
    restore_file_size_settings();
    state = SERVICE_STOPPED;
}

const std::string& VornService::get_config_value(const std::string& key) {
    std::lock_guard lock(registry_mutex);
    static const std::string empty;
    return config != nullptr ? config->get_element(key) : empty;
}

void VornService::set_locale(const std::string& name) {
    std::lock_guard lock(registry_mutex);
    try {
        std::locale::global(std::locale(name.c_str()));
    } catch (const std::runtime_error& e) {
        detail::report("Runtime error, could not set Vorn locale to: " + name +
                       "\nError: " + e.what());
    } catch (const std::exception& e) {
        detail::report("Exception, could not set Vorn locale to: " + name + "\nError: " + e.what());
    } catch (...) {
        detail::report("Exception, could not set Vorn locale to: " + name);
    }
}

void VornService::set_locale(const std::locale& loc) {
    std::lock_guard lock(registry_mutex);
    try {
        std::locale::global(loc);
    } catch (const std::runtime_error& e) {
        detail::report("Runtime error, could not set Vorn locale to: " + loc.name() +
                       "\nError: " + e.what());
    } catch (const std::exception& e) {
        detail::report("Exception, could not set Vorn locale to: " + loc.name() +
                       "\nError: " + e.what());
    } catch (...) {
        detail::report("Exception, could not set Vorn locale to: " + loc.name());
    }
}

unsigned long VornService::calculate_file_size(const std::string& text) {
    std::uint64_t bytes = 0;
    return VornConfig::file_size_bytes(text, bytes) ? bytes : default_file_size;
}

int VornService::set_file_limit() {
    std::lock_guard lock(registry_mutex);
    // Without a model (after stop) the configured size is unknown: default.
    const std::string text = config != nullptr ? config->file_size_litmit() : std::string();
    file_limit = text.empty() ? default_file_size : calculate_file_size(text);
    rlimit current{};
    auto failed = [] {
        int err = errno;  // the output below may clobber errno
        detail::report("Could not set Vorn file limit - error: " + std::to_string(err) + " - " +
                       std::strerror(err));
        return -1;
    };
    if (prlimit(0, RLIMIT_FSIZE, nullptr, &current) != 0) {
        return failed();
    }
    // Before the limit comes down: from then on a write past it must fail.
    guard_file_size_signal();
    if (!detail::limit_change.lowered) {
        detail::limit_change.original = current.rlim_cur;
    }
    // Only the soft limit: the hard one stays, so that a later
    // initialisation may raise the soft limit again without privilege.
    rlimit limit{};
    limit.rlim_cur = file_limit;
    limit.rlim_max = current.rlim_max;
    if (prlimit(0, RLIMIT_FSIZE, &limit, nullptr) != 0) {
        // What is reported is what is in force.
        file_limit = current.rlim_cur;
        return failed();
    }
    detail::limit_change.lowered = true;
    return 0;
}

}  // namespace zvk
