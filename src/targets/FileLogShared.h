// What both sources of the file target use: how the active file is opened,
// and the texts of its reports.
#pragma once

#include <fcntl.h>
#include <sys/types.h>

#include <charconv>
#include <cstring>
#include <string>

namespace zvk::detail {

// O_NOFOLLOW: whoever may write the log directory could put a link to any
// file there; the open fails with ELOOP instead of appending to that file.
constexpr int kOpenFlags = O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW;
constexpr mode_t kFileMode = 0664;

// strerror_r, because several workers may report errors at once.
inline std::string error_text(int err) {
    char buf[256];
    return strerror_r(err, buf, sizeof buf);
}

// Digits built without any locale: a grouping global locale must not turn
// the seconds of a stamp into "1,773,576,000".
template <class Int>
std::string decimal(Int value) {
    char buf[24];
    auto result = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, result.ptr);
}

}  // namespace zvk::detail
