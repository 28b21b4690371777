#include "zvk/Vorn.h"

#include <utility>

#include "zvk/Logger.h"
#include "zvk/Message.h"
#include "zvk/Target.h"
#include "zvk/VornService.h"

namespace zvk {

std::string_view Vorn::level_name(int level) {
    static constexpr std::string_view names[] = {"OUT",   "FATAL", "ERROR", "WARN",
                                                 "AUDIT", "INFO",  "TRACE", "DEBUG"};
    if (level < 0 || level > DEBUG) {
        return {};
    }
    return names[level];
}

Vorn::Vorn() : level(0), logger(nullptr), stamp_function(&Vorn::time_gmt) {}

Vorn::Vorn(const std::string& name, long owner_id)
    : level(0), logger(nullptr), stamp_function(&Vorn::time_gmt) {
    VornService* service = VornService::get_service();
    // Keeps the lookup and the time-zone read consistent with a concurrent
    // re-initialisation.
    std::lock_guard lock(service->registry_mutex);
    logger = service->get_logger(name, owner_id);
    if (logger != nullptr) {
        level = logger->level;
    }
    if (service->time_zone == "local") {
        stamp_function = &Vorn::time_local;
    }
}

Vorn::Vorn(Vorn&& other)
    : level(other.level), logger(other.logger), stamp_function(other.stamp_function) {
    other.logger = nullptr;
}

Vorn& Vorn::operator=(Vorn&& other) {
    // A self-move must not silence the handle.
    if (this == &other) {
        return *this;
    }
    level = other.level;
    stamp_function = other.stamp_function;
    logger = other.logger;
    other.logger = nullptr;
    return *this;
}

Vorn::~Vorn() = default;

std::string_view Vorn::version() const { return "1.0.0"; }

void Vorn::log(std::ostringstream&& text, Level lvl) const {
    if (logger == nullptr) {
        return;
    }
    // Straight to the target: a record waits as its text, and building a
    // Message here would cost a stream construction per record.
    logger->target->log(std::move(text), lvl);
}

int Vorn::flush() const { return logger != nullptr ? logger->target->flush() : 0; }

}  // namespace zvk
