#include "MessageCache.h"

#include <cstddef>
#include <limits>
#include <string>
#include <typeinfo>
#include <utility>

#include "zvk/Message.h"

namespace zvk::detail {

namespace {

// Initial-exec: a worker reads it twice per record, and a plain offset from
// the thread pointer is much cheaper than a lookup of the library's TLS
// block. A few bytes only, so that loading the library with dlopen still
// finds room for them in the static TLS block.
thread_local MessageCache* current __attribute__((tls_model("initial-exec"))) = nullptr;
thread_local bool ended __attribute__((tls_model("initial-exec"))) = false;

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

// Moves a string buffer's write position to the end of its `size`
// characters of text. A public seek costs about a hundred instructions
// through the virtual seekoff; the protected pbump is one addition. Reached
// through pointers to members formed here, where the protected names are
// accessible.
struct BufferAccess : std::stringbuf {
    static void write_at_end(std::stringbuf& buffer, std::size_t size) {
        if (size > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
            buffer.pubseekoff(0, std::ios_base::end, std::ios_base::out);
            return;
        }
        // Where str() left it: the start, or already the end for a buffer
        // opened with "ate" or "app".
        std::ptrdiff_t at = (buffer.*&BufferAccess::pptr)() - (buffer.*&BufferAccess::pbase)();
        (buffer.*&BufferAccess::pbump)(static_cast<int>(static_cast<std::ptrdiff_t>(size) - at));
    }
};

// Whether a stream carries state that a new Message's stream would not
// have: iword/pword storage, callbacks registered with register_callback,
// or a tied stream, which a write_msg may have set up. Such a Message is
// not kept, so nothing of it reaches a later record. The members are
// protected; reached the same way as the buffer's above.
struct StateAccess : std::ios_base {
    static bool carries_caller_state(const std::ios& stream) {
        if (stream.tie() != nullptr) {
            return true;
        }
#ifdef __GLIBCXX__
        const std::ios_base& base = stream;
        if ((base.*&StateAccess::_M_callbacks) != nullptr) {
            return true;
        }
        const _Words* words = base.*&StateAccess::_M_word;
        const int size = base.*&StateAccess::_M_word_size;
        for (int i = 0; i < size; ++i) {
            if (words[i]._M_pword != nullptr || words[i]._M_iword != 0) {
                return true;
            }
        }
        return false;
#else
        // Where the layout is unknown, nothing is kept.
        return true;
#endif
    }
};

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

bool MessageCache::reusable(const Message* message) {
    return typeid(*message) == typeid(Message) &&
           message->text.exceptions() == std::ios_base::goodbit &&
           !StateAccess::carries_caller_state(message->text);
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
    BufferAccess::write_at_end(*message.text.rdbuf(), size);
}

}  // namespace zvk::detail
