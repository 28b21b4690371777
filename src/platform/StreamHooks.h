// Shortcuts into the standard library's string streams, each with the
// portable way it replaces where the library is not libstdc++.
#pragma once

#include <cstddef>
#include <ios>
#include <limits>
#include <sstream>
#include <string>

namespace zvk::detail {

// Reached through pointers to members formed inside classes derived from
// the stream types, where their protected names are accessible.
struct StreamHooks : std::stringbuf {
    // Leaves `text` empty with the buffer it has, for its next text. Giving
    // it an empty string would free that buffer, and moving the text out
    // and a buffer back in resynchronises the stream twice: about a quarter
    // of a hand-over. With libstdc++ the stream's contents are what lies
    // between the put area's start and the higher of its put and get
    // positions, so pointing both at the start empties it.
    static void empty_keeping_buffer(std::ostringstream& text) noexcept {
#if defined(__GLIBCXX__)
        std::streambuf& buf = *text.rdbuf();
        char* base = (buf.*&StreamHooks::pbase)();
        (buf.*&StreamHooks::setp)(base, (buf.*&StreamHooks::epptr)());
        (buf.*&StreamHooks::setg)(base, base, base);
#else
        text.str(std::string());
#endif
        text.clear();
    }

    // Moves a string buffer's write position to the end of its `size`
    // characters of text. A public seek costs about a hundred instructions
    // through the virtual seekoff; the protected pbump is one addition.
    static void write_at_end(std::stringbuf& buffer, std::size_t size) {
        if (size > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
            buffer.pubseekoff(0, std::ios_base::end, std::ios_base::out);
            return;
        }
        // Where str() left it: the start, or already the end for a buffer
        // opened with "ate" or "app".
        std::ptrdiff_t at = (buffer.*&StreamHooks::pptr)() - (buffer.*&StreamHooks::pbase)();
        (buffer.*&StreamHooks::pbump)(static_cast<int>(static_cast<std::ptrdiff_t>(size) - at));
    }
};

struct StreamStateHooks : std::ios_base {
    // Whether a stream carries state that a new stream would not have:
    // iword/pword storage, callbacks registered with register_callback, or
    // a tied stream. libstdc++ keeps the first two in private members;
    // where the layout is unknown, every stream is said to carry some.
    static bool carries_caller_state(const std::ios& stream) {
        if (stream.tie() != nullptr) {
            return true;
        }
#ifdef __GLIBCXX__
        const std::ios_base& base = stream;
        if ((base.*&StreamStateHooks::_M_callbacks) != nullptr) {
            return true;
        }
        const _Words* words = base.*&StreamStateHooks::_M_word;
        const int size = base.*&StreamStateHooks::_M_word_size;
        for (int i = 0; i < size; ++i) {
            if (words[i]._M_pword != nullptr || words[i]._M_iword != 0) {
                return true;
            }
        }
        return false;
#else
        return true;
#endif
    }
};

}  // namespace zvk::detail
