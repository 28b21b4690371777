#include "MessageCache.h"

#include <cstddef>
#include <limits>
#include <string>
#include <typeinfo>
#include <utility>

#include "zvk/Message.h"

namespace zvk::detail {

namespace {

// A kept record holds on to its text buffer; big ones are not worth it.
constexpr std::size_t kReusableText = 1024;

// Initial-exec: the hand-over reads it twice per record, and a plain
// offset from the thread pointer is much cheaper than a lookup of the
// library's TLS block. A few bytes only, so that loading the library with
// dlopen still finds room for them in the static TLS block.
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

// Whether a stream carries state of its caller that make does not set from
// the next caller's stream: iword/pword storage, callbacks registered with
// register_callback (imbue in make would call them, on another thread) or
// a tied stream. A record built anew takes all of that over with the
// caller's stream, so such a record is not kept. The members are
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

Message* MessageCache::make(std::ostringstream&& text, int level) {
    MessageCache* cache = local();
    Message* message = nullptr;
    // A stream with an exception mask could throw when its state is copied
    // over; it takes the way that moves its whole state instead.
    if (cache != nullptr && text.exceptions() == std::ios_base::goodbit) {
        message = cache->take();
    }
    if (message == nullptr) {
        return new Message(std::move(text), level);
    }
    if (!cache->empty()) {
        // The next kept record was last written by a worker on another
        // core; fetching its lines now overlaps that transfer with the
        // caller's next composition instead of the next hand-over.
        const char* next = reinterpret_cast<const char*>(cache->items[cache->count - 1]);
        for (std::size_t offset = 0; offset < sizeof(Message); offset += 64) {
            __builtin_prefetch(next + offset, 1);
        }
    }
    // The kept record's stream is taken as it is; what would distinguish it
    // from a stream moved in (contents, write position, formatting state)
    // is set from the caller's, so nothing of the earlier record shows
    // through. A kept record never carries words, callbacks or a tie (see
    // reusable), and none of the caller's are taken over. The buffers trade places: the caller's
    // stream is left empty with the kept record's old buffer, so nothing is freed here, and a
    // caller that reuses its stream does not allocate for the next text.
    std::ostringstream& out = message->text;
    std::string incoming = std::move(text).str();
    std::string old = std::move(out).str();
    const std::size_t size = incoming.size();
    out.str(std::move(incoming));
    // Where a stream moved in would stand; str() left it at the start.
    BufferAccess::write_at_end(*out.rdbuf(), size);
    old.clear();
    text.str(std::move(old));
    out.flags(text.flags());
    out.precision(text.precision());
    out.width(text.width());
    out.fill(text.fill());
    if (out.getloc() != text.getloc()) {
        out.imbue(text.getloc());
    }
    out.clear(text.rdstate());
    text.clear();
    message->level = level;
    return message;
}

bool MessageCache::reusable(const Message* message) {
    return typeid(*message) == typeid(Message) &&
           message->text.exceptions() == std::ios_base::goodbit &&
           message->text.view().size() <= kReusableText &&
           !StateAccess::carries_caller_state(message->text);
}

void MessageCache::refill(std::vector<Message*>& spare) {
    if (count >= kRefill / 4) {
        return;
    }
    while (count < kRefill && !spare.empty()) {
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
