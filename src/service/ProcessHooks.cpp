// What the service changes of the process and how it meets the process's
// life: the file-size limit and SIGXFSZ, the global locale, the settings a
// model applies, fork and exit.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <new>
#include <stdexcept>

#include "../config/Settings.h"
#include "../frontend/ReadSection.h"
#include "../frontend/Report.h"
#include "../targets/FileLogShared.h"
#include "../targets/TargetAccess.h"
#include "ConfigWatch.h"
#include "CrashHandler.h"
#include "FileSizeSignal.h"
#include "Service.h"
#include "zvk/FileLog.h"
#include "zvk/Target.h"

namespace zvk {

namespace detail {

namespace {

// What the library changed of the process's file-size settings, to be put
// back when the service stops. Guarded by limit_mutex: a file target's
// start sets `guarding` under start_mutex alone, a stop resets it under
// the service's mutex alone.
struct FileLimitChange {
    bool lowered = false;   // the soft limit is ours
    rlim_t original = 0;    // the soft limit before the library set it
    bool guarding = false;  // SIGXFSZ was at its default; our handler is in
};
FileLimitChange limit_change;

// Taken last, with nothing taken under it; held across fork.
std::mutex& limit_mutex() {
    static auto* mutex = new std::mutex();  // outlives every static
    return *mutex;
}

bool handler_is_ours(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) != 0 && action.sa_sigaction == FileLog::handler;
}

}  // namespace

// A handler rather than SIG_IGN, so that a program the process executes
// gets the default disposition back.
void guard_file_size_signal() {
    std::lock_guard lock(limit_mutex());
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
    std::lock_guard lock(limit_mutex());
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

int apply_file_limit(VornService& service) {
    // Without a model (after stop) the configured size is unknown: default.
    const std::string text =
        service.config != nullptr ? service.config->file_size_litmit() : std::string();
    service.file_limit =
        text.empty() ? service.default_file_size : service.calculate_file_size(text);
    if (service.config != nullptr && !sets_file_limit(*service.config)) {
        // Counting starts before what an earlier configuration set goes, so
        // that no write in between goes past the size unrotated.
        counted_file_limit.store(service.file_limit, std::memory_order_relaxed);
        restore_file_size_settings();
        return 0;
    }
    rlimit current{};
    auto failed = [] {
        int err = errno;  // the output below may clobber errno
        report("Could not set Vorn file limit - error: " + decimal(err) + " - " + error_text(err));
        return -1;
    };
    if (prlimit(0, RLIMIT_FSIZE, nullptr, &current) != 0) {
        return failed();
    }
    // Before the limit comes down: from then on a write past it must fail.
    guard_file_size_signal();
    {
        std::lock_guard lock(limit_mutex());
        if (!limit_change.lowered) {
            limit_change.original = current.rlim_cur;
        }
        // Only the soft limit: the hard one stays, so that a later
        // initialisation may raise the soft limit again without privilege.
        rlimit limit{};
        limit.rlim_cur = service.file_limit;
        limit.rlim_max = current.rlim_max;
        if (prlimit(0, RLIMIT_FSIZE, &limit, nullptr) == 0) {
            limit_change.lowered = true;
            // Only now: until the limit is in force the targets count.
            counted_file_limit.store(0, std::memory_order_relaxed);
            return 0;
        }
    }
    // What is reported is what is in force.
    service.file_limit = current.rlim_cur;
    return failed();  // errno is prlimit's: unlocking leaves it
}

void install_locale(const std::locale& loc) {
    try {
        std::locale::global(loc);
    } catch (const std::runtime_error& e) {
        report("Runtime error, could not set Vorn locale to: " + loc.name() +
               "\nError: " + e.what());
    } catch (const std::exception& e) {
        report("Exception, could not set Vorn locale to: " + loc.name() + "\nError: " + e.what());
    } catch (...) {
        report("Exception, could not set Vorn locale to: " + loc.name());
    }
}

std::string config_value(const VornService& service, const std::string& key) {
    return service.config != nullptr ? service.config->get_element(key) : std::string();
}

void apply_model(VornService& service, std::shared_ptr<VornConfig> model, const std::locale* locale,
                 Changes& changes) {
    Routing& routing = ServiceAccess::routing(service);
    routing.model = std::move(model);
    service.config = routing.model.get();
    const ServiceSettings settings = service_settings(*service.config);
    if (locale != nullptr) {
        // The global locale is process-wide and not safe to set while other
        // threads use it: only when the configured one changes.
        const std::string& text = service.config->get_element(service.config->key_locale);
        if (!settings.process_locale) {
            // The program's locales stay; a later configuration that sets
            // the global one again installs it afresh.
            routing.locale_applied = false;
        } else if (!routing.locale_applied || text != routing.locale_text) {
            install_locale(*locale);
            routing.locale_applied = true;
            routing.locale_text = text;
        }
        service.time_zone = settings.local_time ? "local" : "GMT";
        service.log_dir = settings.log_dir;
    }
    set_stamps_local(service.time_zone == "local");
    apply_file_limit(service);
    routing.crash_flush = settings.flush_on_crash;
    if (routing.crash_flush) {
        enable_crash_flush();
    } else {
        // Targets on their way out are still flushed at a crash until they
        // have written what they hold.
        changes.process_settings_off = true;
    }
    service.state = VornService::SERVICE_RUNNING;
}

}  // namespace detail

namespace {

// The stop at process exit. Static objects constructed before the service
// (and atexit handlers registered before it) run after this and may still
// hold handles: so the loggers and targets stay, their workers write what
// is queued and end, and later records are written on the caller's thread.
// The service is never destroyed, and nothing starts it again: a handle
// made even later finds a stopped service and no logger.
void stop_at_exit(VornService& service) {
    std::vector<Target*> in_table;
    std::mutex& mutex = detail::ServiceAccess::mutex(service);
    detail::Routing& routing = detail::ServiceAccess::routing(service);
    {
        std::lock_guard lock(mutex);
        routing.exiting = true;
        detail::end_config_watch();
        service.config = nullptr;
        detail::disable_crash_flush();
        in_table = detail::made_in_table(service);
        // The service keeps its reference to these for ever from here.
        for (const auto& own : detail::own_targets(service)) {
            in_table.push_back(own.get());
        }
    }
    // Without the mutex: what is left is written on this thread, through
    // write_msg, which may make handles or wait for other threads. The
    // table keeps these targets from now on: nothing retires them.
    for (Target* target : in_table) {
        detail::TargetAccess::stop_for_exit(*target);
    }
    std::lock_guard lock(mutex);
    detail::restore_file_size_settings();
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

// Each target the table made, locked by before_fork in creation order.
// Only the forking thread touches it, between before_fork and the matching
// after-fork handler, while it holds the service's mutex.
std::vector<Target*>& forked_targets() {
    static std::vector<Target*> targets;
    return targets;
}

// The locks taken with no other held and nothing taken under them, last:
// a worker may report while it holds its target's mutex.
void lock_leaves() {
    detail::interned_mutex().lock();
    detail::limit_mutex().lock();
    detail::lock_reports();
}

void unlock_leaves() {
    detail::unlock_reports();
    detail::limit_mutex().unlock();
    detail::interned_mutex().unlock();
}

// Holds the table and every target still while the process forks, so that
// the child gets consistent maps and queues rather than ones some other
// thread was changing. Loads in progress are not waited for: they may
// drain a target whose reader stopped reading. A start is.
void before_fork() {
    // Also while another thread constructs the service: the child must not
    // inherit a construction that never finishes.
    detail::instance_mutex().lock();
    VornService* service = VornService::vornsvc.load(std::memory_order_acquire);
    if (service == nullptr) {
        lock_leaves();
        return;
    }
    // A target's start runs its init (a file target's reads the time zone
    // under the C library's lock): the child must not inherit one half-way.
    detail::ServiceAccess::routing(*service).start_mutex.lock();
    detail::ServiceAccess::mutex(*service).lock();
    std::vector<Target*>& locked = forked_targets();
    // Those on their way out too: a thread may still write through one.
    locked = detail::made_targets(*service);
    for (Target* target : locked) {
        target->mutex.lock();
    }
    lock_leaves();
}

void after_fork_in_parent() {
    unlock_leaves();
    VornService* service = VornService::vornsvc.load(std::memory_order_acquire);
    if (service != nullptr) {
        for (auto target = forked_targets().rbegin(); target != forked_targets().rend(); ++target) {
            (*target)->mutex.unlock();
        }
        forked_targets().clear();
        detail::ServiceAccess::mutex(*service).unlock();
        detail::ServiceAccess::routing(*service).start_mutex.unlock();
    }
    detail::instance_mutex().unlock();
}

// The child has no worker threads: a target left RUNNING would make stop,
// and so the child's exit, wait for ever for a worker that does not exist.
// Its queue holds copies of records the parent writes; what the child logs
// through the copied targets could never be written. Both are dropped.
void after_fork_in_child() {
    unlock_leaves();
    VornService* service = VornService::vornsvc.load(std::memory_order_acquire);
    if (service != nullptr) {
        detail::Routing& routing = detail::ServiceAccess::routing(*service);
        for (Target* target : forked_targets()) {
            detail::TargetAccess::drop_after_fork(*target);  // mutex held since before_fork
            target->mutex.unlock();
        }
        // The parent's threads that drain, start or load are not here: what
        // they held is made afresh, and the targets they were taking out of
        // service stay the parent's.
        std::erase_if(routing.made, [](const auto& entry) {
            return entry.second.phase == detail::OwnedTarget::RETIRING;
        });
        new (&routing.apply_mutex) std::mutex();
        new (&routing.start_done) std::condition_variable();
        detail::forget_readers();
        // The parent's crash handlers would flush copies that never write.
        detail::disable_crash_flush();
        detail::forget_config_watch();
        forked_targets().clear();
        // The child writes no log file until it initialises again; its own
        // files, and the programs it may execute, get the limit it had.
        detail::restore_file_size_settings();
        detail::ServiceAccess::mutex(*service).unlock();
        routing.start_mutex.unlock();
    }
    detail::instance_mutex().unlock();
}

// At load, not with the service: a fork during the first construction
// must find the handlers in place.
[[maybe_unused]] const int fork_handlers =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

}  // namespace

namespace detail {

void arm_exit_stop() { static StopAtExit stop_at_exit_guard; }

}  // namespace detail

void VornService::set_locale(const std::string& name) {
    try {
        detail::install_locale(std::locale(name.c_str()));
    } catch (const std::runtime_error& e) {
        detail::report("Runtime error, could not set Vorn locale to: " + name +
                       "\nError: " + e.what());
    } catch (const std::exception& e) {
        detail::report("Exception, could not set Vorn locale to: " + name + "\nError: " + e.what());
    } catch (...) {
        detail::report("Exception, could not set Vorn locale to: " + name);
    }
}

void VornService::set_locale(const std::locale& loc) { detail::install_locale(loc); }

unsigned long VornService::calculate_file_size(const std::string& text) {
    std::uint64_t bytes = 0;
    return VornConfig::file_size_bytes(text, bytes) ? bytes : default_file_size;
}

int VornService::set_file_limit() {
    std::lock_guard lock(registry_mutex);
    return detail::apply_file_limit(*this);
}

}  // namespace zvk
