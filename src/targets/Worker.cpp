// The writing side of the carrier: the worker thread, and the callers that
// write their own records once the process exits. Records are taken off
// the queue under the mutex and written without it.
#include <algorithm>
#include <chrono>
#include <exception>
#include <string>
#include <utility>
#include <vector>

#include "../frontend/MessageCache.h"
#include "../frontend/Report.h"
#include "Carrier.h"
#include "ConsoleWriting.h"
#include "CrashState.h"
#include "JsonLine.h"
#include "Writing.h"
#include "zvk/Message.h"
#include "zvk/Vorn.h"

namespace zvk::detail {

namespace {

// Naps of an idle worker that looks at the lanes by itself, growing to the
// longest; after that it sleeps until a producer, a flush, a stop or its
// next tick wakes it.
constexpr std::chrono::milliseconds kShortestIdle{1};
constexpr std::chrono::milliseconds kLongestIdle{100};
// A type with work of its own in time (a file rotated at a boundary, synced
// at an interval) gets a tick this often while it writes; idle, when the
// tick said the next one is due.
constexpr std::chrono::milliseconds kTickEvery{100};

struct Writing {
    const Target* target;
    const Writing* previous;
};
// Initial-exec: a fatal-signal handler reads it (crash_on_writer), and the
// default model may allocate the thread's block on its first use there.
ZVK_INITIAL_EXEC thread_local const Writing* writing_chain = nullptr;

// Marks the calling thread as writing for `target` while it lives.
class WritingScope {
public:
    explicit WritingScope(const Target* target) : link{target, writing_chain} {
        writing_chain = &link;
    }
    ~WritingScope() { writing_chain = link.previous; }
    WritingScope(const WritingScope&) = delete;
    WritingScope& operator=(const WritingScope&) = delete;

private:
    Writing link;
};

// The Message that write_msg gets for `record`: the whole one, or a kept
// or new plain one carrying the text. The text buffer the kept one had
// goes to `returned`, on its way back to the producers.
Message* materialise(Carrier::Queued& record, std::vector<std::string>* returned) {
    if (record.whole != nullptr) {
        Message* whole = record.whole;
        record.whole = nullptr;
        return whole;
    }
    MessageCache* cache = MessageCache::local();
    Message* message = cache != nullptr ? cache->take() : nullptr;
    if (message == nullptr) {
        message = new Message();
    } else {
        std::string old = MessageCache::reset(*message);
        if (returned != nullptr && old.capacity() > 15 && returned->size() < Backlog::kPoolLimit) {
            returned->push_back(std::move(old));
        }
    }
    MessageCache::put_text(*message, std::move(record.text));
    message->level = record.level;
    message->origin = record.origin;
    return message;
}

void report_worker_failure(const std::string& name, const std::exception* e) noexcept {
    try {
        if (e != nullptr) {
            report(Vorn::time_gmt() + " error receive msg in target: " + name + " - " + e->what());
        } else {
            report(Vorn::time_gmt() + " unknown exception receive msg in target: " + name);
        }
    } catch (...) {
    }
}

}  // namespace

bool writes_for(const Target* target) noexcept {
    for (const Writing* link = writing_chain; link != nullptr; link = link->previous) {
        if (link->target == target) {
            return true;
        }
    }
    return false;
}

bool writes_for_any() noexcept { return writing_chain != nullptr; }

bool Carrier::crash_on_writer() const noexcept { return writes_for(&owner); }

void Carrier::run_worker() {
    // Text buffers of written records, handed to the backlog under the
    // mutex, so that a buffer is freed by the thread that allocated it, or
    // used again.
    std::vector<std::string> returned;
    returned.reserve(Backlog::kPoolLimit);
    WritingScope scope(&owner);
    CrashStack crash_stack;
    bool in_write = false;
    try {
        {
            std::unique_lock lock(owner.mutex);
            owner.cond.wait(lock, [this] { return owner.state == Target::STARTING; });
            CrashSection section(*this);
            enter(Target::RUNNING);
            if (!backlog.bounded()) {
                // What waits from before the start goes first: records
                // handed over into lanes from now on come after it.
                if (!owner.queue.empty() && !backlog.holding()) {
                    backlog.take(owner.queue);
                }
                queued_from_lanes = 0;
                lanes_open.store(true, std::memory_order_release);
            }
        }
        serve(returned, in_write);
    } catch (const std::exception& e) {
        report_worker_failure(owner.name, &e);
    } catch (...) {
        report_worker_failure(owner.name, nullptr);
    }
    // Under the mutex to the end: once stop() sees the state change, the
    // target may be destroyed, so nothing of it is touched after the unlock.
    std::unique_lock lock(owner.mutex);
    try {
        // What the lanes hold waits in the queue for a next worker or the
        // target's end, in front of what was queued after it.
        close_lanes(lock);
        take_all_lanes(lock);
    } catch (...) {
        // Out of memory taking them: the lanes keep them, counted at the end.
    }
    // What was taken and not written goes back in front of later records.
    CrashSection section(*this);
    const std::size_t before = owner.queue.size();
    backlog.return_held(owner.queue, in_write);
    queued_from_lanes += owner.queue.size() - before;
    section.leave();
    if (std::uint64_t gap = backlog.take_trailing_gap(); gap != 0) {
        // The gap is at the end: nothing was accepted after it.
        report_dropped(gap);
    }
    report_dropped_unlocked(true);
    backlog.give_back(returned);
    owner.console->finish();
    end_repeats(owner.name);
    worker_waiting = false;
    enter(Target::STOPPED);
}

void Carrier::serve(std::vector<std::string>& returned, bool& in_write) {
    constexpr std::size_t kSmallTake = 256;
    constexpr auto kGather = std::chrono::microseconds(100);
    const bool ticking = owner.ticks();
    auto next_tick = ticking ? IdleClock::now() + kTickEvery : IdleClock::time_point::max();
    auto idle = kShortestIdle;
    std::size_t last_take = kSmallTake;
    for (;;) {
        {
            std::unique_lock lock(owner.mutex);
            // While producers hand over through lanes the buffers stay
            // with this thread, for the texts it takes from them.
            if (!lanes_open.load(std::memory_order_relaxed)) {
                backlog.give_back(returned);
            }
            if (room_waiters != 0 && !backlog.full()) {
                room_cond.notify_all();
            }
            if (written_waiters != 0) {
                written_cond.notify_all();
            }
            if (!backlog.holding()) {
                if (last_take < kSmallTake && lanes_open.load(std::memory_order_relaxed) &&
                    owner.state == Target::RUNNING && written_waiters == 0) {
                    // A few records at a time cost the producers more than
                    // the wait: each take pulls the lines they write to this
                    // core. A moment lets more gather (a flush or a stop
                    // ends it).
                    work_cond.wait_for(lock, kGather);
                }
                const bool tick_due = !take_or_idle(lock, returned, last_take, idle, next_tick);
                if (!tick_due && !take_queued(lock, returned)) {
                    return;
                }
            }
        }
        if (ticking && IdleClock::now() >= next_tick) {
            // Without the mutex, as the writes: it may rotate a file.
            const std::int64_t due_ms = owner.tick();
            next_tick = due_ms < 0 ? IdleClock::time_point::max()
                                   : IdleClock::now() + std::chrono::milliseconds(due_ms);
        }
        report_dropped_unlocked(false);
        if (backlog.holding()) {
            idle = kShortestIdle;
            if (ticking) {
                // What is written may make work due (a sync, a rotation).
                next_tick = std::min(next_tick, IdleClock::now() + kTickEvery);
            }
            // Without the mutex: producers append meanwhile. A chunk at
            // most, so that text buffers go back (above) often.
            write_held(MessageCache::kCapacity, &returned, in_write);
        }
    }
}

bool Carrier::take_or_idle(std::unique_lock<std::mutex>& lock, std::vector<std::string>& returned,
                           std::size_t& last_take, std::chrono::milliseconds& idle,
                           IdleClock::time_point next_tick) {
    while ((last_take = take_lanes(lock, &returned)) == 0 && owner.state == Target::RUNNING &&
           owner.queue.empty()) {
        const auto now = IdleClock::now();
        if (now >= next_tick) {
            return false;
        }
        worker_waiting = true;
        worker_sleeping.store(true, std::memory_order_seq_cst);
        if (idle < kLongestIdle) {
            if (lanes_pending() == 0 &&
                work_cond.wait_until(lock, std::min(now + idle, next_tick)) ==
                    std::cv_status::timeout) {
                idle = std::min(idle * 2, kLongestIdle);
            }
        } else if (ready_to_sleep(lock)) {
            // Woken by whoever brings work: worker_waiting is cleared then,
            // under the mutex.
            if (next_tick == IdleClock::time_point::max()) {
                work_cond.wait(lock);
            } else {
                work_cond.wait_until(lock, next_tick);
            }
        }
        worker_sleeping.store(false, std::memory_order_relaxed);
        worker_waiting = false;
    }
    return true;
}

bool Carrier::take_queued(std::unique_lock<std::mutex>& lock, std::vector<std::string>& returned) {
    if (owner.state != Target::RUNNING && lanes_open.load(std::memory_order_relaxed)) {
        // Stopping: the lanes close, and what they hold joins the queue;
        // from now on every record goes there.
        close_lanes(lock);
        take_all_lanes(lock, &returned);
    }
    // Written only when set: the line is the producers'.
    if (worker_waiting) {
        worker_waiting = false;
    }
    // Once stop is asked (stop_requested, set with DRAINING under the
    // mutex), what was accepted before is written; later records do not
    // keep the stop from ending.
    if (owner.queue.empty() ||
        (owner.stop_requested.load(std::memory_order_relaxed) && backlog.written() >= drain_goal)) {
        return false;
    }
    CrashSection section(*this);
    backlog.take(owner.queue);
    queued_from_lanes = 0;
    if (written_waiters != 0) {
        written_cond.notify_all();
    }
    return true;
}

void Carrier::write_inline(std::unique_lock<std::mutex>& lock, std::uint64_t number) {
    while (backlog.written() <= number && owner.state == Target::WRITING_INLINE) {
        if (!inline_writer) {
            write_all_inline(lock, number);
            return;
        }
        // Inside a write_msg: the writer writes this record after its
        // current one; waiting for it could wait for this very thread.
        if (writes_for_any()) {
            return;
        }
        ++written_waiters;
        inline_wait_goal = std::max(inline_wait_goal, number + 1);
        written_cond.wait(lock);
        left_wait(written_waiters);
    }
}

void Carrier::write_all_inline(std::unique_lock<std::mutex>& lock, std::uint64_t number) {
    // The one writer writes whatever waits, others' records too, so that
    // records of several threads stay whole and in order. Once its own
    // record is out it hands over to a thread that waits for a later,
    // unwritten one: with threads that keep logging, the queue is never
    // empty for long, and the exit would not end. A record nobody waits
    // for (logged inside a write_msg) is written by this thread.
    CrashSection section(*this);
    inline_writer = true;
    section.leave();
    // The lanes are closed; what a failed take at the worker's end left in
    // them goes before what was queued after.
    while (accepted() > backlog.written() &&
           (backlog.written() <= number || inline_wait_goal <= backlog.written())) {
        take_all_lanes(lock);
        CrashSection taking(*this);
        backlog.take(owner.queue);
        queued_from_lanes = 0;
        taking.leave();
        lock.unlock();
        // Writing is no hand-over: a write_msg may log into other targets.
        HandOverMark mark(false);
        bool in_write = false;
        do {
            try {
                write_held(SIZE_MAX, nullptr, in_write);
            } catch (const std::exception& e) {
                report_worker_failure(owner.name, &e);
            } catch (...) {
                report_worker_failure(owner.name, nullptr);
            }
            if (in_write) {
                // write_msg owned the record that failed.
                backlog.written_one();
                in_write = false;
            }
        } while (backlog.holding());
        lock.lock();
        if (written_waiters != 0) {
            written_cond.notify_all();
        }
    }
    if (std::uint64_t gap = backlog.take_trailing_gap(); gap != 0) {
        report_dropped(gap);
    }
    // Written on the caller's thread after the stop: this may be the last.
    report_dropped_unlocked(true);
    end_repeats(owner.name);
    CrashSection ending(*this);
    inline_writer = false;
    if (written_waiters != 0) {
        written_cond.notify_all();
    }
}

void Carrier::report_dropped_unlocked(bool now) {
    if (dropped_unlocked.load(std::memory_order_relaxed) == 0) {
        return;
    }
    const auto time = std::chrono::steady_clock::now();
    if (!now && time < next_unlocked_report) {
        return;
    }
    next_unlocked_report = time + std::chrono::seconds(1);
    report_dropped(dropped_unlocked.exchange(0, std::memory_order_relaxed));
}

void Carrier::write_held(std::size_t limit, std::vector<std::string>* returned, bool& in_write) {
    WritingScope scope(&owner);
    format_taken();
    std::size_t wrote = 0;
    while (wrote < limit && backlog.holding()) {
        std::uint64_t gap = 0;
        Queued& record = backlog.next_held(gap);
        if (gap != 0) {
            report_dropped(gap);
        }
        if (runs && record.whole == nullptr) {
            wrote += write_run(limit - wrote, returned);
            continue;
        }
        in_write = true;
        owner.write_msg(materialise(record, returned));
        in_write = false;
        backlog.written_one();
        ++wrote;
    }
}

std::size_t Carrier::write_run(std::size_t limit, std::vector<std::string>* returned) {
    // The records the writer holds go out together: one call to the kernel
    // instead of one a record.
    const std::size_t count = backlog.start_run(limit);
    const std::deque<Queued>& held = backlog.held_records();
    run_texts.clear();
    for (std::size_t i = 0; i < count; ++i) {
        run_texts.emplace_back(held[i].text);
    }
    owner.write_texts(run_texts.data(), count);
    backlog.finish_run(returned);
    return count;
}

void Carrier::format_taken() {
    if (!json) {
        return;
    }
    std::deque<Queued>& held = backlog.held_records();
    // A take puts all it took in the format at once: the last one tells.
    if (held.empty() || held.back().formatted) {
        return;
    }
    for (Queued& record : held) {
        if (record.formatted) {
            continue;
        }
        formatted.clear();
        if (record.whole != nullptr) {
            append_json_line(formatted, record.whole->text.view(), record.whole->level,
                             record.whole->origin);
            record.whole->text.str(formatted);
        } else {
            append_json_line(formatted, record.text, record.level, record.origin);
            record.text.swap(formatted);
        }
        record.formatted = true;
    }
}

}  // namespace zvk::detail
