#pragma once

#include <atomic>
#include <cstdint>
#include <locale>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "zvk/VornExport.h"

namespace zvk {

class Logger;
class Target;
class VornConfig;

namespace detail {
struct Routing;
struct ServiceAccess;
}  // namespace detail

/// The process's one logging service: finds and loads the configuration,
/// applies its process-wide settings (global locale, file-size limit: each
/// unless the configuration leaves it to the program), and
/// routes every logger to a target of the running configuration. The
/// routing table owns each target while it is configured; one taken out of
/// it writes what it accepted, closes its files and is freed once no thread
/// can reach it. Its operations may be called from any thread: they decide
/// under one mutex, which the logging path and the targets' workers never
/// take, and do everything slow (starting, draining, opening files) after
/// releasing it.
class ZVK_VORN_API VornService {
public:
    /// The values of `state`.
    enum {
        SERVICE_STOPPED = 1,  ///< No configuration runs.
        SERVICE_RUNNING = 4   ///< A configuration was loaded and runs.
    };

    /// The instance, constructed on first use by the configuration search
    /// (config/vorn_config.xml, then vorn_config.xml, in the working
    /// directory). Never null; never destroyed.
    static VornService* get_service();
    /// The instance, constructed on first use from the file `path`; an
    /// instance that exists already is returned as it is.
    static VornService* init_vorn_service(const std::string& path);
    /// Stops the instance in use, if there is one.
    static void reset_vorn_state();

    /// Runs the configuration search. Applications use get_service.
    VornService();
    /// Loads the file `path`. Applications use init_vorn_service.
    explicit VornService(const std::string& path);
    /// Stops first.
    virtual ~VornService();
    VornService(const VornService&) = delete;
    VornService& operator=(const VornService&) = delete;

    /// Loads `path` (null: runs the search) in place of whatever ran: the
    /// targets of before write what they accepted and leave, and handles
    /// made before follow the new configuration.
    /// 4 on success, -1 when no file was found (and after the stop at
    /// process exit, which nothing starts again), the unchanged state (1)
    /// after an exception.
    int init(const char* path);

    /// The logger `name` for `owner_id`, made and routed when new; null when
    /// another owner holds the name, or when the logger has no target that
    /// runs.
    Logger* get_logger(const std::string& name, long owner_id);
    /// Routes the logger `name` by the running configuration (a logger
    /// record, or the built-in "CONSOLE"), starting its target; null as for
    /// get_logger.
    Logger* create_logger(const std::string& name, long owner_id);
    /// The target `name` of the routing table, made and started from its
    /// record when new ("console" also without one); null when there is no
    /// such record or it does not start.
    Target* get_target(const std::string& name);
    /// The console target, "console", made and started when new; null when
    /// it does not start.
    Target* create_std_target();
    /// The target of the table registered as `name`, or a FileLog made and
    /// started as `name`; null when it does not start.
    Target* create_file_target(const std::string& name);
    /// Takes every target out of the table: each writes what it accepted and
    /// is freed; loggers stay, routed to nothing, until the next init.
    void stop();
    /// Re-reads the file the service was loaded from and applies it while it
    /// runs: every Logger handed out follows it, unchanged targets keep
    /// running untouched, changed and removed ones write what they accepted
    /// and are freed. 0; -1 (and nothing changed) when the file does not
    /// load, or after the stop at process exit.
    int reload();

    /// The value of the running configuration, as a reference that stays
    /// valid for the life of the process (a reload may change the value,
    /// never the text referred to).
    const std::string& get_config_value(const std::string& key);
    /// Makes the locale `name` the global one; a name the system lacks is
    /// reported and changes nothing.
    void set_locale(const std::string& name);
    /// Makes `loc` the global locale.
    void set_locale(const std::locale& loc);
    /// The bytes of a `<file_size_max>` text (VornConfig::file_size_bytes
    /// with the global locale); default_file_size for one it refuses.
    unsigned long calculate_file_size(const std::string& text);
    /// Sets the process's soft file-size limit to the running
    /// configuration's `<file_size_max>` (default_file_size without one) and
    /// records it in file_limit; with `<process_file_limit>no` leaves the
    /// process's limit as it was and file targets count up to file_limit.
    /// 0; -1 after reporting a refusal.
    int set_file_limit();

    const std::string default_log_dir;  ///< "logs", without `<log_dir>`.
    /// 10 MiB, without `<file_size_max>` or for one refused.
    const std::uint64_t default_file_size;
    const std::string default_config_file;  ///< "vorn_config.xml", searched for second.
    const std::string default_config_path;  ///< "config/vorn_config.xml", searched for first.

    /// \name Changed under the service's mutex
    /// The operations above change these fields under the service's mutex
    /// while other threads log, make handles and reload. Read them only
    /// through the accessors below, which copy them under that mutex: a
    /// direct read races with every init, reload and stop of another thread.
    ///@{
    int state;              ///< SERVICE_STOPPED or SERVICE_RUNNING; see running_state.
    std::string log_dir;    ///< The running configuration's log directory; see running_log_dir.
    std::string time_zone;  ///< "GMT" or "local": how records are stamped; see running_time_zone.
    std::uint64_t file_limit;  ///< The file-size limit in force, bytes; see running_file_limit.
    /// The running model, owned by the routing table; null after stop. See
    /// running_config, which keeps it alive while it is read.
    VornConfig* config;
    /// The file the running configuration came from; empty when none was
    /// found. See running_config_file.
    std::string config_file;
    /// The routing table as names see it. Targets are owned by the table (a
    /// target may stand under several names); loggers live as long as the
    /// process. See logger_names.
    std::unordered_map<std::string, Logger*> loggers;
    /// The targets of the routing table by name; see loggers and target_names.
    std::unordered_map<std::string, Target*> targets;
    ///@}

    /// state, taken under the service's mutex.
    int running_state() const;
    /// log_dir, copied under the service's mutex.
    std::string running_log_dir() const;
    /// time_zone, copied under the service's mutex.
    std::string running_time_zone() const;
    /// file_limit, taken under the service's mutex.
    std::uint64_t running_file_limit() const;
    /// config_file, copied under the service's mutex.
    std::string running_config_file() const;
    /// The running model (config), shared: it stays valid and unchanged
    /// while the caller holds it, whatever reloads do meanwhile. Null when
    /// none runs.
    std::shared_ptr<const VornConfig> running_config() const;
    /// The names of loggers, sorted, copied under the service's mutex.
    std::vector<std::string> logger_names() const;
    /// The names of targets, sorted, copied under the service's mutex.
    std::vector<std::string> target_names() const;

    /// The instance; null until first use.
    static std::atomic<VornService*> vornsvc;

private:
    friend class VornInit;
    friend struct detail::ServiceAccess;

    template <class Make>
    Target* registered_or(const std::string& name, Make make);

    // Decides every routing change; held only while deciding. Mutable: the
    // accessors copy the fields under it.
    mutable std::mutex registry_mutex;
    // What the table decides with: made targets and their identities, the
    // targets on their way out, and the serialisation of loads.
    std::unique_ptr<detail::Routing> routing;
};

}  // namespace zvk
