#include "MessageCache.h"

#include <cstddef>
#include <limits>
#include <string>
#include <typeinfo>
#include <utility>

#include "../platform/StreamHooks.h"
#include "../platform/ThreadLocal.h"
#include "zvk/Message.h"

namespace zvk::detail {

namespace {

// Initial-exec: a worker reads it twice per record, and a plain offset from
// the thread pointer is much cheaper than a lookup of the library's TLS
// block. A few bytes only, so that loading the library with dlopen still
// finds room for them in the static TLS block.
ZVK_INITIAL_EXEC thread_local MessageCache* current = nullptr;
ZVK_INITIAL_EXEC thread_local bool ended = false;

struct ThreadCache {
    ~ThreadCache() {
        current = nullptr;
        ended = true;
    }
    MessageCache cache;
};

[[gnu::noinline]] MessageCache* first_use() {
    if (ended) {
        return nullptr;
    }
    // Constructed on the thread's first record, destroyed at its exit.
    thread_local ThreadCache owner;
    current = &owner.cache;
    return current;
}

}  // namespace

MessageCache* MessageCache::local() {
    MessageCache* cache = current;
    return cache != nullptr ? cache : first_use();
}

MessageCache::~MessageCache() {
    while (count > 0) {
        delete items[--count];
    }
}

// A stream with state of the caller's (which a write_msg may have set up)
// is not kept, so nothing of it reaches a later record.
bool MessageCache::reusable(const Message* message) {
    return typeid(*message) == typeid(Message) &&
           message->text.exceptions() == std::ios_base::goodbit &&
           !StreamStateHooks::carries_caller_state(message->text);
}

std::string MessageCache::reset(Message& message) {
    std::ostringstream& out = message.text;
    std::string old = std::move(out).str();
    out.clear();
    out.flags(std::ios_base::skipws | std::ios_base::dec);
    out.width(0);
    out.precision(6);
    out.fill(out.widen(' '));
    return old;
}

void MessageCache::put_text(Message& message, std::string&& text) {
    const std::size_t size = text.size();
    message.text.str(std::move(text));
    // Where a stream that wrote the text would stand; str() left it at the
    // start.
    StreamHooks::write_at_end(*message.text.rdbuf(), size);
}

}  // namespace zvk::detail
