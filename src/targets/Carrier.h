// What carries records to one target: the hand-over from the threads that
// log, the accounting of the queue, its bound, the worker thread and the
// target's lifecycle, flushes, and what a fatal-signal handler may read.
// The target keeps the mutex, state, condition and queue that its public
// header names; only the carrier changes them, and it owns everything
// else.
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "../platform/StampClock.h"
#include "../platform/ThreadLocal.h"
#include "Backlog.h"
#include "Lane.h"
#include "zvk/Target.h"

namespace zvk {

class VornConfig;

namespace detail {

// Where a fatal-signal handler goes on when the file it appends to reaches
// the size limit, as the file target would: the active file's name in the
// directory held open, and the name to rotate it to (`head`, then
// `seconds` in decimal, then `ext`; a later second where that is taken).
// Names are entries of the directory, so NAME_MAX bounds them.
struct CrashRotation {
    int dir_fd = -1;  // -1: no rotation
    int mode = -1;    // of a fresh file, as open_active takes them
    long gid = -1;
    char active[256] = {};
    char head[256] = {};
    long long seconds = 0;
    char ext[256] = {};
};

class CrashSection;

// Whether a worker serves the queue, so that room can come.
inline bool worker_serves(Target::State state) {
    return state == Target::STARTING || state == Target::RUNNING || state == Target::DRAINING;
}

// A number no other carrier of this process has had.
std::uint64_t new_carrier_id() noexcept;

// Whether the calling thread is inside a hand-over to any target, for its
// whole length: a signal handler or a destructor that logs meanwhile would
// enter one again, into a lane half written or a mutex the thread holds.
// Initial-exec: a signal handler reads it without allocating.
extern constinit ZVK_INITIAL_EXEC thread_local bool in_hand_over;

// Sets in_hand_over to `inside` while it lives, then restores it. The
// fences keep the compiler from moving the hand-over's own stores out of
// the marked stretch, as a handler on this thread would see them.
class HandOverMark {
public:
    explicit HandOverMark(bool inside) noexcept : before(in_hand_over) {
        in_hand_over = inside;
        std::atomic_signal_fence(std::memory_order_seq_cst);
    }
    ~HandOverMark() {
        std::atomic_signal_fence(std::memory_order_seq_cst);
        in_hand_over = before;
    }
    HandOverMark(const HandOverMark&) = delete;
    HandOverMark& operator=(const HandOverMark&) = delete;

private:
    bool before;
};

class Carrier {
public:
    using Queued = Target::Queued;
    using State = Target::State;

    static Carrier& of(Target& target) noexcept { return *target.carrier; }

    explicit Carrier(Target& owner);
    // Gives the target's share of every lane back.
    ~Carrier();
    Carrier(const Carrier&) = delete;
    Carrier& operator=(const Carrier&) = delete;

    // The producers' side: queues `record` with `text` (moved, or copied
    // when its buffer is roomy: then `text` keeps it); returns a spare text
    // buffer for the caller's stream when `want_buffer` and one is at hand.
    std::string enqueue(Queued&& record, std::string& text, bool want_buffer);
    // The lock-free part of it: true when the record (`whole`, else `text`)
    // is in the calling thread's lane; false when the lanes are closed or
    // have no room, and the record is to be queued.
    bool to_lane(std::string_view text, int level, Message* whole, const Origin& origin) noexcept;
    // A record handed over on a thread already inside a hand-over: dropped
    // and counted, without a lock (a signal handler may be the caller).
    void refuse_reentered() noexcept { dropped_unlocked.fetch_add(1, std::memory_order_relaxed); }
    void set_bound(std::size_t max_records, bool drop_when_full);
    // What the lanes may hold in filled segments before when_full applies
    // (0: the default, a share of the physical memory). Before the start.
    void set_memory_bound(std::size_t max_bytes) noexcept;
    // Only the console and the file target write lines.
    void set_format(Target::Format format) noexcept {
        json = format == Target::JSON_LINES &&
               (owner.type == Target::CONSOLE_TARGET || owner.type == Target::FILE_TARGET);
    }

    // The target's operations of the same names.
    int start(const VornConfig* config);
    int stop();
    int flush();
    void shutdown();
    void drop_after_fork();
    // The target is being retired: flushes and producers waiting for room
    // stop waiting (the stop that follows writes what they handed over),
    // so that the retirer need not wait for an output that is stuck.
    void release_waiters();
    void stop_for_exit();
    void reset_state(State next);
    // The worker thread's body.
    void run_worker();

    void set_crash_fd(int fd) noexcept { crash_fd.store(fd, std::memory_order_release); }
    // Two plans, one of them current: a handler that interrupts the writer
    // while it changes the other reads a whole one.
    void set_crash_rotation(const CrashRotation& plan) noexcept {
        const int next = 1 - rotation_now.load(std::memory_order_relaxed);
        rotation[next] = plan;
        std::atomic_signal_fence(std::memory_order_seq_cst);
        rotation_now.store(next, std::memory_order_release);
    }
    const CrashRotation& crash_rotation() const noexcept {
        return rotation[rotation_now.load(std::memory_order_acquire)];
    }
    void run_progress(std::size_t sent, std::size_t in_flight, std::int64_t size_before) noexcept {
        backlog.run_progress(sent, in_flight, size_before);
    }

    // For a fatal-signal handler: reads only, nothing allocates, frees or
    // blocks. The descriptor the target offers (-1: none), and whether the
    // calling thread is the one writing for the target.
    int crash_descriptor() const noexcept { return crash_fd.load(std::memory_order_acquire); }
    bool crash_on_writer() const noexcept;
    // What the writer holds, and how far a run of it is out. The writer's
    // own thread only.
    const std::deque<Queued>& crash_held(Backlog::RunState& run) const noexcept {
        run = backlog.run_state();
        return backlog.held_records();
    }
    // The handler never takes the target's mutex: it claims the target
    // (seq_cst, before it looks at the sections), waits until no thread
    // is inside a CrashSection of it, reads, and lets it go. Whether a
    // thread is inside one, and whether it is the calling thread.
    void crash_claim(bool claimed) noexcept {
        crash_claimed.store(claimed, std::memory_order_seq_cst);
    }
    bool crash_changing() const noexcept {
        return crash_sections.load(std::memory_order_seq_cst) != 0;
    }
    bool crash_changing_here() const noexcept;
    // With the target claimed: the records waiting, and whether a thread
    // other than the caller will write them (the count then moves on:
    // written() reaches accepted()).
    const std::deque<Queued>& crash_waiting() const noexcept { return owner.queue; }
    // With the target claimed: the producers' lanes, whose records come
    // after what the writer holds and what waits from them, and before the
    // rest of what waits.
    const std::vector<Lane*>& crash_lanes() const noexcept { return lanes; }
    // How many records at the front of what waits came from the lanes.
    std::size_t crash_waiting_from_lanes() const noexcept { return queued_from_lanes; }
    bool crash_served() const noexcept;
    // Whether records are written as JSON lines: those not yet formatted
    // are rendered by the handler.
    bool crash_json() const noexcept { return json; }
    std::uint64_t accepted() const noexcept { return backlog.accepted() + lanes_pending(); }
    std::uint64_t written() const noexcept { return backlog.written(); }

private:
    friend class CrashSection;

    // Whether `innermost` or a section enclosing it is one of this target's.
    bool crash_changing_inside(const CrashSection* innermost) const noexcept;

    // The calling thread's lane into this target, made on its first
    // record; null when no memory was left for one.
    Lane* caller_lane() noexcept;
    Lane* find_or_make_lane() noexcept;
    // Wakes a worker that sleeps with nothing to do.
    void wake_worker() noexcept;
    // The worker, idle for a while and about to sleep until woken, with
    // worker_waiting and worker_sleeping set: makes sure that a producer
    // handing over from now on sees it sleeping. Whether it may sleep:
    // nothing came and nobody woke it meanwhile. May release `lock`.
    bool ready_to_sleep(std::unique_lock<std::mutex>& lock);
    // Under mutex: records in lanes that the writer has not taken.
    std::uint64_t lanes_pending() const noexcept;
    // With `lock` held on entry and exit (released while it reads): moves
    // what the lanes hold, merged in the order it was handed over, in front
    // of what waits in the queue, its texts in buffers from `pool`; lanes
    // whose thread ended and that are empty go. Returns how many records
    // it moved. The writer's thread only.
    std::size_t take_lanes(std::unique_lock<std::mutex>& lock,
                           std::vector<std::string>* pool = nullptr);
    // A lane being taken from: where the merge reads, and what it took.
    struct LaneSource {
        Lane* lane;
        Lane::Cursor cursor;
        Lane::Cursor at;  // where `next` starts
        Lane::Record next;
        bool open;
        std::uint64_t emitted;
        std::size_t last_index;  // where its last record went in `taken`
    };
    // Without the mutex: up to kTakeLimit records of `sources` into
    // `taken`, in the order they were handed over.
    void merge_lanes(std::vector<LaneSource>& sources, std::deque<Queued>& taken,
                     std::vector<std::string>* pool);
    // With `lock` held on entry and exit (released meanwhile): puts `taken`
    // in front of the queue and lets the lanes go of what it holds.
    // Returns how many records it moved.
    std::size_t queue_taken(std::unique_lock<std::mutex>& lock, std::vector<LaneSource>& sources,
                            std::deque<Queued>& taken);
    // With `lock` held on entry and exit: gives back the empty lanes whose
    // thread ended.
    void give_back_ended_lanes(std::unique_lock<std::mutex>& lock);
    // The same, once the lanes are closed: takes until they are empty, so
    // that no record a thread queued after its lane closed goes before
    // one still in the lane.
    void take_all_lanes(std::unique_lock<std::mutex>& lock,
                        std::vector<std::string>* pool = nullptr);
    // With `lock` held on entry and exit (released meanwhile): no producer
    // hands over into a lane any more once this returns.
    void close_lanes(std::unique_lock<std::mutex>& lock);
    // Under mutex: gives the target's share of the lanes whose records
    // were dropped in a forked child back, and drops them.
    std::uint64_t drop_lanes_after_fork() noexcept;

    // Under mutex: gives a plain `record` the text, and `back` a spare
    // buffer when `text` keeps none for the caller.
    void adopt_text(Queued& record, std::string& text, std::string* back);
    // Under mutex, with `section` raised: queues `record` (its text from
    // `text`, a spare buffer to `back` when given), or refuses it and
    // deletes its Message. May wait for room with the mutex released.
    void queue_locked(std::unique_lock<std::mutex>& lock, CrashSection& section, Queued& record,
                      std::string& text, std::string* back);
    // Under mutex, for a bounded target at its bound: false when the
    // record is to be dropped, true once there is room (after waiting).
    bool admit(std::unique_lock<std::mutex>& lock);
    // After the stop at exit: the calling thread writes what is queued
    // unless another thread is writing; then it waits until its record
    // (number `number`) is written, unless it is inside a write_msg.
    void write_inline(std::unique_lock<std::mutex>& lock, std::uint64_t number);
    // Writes what waits, others' records too, at least up to record
    // `number`; past it only while no other thread waits to take over.
    void write_all_inline(std::unique_lock<std::mutex>& lock, std::uint64_t number);
    // The worker's loop between its start and stop handshakes; `returned`
    // and `in_write` as for write_held.
    void serve(std::vector<std::string>& returned, bool& in_write);
    using IdleClock = std::chrono::steady_clock;
    // Under mutex (released while it waits): takes what the lanes hold;
    // with nothing there or queued while the target runs, waits, napping
    // for `idle` (which grows) then sleeping. False once `next_tick` is due.
    bool take_or_idle(std::unique_lock<std::mutex>& lock, std::vector<std::string>& returned,
                      std::size_t& last_take, std::chrono::milliseconds& idle,
                      IdleClock::time_point next_tick);
    // Under mutex: the queue becomes the writer's; false when the worker is
    // to end (stopping with what was accepted before written, or nothing
    // left at all).
    bool take_queued(std::unique_lock<std::mutex>& lock, std::vector<std::string>& returned);
    // Writes what the writer holds out of the queue, without the mutex: at
    // most `limit` records, texts of plain ones going back to `returned`.
    // `in_write` is true while write_msg has a record, so that a throw
    // leaves it known.
    void write_held(std::size_t limit, std::vector<std::string>* returned, bool& in_write);
    std::size_t write_run(std::size_t limit, std::vector<std::string>* returned);
    // Puts what the writer took in the target's format before any of it
    // is written (without the mutex): a fatal-signal handler then writes
    // the same lines the writer would.
    void format_taken();
    // The worker's line for a gap of `count` dropped records.
    void report_dropped(std::uint64_t count);
    // The line for the records dropped without the mutex (hand-overs
    // entered again, the lanes' ceiling): at most once a second, unless
    // `now` (at the stop). The writer's thread only.
    void report_dropped_unlocked(bool now);
    // A producer whose lane is at the ceiling (`sealed` then): true once
    // there may be room (after waiting), false when the record is to be
    // dropped (counted here).
    bool room_in_lanes(std::size_t sealed) noexcept;
    // A thread stops waiting inside the target (`waiters` is the count it
    // was in); the last one lets a shutdown go on. The caller holds `mutex`.
    void left_wait(int& waiters);
    // Every condition of the target, for re-creating them where their
    // waiters are gone (a forked child, a vanished worker).
    std::array<std::condition_variable*, 5> conditions();
    // The one place the lifecycle changes: sets `state` and wakes whoever
    // waits for what the change affects. The caller holds `mutex`.
    void enter(State next);

    // What a producer uses with each record, together: the target, the
    // worker's wake-up, then the backlog's own fields (it aligns itself).
    Target& owner;
    bool worker_waiting;  // guarded by mutex: the worker sleeps on work_cond
    std::condition_variable work_cond;
    Backlog backlog;
    // Guarded by mutex: a thread writes after exit; threads waiting for
    // room, and for written records; the records the worker writes before
    // it ends, once stop was asked.
    bool inline_writer;
    int room_waiters;
    int written_waiters;
    bool releasing = false;
    // After exit: one more than the highest number a thread waits for to
    // be written, and would write itself (0: none). A waiter leaves only
    // once its record is written, so while this exceeds written() such a
    // thread still waits.
    std::uint64_t inline_wait_goal = 0;
    std::uint64_t drain_goal;
    // Each wait has its own condition, all with `mutex`: room in a bounded
    // queue, written records (flush and the writers after exit), and
    // threads leaving the target (its shutdown).
    std::condition_variable room_cond;
    std::condition_variable written_cond;
    std::condition_variable leave_cond;
    std::atomic<int> crash_fd;
    CrashRotation rotation[2];
    std::atomic<int> rotation_now{0};
    // Records refused without the mutex while a fatal signal was handled.
    std::atomic<std::uint64_t> crash_refused{0};
    // Threads inside a CrashSection of the target, and whether a
    // fatal-signal handler holds it.
    std::atomic<int> crash_sections{0};
    std::atomic<bool> crash_claimed{false};
    // Records dropped without the mutex (hand-overs entered again, the
    // lanes' ceiling with when_full drop), not yet reported; the writer's
    // time for the next line about them.
    std::atomic<std::uint64_t> dropped_unlocked{0};
    std::chrono::steady_clock::time_point next_unlocked_report{};
    // Set at start from the target's type; the writer's texts of a run.
    bool runs;
    std::vector<std::string_view> run_texts;
    // JSON lines (set before the start; console and file targets only),
    // and the writer's buffer to render them in.
    bool json = false;
    std::string formatted;
    bool initialised;  // init succeeded once; only start touches it

    // The producers' lanes: used while the worker runs an unbounded target
    // (lanes_open, read by producers without the mutex); the list and the
    // flush marks are guarded by mutex. A worker that sleeps says so in
    // worker_sleeping, for producers that hand over without the mutex.
    const std::uint64_t id;
    std::atomic<bool> lanes_open{false};
    std::atomic<bool> worker_sleeping{false};
    std::vector<Lane*> lanes;
    // Guarded by mutex: spare segments the writer took back from lanes
    // that went quiet, at most kSparePool, lent to lanes that hand over
    // again.
    static constexpr std::size_t kSparePool = 2;
    std::vector<void*> spare_pool;
    LaneBudget lane_budget;
    // How many records at the front of the queue came from lanes (or from
    // the writer's hands) since the writer last took the queue: records
    // taken from lanes later go behind them, in front of the rest.
    std::size_t queued_from_lanes = 0;
    // The writer's: the time of records taken from the lanes.
    StampClock stamp_clock;
};

// A change, with the target's mutex held, to what a fatal-signal handler
// reads of the target (its queue, lanes, counts and state); it never
// waits for anything, nor releases the mutex, before it ends. The handler
// takes no mutex (std::mutex is not async-signal-safe, and try_lock by
// the thread that holds it is undefined) and claims the target instead.
// A section is raised, then looks at the claim; the handler claims, then
// looks at the count: all seq_cst, so either the handler waits for the
// section, or the section sees the claim and waits, not counted, until
// the target is let go. The count falls with release, so a handler that
// sees it at 0 sees the changes. Linked on its thread first, so that a
// handler interrupting the thread knows the change will never end.
class CrashSection {
public:
    explicit CrashSection(Carrier& carrier) noexcept;
    ~CrashSection() { leave(); }
    // Ends the section early: before a wait, or the mutex's release. Only
    // the innermost section of the thread.
    void leave() noexcept;
    CrashSection(const CrashSection&) = delete;
    CrashSection& operator=(const CrashSection&) = delete;

    Carrier* carrier;
    const CrashSection* previous;  // the thread's enclosing one

private:
    // Waits, without the count, while a fatal-signal handler holds it.
    static void wait_for_release(const Carrier& carrier) noexcept;

    bool inside = true;
};

// The calling thread's innermost section, read by a fatal-signal handler
// on the thread: initial-exec, as the default model may allocate on a
// first use there.
extern constinit ZVK_INITIAL_EXEC thread_local std::atomic<const CrashSection*> own_crash_section;

inline CrashSection::CrashSection(Carrier& carrier) noexcept
    : carrier(&carrier), previous(own_crash_section.load(std::memory_order_relaxed)) {
    own_crash_section.store(this, std::memory_order_release);
    for (;;) {
        carrier.crash_sections.fetch_add(1, std::memory_order_seq_cst);
        // Inside one of its own already, the handler waits for this thread
        // to leave it: waiting here would keep it from ever leaving.
        if (!carrier.crash_claimed.load(std::memory_order_seq_cst) ||
            carrier.crash_changing_inside(previous)) {
            return;
        }
        carrier.crash_sections.fetch_sub(1, std::memory_order_release);
        wait_for_release(carrier);
    }
}

inline void CrashSection::leave() noexcept {
    if (!inside) {
        return;
    }
    inside = false;
    carrier->crash_sections.fetch_sub(1, std::memory_order_release);
    std::atomic_signal_fence(std::memory_order_seq_cst);
    own_crash_section.store(previous, std::memory_order_relaxed);
}

}  // namespace detail
}  // namespace zvk
