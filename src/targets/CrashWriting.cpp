#include "CrashWriting.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

#include "../platform/Rename.h"
#include "FileLogShared.h"
#include "JsonLine.h"
#include "zvk/Origin.h"

namespace zvk::detail {

bool before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

int ms_left(const timespec& deadline) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (!before(now, deadline)) {
        return 0;
    }
    long long ms =
        (deadline.tv_sec - now.tv_sec) * 1000LL + (deadline.tv_nsec - now.tv_nsec) / 1'000'000;
    return ms < 1 ? 1 : static_cast<int>(ms);
}

namespace {

enum class Wrote { kWhole, kFull, kFailed };

// The size limit file targets count themselves (0: none, or the
// process's own limit stops the writes): only a file target has a plan.
std::uint64_t counted_limit(const CrashRotation& plan) {
    return plan.dir_fd >= 0 ? counted_file_limit.load(std::memory_order_relaxed) : 0;
}

// Writes `size` bytes from `data` until done, the deadline, the size limit
// (kFull: the process's, or the counted `limit`) or an error; `done` gets
// how many went out.
Wrote write_some(int fd, const char* data, std::size_t size, const timespec& deadline,
                 std::size_t& done, std::uint64_t limit) {
    done = 0;
    int err = 0;
    while (done < size) {
        ssize_t n = write_below(fd, data + done, size - done, limit);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
            continue;
        }
        err = n < 0 ? errno : 0;
        if (err == EINTR) {
            continue;
        }
        int left = err == EAGAIN ? ms_left(deadline) : 0;
        if (left == 0) {
            break;
        }
        pollfd out{fd, POLLOUT, 0};
        poll(&out, 1, left);
    }
    if (done == size) {
        return Wrote::kWhole;
    }
    return err == EFBIG ? Wrote::kFull : Wrote::kFailed;
}

// Cuts the last `bytes` written off where `fd` is a file; its length
// after, or -1 when it is none.
off_t cut_back(int fd, std::size_t bytes) {
    struct stat st {};
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        return -1;
    }
    const off_t length = st.st_size - static_cast<off_t>(bytes);
    if (bytes != 0) {
        [[maybe_unused]] int rc = ftruncate(fd, length);
    }
    return length;
}

// One record's text, whole or not at all where the descriptor is a file:
// a record cut by the deadline or the file-size limit (kFull, with
// `length` the file's length after the cut) is cut back off.
Wrote write_text(int fd, std::string_view text, const timespec& deadline, off_t& length,
                 std::uint64_t limit) {
    std::size_t done = 0;
    const Wrote wrote = write_some(fd, text.data(), text.size(), deadline, done, limit);
    if (wrote != Wrote::kWhole) {
        length = cut_back(fd, done);
    }
    return wrote;
}

// The rotated name of `plan` for `seconds`, into `name`.
void rotated_name(const CrashRotation& plan, long long seconds, char (&name)[512]) {
    std::size_t n = 0;
    auto put = [&](const char* text) {
        while (*text != '\0' && n + 1 < sizeof name) {
            name[n++] = *text++;
        }
    };
    put(plan.head);
    char digits[24];
    std::size_t d = 0;
    unsigned long long magnitude = seconds < 0 ? 0ULL - static_cast<unsigned long long>(seconds)
                                               : static_cast<unsigned long long>(seconds);
    do {
        digits[d++] = static_cast<char>('0' + magnitude % 10);
        magnitude /= 10;
    } while (magnitude != 0);
    if (seconds < 0) {
        digits[d++] = '-';
    }
    while (d > 0 && n + 1 < sizeof name) {
        name[n++] = digits[--d];
    }
    put(plan.ext);
    name[n] = '\0';
}

// What the file target does at the size limit, with calls a signal
// handler may make: the full file (when it still is the active one) goes
// to the first rotated name from `rotation.next` on that nothing holds,
// and `fd` becomes a fresh active file. Retention is left to the next
// rotation. False when either fails, or no free name is found by
// `deadline`.
bool rotate_at_crash(Rotation& rotation, int fd, const timespec& deadline) {
    const CrashRotation& plan = rotation.plan;
    if (plan.dir_fd < 0) {
        return false;
    }
    struct stat mine {};
    struct stat named {};
    const bool same = fstat(fd, &mine) == 0 &&
                      fstatat(plan.dir_fd, plan.active, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                      mine.st_dev == named.st_dev && mine.st_ino == named.st_ino;
    if (same) {
        bool renamed = false;
        for (long long second = rotation.next; !renamed; ++second) {
            if ((second - rotation.next) % 64 == 63 && ms_left(deadline) == 0) {
                return false;
            }
            char name[512];
            rotated_name(plan, second, name);
            if (rename_no_replace(plan.dir_fd, plan.active, plan.dir_fd, name) == 0) {
                renamed = true;
            } else if (errno == EINVAL || errno == ENOSYS) {
                // A file system without the flag: the name is checked first.
                struct stat taken {};
                renamed = fstatat(plan.dir_fd, name, &taken, AT_SYMLINK_NOFOLLOW) != 0 &&
                          renameat(plan.dir_fd, plan.active, plan.dir_fd, name) == 0;
            } else if (errno != EEXIST) {
                return false;
            }
            if (renamed) {
                rotation.next = second + 1;
            }
        }
    }
    // Moved away or replaced: the fresh file is opened as the writer would.
    int group_err = 0;
    const int fresh = open_active(plan.dir_fd, plan.active, plan.mode, plan.gid, group_err);
    if (fresh < 0) {
        return false;
    }
    // In place of the full one, so that the writer's descriptor stays valid
    // should the process live on.
    const bool moved = dup3(fresh, fd, O_CLOEXEC) >= 0;
    close(fresh);
    return moved;
}

// One record, rotating the file at the size limit as its writer would; a
// record longer than the limit itself is skipped, since no file holds it.
bool write_record(int fd, Rotation& rotation, std::string_view text, const timespec& deadline) {
    off_t length = -1;
    const std::uint64_t limit = counted_limit(rotation.plan);
    Wrote wrote = write_text(fd, text, deadline, length, limit);
    if (wrote != Wrote::kFull) {
        return wrote == Wrote::kWhole;
    }
    if (length == 0) {
        return true;
    }
    if (!rotate_at_crash(rotation, fd, deadline)) {
        return false;
    }
    wrote = write_text(fd, text, deadline, length, limit);
    return wrote == Wrote::kWhole || (wrote == Wrote::kFull && length == 0);
}

// Copies while it has room, and counts on: a line longer than the buffer
// shows as `size` > `capacity`.
struct FixedOut {
    char* data;
    std::size_t capacity;
    std::size_t size = 0;
    void append(const char* bytes, std::size_t n) noexcept {
        if (size + n <= capacity) {
            std::memcpy(data + size, bytes, n);
        }
        size += n;
    }
    void push_back(char c) noexcept { append(&c, 1); }
};

// Writes a line through a small buffer as it is rendered; after the first
// write that is not whole, it writes nothing more.
struct PieceOut {
    int fd;
    const timespec& deadline;
    std::uint64_t limit;
    Wrote wrote = Wrote::kWhole;
    off_t length = -1;
    std::size_t used = 0;
    char buffer[1024] = {};
    void append(const char* bytes, std::size_t n) noexcept {
        while (n != 0) {
            const std::size_t take = n < sizeof buffer - used ? n : sizeof buffer - used;
            std::memcpy(buffer + used, bytes, take);
            used += take;
            bytes += take;
            n -= take;
            if (used == sizeof buffer) {
                flush();
            }
        }
    }
    void push_back(char c) noexcept { append(&c, 1); }
    void flush() noexcept {
        if (wrote == Wrote::kWhole && used != 0) {
            wrote = write_text(fd, std::string_view(buffer, used), deadline, length, limit);
        }
        used = 0;
    }
};

// A JSON line too long for the stack, written in pieces, whole or not at
// all where the descriptor is a file (as write_text).
Wrote write_json_in_pieces(int fd, std::string_view text, int level, const Origin& origin,
                           const timespec& deadline, off_t& length, std::uint64_t limit) {
    struct stat st {};
    const off_t start = fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? st.st_size : -1;
    PieceOut out{fd, deadline, limit};
    append_json_line(out, text, level, origin);
    out.flush();
    if (out.wrote != Wrote::kWhole && start >= 0) {
        [[maybe_unused]] int rc = ftruncate(fd, start);
        length = start;
    }
    return out.wrote;
}

// One record in the target's format: its text as it is, or the JSON line
// of a record the writer has not put in the format yet.
bool write_formatted(int fd, Rotation& rotation, std::string_view text, int level,
                     const Origin& origin, bool json, const timespec& deadline) {
    if (!json) {
        return write_record(fd, rotation, text, deadline);
    }
    char line[4096];
    FixedOut out{line, sizeof line};
    append_json_line(out, text, level, origin);
    if (out.size <= sizeof line) {
        return write_record(fd, rotation, std::string_view(line, out.size), deadline);
    }
    off_t length = -1;
    const std::uint64_t limit = counted_limit(rotation.plan);
    Wrote wrote = write_json_in_pieces(fd, text, level, origin, deadline, length, limit);
    if (wrote != Wrote::kFull) {
        return wrote == Wrote::kWhole;
    }
    if (length == 0) {
        return true;  // longer than the size limit: no file holds it
    }
    if (!rotate_at_crash(rotation, fd, deadline)) {
        return false;
    }
    wrote = write_json_in_pieces(fd, text, level, origin, deadline, length, limit);
    return wrote == Wrote::kWhole || (wrote == Wrote::kFull && length == 0);
}

// CrashSink's records. Static: only the first thread that enters the
// handler flushes, once in the process's life, and the alternate signal
// stack has no room for it.
constexpr std::size_t kBatchBytes = std::size_t{1} << 20;
constexpr std::size_t kBatchRecords = 8192;
struct Batch {
    char bytes[kBatchBytes];
    std::size_t ends[kBatchRecords];  // where each record ends in `bytes`
    std::size_t size;
    std::size_t count;
};
Batch batch;

}  // namespace

bool CrashSink::put(std::string_view text, int level, const Origin& origin, bool json) {
    if (!json) {
        if (text.size() > kBatchBytes) {
            return flush() && write_record(fd, rotation, text, deadline);
        }
        if (kBatchBytes - batch.size < text.size() && !flush()) {
            return false;
        }
        std::memcpy(batch.bytes + batch.size, text.data(), text.size());
        batch.size += text.size();
    } else {
        FixedOut out{batch.bytes + batch.size, kBatchBytes - batch.size};
        append_json_line(out, text, level, origin);
        if (out.size > out.capacity) {
            if (!flush()) {
                return false;
            }
            out = FixedOut{batch.bytes, kBatchBytes};
            append_json_line(out, text, level, origin);
            if (out.size > out.capacity) {
                return write_formatted(fd, rotation, text, level, origin, true, deadline);
            }
        }
        batch.size += out.size;
    }
    batch.ends[batch.count++] = batch.size;
    return batch.count < kBatchRecords || flush();
}

bool CrashSink::flush() {
    std::size_t from = 0;
    std::size_t first = 0;
    bool ok = true;
    while (ok && from < batch.size) {
        // A regular file never makes write(2) wait: the bound is kept
        // here, between the pieces.
        if (ms_left(deadline) == 0) {
            ok = false;
            break;
        }
        std::size_t done = 0;
        const Wrote wrote = write_some(fd, batch.bytes + from, batch.size - from, deadline, done,
                                       counted_limit(rotation.plan));
        if (wrote == Wrote::kWhole) {
            break;
        }
        std::size_t end = from;
        while (first < batch.count && batch.ends[first] <= from + done) {
            end = batch.ends[first++];
        }
        const off_t length = cut_back(fd, from + done - end);
        if (wrote == Wrote::kFailed) {
            ok = false;
        } else if (end == from && length == 0) {
            end = batch.ends[first++];
        } else {
            ok = rotate_at_crash(rotation, fd, deadline);
        }
        from = end;
    }
    batch.size = 0;
    batch.count = 0;
    return ok;
}

}  // namespace zvk::detail
