#include "MessageCache.h"

#include <string>
#include <typeinfo>
#include <utility>

#include "zvk/Message.h"

namespace zvk::detail {

namespace {

// A kept record holds on to its text buffer; big ones are not worth it.
constexpr std::size_t kReusableText = 1024;

}  // namespace

MessageCache& MessageCache::local() {
    thread_local MessageCache cache;
    return cache;
}

MessageCache::~MessageCache() {
    while (count > 0) {
        delete items[--count];
    }
}

Message* MessageCache::make(std::ostringstream&& text, int level) {
    Message* message = local().take();
    if (message == nullptr) {
        return new Message(std::move(text), level);
    }
    // The kept record's stream is taken as it is; what would distinguish it
    // from a stream moved in (contents, write position, formatting state)
    // is set from the caller's, so nothing of the earlier record shows
    // through. The buffer moves; the kept record's old one is freed here,
    // on the thread that most likely allocated it.
    std::ostringstream& out = message->text;
    out.str(std::move(text).str());
    out.rdbuf()->pubseekoff(0, std::ios_base::end, std::ios_base::out);
    out.flags(text.flags());
    out.precision(text.precision());
    out.width(text.width());
    out.fill(text.fill());
    if (out.getloc() != text.getloc()) {
        out.imbue(text.getloc());
    }
    out.clear();
    if (out.exceptions() != text.exceptions()) {
        out.exceptions(text.exceptions());
    }
    out.clear(text.rdstate());
    text.clear();
    message->level = level;
    return message;
}

bool MessageCache::reusable(const Message* message) {
    return typeid(*message) == typeid(Message) && message->text.view().size() <= kReusableText;
}

void MessageCache::refill(std::vector<Message*>& spare) {
    while (count < kCapacity && !spare.empty()) {
        items[count++] = spare.back();
        spare.pop_back();
    }
}

void MessageCache::give_back(std::vector<Message*>& spare, std::size_t limit) {
    while (count > 0 && spare.size() < limit) {
        spare.push_back(items[--count]);
    }
}

}  // namespace zvk::detail
