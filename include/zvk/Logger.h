// A named route from handles to one target. The service keeps one Logger
// per name for the life of the process and points it at the target and
// level of whatever configuration runs, so that a handle's pointer stays
// valid through every reload, re-initialisation and stop.
#pragma once

#include <atomic>
#include <string>

#include "zvk/VornExport.h"

namespace zvk {

class Message;
class Target;

class ZVK_VORN_API Logger {
public:
    enum Level { OUT, FATAL, ERROR, WARN, AUDIT, INFO, TRACE, DEBUG };

    static int get_level(const std::string& name);  // -1: unknown name
    Logger(const std::string& name, Target* target, Level level);
    virtual ~Logger();

    // Hands `message` to the target, which now owns it (deletes it when
    // the logger has no target now). Any thread.
    void log(Message* message);
    // The target records go to now; null while the running configuration
    // has no such logger.
    // Sequentially consistent: the service frees a target once no thread
    // that read it may still use it, which it tells by this load's order.
    Target* current_target() const {
        return std::atomic_ref<Target*>(const_cast<Target*&>(target))
            .load(std::memory_order_seq_cst);
    }

    long owner_id;
    std::string name;
    // As configured now, changed by the service under its registry mutex;
    // `target` also while handles use it (through std::atomic_ref): threads
    // that log read it through current_target.
    Level level;
    Target* target;
    bool has_owner;
    // The most verbose level that passes, -1 when nothing does (no such
    // logger in the running configuration): what Vorn::logable compares.
    std::atomic<int> accepts;

    // The name as records carry it: valid for the life of the process,
    // also after this logger is gone, so that a queued record outlives it.
    const char* record_name() const noexcept { return interned_name; }

private:
    const char* interned_name;
};

}  // namespace zvk
