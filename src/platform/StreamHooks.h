// Shortcuts into the standard library's string streams, each with the
// portable way it replaces where the library is not libstdc++.
#pragma once

#include <cstddef>
#include <ios>
#include <limits>
#include <locale>
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
    // a tied stream.
    static bool carries_caller_state(const std::ios& stream) {
        return stream.tie() != nullptr || carries_words(stream);
    }

    // iword/pword storage or callbacks, which no public call removes.
    // libstdc++ keeps them in private members; where the layout is
    // unknown, every stream is said to carry some, so that such streams
    // are always replaced.
    static bool carries_words(const std::ios_base& stream) {
#ifdef __GLIBCXX__
        if ((stream.*&StreamStateHooks::_M_callbacks) != nullptr) {
            return true;
        }
        const _Words* words = stream.*&StreamStateHooks::_M_word;
        const int size = stream.*&StreamStateHooks::_M_word_size;
        for (int i = 0; i < size; ++i) {
            if (words[i]._M_pword != nullptr || words[i]._M_iword != 0) {
                return true;
            }
        }
        return false;
#else
        static_cast<void>(stream);
        return true;
#endif
    }

    // Whether the stream is imbued with `locale`. getloc() would copy the
    // stream's locale: an atomic increment and decrement on a count that
    // every thread's streams share. libstdc++ keeps it in a protected
    // member, read here by reference.
    static bool imbued_with(const std::ios_base& stream, const std::locale& locale) {
#ifdef __GLIBCXX__
        return stream.*&StreamStateHooks::_M_ios_locale == locale;
#else
        return stream.getloc() == locale;
#endif
    }
};

}  // namespace zvk::detail
