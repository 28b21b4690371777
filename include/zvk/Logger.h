// A named route from handles to one target. The service creates and
// deletes loggers; handles keep plain pointers to them.
#pragma once

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

    // Hands `message` to the target, which now owns it. Any thread.
    void log(Message* message);

    long owner_id;
    std::string name;
    Level level;
    Target* target;  // never null; owned by the service
    bool has_owner;
};

}  // namespace zvk
