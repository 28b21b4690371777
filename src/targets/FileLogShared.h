// What both sources of the file target use: how the active file is opened,
// and the texts of its reports.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <string>

#include "../frontend/Report.h"

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

// The size at which file targets rotate by counting what they write, when
// the library leaves the process's file-size limit alone; 0 while that
// limit itself marks the rotation point. Set by the service, read before
// each write, also by a fatal-signal handler: lock-free.
inline std::atomic<std::uint64_t> counted_file_limit{0};
static_assert(std::atomic<std::uint64_t>::is_always_lock_free);

// How many of `wanted` bytes `fd` takes before `limit` (0: no limit
// counted): all, or what is left below the limit, as RLIMIT_FSIZE would
// let a write through. -1 with errno EFBIG when the file is at the limit,
// so that the caller rotates as it does at the process's own limit. Only
// calls a signal handler may make; where the size cannot be read, all.
inline ssize_t room_below(int fd, std::uint64_t limit, std::size_t wanted) {
    struct stat st {};
    if (limit == 0 || fstat(fd, &st) != 0 || st.st_size < 0) {
        return static_cast<ssize_t>(wanted);
    }
    const auto size = static_cast<std::uint64_t>(st.st_size);
    if (size >= limit) {
        errno = EFBIG;
        return -1;
    }
    return static_cast<ssize_t>(std::min<std::uint64_t>(wanted, limit - size));
}

// write(2) under a counted limit: a write that would cross it is cut at
// it, one at it fails with EFBIG.
inline ssize_t write_below(int fd, const char* data, std::size_t size, std::uint64_t limit) {
    const ssize_t room = room_below(fd, limit, size);
    return room < 0 ? -1 : ::write(fd, data, static_cast<std::size_t>(room));
}

}  // namespace zvk::detail
