#include "Carrier.h"

#include <unistd.h>

#include <algorithm>
#include <new>
#include <thread>
#include <utility>

#include "../frontend/Report.h"
#include "../platform/LibraryThread.h"
#include "Writing.h"
#include "zvk/Vorn.h"

namespace zvk::detail {

namespace {

// Whether a worker or a writer after exit serves the queue, so that
// waiting for a write can end.
bool served(Target::State state) { return worker_serves(state) || state == Target::WRITING_INLINE; }

}  // namespace

Carrier::Carrier(Target& owner)
    : owner(owner),
      worker_waiting(false),
      inline_writer(false),
      room_waiters(0),
      written_waiters(0),
      drain_goal(0),
      crash_fd(-1),
      runs(false),
      initialised(false),
      id(new_carrier_id()) {
    set_memory_bound(0);
}

void Carrier::set_bound(std::size_t max_records, bool drop_when_full) {
    std::lock_guard lock(owner.mutex);
    backlog.set_bound(max_records, drop_when_full);
}

void Carrier::set_memory_bound(std::size_t max_bytes) noexcept {
    if (max_bytes == 0) {
        // An eighth of the physical memory: a target whose producers
        // outrun it for long takes no more, and a few such targets leave
        // the rest of the process room.
        const long pages = sysconf(_SC_PHYS_PAGES);
        const long page = sysconf(_SC_PAGESIZE);
        max_bytes = pages > 0 && page > 0
                        ? static_cast<std::size_t>(pages) / 8 * static_cast<std::size_t>(page)
                        : std::size_t{1} << 30;
    }
    lane_budget.max.store(max_bytes, std::memory_order_relaxed);
}

void Carrier::left_wait(int& waiters) {
    if (--waiters == 0 && room_waiters == 0 && written_waiters == 0) {
        leave_cond.notify_all();
    }
}

std::array<std::condition_variable*, 5> Carrier::conditions() {
    return {&owner.cond, &work_cond, &room_cond, &written_cond, &leave_cond};
}

void Carrier::enter(State next) {
    CrashSection section(*this);
    const State previous = owner.state;
    owner.state = next;
    owner.cond.notify_all();
    if (next == Target::DRAINING) {
        work_cond.notify_one();
    }
    // Nothing makes room, or writes, any more: those waiters re-decide.
    if (worker_serves(previous) && !worker_serves(next) && room_waiters != 0) {
        room_cond.notify_all();
    }
    if (served(previous) && !served(next) && written_waiters != 0) {
        written_cond.notify_all();
    }
}

namespace {

std::string dropped_words(const std::string& target, std::uint64_t count, bool) {
    return Vorn::time_gmt() + " dropped " + decimal(count) + " records in target: " + target;
}

}  // namespace

void Carrier::report_dropped(std::uint64_t count) {
    // A storm of drops is one line a second, each with the count since.
    report_repeated(owner.name, dropped_words, count);
}

bool Carrier::crash_served() const noexcept {
    return worker_serves(owner.state) || (owner.state == Target::WRITING_INLINE && inline_writer);
}

int Carrier::start(const VornConfig* config) {
    {
        std::lock_guard lock(owner.mutex);
        // STARTING claims the start: a second caller finds the worker
        // running or about to, and starts none of its own.
        if (owner.state != Target::STOPPED) {
            return 0;
        }
        enter(Target::STARTING);
        // A stop request left over from an earlier run is answered.
        owner.stop_requested = false;
    }
    auto unclaim = [this] {
        std::lock_guard lock(owner.mutex);
        enter(Target::STOPPED);
    };
    std::thread worker;
    try {
        if (!initialised) {
            if (owner.init(config) == -1) {
                unclaim();
                return -1;
            }
            initialised = true;
            runs = owner.takes_runs();
            if (int fd = owner.crash_descriptor(); fd >= 0) {
                set_crash_fd(fd);
            }
        }
        worker = library_thread([this] { owner.receive_message(); });
    } catch (...) {
        unclaim();
        // An unknown locale name is the caller's to hear about.
        if (!initialised) {
            throw;
        }
        return -1;
    }
    std::unique_lock lock(owner.mutex);
    // Not "until RUNNING": a worker whose first write throws may have
    // confirmed and already ended (STOPPED) before this thread wakes up.
    owner.cond.wait(lock, [this] { return owner.state != Target::STARTING; });
    // Never joined: stop() waits for the worker's end through `state`.
    worker.detach();
    return 0;
}

int Carrier::stop() {
    std::unique_lock lock(owner.mutex);
    if (owner.state == Target::RUNNING) {
        owner.stop_requested = true;
        drain_goal = accepted();
        enter(Target::DRAINING);
    } else if (owner.state != Target::DRAINING) {
        return 1;
    }
    // A write_msg that stops its own target cannot wait for itself.
    if (!writes_for(&owner)) {
        owner.cond.wait(lock, [this] { return owner.state != Target::DRAINING; });
    }
    return 1;
}

int Carrier::flush() {
    if (writes_for(&owner)) {
        return -1;
    }
    std::unique_lock lock(owner.mutex);
    // Everything accepted until now; later records are not waited for.
    std::uint64_t goal = backlog.accepted();
    // A record in a lane gets its number when the writer takes it: each
    // lane with records is marked at its count now, and the writer says
    // which number the marked record got.
    std::vector<std::pair<Lane*, std::uint64_t>> marks;
    if (served(owner.state)) {
        for (Lane* lane : lanes) {
            const std::uint64_t pushed = lane->pushed();
            if (pushed > lane->taken()) {
                lane->flush_mark = std::max(lane->flush_mark, pushed);
                ++lane->flush_waiters;
                marks.emplace_back(lane, pushed);
            }
        }
    }
    if (!marks.empty()) {
        // Records queued beside the lanes move back as lane records go in
        // front of them: for those, the end of the queue once all marks
        // are taken.
        const bool queued = !owner.queue.empty();
        // Also a worker that only lets records gather.
        worker_waiting = false;
        work_cond.notify_one();
        auto taken = [&] {
            for (const auto& [lane, mark] : marks) {
                if (lane->taken() < mark) {
                    return false;
                }
            }
            return true;
        };
        ++written_waiters;
        written_cond.wait(lock, [&] { return taken() || !served(owner.state) || releasing; });
        left_wait(written_waiters);
        for (const auto& [lane, mark] : marks) {
            if (lane->mark_done >= mark) {
                goal = std::max(goal, lane->mark_number + 1);
            }
            --lane->flush_waiters;
        }
        if (queued) {
            goal = std::max(goal, backlog.accepted());
        }
    }
    auto done = [&] { return backlog.written() >= goal; };
    if (!done()) {
        ++written_waiters;
        written_cond.wait(lock, [&] { return done() || !served(owner.state) || releasing; });
        left_wait(written_waiters);
    }
    return done() ? 0 : -1;
}

void Carrier::release_waiters() {
    std::lock_guard lock(owner.mutex);
    releasing = true;
    written_cond.notify_all();
    room_cond.notify_all();
}

void Carrier::shutdown() {
    try {
        stop();
        std::unique_lock lock(owner.mutex);
        // Woken by the stop; their records are counted below.
        leave_cond.wait(lock, [this] { return room_waiters == 0 && written_waiters == 0; });
        // Lanes a vanished worker left open: closed here, their records
        // counted with the rest.
        close_lanes(lock);
        take_all_lanes(lock);
        CrashSection section(*this);
        queued_from_lanes = 0;
        std::uint64_t lost = backlog.discard_waiting(owner.queue) + backlog.take_trailing_gap() +
                             crash_refused.exchange(0) + dropped_unlocked.exchange(0);
        section.leave();
        if (lost != 0) {
            report_dropped(lost);
        }
        end_repeats(owner.name);
        backlog.drop_spare();
    } catch (...) {
        // Only a broken mutex fails to lock; leaking the records is safer
        // than racing a worker that may still use them.
    }
}

void Carrier::drop_after_fork() {
    // The copied records are the parent's, which writes them.
    drop_lanes_after_fork();
    backlog.discard_waiting(owner.queue);
    queued_from_lanes = 0;
    backlog.forget_held();
    // The child has only the forking thread: the copied conditions may
    // hold waiters that do not exist here, so they are made afresh without
    // a destructor call (which would wait for those waiters).
    for (std::condition_variable* c : conditions()) {
        new (c) std::condition_variable();
    }
    worker_waiting = false;
    inline_writer = false;
    room_waiters = 0;
    written_waiters = 0;
    inline_wait_goal = 0;
    // The parent reports its own.
    dropped_unlocked.store(0, std::memory_order_relaxed);
    // Nor is a crash handler that held the target, or a thread inside a
    // change of it.
    crash_claimed.store(false, std::memory_order_relaxed);
    crash_sections.store(0, std::memory_order_relaxed);
    enter(Target::FORKED);
}

void Carrier::stop_for_exit() {
    stop();
    std::unique_lock lock(owner.mutex);
    // A forked child's copy keeps dropping: its records are not its own to
    // write.
    if (owner.state != Target::STOPPED) {
        return;
    }
    enter(Target::WRITING_INLINE);
    // What came in between the worker's end and now, and what its lanes
    // kept.
    if (accepted() > backlog.written()) {
        write_inline(lock, accepted() - 1);
    }
}

void Carrier::reset_state(State next) {
    // The mutex may be held by a thread that is gone, or by any thread other
    // than the caller; only its holder may unlock a std::mutex. With no
    // worker left, nobody waits on these objects, so they are re-created in
    // place: the fresh mutex is unlocked and the fresh conditions have no
    // waiters.
    owner.mutex.~mutex();
    new (&owner.mutex) std::mutex();
    for (std::condition_variable* c : conditions()) {
        c->~condition_variable();
        new (c) std::condition_variable();
    }
    owner.state = next;
}

}  // namespace zvk::detail
