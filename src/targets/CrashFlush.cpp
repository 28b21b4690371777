#include "CrashFlush.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <deque>
#include <string_view>
#include <vector>

#include "../frontend/Origins.h"
#include "Backlog.h"
#include "Carrier.h"
#include "FileLogShared.h"
#include "JsonLine.h"
#include "StampClock.h"
#include "zvk/Message.h"

namespace zvk::detail {

namespace {

bool before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

// Milliseconds left until `deadline`, at least 1 while any is left.
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

void pause_briefly() {
    const timespec pause{0, 1'000'000};
    nanosleep(&pause, nullptr);
}

bool lock_until(std::mutex& mutex, const timespec& until) {
    while (!mutex.try_lock()) {
        if (ms_left(until) == 0) {
            return false;
        }
        pause_briefly();
    }
    return true;
}

// The descriptor made non-blocking for as long as this lives, so that no
// write waits beyond the deadline (a pipe nobody reads); its flags are put
// back, as other processes may share the description.
class NonBlocking {
public:
    explicit NonBlocking(int fd) : fd(fd), flags(fcntl(fd, F_GETFL)) {
        if (flags >= 0 && (flags & O_NONBLOCK) == 0) {
            fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        }
    }
    ~NonBlocking() {
        if (flags >= 0 && (flags & O_NONBLOCK) == 0) {
            fcntl(fd, F_SETFL, flags);
        }
    }
    NonBlocking(const NonBlocking&) = delete;
    NonBlocking& operator=(const NonBlocking&) = delete;

private:
    int fd;
    int flags;
};

enum class Wrote { kWhole, kFull, kFailed };

// The size limit file targets count themselves (0: none, or the
// process's own limit stops the writes): only a file target has a plan.
std::uint64_t counted_limit(const CrashRotation& plan) {
    return plan.dir_fd >= 0 ? counted_file_limit.load(std::memory_order_relaxed) : 0;
}

// One record's text, whole or not at all where the descriptor is a file:
// a record cut by the deadline or the file-size limit, the process's or
// the counted `limit` (kFull, with `length` the file's length after the
// cut) is cut back off.
Wrote write_text(int fd, std::string_view text, const timespec& deadline, off_t& length,
                 std::uint64_t limit) {
    std::size_t done = 0;
    int err = 0;
    while (done < text.size()) {
        ssize_t n = write_below(fd, text.data() + done, text.size() - done, limit);
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
    if (done == text.size()) {
        return Wrote::kWhole;
    }
    struct stat st {};
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        length = st.st_size - static_cast<off_t>(done);
        if (done != 0) {
            [[maybe_unused]] int rc = ftruncate(fd, length);
        }
    }
    return err == EFBIG ? Wrote::kFull : Wrote::kFailed;
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
// to a rotated name that nothing holds, and `fd` becomes a fresh active
// file. Retention is left to the next rotation. False when either fails.
bool rotate_at_crash(const CrashRotation& plan, int fd) {
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
        for (long long second = plan.seconds; !renamed && second < plan.seconds + 64; ++second) {
            char name[512];
            rotated_name(plan, second, name);
            if (renameat2(plan.dir_fd, plan.active, plan.dir_fd, name, RENAME_NOREPLACE) == 0) {
                renamed = true;
            } else if (errno == EINVAL || errno == ENOSYS) {
                // A file system without the flag: the name is checked first.
                struct stat taken {};
                renamed = fstatat(plan.dir_fd, name, &taken, AT_SYMLINK_NOFOLLOW) != 0 &&
                          renameat(plan.dir_fd, plan.active, plan.dir_fd, name) == 0;
            } else if (errno != EEXIST) {
                return false;
            }
        }
        if (!renamed) {
            return false;
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
bool write_record(int fd, const CrashRotation& plan, std::string_view text,
                  const timespec& deadline) {
    off_t length = -1;
    const std::uint64_t limit = counted_limit(plan);
    Wrote wrote = write_text(fd, text, deadline, length, limit);
    if (wrote != Wrote::kFull) {
        return wrote == Wrote::kWhole;
    }
    if (length == 0) {
        return true;
    }
    if (!rotate_at_crash(plan, fd)) {
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
bool write_formatted(int fd, const CrashRotation& plan, std::string_view text, int level,
                     const Origin& origin, bool json, const timespec& deadline) {
    if (!json) {
        return write_record(fd, plan, text, deadline);
    }
    char line[4096];
    FixedOut out{line, sizeof line};
    append_json_line(out, text, level, origin);
    if (out.size <= sizeof line) {
        return write_record(fd, plan, std::string_view(line, out.size), deadline);
    }
    off_t length = -1;
    const std::uint64_t limit = counted_limit(plan);
    Wrote wrote = write_json_in_pieces(fd, text, level, origin, deadline, length, limit);
    if (wrote != Wrote::kFull) {
        return wrote == Wrote::kWhole;
    }
    if (length == 0) {
        return true;  // longer than the size limit: no file holds it
    }
    if (!rotate_at_crash(plan, fd)) {
        return false;
    }
    wrote = write_json_in_pieces(fd, text, level, origin, deadline, length, limit);
    return wrote == Wrote::kWhole || (wrote == Wrote::kFull && length == 0);
}

// The records from `first` on, up to `last`.
bool write_records(int fd, const CrashRotation& plan, const std::deque<Target::Queued>& records,
                   bool json, const timespec& deadline, std::size_t first = 0,
                   std::size_t last = ~std::size_t{0}) {
    for (std::size_t i = first; i < records.size() && i < last; ++i) {
        const Target::Queued& record = records[i];
        const Message* whole = record.whole;
        // The husk of a record whose write the signal interrupted is empty.
        const std::string_view text =
            whole != nullptr ? whole->text.view() : std::string_view(record.text);
        if (!write_formatted(fd, plan, text, whole != nullptr ? whole->level : record.level,
                             whole != nullptr ? whole->origin : record.origin,
                             json && !record.formatted, deadline)) {
            return false;
        }
    }
    return true;
}

// What the producers' lanes hold, in the order it was handed over (the
// worker's own merge, with the first kMergedLanes lanes; any beyond follow
// one after another).
bool write_lanes(int fd, const CrashRotation& plan, const std::vector<Lane*>& lanes, bool json,
                 const timespec& deadline) {
    constexpr std::size_t kMergedLanes = 64;
    StampClock clock;
    if (json) {
        clock.refresh();
    }
    for (std::size_t from = 0; from < lanes.size(); from += kMergedLanes) {
        Lane::Cursor cursors[kMergedLanes];
        Lane::Record next[kMergedLanes];
        bool has[kMergedLanes];
        const std::size_t count =
            lanes.size() - from < kMergedLanes ? lanes.size() - from : kMergedLanes;
        for (std::size_t i = 0; i < count; ++i) {
            cursors[i] = lanes[from + i]->cursor();
            has[i] = Lane::next(cursors[i], next[i]);
        }
        for (;;) {
            std::size_t first = count;
            for (std::size_t i = 0; i < count; ++i) {
                if (has[i] &&
                    (first == count || next[i].header->stamp < next[first].header->stamp)) {
                    first = i;
                }
            }
            if (first == count) {
                break;
            }
            const Lane::Record& record = next[first];
            const Lane::Place place = record.place();
            Origin origin;
            origin.logger = record.header->logger;
            origin.file = place.file;
            origin.func = place.func;
            origin.line = static_cast<int>(place.line);
            origin.thread = lanes[from + first]->thread_id;
            origin.time_us = json ? clock.to_us(record.header->stamp) : 0;
            const Message* whole = record.is_whole() ? record.whole() : nullptr;
            if (whole != nullptr) {
                // As the writer takes it: the Message's own, blanks filled.
                Origin own = whole->origin;
                fill_blanks(own, origin);
                origin = own;
            }
            if (!write_formatted(fd, plan, whole != nullptr ? whole->text.view() : record.text(),
                                 whole != nullptr ? whole->level : record.header->level, origin,
                                 json, deadline)) {
                return false;
            }
            has[first] = Lane::next(cursors[first], next[first]);
        }
    }
    return true;
}

// The index in `records` of the record at `place`: from `from` on, or
// records.size() for kAllOut or a place not found.
std::size_t index_of(const std::deque<Target::Queued>& records, std::uintptr_t place,
                     std::size_t from) {
    for (std::size_t i = from; i < records.size(); ++i) {
        if (Backlog::place_of(records[i]) == place) {
            return i;
        }
    }
    return records.size();
}

// Whether the call in flight when the signal came had already put
// records[from, to) in the file that was `size_before` bytes long before
// it: the file has grown by their length since. The writer is alone in
// appending to its file, or a crash on its own thread is not worth a
// second descriptor to read the file back with.
bool run_in_file(int fd, const std::deque<Target::Queued>& records, std::size_t from,
                 std::size_t to, std::int64_t size_before) {
    if (size_before < 0) {
        // Not a file (the console), or a record on its own: the call counts
        // as made, as for the record inside write_msg.
        return true;
    }
    std::size_t bytes = 0;
    for (std::size_t i = from; i < to; ++i) {
        bytes += records[i].text.size();
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return false;
    }
    const off_t whole = size_before + static_cast<off_t>(bytes);
    if (st.st_size >= whole) {
        return true;
    }
    // The call was cut short (the size limit, a full disk) and its writer
    // had no time to cut the file back to whole records: done here, so the
    // records written again do not follow a piece of one.
    if (st.st_size > size_before) {
        [[maybe_unused]] int rc = ftruncate(fd, size_before);
    }
    return false;
}

bool wait_for_count(const Carrier& carrier, std::uint64_t goal, const timespec& deadline) {
    while (carrier.written() < goal) {
        if (ms_left(deadline) == 0) {
            return false;
        }
        pause_briefly();
    }
    return true;
}

// On the writer's own thread: what it holds, then what waits. Of a run in
// progress, what is out is not written again, nor the part the
// interrupted call has put in the file.
bool flush_on_writer(Carrier& carrier, int fd, const timespec& deadline, const timespec& lock_by) {
    NonBlocking nonblocking(fd);
    Backlog::RunState run{};
    const std::deque<Target::Queued>& held = carrier.crash_held(run);
    std::size_t first = 0;
    if (run.resume != Backlog::kNoneOut) {
        first = index_of(held, run.resume, 0);
        if (run.flight_end != Backlog::kNoneOut) {
            const std::size_t end = index_of(held, run.flight_end, first);
            if (run_in_file(fd, held, first, end, run.size_before)) {
                first = end;
            }
        }
    }
    const CrashRotation& plan = carrier.crash_rotation();
    const bool json = carrier.crash_json();
    if (!write_records(fd, plan, held, json, deadline, first) ||
        !lock_until(carrier.crash_mutex(), lock_by)) {
        return false;
    }
    // What waits from the lanes came out of them before what they still
    // hold; what was queued beside them comes after.
    const std::deque<Target::Queued>& waiting = carrier.crash_waiting();
    const std::size_t from_lanes = carrier.crash_waiting_from_lanes();
    bool written = write_records(fd, plan, waiting, json, deadline, 0, from_lanes) &&
                   write_lanes(fd, plan, carrier.crash_lanes(), json, deadline) &&
                   write_records(fd, plan, waiting, json, deadline, from_lanes);
    carrier.crash_mutex().unlock();
    return written;
}

}  // namespace

bool flush_at_crash(Target& target, const timespec& deadline,
                    const timespec& lock_deadline) noexcept {
    const timespec& lock_by = before(deadline, lock_deadline) ? deadline : lock_deadline;
    Carrier& carrier = Carrier::of(target);
    const int fd = carrier.crash_descriptor();
    if (carrier.crash_on_writer()) {
        // The crash is on the thread that writes for this target: nobody
        // else will write what it holds and what waits behind it.
        if (fd >= 0) {
            return flush_on_writer(carrier, fd, deadline, lock_by);
        }
        // Between two files (the signal came inside a rotation): the
        // active file, whichever it is by now, as the writer would open it.
        const CrashRotation& plan = carrier.crash_rotation();
        int group_err = 0;
        const int active =
            plan.dir_fd >= 0 ? open_active(plan.dir_fd, plan.active, plan.mode, plan.gid, group_err)
                             : -1;
        if (active < 0) {
            return false;
        }
        const bool written = flush_on_writer(carrier, active, deadline, lock_by);
        close(active);
        return written;
    }
    if (!lock_until(carrier.crash_mutex(), lock_by)) {
        return false;
    }
    const std::uint64_t goal = carrier.accepted();
    if (carrier.written() >= goal) {
        carrier.crash_mutex().unlock();
        return true;
    }
    if (carrier.crash_served()) {
        // Another thread writes them; a record queued has woken it already,
        // since producers wake the worker before they release the mutex.
        carrier.crash_mutex().unlock();
        return wait_for_count(carrier, goal, deadline);
    }
    // No thread writes for the target: this one does, if it can.
    bool written = false;
    if (fd >= 0) {
        NonBlocking nonblocking(fd);
        written = write_records(fd, carrier.crash_rotation(), carrier.crash_waiting(),
                                carrier.crash_json(), deadline);
    }
    carrier.crash_mutex().unlock();
    return written;
}

}  // namespace zvk::detail
