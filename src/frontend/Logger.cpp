#include "zvk/Logger.h"

#include "Origins.h"
#include "ReadSection.h"
#include "zvk/Message.h"
#include "zvk/Target.h"
#include "zvk/Vorn.h"

namespace zvk {

int Logger::get_level(const std::string& name) {
    for (int level = OUT; level <= DEBUG; ++level) {
        if (Vorn::level_name(level) == name) {
            return level;
        }
    }
    return -1;
}

Logger::Logger(const std::string& name, Target* target, Level level)
    : owner_id(0),
      name(name),
      level(level),
      target(target),
      has_owner(false),
      accepts(target != nullptr ? level : -1),
      interned_name(detail::intern_name(name)) {}

Logger::~Logger() = default;

void Logger::log(Message* message) {
    // Until the record is queued: see Vorn::log.
    detail::ReadSection section;
    if (Target* now = current_target(); now != nullptr) {
        if (message != nullptr) {
            // Whatever the application put in the origin may belong to a
            // shared object unloaded before the record is written.
            detail::intern_strings(message->origin);
            if (message->origin.logger == nullptr) {
                message->origin.logger = interned_name;
            }
        }
        now->log(message);
        return;
    }
    delete message;
}

void Logger::log(std::string_view text, int level, const Origin& origin) {
    detail::ReadSection section;
    if (Target* now = current_target(); now != nullptr) {
        Origin own = origin;
        detail::intern_strings(own);
        if (own.logger == nullptr) {
            own.logger = interned_name;
        }
        now->log(text, level, own);
    }
}

}  // namespace zvk
