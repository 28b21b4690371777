#pragma once

#include <atomic>
#include <string>

#include "zvk/VornExport.h"

// The level names are common macro names (-DDEBUG, -DERROR): what is
// declared here sees them as plain names, and the program's macros return
// at the end.
#pragma push_macro("OUT")
#undef OUT
#pragma push_macro("FATAL")
#undef FATAL
#pragma push_macro("ERROR")
#undef ERROR
#pragma push_macro("WARN")
#undef WARN
#pragma push_macro("AUDIT")
#undef AUDIT
#pragma push_macro("INFO")
#undef INFO
#pragma push_macro("TRACE")
#undef TRACE
#pragma push_macro("DEBUG")
#undef DEBUG

namespace zvk {

class Message;
class Target;

namespace detail {
struct LoggerAccess;
}  // namespace detail

/// A named route from handles to one target. The service keeps one Logger
/// per name for the life of the process and points it at the target and
/// level of whatever configuration runs, so that a handle's pointer stays
/// valid through every reload, re-initialisation and stop.
class ZVK_VORN_API Logger {
public:
    /// The levels of Vorn::Level, in the same order.
    enum Level { OUT, FATAL, ERROR, WARN, AUDIT, INFO, TRACE, DEBUG };

    /// The level named `name` ("OUT" ... "DEBUG", as spelt there); -1: unknown name.
    static int get_level(const std::string& name);
    /// A logger routed to `target` (not owned; null: none) at `level`, with
    /// no owner. The service makes every logger that handles use.
    Logger(const std::string& name, Target* target, Level level);
    virtual ~Logger();

    /// Hands `message` to the target, which now owns it (deletes it when
    /// the logger has no target now). Any thread.
    void log(Message* message);
    /// The target records go to now; null while the running configuration
    /// has no such logger. The way to read `target`.
    /// Sequentially consistent: the service frees a target once no thread
    /// that read it may still use it, which it tells by this load's order.
    Target* current_target() const {
        return std::atomic_ref<Target*>(const_cast<Target*&>(target))
            .load(std::memory_order_seq_cst);
    }
    /// The level as configured now. The way to read `level`.
    Level current_level() const {
        return std::atomic_ref<Level>(const_cast<Level&>(level)).load(std::memory_order_relaxed);
    }

    /// The owner it was first asked for with; fixed once the service hands
    /// the logger out. See has_owner.
    long owner_id;
    std::string name;  ///< The logger's name; fixed.
    /// The level as configured now. The service changes it under its mutex
    /// while handles log (through std::atomic_ref): read it only through
    /// current_level.
    Level level;
    /// The target as configured now (not owned; null: none). The service
    /// changes it under its mutex while handles log (through
    /// std::atomic_ref): read it only through current_target.
    Target* target;
    /// Whether the logger belongs to owner_id (asked for first with an id
    /// other than 0): a handle asked for with another id gets no logger.
    /// Fixed once the service hands the logger out.
    bool has_owner;

private:
    friend class Vorn;
    friend struct detail::LoggerAccess;

    // The most verbose level that passes, -1 when nothing does (no such
    // logger in the running configuration): what Vorn::logable compares.
    // Stored by the service after target and level.
    std::atomic<int> accepts;
    // The name as records carry it: valid for the life of the process,
    // also after this logger is gone, so that a queued record outlives it.
    const char* interned_name;

    const char* record_name() const noexcept { return interned_name; }
};

}  // namespace zvk

#pragma pop_macro("OUT")
#pragma pop_macro("FATAL")
#pragma pop_macro("ERROR")
#pragma pop_macro("WARN")
#pragma pop_macro("AUDIT")
#pragma pop_macro("INFO")
#pragma pop_macro("TRACE")
#pragma pop_macro("DEBUG")
