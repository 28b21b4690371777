#include "Handles.h"

#include <atomic>

namespace zvk::detail {

namespace {

HandleRoute no_route(const std::string&, long) { return {}; }

constinit HandleResolver resolver = no_route;
std::atomic<bool> local_stamps{false};

}  // namespace

void install_handle_resolver(HandleResolver given) noexcept { resolver = given; }

HandleRoute resolve_handle(const std::string& name, long owner_id) {
    return resolver(name, owner_id);
}

bool stamps_local() { return local_stamps.load(std::memory_order_relaxed); }
void set_stamps_local(bool local) { local_stamps.store(local, std::memory_order_relaxed); }

}  // namespace zvk::detail
