#include "zvk/Message.h"

#include <utility>

namespace zvk {

Message::Message() : level(0) {}

Message::Message(std::ostringstream&& text, int level) : level(level), text(std::move(text)) {
    // A moved-from stream is valid but unspecified; callers rely on it
    // being empty. Where the move already left it empty (libstdc++), the
    // hand-over does not pay for emptying it again.
    if (!text.view().empty()) {
        text.str(std::string());
    }
    text.clear();
}

Message::Message(Message&& other)
    : level(other.level), text(std::move(other.text)), origin(other.origin) {}

Message& Message::operator=(Message&& other) {
    level = other.level;
    text = std::move(other.text);
    origin = other.origin;
    return *this;
}

Message::~Message() = default;

}  // namespace zvk
