// The service's routing table behind its public maps: every Logger handed
// out, every target the table made and has not freed yet, and the work a
// decision leaves for after the service's mutex.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "zvk/VornConfig.h"
#include "zvk/VornService.h"

namespace zvk::detail {

// One target the table made: it owns it until it is freed.
struct OwnedTarget {
    // PENDING: made, not started yet (records wait in its queue). STARTING:
    // one thread starts it. LIVE: started. RETIRING: out of the table; its
    // retirer drains and frees it.
    enum Phase { PENDING, STARTING, LIVE, RETIRING };
    std::string identity;  // two records with the same identity are the same target
    std::string output;    // what it writes to: one writer at a time
    std::uint64_t serial;  // creation order: the order several targets are locked in
    Phase phase;
};

// A logger the application routed to a target of its own (VornInit::route).
struct OwnRoute {
    // The service's reference: dropped, once no thread can still read the
    // pointer from a Logger, when the route is undone or the service stops.
    std::shared_ptr<Target> target;
    int level;
};

struct Routing {
    std::unordered_map<std::string, Logger*> slots;  // every Logger handed out, for ever
    std::unordered_map<Target*, OwnedTarget> made;
    std::uint64_t next_serial = 0;
    // Ahead of the model's routes; kept by init and reload.
    std::unordered_map<std::string, OwnRoute> own_routes;
    // The running model; a target being started keeps its own reference.
    std::shared_ptr<VornConfig> model;
    // Serialises init, reload and stop, across their slow part too; never
    // taken by handles, loggers, fork or the exit.
    std::mutex apply_mutex;
    // Held while a target starts: its init reads the model and log_dir,
    // which a load changes only with this held.
    std::mutex start_mutex;
    // With the service's mutex: a start claimed by some thread has ended.
    std::condition_variable start_done;
    bool exiting = false;  // the stop at process exit happened
    bool crash_flush = false;
    bool locale_applied = false;
    std::string locale_text;  // the locale element last applied
    // Where a reload reads: the file loaded, or the directory the search
    // ran in, both absolute, so that a change of working directory does
    // not lose them.
    std::string loaded_path;
    std::string search_dir;
    // The file was given by the application, not found by the search:
    // re-initialisation loads it again. With the service's mutex.
    bool config_given = false;
};

// Work a decision leaves for after the mutex.
struct Changes {
    std::vector<Target*> retired;  // out of the table, owned here until freed
    // Application targets no longer routed: the service's reference goes
    // once no thread reads them (the last one frees the target).
    std::vector<std::shared_ptr<Target>> released;
    bool process_settings_off = false;  // the crash flush and file-size settings go once drained
};

struct ServiceAccess {
    static Routing& routing(VornService& service) { return *service.routing; }
    static std::mutex& mutex(VornService& service) { return service.registry_mutex; }
};

// The caller holds the service's mutex for all of these.
Logger* find_or_add_logger(VornService& service, const std::string& name, long owner_id);
// Points `logger` at `target` with `level` (-1 and null: no such logger now).
void route(Logger* logger, Target* target, int level);
// Points `logger` at the application's target for `name`, when it has one.
bool route_own(VornService& service, const std::string& name, Logger* logger);
Logger* route_logger(VornService& service, const std::string& name, long owner_id,
                     Changes& changes);
Target* target_for(VornService& service, const std::string& name, Changes& changes);
Target* console_for(VornService& service, const std::string& record_name, Changes& changes);
Target* make_target(VornService& service, Target* target, const std::string& record_name,
                    Changes& changes);
// Routes every Logger handed out by the running model.
void route_all(VornService& service, Changes& changes);
// Every logger unrouted, every target out of the table.
void clear_table(VornService& service, Changes& changes);
// Out of the table; its loggers too unless `unroute` is false (the caller
// routes them anew at once).
void retire(VornService& service, Target* target, Changes& changes, bool unroute = true);
// Each target of the table once.
std::vector<Target*> made_in_table(const VornService& service);
// What a forked child copies: every made target, in creation order, then
// the application's routed ones.
std::vector<Target*> made_targets(VornService& service);
// Each application target routed now, once.
std::vector<std::shared_ptr<Target>> own_targets(VornService& service);
// What `record_name` of `model` makes, with `log_dir`.
std::string identity_of(const VornConfig& model, const std::string& record_name,
                        const std::string& log_dir);

// Without the service's mutex: starts what waits to start, drains and frees
// what was retired, then starts what waited for those.
void apply_changes(VornService& service, Changes& changes);

}  // namespace zvk::detail
