#include "ServiceHooks.h"

#include "../config/Settings.h"

namespace zvk::detail {

namespace {

std::string default_log_dir() { return kDefaultLogDir; }
bool gmt() { return false; }
void no_guard() {}

constinit ServiceHooks hooks{default_log_dir, gmt, no_guard};

}  // namespace

void install_service_hooks(const ServiceHooks& given) noexcept { hooks = given; }

const ServiceHooks& service_hooks() noexcept { return hooks; }

}  // namespace zvk::detail
