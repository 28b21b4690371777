// The process's one logging service: finds and loads the configuration,
// applies its process-wide settings (global locale, file-size limit), and
// creates, owns and stops every target and logger. Its operations may be
// called from any thread: they serialise on `registry_mutex`, which the
// logging path and the targets' workers never take.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <locale>
#include <mutex>
#include <string>
#include <unordered_map>

#include "zvk/VornExport.h"

namespace zvk {

class Logger;
class Target;
class VornConfig;

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

    // 4 on success, -1 when no file was found, the unchanged state (1)
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
    // and leave. 0; -1 (and nothing changed) when the file does not load.
    int reload();

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
    VornConfig* config;  // owned; null after stop
    std::string config_file;
    // config_file was given by the application, not found by the search:
    // re-initialisation loads it again.
    bool config_given;
    std::unordered_map<std::string, Logger*> loggers;  // owns the loggers
    std::unordered_map<std::string, Target*> targets;  // owns each distinct target once
    // Serialises every operation above; never taken by `Vorn::log`,
    // `Vorn::logable` or a target's worker.
    std::recursive_mutex registry_mutex;

    static std::atomic<VornService*> vornsvc;

private:
    friend class Vorn;

    // The Logger of `name` for the life of the process (made here on first
    // use); null when another owner holds the name.
    Logger* slot(const std::string& name, long owner_id);
    // Routes every Logger handed out by the model in `config`.
    void route_all();
    Target* console_for(const std::string& record_name);
    // Starts the target `name` made from the record `record_name`: one taken
    // out of service earlier with the same identity, or `make`'s.
    Target* start_target(const std::string& name, const std::string& record_name,
                         const std::function<Target*()>& make);
    // The file that init and reload load: the given one, or the search's.
    std::string config_path() const;
    // Loads `path` into `model`; false (with the line that says why) when it
    // does not load.
    static bool load_model(VornConfig& model, const std::string& path);
};

}  // namespace zvk
