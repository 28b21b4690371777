#pragma once

#include <memory>
#include <string>

#include "zvk/VornExport.h"

namespace zvk {

class Target;

/// Facade over the service for applications: (re)initialise, load a given
/// configuration file on first use, stop.
class ZVK_VORN_API VornInit {
public:
    /// Initialises the service again (constructing it first if needed);
    /// 0 when it then runs, else -1.
    static int init();
    /// Constructs the service from `path` on first use only; 0 when it runs.
    /// Once the service runs from another file (or the search) with loggers
    /// in use, -1 and a line saying so.
    static int load_config(const std::string& path);
    /// Re-reads the file the service was loaded from and applies it while it
    /// runs; every handle follows it from its next call. 0; -1 when the file
    /// does not load: the running configuration stays, with the line
    /// "Could not reload Vorn config file: PATH - the running configuration
    /// stays".
    static int reload();
    /// Stops the service (constructing it first if needed): every target
    /// writes what it accepted and is freed; handles stay valid and log
    /// nothing until the service is initialised again.
    static void reset_vorn_state();
    /// Target::flush for every target of the service: 0 when all were
    /// flushed (also without service or targets), else -1. Waits holding no
    /// lock of the service: other threads make handles and initialise
    /// meanwhile; a stop ends the flush.
    static int flush();
    /// Routes the logger `name` to `target`, a target of the application's
    /// own (a CaptureTarget, a type of its own), passing levels up to
    /// `level` (7, DEBUG: every level), ahead of what the configuration
    /// says and also without a configuration file; handles made before
    /// follow it from their next call. A target not running yet is started
    /// first (init gets the running configuration, or null); what its init
    /// throws reaches the caller. The service keeps a reference to `target`
    /// until the route is undone (the same call with null: the logger
    /// follows the configuration again) or the service stops
    /// (reset_vorn_state); init and reload keep the route. 0; -1 when
    /// `level` is not a level, the target does not start, or after the stop
    /// at process exit.
    static int route(const std::string& name, std::shared_ptr<Target> target, int level = 7);

    VornInit();
    virtual ~VornInit();
};

}  // namespace zvk
