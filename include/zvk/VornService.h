// The process's one logging service: finds and loads the configuration,
// applies its process-wide settings (global locale, file-size limit), and
// routes every logger to a target of the running configuration. The
// routing table owns each target while it is configured; one taken out of
// it writes what it accepted, closes its files and is freed once no thread
// can reach it. Its operations may be called from any thread: they decide
// under one mutex, which the logging path and the targets' workers never
// take, and do everything slow (starting, draining, opening files) after
// releasing it.
#pragma once

#include <atomic>
#include <cstdint>
#include <locale>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "zvk/VornExport.h"

namespace zvk {

class Logger;
class Target;
class VornConfig;

namespace detail {
struct Routing;
struct ServiceAccess;
}  // namespace detail

class ZVK_VORN_API VornService {
public:
    enum { SERVICE_STOPPED = 1, SERVICE_RUNNING = 4 };

    static VornService* get_service();
    static VornService* init_vorn_service(const std::string& path);
    // Stops the instance in use, if there is one.
    static void reset_vorn_state();

    VornService();
    explicit VornService(const std::string& path);
    virtual ~VornService();
    VornService(const VornService&) = delete;
    VornService& operator=(const VornService&) = delete;

    // 4 on success, -1 when no file was found (and after the stop at
    // process exit, which nothing starts again), the unchanged state (1)
    // after an exception.
    int init(const char* path);

    Logger* get_logger(const std::string& name, long owner_id);
    Logger* create_logger(const std::string& name, long owner_id);
    Target* get_target(const std::string& name);
    Target* create_std_target();
    Target* create_file_target(const std::string& name);
    Target* create_syslog_target(const std::string& name);
    void stop();
    // Re-reads the file the service was loaded from and applies it while it
    // runs: every Logger handed out follows it, unchanged targets keep
    // running untouched, changed and removed ones write what they accepted
    // and are freed. 0; -1 (and nothing changed) when the file does not
    // load, or after the stop at process exit.
    int reload();

    // The value of the running configuration, as a reference that stays
    // valid for the life of the process (a reload may change the value,
    // never the text referred to).
    const std::string& get_config_value(const std::string& key);
    void set_locale(const std::string& name);
    void set_locale(const std::locale& loc);
    unsigned long calculate_file_size(const std::string& text);
    int set_file_limit();

    const std::string default_log_dir;
    const std::uint64_t default_file_size;
    const std::string default_config_file;
    const std::string default_config_path;
    int state;
    std::string log_dir;
    std::string time_zone;
    std::uint64_t file_limit;
    VornConfig* config;  // the running model, owned by the routing table; null after stop
    std::string config_file;
    // config_file was given by the application, not found by the search:
    // re-initialisation loads it again.
    bool config_given;
    // The routing table as names see it; changed only under the service's
    // mutex. Targets are owned by the table (a target may stand under
    // several names); loggers live as long as the process.
    std::unordered_map<std::string, Logger*> loggers;
    std::unordered_map<std::string, Target*> targets;

    static std::atomic<VornService*> vornsvc;

private:
    friend class Vorn;
    friend class VornInit;
    friend struct detail::ServiceAccess;

    template <class Make>
    Target* registered_or(const std::string& name, Make make);

    // Decides every routing change; held only while deciding.
    std::mutex registry_mutex;
    // What the table decides with: made targets and their identities, the
    // targets on their way out, and the serialisation of loads.
    std::unique_ptr<detail::Routing> routing;
};

}  // namespace zvk
