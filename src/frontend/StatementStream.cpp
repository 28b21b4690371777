#include "StatementStream.h"

#include <ios>
#include <locale>
#include <memory>
#include <string>
#include <vector>

#include "../platform/StreamHooks.h"
#include "StampCache.h"
#include "zvk/Vorn.h"

namespace zvk::detail {

namespace {

// Set as the thread's streams are destroyed: a statement from a later
// thread_local destructor builds its own stream. Trivially destructible, so
// it is still readable then.
thread_local bool streams_ended = false;

struct ThreadStreams {
    ~ThreadStreams() { streams_ended = true; }
    // streams[i] serves statements nested i deep; owned, freed with the
    // thread.
    std::vector<std::unique_ptr<std::ostringstream>> streams;
    std::size_t depth = 0;
};

ThreadStreams* thread_streams() {
    if (streams_ended) {
        return nullptr;
    }
    thread_local ThreadStreams owner;
    return &owner;
}

}  // namespace

bool make_fresh(std::ostringstream& stream) {
    if (StreamStateHooks::carries_words(stream)) {
        return false;
    }
    // Text is left only by a statement whose composition threw or whose
    // handle had no target; a hand-over empties the stream and keeps its
    // buffer.
    if (!stream.view().empty()) {
        stream.str(std::string());
    }
    std::ios& base = stream;
    if (base.rdbuf() != stream.rdbuf()) {
        base.rdbuf(stream.rdbuf());
    }
    if (stream.tie() != nullptr) {
        stream.tie(nullptr);
    }
    // Before clear: with an exception mask left set, clearing a bad state
    // would throw.
    stream.exceptions(std::ios_base::goodbit);
    stream.clear();
    // The global locale as it is now, whoever changed it (the service on a
    // reload, or the application): the copy costs nothing while the global
    // is the classic locale; otherwise libstdc++ takes its locale mutex once
    // for it, where a new stream would take it twice. The stream is imbued
    // only when the global differs from what it has (or an operator<<
    // imbued it), which re-reads its facets.
    std::locale global;
    if (!StreamStateHooks::imbued_with(stream, global)) {
        stream.imbue(global);
    }
    stream.flags(std::ios_base::skipws | std::ios_base::dec);
    stream.precision(6);
    stream.width(0);
    stream.fill(stream.widen(' '));
    return true;
}

std::ostringstream* acquire_statement_stream() {
    ThreadStreams* own = thread_streams();
    if (own == nullptr) {
        return nullptr;
    }
    if (own->depth == own->streams.size()) {
        own->streams.push_back(std::make_unique<std::ostringstream>());
    }
    std::unique_ptr<std::ostringstream>& slot = own->streams[own->depth];
    if (!make_fresh(*slot)) {
        slot = std::make_unique<std::ostringstream>();
    }
    // Only once it is ready: a throw above leaves the depth as it was.
    ++own->depth;
    return slot.get();
}

void release_statement_stream() {
    ThreadStreams* own = thread_streams();
    if (own != nullptr && own->depth > 0) {
        --own->depth;
    }
}

}  // namespace zvk::detail

namespace zvk {

Vorn::Statement::Statement(const Vorn& handle, std::string_view level_word)
    : stream(detail::acquire_statement_stream()), owned(stream == nullptr) {
    if (owned) {
        stream = new std::ostringstream;
    }
    try {
        char stamp[detail::kStampRoom];
        const std::size_t length = detail::handle_stamp(handle, stamp);
        if (length == detail::kOwnStamp) {
            *stream << handle.stamp();
        } else {
            stream->write(stamp, static_cast<std::streamsize>(length));
        }
        stream->put(' ');
        stream->write(level_word.data(), static_cast<std::streamsize>(level_word.size()));
        stream->put(' ');
    } catch (...) {
        // No destructor runs for a constructor that throws.
        release();
        throw;
    }
}

Vorn::Statement::~Statement() { release(); }

void Vorn::Statement::release() noexcept {
    if (owned) {
        delete stream;
    } else {
        detail::release_statement_stream();
    }
}

}  // namespace zvk
