// What a handle asks of whoever hands out loggers: the frontend owns this
// and the service fills it in, so that nothing here reaches up to the
// service or takes its mutex.
#pragma once

#include <string>

namespace zvk {

class Logger;

namespace detail {

// A handle's logger as the running configuration routes it.
struct HandleRoute {
    Logger* logger = nullptr;  // null: no such logger for this owner now
    int level = 0;             // the logger's level when it was looked up
    Logger* route = nullptr;   // the slot later reloads re-point; null: none
    bool local_time = false;   // stamps in local time, else GMT
};
using HandleResolver = HandleRoute (*)(const std::string& name, long owner_id);

// Set once while the library loads, before any handle can be made; a
// handle made before that gets no logger.
void install_handle_resolver(HandleResolver resolver) noexcept;
HandleRoute resolve_handle(const std::string& name, long owner_id);

// Whether handles stamp their records in local time (the running
// configuration's time_zone), as the service last set it. Any thread.
bool stamps_local();
void set_stamps_local(bool local);

}  // namespace detail
}  // namespace zvk
