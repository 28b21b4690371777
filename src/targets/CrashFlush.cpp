#include "CrashFlush.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <deque>
#include <string_view>
#include <vector>

#include "../frontend/Origins.h"
#include "../platform/StampClock.h"
#include "Backlog.h"
#include "Carrier.h"
#include "CrashWriting.h"
#include "FileLogShared.h"
#include "zvk/Message.h"

namespace zvk::detail {

namespace {

void pause_briefly() {
    const timespec pause{0, 1'000'000};
    nanosleep(&pause, nullptr);
}

// Holds `carrier` for this handler: true once no other thread is in the
// middle of changing what the handler reads (those that start one now
// wait until crash_claim(false)); false when this thread itself is, as
// its change will never end, or when `until` passes first.
bool claim_until(Carrier& carrier, const timespec& until) {
    if (carrier.crash_changing_here()) {
        return false;
    }
    carrier.crash_claim(true);
    while (carrier.crash_changing()) {
        if (ms_left(until) == 0) {
            carrier.crash_claim(false);
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

// The records from `first` on, up to `last`.
bool write_records(CrashSink& sink, const std::deque<Carrier::Queued>& records, bool json,
                   std::size_t first = 0, std::size_t last = ~std::size_t{0}) {
    for (std::size_t i = first; i < records.size() && i < last; ++i) {
        const Carrier::Queued& record = records[i];
        const Message* whole = record.whole;
        // The husk of a record whose write the signal interrupted is empty.
        const std::string_view text =
            whole != nullptr ? whole->text.view() : std::string_view(record.text);
        if (!sink.put(text, whole != nullptr ? whole->level : record.level,
                      whole != nullptr ? whole->origin : record.origin,
                      json && !record.formatted)) {
            return false;
        }
    }
    return true;
}

// What the producers' lanes hold, in the order it was handed over (the
// worker's own merge, with the first kMergedLanes lanes; any beyond follow
// one after another).
bool write_lanes(CrashSink& sink, const std::vector<Lane*>& lanes, bool json) {
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
            const std::size_t first =
                Lane::earliest(count, [&](std::size_t i) { return has[i] ? &next[i] : nullptr; });
            if (first == count) {
                break;
            }
            const Lane::Record& record = next[first];
            Origin origin;
            lanes[from + first]->fill_origin(origin, record,
                                             json ? clock.to_us(record.header->stamp) : 0);
            const Message* whole = record.is_whole() ? record.whole() : nullptr;
            if (whole != nullptr) {
                // As the writer takes it: the Message's own, blanks filled.
                Origin own = whole->origin;
                fill_blanks(own, origin);
                origin = own;
            }
            if (!sink.put(whole != nullptr ? whole->text.view() : record.text(),
                          whole != nullptr ? whole->level : record.header->level, origin, json)) {
                return false;
            }
            has[first] = Lane::next(cursors[first], next[first]);
        }
    }
    return true;
}

// The index in `records` of the record at `place`: from `from` on, or
// records.size() for kAllOut or a place not found.
std::size_t index_of(const std::deque<Carrier::Queued>& records, std::uintptr_t place,
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
bool run_in_file(int fd, const std::deque<Carrier::Queued>& records, std::size_t from,
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
    const std::deque<Carrier::Queued>& held = carrier.crash_held(run);
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
    Rotation rotation{plan, plan.seconds};
    const bool json = carrier.crash_json();
    CrashSink sink(fd, rotation, deadline);
    if (!write_records(sink, held, json, first) || !sink.flush() ||
        !claim_until(carrier, lock_by)) {
        return false;
    }
    // What waits from the lanes came out of them before what they still
    // hold; what was queued beside them comes after.
    const std::deque<Carrier::Queued>& waiting = carrier.crash_waiting();
    const std::size_t from_lanes = carrier.crash_waiting_from_lanes();
    bool written = write_records(sink, waiting, json, 0, from_lanes) &&
                   write_lanes(sink, carrier.crash_lanes(), json) &&
                   write_records(sink, waiting, json, from_lanes) && sink.flush();
    carrier.crash_claim(false);
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
    if (!claim_until(carrier, lock_by)) {
        return false;
    }
    const std::uint64_t goal = carrier.accepted();
    if (carrier.written() >= goal) {
        carrier.crash_claim(false);
        return true;
    }
    if (carrier.crash_served()) {
        // Another thread writes them; a record queued has woken it already,
        // since producers wake the worker before they release the mutex.
        carrier.crash_claim(false);
        return wait_for_count(carrier, goal, deadline);
    }
    // No thread writes for the target: this one does, if it can.
    bool written = false;
    if (fd >= 0) {
        NonBlocking nonblocking(fd);
        const CrashRotation& plan = carrier.crash_rotation();
        Rotation rotation{plan, plan.seconds};
        CrashSink sink(fd, rotation, deadline);
        written =
            write_records(sink, carrier.crash_waiting(), carrier.crash_json()) && sink.flush();
    }
    carrier.crash_claim(false);
    return written;
}

}  // namespace zvk::detail
