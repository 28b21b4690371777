#include "zvk/Vorn.h"

#include <cstring>
#include <utility>

#include "Handles.h"
#include "Origins.h"
#include "ReadSection.h"
#include "StampCache.h"
#include "zvk/Logger.h"
#include "zvk/Message.h"
#include "zvk/Target.h"

namespace zvk {

std::string_view Vorn::level_name(int level) {
    static constexpr std::string_view names[] = {"OUT",   "FATAL", "ERROR", "WARN",
                                                 "AUDIT", "INFO",  "TRACE", "DEBUG"};
    if (level < 0 || level > DEBUG) {
        return {};
    }
    return names[level];
}

Vorn::Vorn() : level(0), logger(nullptr), stamp_function(&Vorn::time_gmt), route(nullptr) {}

Vorn::Vorn(const std::string& name, long owner_id)
    : level(0), logger(nullptr), stamp_function(&Vorn::time_gmt), route(nullptr) {
    const detail::HandleRoute found = detail::resolve_handle(name, owner_id);
    logger = found.logger;
    level = found.level;
    route = found.route;
    if (found.local_time) {
        stamp_function = &Vorn::time_local;
    }
}

Vorn::Vorn(Vorn&& other)
    : level(other.level),
      logger(other.logger),
      stamp_function(other.stamp_function),
      route(other.route) {
    other.logger = nullptr;
    other.route = nullptr;
}

Vorn& Vorn::operator=(Vorn&& other) {
    // A self-move must not silence the handle.
    if (this == &other) {
        return *this;
    }
    level = other.level;
    stamp_function = other.stamp_function;
    logger = other.logger;
    route = other.route;
    other.logger = nullptr;
    other.route = nullptr;
    return *this;
}

Vorn::~Vorn() = default;

std::string_view Vorn::version() const { return "1.0.0"; }

Target* Vorn::target_now() const {
    const Logger* through = route != nullptr ? route : logger;
    return through != nullptr ? through->current_target() : nullptr;
}

void Vorn::log(std::ostringstream&& text, Level lvl) const {
    log(std::move(text), lvl, nullptr, 0, nullptr);
}

namespace {

// The target a record of `through` (null: none) goes to now, and the
// record's origin; null: it goes nowhere. The caller is in a read section
// until the record is queued: a target a reload takes away meanwhile is
// freed only after that.
Target* destination(const Logger* through, const char* logger_name, const char* file, int line,
                    const char* func, Origin& origin) {
    Target* target = through != nullptr ? through->current_target() : nullptr;
    if (target != nullptr) {
        origin.logger = logger_name;
        // The caller's strings may belong to a shared object unloaded
        // before the record is written.
        origin.file = detail::intern_site(file);
        origin.func = detail::intern_site(func);
        origin.line = line;
    }
    return target;
}

}  // namespace

void Vorn::log(std::ostringstream&& text, Level lvl, const char* file, int line,
               const char* func) const {
    detail::ReadSection section;
    const Logger* through = route != nullptr ? route : logger;
    Origin origin;
    if (Target* target = destination(through, through != nullptr ? through->record_name() : nullptr,
                                     file, line, func, origin)) {
        // Straight to the target: a record waits as its text, and building
        // a Message here would cost a stream construction per record.
        target->log(std::move(text), lvl, origin);
    }
}

void Vorn::log(std::string_view text, Level lvl, const char* file, int line,
               const char* func) const {
    detail::ReadSection section;
    const Logger* through = route != nullptr ? route : logger;
    Origin origin;
    if (Target* target = destination(through, through != nullptr ? through->record_name() : nullptr,
                                     file, line, func, origin)) {
        target->log(text, lvl, origin);
    }
}

int Vorn::flush() const {
    detail::ReadSection section;
    Target* target = target_now();
    if (target == nullptr) {
        return 0;
    }
    // A reload that retires other targets need not wait for this flush.
    detail::keep_to(target);
    return target->flush();
}

std::size_t detail::handle_stamp(const Vorn& handle, char* out) {
    if (handle.stamp_function == &Vorn::time_gmt || handle.stamp_function == &Vorn::time_local) {
        return stamp_now(stamps_local(), out);
    }
    return kOwnStamp;
}

std::size_t Vorn::stamp(char* out, std::size_t room) const {
    if (room >= detail::kStampRoom) {
        if (std::size_t length = detail::handle_stamp(*this, out); length != detail::kOwnStamp) {
            return length;
        }
    }
    const std::string text = stamp();
    if (text.size() > room) {
        return 0;
    }
    std::memcpy(out, text.data(), text.size());
    return text.size();
}

std::string Vorn::stamp() const {
    if (stamp_function == &Vorn::time_gmt || stamp_function == &Vorn::time_local) {
        return detail::stamps_local() ? time_local() : time_gmt();
    }
    return stamp_function();
}

}  // namespace zvk
