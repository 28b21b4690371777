// Facade over the service for applications: (re)initialise, load a given
// configuration file on first use, stop.
#pragma once

#include <string>

#include "zvk/VornExport.h"

namespace zvk {

class ZVK_VORN_API VornInit {
public:
    // Initialises the service again (constructing it first if needed);
    // 0 when it then runs, else -1.
    static int init();
    // Constructs the service from `path` on first use only; 0 when it runs.
    static int load_config(const std::string& path);
    // Re-reads the file the service was loaded from and applies it while it
    // runs; every handle follows it from its next call. 0; -1 when the file
    // does not load: the running configuration stays, with the line
    // "Could not reload Vorn config file: PATH - the running configuration
    // stays".
    static int reload();
    static void reset_vorn_state();
    // Target::flush for every target of the service: 0 when all were
    // flushed (also without service or targets), else -1. Waits holding no
    // lock of the service: other threads make handles and initialise
    // meanwhile; a stop ends the flush.
    static int flush();

    VornInit();
    virtual ~VornInit();
};

}  // namespace zvk
