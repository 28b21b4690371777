#include "zvk/Target.h"

#include <charconv>
#include <chrono>
#include <ctime>
#include <deque>
#include <exception>
#include <iostream>
#include <iterator>
#include <new>
#include <string>
#include <string_view>
#include <system_error>
#include <thread>
#include <typeinfo>
#include <utility>

#include "../frontend/MessageCache.h"
#include "../frontend/Report.h"
#include "../service/CrashHandler.h"
#include "CrashFlush.h"
#include "zvk/Message.h"
#include "zvk/Vorn.h"
#include "zvk/VornConfig.h"

namespace zvk {

namespace {

using detail::MessageCache;

// Tells the core that this is a spin loop (frees the pipeline for the
// sibling hardware thread).
inline void cpu_relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Enough for the worker to hand back whole chunks while producers catch up,
// little enough to keep only some tens of KiB per target.
constexpr std::size_t kSpareLimit = 2 * MessageCache::kCapacity;
// Room beyond its text that a waiting record may keep.
constexpr std::size_t kSlack = 128;

// The target whose write_msg this thread may be inside: a worker's own
// target for its whole life, or a target written on the caller's thread.
// flush from there would wait for itself.
thread_local const Target* writing_target = nullptr;

struct Writing {
    explicit Writing(const Target* target) : previous(writing_target) { writing_target = target; }
    ~Writing() { writing_target = previous; }
    const Target* previous;
};

// A worker's records taken off the queue and not yet written, for the
// crash handler when the crash is on the worker itself.
thread_local std::deque<Target::Queued>* worker_taken = nullptr;

bool before(const timespec& a, const timespec& b) {
    return a.tv_sec < b.tv_sec || (a.tv_sec == b.tv_sec && a.tv_nsec < b.tv_nsec);
}

bool passed(const timespec& deadline) {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return !before(now, deadline);
}

void pause_briefly() {
    const timespec pause{0, 1'000'000};
    nanosleep(&pause, nullptr);
}

}  // namespace

namespace detail {

struct CrashAccess {
    static bool lock(Target& target, const timespec& until) {
        while (!target.mutex.try_lock()) {
            if (passed(until)) {
                return false;
            }
            pause_briefly();
        }
        return true;
    }

    // Written here, in order, by the calling thread: the one that would
    // write them is this thread, or there is none.
    static void write_queue(Target& target) {
        while (!target.queue.empty()) {
            Target::Queued record = std::move(target.queue.front());
            target.queue.pop_front();
            target.write_msg(target.materialise(record, nullptr));
            ++target.written_count;
        }
    }

    static bool flush(Target& target, const timespec& deadline, const timespec& lock_deadline) {
        const timespec& lock_until = before(deadline, lock_deadline) ? deadline : lock_deadline;
        if (writing_target == &target) {
            if (worker_taken != nullptr) {
                while (!worker_taken->empty()) {
                    Target::Queued record = std::move(worker_taken->front());
                    worker_taken->pop_front();
                    target.write_msg(target.materialise(record, nullptr));
                }
            }
            if (!lock(target, lock_until)) {
                return false;
            }
            write_queue(target);
            target.mutex.unlock();
            return true;
        }
        if (!lock(target, lock_until)) {
            return false;
        }
        if (target.state != Target::RUNNING) {
            write_queue(target);
            target.mutex.unlock();
            return true;
        }
        const std::uint64_t goal = target.written_count + target.in_flight + target.queue.size();
        target.mutex.unlock();
        // The crash may have come between a record's queueing and the
        // worker's wake-up.
        target.cond.notify_all();
        // The worker counts under the mutex; a torn read is impossible for
        // an aligned 64-bit load, and a stale one only means one more pause.
        while (__atomic_load_n(&target.written_count, __ATOMIC_RELAXED) < goal) {
            if (passed(deadline)) {
                return false;
            }
            pause_briefly();
        }
        return true;
    }
};

bool flush_at_crash(Target& target, const timespec& deadline,
                    const timespec& lock_deadline) noexcept {
    try {
        return CrashAccess::flush(target, deadline, lock_deadline);
    } catch (...) {
        return false;
    }
}

}  // namespace detail

Target::Target(const std::string& name, Type type)
    : name(name),
      type(type),
      state(STOPPED),
      stop_requested(false),
      worker_waiting(false),
      delivery(QUEUE),
      dropped(0),
      written_count(0),
      in_flight(0),
      flush_waiters(0),
      queue_max(0),
      drop_when_full(false),
      pending_drops(0),
      room_waiters(0),
      initialised(false),
      console_failing(false),
      console_lost(0) {
    spare.reserve(kSpareLimit);
}

Target::~Target() { shutdown(); }

void Target::shutdown() {
    try {
        // A running worker writes everything queued before it reports STOPPED.
        stop();
        std::lock_guard lock(mutex);
        for (Queued& record : queue) {
            delete record.whole;
        }
        queue.clear();
        spare.clear();
        if (dropped != 0) {
            report_dropped(dropped);
            dropped = 0;
        }
    } catch (...) {
        // Only a broken mutex fails to lock; leaking the records is safer
        // than racing a worker that may still use them.
    }
}

void Target::write_msg(Message* message) {
    // Retired however the write ends, even if a report below throws.
    struct RetireAtEnd {
        Target* target;
        Message* message;
        ~RetireAtEnd() { target->retire(message); }
    } retire_at_end{this, message};
    try {
        std::string_view text = message->text.view();
        std::clog.write(text.data(), static_cast<std::streamsize>(text.size()));
        if (!std::clog) {
            // A failed stream turns every later write into a no-op: report
            // this record and let the next one try again.
            std::clog.clear();
            console_write_failed();
        } else if (console_failing) {
            report_console_losses();
        }
    } catch (const std::exception& e) {
        detail::report("Exception write msg in target: " + name + " - " + e.what());
    } catch (...) {
        detail::report("Unknown exception write msg in target: " + name);
    }
}

void Target::console_write_failed() {
    // Standard error at the file-size limit (or gone) fails every record:
    // a line per record would flood standard output.
    auto now = std::chrono::steady_clock::now();
    if (!console_failing) {
        console_failing = true;
        console_lost = 0;
        console_reported = now;
        detail::report("Could not write msg in target: " + name);
        return;
    }
    ++console_lost;
    if (now - console_reported >= std::chrono::seconds(1)) {
        report_console_losses();
        console_failing = true;
    }
}

void Target::report_console_losses() {
    if (console_lost != 0) {
        detail::report("Could not write msg in target: " + name + " - " +
                       std::to_string(console_lost) + " more records lost");
    }
    console_lost = 0;
    console_failing = false;
    console_reported = std::chrono::steady_clock::now();
}

void Target::retire(Message* message) noexcept {
    MessageCache* cache = MessageCache::local();
    if (cache == nullptr || cache->full() || !MessageCache::reusable(message)) {
        delete message;
        return;
    }
    cache->put(message);
}

int Target::init(const VornConfig* config) {
    // Only for its exception: an unknown locale name must fail the start.
    if (config != nullptr) {
        config->get_locale();
    }
    return 0;
}

int Target::start(const VornConfig* config) {
    {
        std::lock_guard lock(mutex);
        // STARTING claims the start: a second caller finds the worker
        // running or about to, and starts none of its own.
        if (state != STOPPED) {
            return 0;
        }
        state = STARTING;
        // A stop request left over from an earlier run would end the new
        // worker before it wrote anything.
        stop_requested = false;
        delivery = QUEUE;
    }
    auto unclaim = [this] {
        std::lock_guard lock(mutex);
        state = STOPPED;
    };
    std::thread worker;
    try {
        if (!initialised) {
            if (init(config) == -1) {
                unclaim();
                return -1;
            }
            initialised = true;
        }
        worker = std::thread(&Target::receive_message, this);
    } catch (...) {
        unclaim();
        // An unknown locale name is the caller's to hear about.
        if (!initialised) {
            throw;
        }
        return -1;
    }
    cond.notify_all();
    std::unique_lock lock(mutex);
    // Not "until RUNNING": a worker whose first write throws may have
    // confirmed and already ended (STOPPED) before this thread wakes up.
    cond.wait(lock, [this] { return state != STARTING; });
    // Never joined: stop() waits for STOPPED instead.
    worker.detach();
    lock.unlock();
    cond.notify_all();
    return 0;
}

void Target::log(Message* message) {
    if (message == nullptr) {
        return;
    }
    Queued record{{}, message->level, nullptr};
    try {
        // A plain Message waits as its text only; a derived type may carry
        // more, for its own write_msg, and waits whole.
        if (typeid(*message) == typeid(Message)) {
            std::string text = std::move(message->text).str();
            delete message;
            message = nullptr;
            enqueue(std::move(record), text, false);
            return;
        }
        record.whole = message;
    } catch (...) {
        delete message;
        return;
    }
    std::string none;
    enqueue(std::move(record), none, false);
}

void Target::log(std::ostringstream&& text, int level) {
    std::string taken = std::move(text).str();
    std::string back = enqueue(Queued{{}, level, nullptr}, taken, true);
    // The caller's stream is left empty, with room for its next text: its
    // own buffer when the text was copied out of it, else one that an
    // earlier record's text had.
    std::string& room = taken.capacity() > back.capacity() ? taken : back;
    room.clear();
    text.str(std::move(room));
    text.clear();
}

std::string Target::enqueue(Queued&& record, std::string& text, bool want_buffer) {
    bool wake = false;
    std::string back;
    try {
        std::unique_lock lock(mutex, std::try_to_lock);
        // Others hold the mutex only for a few pointer moves: waiting a
        // moment beats sleeping in the kernel and being woken.
        for (int spin = 0; !lock.owns_lock() && spin < 64; ++spin) {
            cpu_relax();
            lock.try_lock();
        }
        if (!lock.owns_lock()) {
            lock.lock();
        }
        if (record.whole == nullptr) {
            if (text.capacity() - text.size() > kSlack) {
                // Copied out of a roomy buffer (libstdc++ gives a stream at
                // least 512 bytes), so that the waiting record holds little
                // beyond its text; into a returned buffer when one fits, so
                // that buffers go round instead of being freed by the worker.
                if (!spare.empty() && spare.back().capacity() >= text.size()) {
                    record.text = std::move(spare.back());
                    spare.pop_back();
                }
                record.text.assign(text);
            } else {
                record.text = std::move(text);
                // A buffer an earlier text had, for the caller's next text.
                if (want_buffer && !spare.empty()) {
                    back = std::move(spare.back());
                    spare.pop_back();
                }
            }
        }
        if (delivery != QUEUE) [[unlikely]] {
            deliver_without_worker(std::move(record));
            return back;
        }
        if (queue_max != 0) [[unlikely]] {
            if (!admit(lock)) {
                delete record.whole;
                return back;
            }
            if (pending_drops != 0) {
                // The worker reports the gap right before this record.
                gaps.emplace_back(written_count + in_flight + queue.size(), pending_drops);
                pending_drops = 0;
            }
        }
        queue.push_back(std::move(record));
        record.whole = nullptr;
        // Only a sleeping worker needs the wake-up; one is enough for all
        // records appended before it takes the mutex again.
        wake = worker_waiting;
        worker_waiting = false;
    } catch (const std::system_error& e) {
        delete record.whole;
        try {
            detail::report(Vorn::time_gmt() + " could not get lock in target - " + name + " - " +
                           e.what());
        } catch (...) {
        }
        return back;
    } catch (...) {
        // Also a failed push_back (no memory): the record is lost.
        delete record.whole;
        try {
            detail::report(Vorn::time_gmt() + " could not get lock in target - " + name);
        } catch (...) {
        }
        return back;
    }
    if (wake) {
        // All, not one: a thread waiting on cond for something else (a
        // state change) must not swallow the worker's wake-up.
        cond.notify_all();
    }
    return back;
}

Message* Target::materialise(Queued& record, std::vector<std::string>* returned) {
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
        if (returned != nullptr && old.capacity() > 15 && returned->size() < kSpareLimit) {
            returned->push_back(std::move(old));
        }
    }
    MessageCache::put_text(*message, std::move(record.text));
    message->level = record.level;
    return message;
}

void Target::deliver_without_worker(Queued&& record) {
    if (delivery == DROP) {
        ++dropped;
        delete record.whole;
        record.whole = nullptr;
        return;
    }
    // Under the mutex, so that records of several threads stay whole and
    // in order; the caller waits for the write, which is fine at exit.
    Writing writing(this);
    try {
        write_msg(materialise(record, nullptr));
    } catch (...) {
    }
}

bool Target::admit(std::unique_lock<std::mutex>& lock) {
    auto waiting = [this] { return queue.size() + in_flight; };
    if (waiting() < queue_max) {
        return true;
    }
    // Without a worker nothing makes room: a blocking target accepts as an
    // unbounded one would. Its own write_msg must never wait for itself.
    bool own_write = writing_target == this;
    if (!drop_when_full && !own_write) {
        if (state != RUNNING) {
            return true;
        }
        ++room_waiters;
        cond.wait(lock, [&] { return waiting() < queue_max || state != RUNNING; });
        --room_waiters;
        return true;
    }
    ++pending_drops;
    return false;
}

void Target::set_queue_bound(std::size_t max_records, bool drop) {
    std::lock_guard lock(mutex);
    queue_max = max_records;
    drop_when_full = drop;
}

std::size_t Target::queue_max_from(const std::string& text) {
    std::size_t value = 0;
    const char* first = text.data();
    const char* last = first + text.size();
    auto [end, ec] = std::from_chars(first, last, value);
    // Digits only and all of them: "-5", "+5", "5x" and overflow are no bound.
    if (first == last || *first < '0' || *first > '9' || ec != std::errc() || end != last) {
        return 0;
    }
    return value;
}

void Target::report_dropped(std::uint64_t count) {
    detail::report(Vorn::time_gmt() + " dropped " + std::to_string(count) +
                   " records in target: " + name);
}

int Target::flush() {
    if (writing_target == this) {
        return -1;
    }
    std::unique_lock lock(mutex);
    // Everything accepted until now; later records are not waited for.
    const std::uint64_t goal = written_count + in_flight + queue.size();
    if (written_count >= goal) {
        return 0;
    }
    ++flush_waiters;
    cond.wait(lock, [&] { return written_count >= goal || state != RUNNING; });
    --flush_waiters;
    return written_count >= goal ? 0 : -1;
}

void Target::drop_after_fork() {
    for (Queued& record : queue) {
        delete record.whole;
    }
    queue.clear();
    state = STOPPED;
    delivery = DROP;
}

void Target::stop_for_exit() {
    stop();
    std::lock_guard lock(mutex);
    // A forked child's copy keeps dropping: its records are not its own to
    // write.
    if (state != STOPPED || delivery == DROP) {
        return;
    }
    delivery = INLINE;
    // What came in between the worker's end and now.
    while (!queue.empty()) {
        Queued record = std::move(queue.front());
        queue.pop_front();
        deliver_without_worker(std::move(record));
    }
}

int Target::stop() {
    {
        std::lock_guard lock(mutex);
        if (state != RUNNING) {
            return 1;
        }
        stop_requested = true;
    }
    cond.notify_all();
    std::unique_lock lock(mutex);
    cond.wait(lock, [this] { return state == STOPPED; });
    lock.unlock();
    cond.notify_all();
    return 1;
}

void Target::reset_state(State new_state) {
    // The mutex may be held by a thread that is gone, or by any thread other
    // than the caller; only its holder may unlock a std::mutex. With no
    // worker left, nobody waits on either object, so both are re-created in
    // place: the fresh mutex is unlocked and the fresh condition variable has
    // no waiters.
    mutex.~mutex();
    new (&mutex) std::mutex();
    cond.~condition_variable();
    new (&cond) std::condition_variable();
    state = new_state;
}

void Target::receive_message() {
    // Records taken off the queue and not yet written. Only this thread
    // touches it; it owns its storage, so freeing that after the final
    // unlock touches nothing of the target.
    std::deque<Queued> taken;
    // Text buffers of written records, handed to `spare` under the mutex.
    std::vector<std::string> returned;
    returned.reserve(kSpareLimit);
    auto give_back = [&] {
        while (!returned.empty() && spare.size() < kSpareLimit) {
            spare.push_back(std::move(returned.back()));
            returned.pop_back();
        }
        returned.clear();
    };
    Writing writing(this);
    detail::CrashStack crash_stack;
    worker_taken = &taken;
    // Written since the last look under the mutex; counted there, so that
    // the log path does nothing for flush.
    std::uint64_t written = 0;
    // The number of the next record to write, and the gaps of dropped
    // records ahead of it, oldest first.
    std::uint64_t next = 0;
    std::deque<std::pair<std::uint64_t, std::uint64_t>> gaps_ahead;
    auto write_next = [&](Queued& record) {
        if (!gaps_ahead.empty() && gaps_ahead.front().first == next) {
            report_dropped(gaps_ahead.front().second);
            gaps_ahead.pop_front();
        }
        ++next;
        write_msg(materialise(record, &returned));
    };
    try {
        {
            std::unique_lock lock(mutex);
            cond.wait(lock, [this] { return state == STARTING; });
            state = RUNNING;
            next = written_count;
        }
        cond.notify_one();
        // No unlocked look at stop_requested before locking: it would skip
        // the drain below and drop records that log has accepted.
        for (;;) {
            {
                std::unique_lock lock(mutex);
                give_back();
                // Accepted = written_count + in_flight + queue.size(), at
                // every moment the mutex is free.
                written_count += written;
                written = 0;
                in_flight = taken.size();
                if (flush_waiters != 0 || room_waiters != 0) {
                    cond.notify_all();
                }
                while (!stop_requested && queue.empty() && taken.empty()) {
                    worker_waiting = true;
                    cond.wait(lock);
                }
                worker_waiting = false;
                // Gaps belong to records now queued: known before any of
                // them is written.
                while (!gaps.empty()) {
                    gaps_ahead.push_back(gaps.front());
                    gaps.pop_front();
                }
                if (stop_requested) {
                    // Drain under the mutex: every record accepted until now
                    // is written, in order, and the drain has an end.
                    while (!taken.empty()) {
                        Queued record = std::move(taken.front());
                        taken.pop_front();
                        write_next(record);
                        ++written_count;
                        --in_flight;
                    }
                    while (!queue.empty()) {
                        Queued record = std::move(queue.front());
                        queue.pop_front();
                        write_next(record);
                        ++written_count;
                    }
                    break;
                }
                if (taken.empty()) {
                    taken.swap(queue);
                    in_flight = taken.size();
                }
            }
            // Without the mutex: producers append meanwhile and never wait
            // for a write. Still one record at a time, in queue order. A
            // chunk at most, so that text buffers go back (above) often.
            for (int n = 0; n < MessageCache::kCapacity && !taken.empty(); ++n) {
                Queued record = std::move(taken.front());
                taken.pop_front();
                write_next(record);
                ++written;
            }
        }
    } catch (const std::exception& e) {
        try {
            detail::report(Vorn::time_gmt() + " error receive msg in target: " + name + " - " +
                           e.what());
        } catch (...) {
        }
    } catch (...) {
        try {
            detail::report(Vorn::time_gmt() + " unknown exception receive msg in target: " + name);
        } catch (...) {
        }
    }
    // Notified under the mutex: once stop() sees STOPPED the target may be
    // destroyed, so nothing of it is touched after the unlock.
    std::lock_guard lock(mutex);
    // What was taken and not written goes back in front of later records:
    // accepted, never written, dropped when the target is destroyed.
    try {
        queue.insert(queue.begin(), std::make_move_iterator(taken.begin()),
                     std::make_move_iterator(taken.end()));
    } catch (...) {
        for (Queued& record : taken) {
            delete record.whole;
        }
    }
    taken.clear();
    worker_taken = nullptr;
    written_count += written;
    in_flight = 0;
    if (pending_drops != 0) {
        // The gap is at the end: nothing was accepted after it.
        report_dropped(pending_drops);
        pending_drops = 0;
    }
    give_back();
    if (console_failing) {
        report_console_losses();
    }
    worker_waiting = false;
    state = STOPPED;
    cond.notify_all();
}

}  // namespace zvk
