// The records a target has accepted and not yet written, and everything
// that accounts for them: the bound, the gaps of dropped records, the
// count of written records and the text buffers on their way back to the
// threads that log. The records waiting are the target's `queue`, handed
// to each operation that changes it (the path every record takes saves a
// load that way); nothing else changes it. Guarded by the target's mutex,
// except `held`, which only the one thread that writes touches between two
// looks at the queue.
//
// Invariant, at every moment the mutex is free:
//     accepted() == written() + held.size() + waiting.size()
// A record is numbered by its place in that count (0: the first the
// target accepted). The record being written stays at the front of `held`
// as an emptied husk until write_msg returns for it, so that it is never
// in none of the three. Threads other than the writer never look at
// `held`: they see accepted() - written(), which only shrinks behind
// their back.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "zvk/Target.h"

namespace zvk::detail {

class Backlog {
public:
    // The queue's element, private to Target: named through its public field.
    using Queued = decltype(Target::queue)::value_type;

    // Enough for the writer to hand back whole chunks while producers catch
    // up, little enough to keep only some tens of KiB per target.
    static constexpr std::size_t kSpareLimit = 128;
    // The writer's own buffers for the texts it takes from the producers'
    // lanes: as many as it takes at a time, so that a steady stream needs
    // no allocation.
    static constexpr std::size_t kPoolLimit = 1024;

    Backlog();
    // Deletes the whole Messages of records never written.
    ~Backlog();
    Backlog(const Backlog&) = delete;
    Backlog& operator=(const Backlog&) = delete;

    void set_bound(std::size_t max_records, bool drop_when_full);
    bool bounded() const { return max != 0; }
    bool drops_when_full() const { return drop; }
    // Whether a record now would go beyond the bound.
    bool full() const { return max != 0 && unwritten() >= max; }

    // Appends `record` to `waiting`; a gap of records refused since the
    // last accepted one is reported right before it. Returns its number.
    std::uint64_t push(std::deque<Queued>& waiting, Queued&& record) {
        const std::uint64_t number = accepted_count;
        if (refused != 0) [[unlikely]] {
            note_gap(number);
        }
        waiting.push_back(std::move(record));
        ++accepted_count;
        return number;
    }
    // Records handed over through the producers' lanes, accepted now: they
    // go into `waiting` after its first `after` records (those taken from
    // lanes before), and the records behind (and the gaps before them) move
    // back by as many places.
    void accept_at(std::deque<Queued>& waiting, std::size_t after, std::deque<Queued>& records);
    // A record refused: counted for the gap before the next accepted one.
    void refuse() { ++refused; }
    // The records refused since the last accepted one, now reported: the
    // count (for a line at the end, where no record follows).
    std::uint64_t take_trailing_gap();
    // Destroys every waiting record unwritten; returns how many, with the
    // gaps in front of them.
    std::uint64_t discard_waiting(std::deque<Queued>& waiting);
    // For a forked child, after discard_waiting: forgets what the writer
    // held, uncounted (records its parent writes).
    void forget_held();

    std::uint64_t accepted() const { return accepted_count; }
    std::uint64_t written() const { return written_count.load(std::memory_order_acquire); }
    std::uint64_t unwritten() const { return accepted_count - written(); }

    // The writer's side. `take` moves everything waiting into `held` (held
    // empty) with the gaps that belong to it.
    void take(std::deque<Queued>& waiting);
    bool holding() const { return !held.empty(); }
    // The next record to write, and the gap to report before it (0: none).
    Queued& next_held(std::uint64_t& gap_before);
    // write_msg has returned for the record `next_held` gave.
    void written_one();
    // How many records from the front of `held` (after next_held has
    // reported any gap before the first) can go out in one write: plain
    // records, up to `limit`, none after a gap. Marks them as being written.
    std::size_t start_run(std::size_t limit);
    // The run is out: its records leave `held`, their text buffers go to
    // `returned` (up to the spare limit).
    void finish_run(std::vector<std::string>* returned);
    // How far the writer is in the run: the first `sent` records are out,
    // the next `in_flight` are in one call that is under way or has just
    // returned, to a file `size_before` bytes long before it (-1: not a
    // file, or its length unknown).
    void run_progress(std::size_t sent, std::size_t in_flight, std::int64_t size_before) {
        // For a fatal-signal handler on this thread, which may come between
        // any two stores: the range in flight is empty while it changes.
        const std::uintptr_t first = place(sent);
        resume_at.store(first, std::memory_order_relaxed);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        flight_end.store(first, std::memory_order_relaxed);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        flight_size_before.store(size_before, std::memory_order_relaxed);
        std::atomic_signal_fence(std::memory_order_seq_cst);
        flight_end.store(place(sent + in_flight), std::memory_order_relaxed);
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }
    // The same, read by that handler: the place of the first record not
    // out, that of the first after the call in flight, and the length.
    // A place is a record's address in `held` (which popping from the front
    // does not move), kNoneOut or kAllOut.
    static constexpr std::uintptr_t kNoneOut = 0;
    static constexpr std::uintptr_t kAllOut = 1;
    struct RunState {
        std::uintptr_t resume;
        std::uintptr_t flight_end;
        std::int64_t size_before;
    };
    RunState run_state() const {
        std::atomic_signal_fence(std::memory_order_seq_cst);
        return {resume_at.load(std::memory_order_relaxed),
                flight_end.load(std::memory_order_relaxed),
                flight_size_before.load(std::memory_order_relaxed)};
    }
    static std::uintptr_t place_of(const Queued& record) {
        return reinterpret_cast<std::uintptr_t>(&record);
    }
    // After a failed write: the husk of the record write_msg was given
    // leaves, and what is still held goes back in front of the queue.
    // Under the mutex.
    void return_held(std::deque<Queued>& waiting, bool husk_at_front);

    // Moves a spare text buffer into `into`: one of at least `size` bytes,
    // or any for `take_any_spare`. False, `into` untouched, when none is.
    bool take_spare(std::string& into, std::size_t size) {
        if (spare.empty() || spare.back().capacity() < size) {
            return false;
        }
        into = std::move(spare.back());
        spare.pop_back();
        return true;
    }
    bool take_any_spare(std::string& into) { return take_spare(into, 0); }
    // Buffers of written records, kept (up to a limit) for the producers.
    void give_back(std::vector<std::string>& returned);
    void drop_spare() { spare.clear(); }

    // The records the writer holds, for the fatal-signal handler on the
    // writer's own thread: read only, nothing is freed or allocated.
    const std::deque<Queued>& held_records() const { return held; }
    // The writer's, to put what it took in the target's format.
    std::deque<Queued>& held_records() { return held; }

private:
    void note_gap(std::uint64_t number);

    // What the producers use with each record, together.
    std::uint64_t accepted_count;
    std::size_t max;
    bool drop;
    std::uint64_t refused;
    // Capacity reserved, so that adding never allocates.
    std::vector<std::string> spare;
    // For each gap: the number of the record after it, and its size.
    std::deque<std::pair<std::uint64_t, std::uint64_t>> gaps;
    // The writer's own, on cache lines of their own: its count changes with
    // each record written, and would otherwise take the line the producers
    // change with each record accepted away from them every time.
    alignas(64) std::atomic<std::uint64_t> written_count;
    std::deque<Queued> held;
    std::deque<std::pair<std::uint64_t, std::uint64_t>> held_gaps;
    std::size_t running = 0;
    std::atomic<std::uintptr_t> resume_at{kNoneOut};
    std::atomic<std::uintptr_t> flight_end{kNoneOut};
    std::atomic<std::int64_t> flight_size_before{-1};

    std::uintptr_t place(std::size_t index) const {
        return index < held.size() ? place_of(held[index]) : kAllOut;
    }
};

}  // namespace zvk::detail
