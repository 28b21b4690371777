/// \file
/// VORN_LOGF: a record composed by {fmt} from a format string checked at
/// compile time. Only a program that includes this header needs {fmt}
/// (CMake: link zvk::vorn_format; pkg-config: zvk-vorn-format).
#pragma once

#include <fmt/format.h>

#include <cstddef>
#include <string_view>
#include <utility>

#include "zvk/Vorn.h"

namespace zvk {

/// What VORN_LOGF expands to: formats a whole record into a buffer of the
/// calling thread and hands it over as bytes.
class VornFormat {
public:
    /// Writes `"<stamp> <level_word> <message>\n"` into the thread's buffer
    /// and hands it to `handle.log` at `lvl`, without a level check. A
    /// VORN_LOGF inside a formatter gets a buffer of its own; an exception
    /// of a formatter leaves the buffer for the next record.
    template <class... Args>
    static void log(const Vorn& handle, Vorn::Level lvl, std::string_view level_word,
                    const char* file, int line, const char* func,
                    fmt::format_string<Args...> format, Args&&... args) {
        Buffer& own = thread_buffer();
        if (own.busy) {
            fmt::memory_buffer nested;
            compose(nested, handle, level_word, format, std::forward<Args>(args)...);
            handle.log(std::string_view(nested.data(), nested.size()), lvl, file, line, func);
            return;
        }
        own.busy = true;
        struct Release {
            Buffer& buffer;
            ~Release() { buffer.busy = false; }
        } release{own};
        own.text.clear();
        compose(own.text, handle, level_word, format, std::forward<Args>(args)...);
        handle.log(std::string_view(own.text.data(), own.text.size()), lvl, file, line, func);
    }

private:
    struct Buffer {
        fmt::memory_buffer text;
        bool busy = false;  // a record of this thread is being composed in it
    };

    // Each program's or shared object's own, freed when the thread ends.
    static Buffer& thread_buffer() {
        thread_local Buffer buffer;
        return buffer;
    }

    template <class... Args>
    static void compose(fmt::memory_buffer& out, const Vorn& handle, std::string_view level_word,
                        fmt::format_string<Args...> format, Args&&... args) {
        char stamp[128];
        const std::size_t length = handle.stamp(stamp, sizeof stamp);
        out.append(stamp, stamp + length);
        out.push_back(' ');
        out.append(level_word.data(), level_word.data() + level_word.size());
        out.push_back(' ');
        fmt::format_to(fmt::appender(out), format, std::forward<Args>(args)...);
        out.push_back('\n');
    }
};

}  // namespace zvk

/// Filters, formats `"<stamp> <LEVEL> <message>\n"` with {fmt} and hands it
/// over in one statement; the format string is checked at compile time, and
/// with the level filtered out no argument is evaluated.
/// ```
/// VORN_LOGF(handle, INFO, "order {} filled at {:.2f}", id, price);
/// ```
#define VORN_LOGF(handle, lvl, ...)                                                              \
    do {                                                                                         \
        const ::zvk::Vorn& zvk_logf_handle = (handle);                                           \
        if (zvk_logf_handle.logable(::zvk::vorn_level::as_##lvl)) {                              \
            ::zvk::VornFormat::log(zvk_logf_handle, ::zvk::vorn_level::as_##lvl, #lvl, __FILE__, \
                                   __LINE__, __func__, __VA_ARGS__);                             \
        }                                                                                        \
    } while (0)
