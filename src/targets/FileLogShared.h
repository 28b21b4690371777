// What both sources of the file target use: how the active file is opened,
// and the texts of its reports.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>
#include <string>

namespace zvk::detail {

// O_NOFOLLOW: whoever may write the log directory could put a link to any
// file there; the open fails with ELOOP instead of appending to that file.
constexpr int kOpenFlags = O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW;
constexpr mode_t kFileMode = 0664;

// Opens the active file `name` in `dir_fd`, creating it if missing. A file
// it creates gets exactly `mode` whatever the umask (-1: kFileMode less
// the umask) and the group `gid` (-1: the default); `group_err` is the
// error of a group that could not be set, else 0. Only calls a signal
// handler may make. -1 with errno as the open left it.
inline int open_active(int dir_fd, const char* name, int mode, long gid, int& group_err) {
    group_err = 0;
    for (int attempt = 0; attempt < 2; ++attempt) {
        int fd = openat(dir_fd, name, kOpenFlags | O_EXCL,
                        mode >= 0 ? static_cast<mode_t>(mode) : kFileMode);
        if (fd >= 0) {
            if (mode >= 0) {
                [[maybe_unused]] int rc = fchmod(fd, static_cast<mode_t>(mode));
            }
            if (gid >= 0 && fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(gid)) != 0) {
                group_err = errno;
            }
            return fd;
        }
        if (errno != EEXIST) {
            return -1;
        }
        // There already: appended to as it is. Gone again in between: made.
        fd = openat(dir_fd, name, kOpenFlags & ~O_CREAT);
        if (fd >= 0 || errno != ENOENT) {
            return fd;
        }
    }
    return -1;
}

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
