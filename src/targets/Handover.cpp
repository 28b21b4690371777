// The path every record takes from the thread that logs into the queue.
// Target::log sits beside Carrier::enqueue so that the compiler may join
// them.
#include <time.h>

#include <new>
#include <sstream>
#include <system_error>
#include <typeinfo>
#include <utility>

#include "../frontend/Origins.h"
#include "../frontend/ReadSection.h"
#include "../frontend/Report.h"
#include "../platform/Cycles.h"
#include "../platform/StreamHooks.h"
#include "../platform/ThreadLocal.h"
#include "Carrier.h"
#include "CrashState.h"
#include "Writing.h"
#include "zvk/Message.h"
#include "zvk/Target.h"
#include "zvk/Vorn.h"

namespace zvk {

namespace {

// Room beyond its text that a waiting record may keep.
constexpr std::size_t kSlack = 128;

void report_lock_failure(const std::string& name, const char* what) noexcept {
    try {
        detail::report(Vorn::time_gmt() + " could not get lock in target - " + name +
                       (what != nullptr ? std::string(" - ") + what : std::string()));
    } catch (...) {
    }
}

void report_out_of_memory(const std::string& name) noexcept {
    try {
        detail::report(Vorn::time_gmt() + " out of memory, record lost in target: " + name);
    } catch (...) {
    }
}

}  // namespace

void Target::log(Message* message) {
    if (message == nullptr) {
        return;
    }
    if (detail::in_hand_over) [[unlikely]] {
        // Deleting it may log again: counted first.
        carrier->refuse_reentered();
        delete message;
        return;
    }
    detail::HandOverMark mark(true);
    Queued record{{}, message->level, false, nullptr, message->origin};
    try {
        // A plain Message waits as its text only; a derived type may carry
        // more, for its own write_msg, and waits whole.
        if (typeid(*message) == typeid(Message)) {
            std::string text = std::move(message->text).str();
            delete message;
            message = nullptr;
            carrier->enqueue(std::move(record), text, false);
            return;
        }
        record.whole = message;
    } catch (...) {
        delete message;
        return;
    }
    std::string none;
    carrier->enqueue(std::move(record), none, false);
}

void Target::log(std::ostringstream&& text, int level) { log(std::move(text), level, Origin{}); }

void Target::log(std::ostringstream&& text, int level, const Origin& origin) {
    if (detail::in_hand_over) [[unlikely]] {
        carrier->refuse_reentered();
        detail::StreamHooks::empty_keeping_buffer(text);
        return;
    }
    detail::HandOverMark mark(true);
    if (carrier->to_lane(text.view(), level, nullptr, origin)) [[likely]] {
        detail::StreamHooks::empty_keeping_buffer(text);
        return;
    }
    std::string taken = std::move(text).str();
    std::string back = carrier->enqueue(Queued{{}, level, false, nullptr, origin}, taken, true);
    // The caller's stream is left empty, with room for its next text: its
    // own buffer when the text was copied out of it, else one that an
    // earlier record's text had.
    std::string& room = taken.capacity() > back.capacity() ? taken : back;
    room.clear();
    text.str(std::move(room));
    text.clear();
}

namespace detail {

constinit ZVK_INITIAL_EXEC thread_local std::atomic<const CrashSection*> own_crash_section{nullptr};

void CrashSection::wait_for_release(const Carrier& carrier) noexcept {
    // The handler holds a target until it has written what it reads, or
    // for a moment where another thread writes; the process then ends.
    const timespec pause{0, 200'000};
    while (carrier.crash_claimed.load(std::memory_order_acquire)) {
        nanosleep(&pause, nullptr);
    }
}

bool Carrier::crash_changing_here() const noexcept {
    return crash_changing_inside(own_crash_section.load(std::memory_order_relaxed));
}

bool Carrier::crash_changing_inside(const CrashSection* innermost) const noexcept {
    for (const CrashSection* section = innermost; section != nullptr; section = section->previous) {
        if (section->carrier == this) {
            return true;
        }
    }
    return false;
}

constinit ZVK_INITIAL_EXEC thread_local bool in_hand_over = false;

bool Carrier::to_lane(std::string_view text, int level, Message* whole,
                      const Origin& origin) noexcept {
    for (;;) {
        if (!lanes_open.load(std::memory_order_relaxed) || crash_in_progress()) {
            return false;
        }
        Lane* lane = caller_lane();
        if (lane == nullptr) {
            return false;
        }
        // Busy before looking again: a worker that closes the lanes either is
        // seen to have closed them, or waits for this.
        lane->busy.store(true, std::memory_order_relaxed);
        if (sections_fence) {
            std::atomic_thread_fence(std::memory_order_seq_cst);
        } else {
            std::atomic_signal_fence(std::memory_order_seq_cst);
        }
        bool pushed = false;
        std::size_t at_ceiling = 0;
        if (lanes_open.load(std::memory_order_relaxed)) [[likely]] {
            pushed = whole != nullptr ? lane->push_whole(whole, level, origin)
                                      : lane->push(text, level, origin);
            if (pushed) [[likely]] {
                // Between the hand-over and the look at worker_sleeping: a
                // worker going to sleep says so, then fences every thread
                // (barrier_everywhere) before it looks at the lanes.
                if (sections_fence) {
                    std::atomic_thread_fence(std::memory_order_seq_cst);
                } else {
                    std::atomic_signal_fence(std::memory_order_seq_cst);
                }
                if (worker_sleeping.load(std::memory_order_relaxed)) [[unlikely]] {
                    wake_worker();
                }
            }
            if (!pushed && lane->over_ceiling()) [[unlikely]] {
                at_ceiling = lane_budget.sealed.load(std::memory_order_relaxed);
            }
        }
        lane->busy.store(false, std::memory_order_release);
        if (at_ceiling == 0) {
            return pushed;
        }
        // Not queued beside the lane instead: it would overtake the lane's
        // records, and the queue has no ceiling.
        if (!room_in_lanes(at_ceiling)) {
            delete whole;
            return true;
        }
    }
}

bool Carrier::room_in_lanes(std::size_t sealed) noexcept {
    // As at a bound: a worker or a write_msg never waits for room.
    if (!backlog.drops_when_full() && !writes_for_any()) {
        try {
            std::unique_lock lock(owner.mutex);
            // This thread touches no other target before its section ends:
            // a reload that retires others need not wait for the room.
            keep_to(&owner);
            ++room_waiters;
            worker_waiting = false;
            work_cond.notify_one();
            // Room comes as the writer takes filled segments; a stop closes
            // the lanes, and the record goes to the queue.
            room_cond.wait(lock, [&] {
                return lane_budget.sealed.load(std::memory_order_relaxed) < sealed ||
                       !lanes_open.load(std::memory_order_relaxed) ||
                       owner.state != Target::RUNNING || releasing;
            });
            left_wait(room_waiters);
            // Retiring and still no room: counted below, as at a drop.
            if (!releasing || lane_budget.sealed.load(std::memory_order_relaxed) < sealed ||
                !lanes_open.load(std::memory_order_relaxed)) {
                return true;
            }
        } catch (...) {
            // Only a broken mutex fails: dropped and counted below.
        }
    }
    dropped_unlocked.fetch_add(1, std::memory_order_relaxed);
    return false;
}

std::string Carrier::enqueue(Queued&& record, std::string& text, bool want_buffer) {
    std::string back;
    if (crash_in_progress()) [[unlikely]] {
        // The handler is to get the mutex at once; the record is counted
        // where a surviving process would report it.
        crash_refused.fetch_add(1, std::memory_order_relaxed);
        delete record.whole;
        return back;
    }
    bool lane_tried = false;
    for (;;) {
        if (lanes_open.load(std::memory_order_relaxed)) {
            lane_tried = true;
            if (to_lane(text, record.level, record.whole,
                        record.whole != nullptr ? record.whole->origin : record.origin)) {
                return back;
            }
        }
        // Before the mutex: a clock read, and on a thread's first record a
        // system call.
        detail::fill_here(record.whole != nullptr ? record.whole->origin : record.origin);
        try {
            std::unique_lock lock(owner.mutex, std::try_to_lock);
            // Others hold the mutex only for a few pointer moves: waiting a
            // moment beats sleeping in the kernel and being woken.
            for (int spin = 0; !lock.owns_lock() && spin < 64; ++spin) {
                cpu_relax();
                lock.try_lock();
            }
            if (!lock.owns_lock()) {
                lock.lock();
            }
            CrashSection section(*this);
            if (lanes_open.load(std::memory_order_relaxed) && !lane_tried) {
                // The worker opened the lanes after this thread looked: a
                // record queued here would come after the thread's next ones.
                section.leave();
                lock.unlock();
                continue;
            }
            queue_locked(lock, section, record, text, want_buffer ? &back : nullptr);
        } catch (const std::system_error& e) {
            delete record.whole;
            report_lock_failure(owner.name, e.what());
        } catch (const std::bad_alloc&) {
            // Copying the text or growing the queue: the record is lost, and
            // saying so needs only a short line.
            delete record.whole;
            report_out_of_memory(owner.name);
        } catch (...) {
            delete record.whole;
            report_lock_failure(owner.name, nullptr);
        }
        return back;
    }
}

void Carrier::queue_locked(std::unique_lock<std::mutex>& lock, CrashSection& section,
                           Queued& record, std::string& text, std::string* back) {
    if (record.whole == nullptr) {
        adopt_text(record, text, back);
    }
    const Target::State state = owner.state;
    // A write_msg logging into its own target is written after the current
    // record while the worker runs; once the target stops, its records
    // would keep the stop from ending. A forked child's copy writes nothing.
    if (state != Target::RUNNING && (state == Target::FORKED || writes_for(&owner))) [[unlikely]] {
        backlog.refuse();
        delete record.whole;
        record.whole = nullptr;
        return;
    }
    if (backlog.bounded()) {
        // It may wait for room, with the mutex released.
        section.leave();
        if (!admit(lock)) [[unlikely]] {
            delete record.whole;
            record.whole = nullptr;
            return;
        }
    }
    CrashSection pushing(*this);
    // Once the handler of a fatal signal has begun, nothing is accepted
    // that it would not wait for (seen after the section is raised, which
    // the handler looks at after it began).
    if (crash_begun()) [[unlikely]] {
        backlog.refuse();
        delete record.whole;
        record.whole = nullptr;
        return;
    }
    const std::uint64_t number = backlog.push(owner.queue, std::move(record));
    record.whole = nullptr;
    // write_inline waits, and writes with the mutex released.
    pushing.leave();
    section.leave();
    if (owner.state == Target::WRITING_INLINE) {
        write_inline(lock, number);
    } else if (worker_waiting) {
        // Under the mutex: once it is released, this thread touches
        // nothing of the target, which a stop may then free.
        worker_waiting = false;
        work_cond.notify_one();
    }
}

void Carrier::adopt_text(Queued& record, std::string& text, std::string* back) {
    if (text.capacity() - text.size() > kSlack) {
        // Copied out of a roomy buffer (libstdc++ gives a stream at least
        // 512 bytes), so that the waiting record holds little beyond its
        // text; into a returned buffer when one fits, so that buffers go
        // round instead of being freed by the writer.
        backlog.take_spare(record.text, text.size());
        record.text.assign(text);
        return;
    }
    record.text = std::move(text);
    if (back != nullptr) {
        backlog.take_any_spare(*back);
    }
}

bool Carrier::admit(std::unique_lock<std::mutex>& lock) {
    if (!backlog.full() || owner.state == Target::WRITING_INLINE) {
        return true;
    }
    // A worker or a write_msg never waits for room: with targets logging
    // into each other, two full queues would wait for each other.
    if (backlog.drops_when_full() || writes_for_any()) {
        backlog.refuse();
        return false;
    }
    // Without a worker nothing makes room: accepted as unbounded.
    if (!worker_serves(owner.state)) {
        return true;
    }
    // This thread touches no other target before its section ends: a
    // reload that retires others need not wait for the room.
    keep_to(&owner);
    ++room_waiters;
    // Retiring: accepted past the bound, the stop writes it.
    room_cond.wait(lock,
                   [&] { return !backlog.full() || !worker_serves(owner.state) || releasing; });
    left_wait(room_waiters);
    return true;
}

}  // namespace detail
}  // namespace zvk
