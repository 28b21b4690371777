#include "zvk/Target.h"

#include <unistd.h>

#include <array>
#include <charconv>
#include <exception>
#include <iostream>
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
#include "../service/LibraryThread.h"
#include "Backlog.h"
#include "Writing.h"
#include "zvk/Message.h"
#include "zvk/Vorn.h"
#include "zvk/VornConfig.h"

namespace zvk {

namespace {

using detail::Backlog;
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

// Room beyond its text that a waiting record may keep.
constexpr std::size_t kSlack = 128;
// The most the console hands std::clog at once, unless one record is longer.
constexpr std::size_t kRunBytes = 64 * 1024;

struct Writing {
    const Target* target;
    const Writing* previous;
};
thread_local const Writing* writing_chain = nullptr;

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

// A thread that writes for any target is the library's (a worker) or
// runs a write_msg: it must never wait for another target.
bool writes_for_any() { return writing_chain != nullptr; }

// Whether a worker serves the queue, so that room can come: only then does
// a producer wait for it.
bool worker_serves(Target::State state) {
    return state == Target::STARTING || state == Target::RUNNING || state == Target::DRAINING;
}

// Whether a worker or a writer after exit serves the queue, so that
// waiting for a write can end.
bool served(Target::State state) { return worker_serves(state) || state == Target::WRITING_INLINE; }

// The Message that write_msg gets for `record`: the whole one, or a kept
// or new plain one carrying the text. The text buffer the kept one had
// goes to `returned`, on its way back to the producers.
Message* materialise(Target::Queued& record, std::vector<std::string>* returned) {
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
        if (returned != nullptr && old.capacity() > 15 && returned->size() < Backlog::kSpareLimit) {
            returned->push_back(std::move(old));
        }
    }
    MessageCache::put_text(*message, std::move(record.text));
    message->level = record.level;
    return message;
}

void report_worker_failure(const std::string& name, const std::exception* e) noexcept {
    try {
        if (e != nullptr) {
            detail::report(Vorn::time_gmt() + " error receive msg in target: " + name + " - " +
                           e->what());
        } else {
            detail::report(Vorn::time_gmt() + " unknown exception receive msg in target: " + name);
        }
    } catch (...) {
    }
}

}  // namespace

bool detail::writes_for(const Target* target) noexcept {
    for (const Writing* link = writing_chain; link != nullptr; link = link->previous) {
        if (link->target == target) {
            return true;
        }
    }
    return false;
}

Target::Target(const std::string& name, Type type)
    : name(name),
      type(type),
      state(STOPPED),
      stop_requested(false),
      backlog(std::make_unique<detail::Backlog>()),
      worker_waiting(false),
      inline_writer(false),
      room_waiters(0),
      written_waiters(0),
      drain_goal(0),
      crash_fd(-1),
      runs(false),
      initialised(false),
      console_failing(false),
      console_lost(0) {}

Target::~Target() { shutdown(); }

void Target::shutdown() {
    try {
        stop();
        std::unique_lock lock(mutex);
        // Woken by the stop; their records are counted below.
        leave_cond.wait(lock, [this] { return room_waiters == 0 && written_waiters == 0; });
        std::uint64_t lost = backlog->discard_waiting(queue) + backlog->take_trailing_gap();
        if (lost != 0) {
            report_dropped(lost);
        }
        backlog->drop_spare();
    } catch (...) {
        // Only a broken mutex fails to lock; leaking the records is safer
        // than racing a worker that may still use them.
    }
}

void Target::set_crash_fd(int fd) noexcept { crash_fd.store(fd, std::memory_order_release); }

void Target::left_wait(int& waiters) {
    if (--waiters == 0 && room_waiters == 0 && written_waiters == 0) {
        leave_cond.notify_all();
    }
}

std::array<std::condition_variable*, 5> Target::conditions() {
    return {&cond, &work_cond, &room_cond, &written_cond, &leave_cond};
}

void Target::enter(State next) {
    const State previous = state;
    state = next;
    cond.notify_all();
    if (next == DRAINING && worker_waiting) {
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
        report_write_exception(&e);
    } catch (...) {
        report_write_exception(nullptr);
    }
}

void Target::report_write_exception(const std::exception* what) noexcept {
    try {
        detail::report(what != nullptr
                           ? "Exception write msg in target: " + name + " - " + what->what()
                           : "Unknown exception write msg in target: " + name);
    } catch (...) {
    }
}

void Target::console_write_failed(const std::string& reason) {
    // Standard error at the file-size limit (or gone) fails every record:
    // a line per record would flood standard output.
    auto now = std::chrono::steady_clock::now();
    if (!console_failing) {
        console_failing = true;
        console_lost = 0;
        console_reported = now;
        detail::report("Could not write msg in target: " + name +
                       (reason.empty() ? std::string() : " - " + reason));
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
        enter(STARTING);
        // A stop request left over from an earlier run is answered.
        stop_requested = false;
    }
    auto unclaim = [this] {
        std::lock_guard lock(mutex);
        enter(STOPPED);
    };
    std::thread worker;
    try {
        if (!initialised) {
            if (init(config) == -1) {
                unclaim();
                return -1;
            }
            initialised = true;
            if (typeid(*this) == typeid(Target)) {
                set_crash_fd(STDERR_FILENO);
                write_in_runs();
            }
        }
        worker = detail::library_thread([this] { receive_message(); });
    } catch (...) {
        unclaim();
        // An unknown locale name is the caller's to hear about.
        if (!initialised) {
            throw;
        }
        return -1;
    }
    std::unique_lock lock(mutex);
    // Not "until RUNNING": a worker whose first write throws may have
    // confirmed and already ended (STOPPED) before this thread wakes up.
    cond.wait(lock, [this] { return state != STARTING; });
    // Never joined: stop() waits for the worker's end through `state`.
    worker.detach();
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
                // that buffers go round instead of being freed by the writer.
                backlog->take_spare(record.text, text.size());
                record.text.assign(text);
            } else {
                record.text = std::move(text);
                if (want_buffer) {
                    backlog->take_any_spare(back);
                }
            }
        }
        // A write_msg logging into its own target is written after the
        // current record while the worker runs; once the target stops, its
        // records would keep the stop from ending. A forked child's copy
        // writes nothing.
        if (state != RUNNING && (state == FORKED || detail::writes_for(this))) [[unlikely]] {
            backlog->refuse();
            delete record.whole;
            return back;
        }
        if (backlog->bounded() && !admit(lock)) [[unlikely]] {
            delete record.whole;
            return back;
        }
        const std::uint64_t number = backlog->push(queue, std::move(record));
        record.whole = nullptr;
        if (state == WRITING_INLINE) {
            write_inline(lock, number);
        } else if (worker_waiting) {
            // Under the mutex: once it is released, this thread touches
            // nothing of the target, which a stop may then free.
            worker_waiting = false;
            work_cond.notify_one();
        }
    } catch (const std::system_error& e) {
        delete record.whole;
        try {
            detail::report(Vorn::time_gmt() + " could not get lock in target - " + name + " - " +
                           e.what());
        } catch (...) {
        }
    } catch (...) {
        // Also a failed push_back (no memory): the record is lost.
        delete record.whole;
        try {
            detail::report(Vorn::time_gmt() + " could not get lock in target - " + name);
        } catch (...) {
        }
    }
    return back;
}

bool Target::admit(std::unique_lock<std::mutex>& lock) {
    if (!backlog->full() || state == WRITING_INLINE) {
        return true;
    }
    // A worker or a write_msg never waits for room: with targets logging
    // into each other, two full queues would wait for each other.
    if (backlog->drops_when_full() || writes_for_any()) {
        backlog->refuse();
        return false;
    }
    // Without a worker nothing makes room: accepted as unbounded.
    if (!worker_serves(state)) {
        return true;
    }
    ++room_waiters;
    room_cond.wait(lock, [this] { return !backlog->full() || !worker_serves(state); });
    left_wait(room_waiters);
    return true;
}

void Target::write_inline(std::unique_lock<std::mutex>& lock, std::uint64_t number) {
    while (backlog->written() <= number && state == WRITING_INLINE) {
        if (!inline_writer) {
            // The one writer writes whatever waits, others' records too,
            // so that records of several threads stay whole and in order.
            inline_writer = true;
            while (backlog->accepted() > backlog->written()) {
                backlog->take(queue);
                lock.unlock();
                bool in_write = false;
                do {
                    try {
                        write_held(SIZE_MAX, nullptr, in_write);
                    } catch (const std::exception& e) {
                        report_worker_failure(name, &e);
                    } catch (...) {
                        report_worker_failure(name, nullptr);
                    }
                    if (in_write) {
                        // write_msg owned the record that failed.
                        backlog->written_one();
                        in_write = false;
                    }
                } while (backlog->holding());
                lock.lock();
                if (written_waiters != 0) {
                    written_cond.notify_all();
                }
            }
            if (std::uint64_t gap = backlog->take_trailing_gap(); gap != 0) {
                report_dropped(gap);
            }
            inline_writer = false;
            if (written_waiters != 0) {
                written_cond.notify_all();
            }
            return;
        }
        // Inside a write_msg: the writer writes this record after its
        // current one; waiting for it could wait for this very thread.
        if (writes_for_any()) {
            return;
        }
        ++written_waiters;
        written_cond.wait(lock);
        left_wait(written_waiters);
    }
}

void Target::write_held(std::size_t limit, std::vector<std::string>* returned, bool& in_write) {
    WritingScope scope(this);
    std::size_t wrote = 0;
    while (wrote < limit && backlog->holding()) {
        std::uint64_t gap = 0;
        Queued& record = backlog->next_held(gap);
        if (gap != 0) {
            report_dropped(gap);
        }
        if (runs && record.whole == nullptr) {
            // The records the writer holds go out together: one call to
            // the kernel instead of one a record.
            const std::size_t count = backlog->start_run(limit - wrote);
            const std::deque<Queued>& held = backlog->held_records();
            run_texts.clear();
            for (std::size_t i = 0; i < count; ++i) {
                run_texts.emplace_back(held[i].text);
            }
            write_texts(run_texts.data(), count);
            backlog->finish_run(returned);
            wrote += count;
            continue;
        }
        in_write = true;
        write_msg(materialise(record, returned));
        in_write = false;
        backlog->written_one();
        ++wrote;
    }
}

void Target::run_progress(std::size_t sent, std::size_t in_flight,
                          std::int64_t size_before) noexcept {
    backlog->run_progress(sent, in_flight, size_before);
}

void Target::write_texts(const std::string_view* texts, std::size_t count) noexcept {
    try {
        std::size_t next = 0;
        while (next < count) {
            // Up to 64 KiB a call, a longer record alone: what a worker that
            // crashes inside the call may lose stays small.
            std::size_t batch = 1;
            std::size_t bytes = texts[next].size();
            while (next + batch < count && bytes + texts[next + batch].size() <= kRunBytes) {
                bytes += texts[next + batch].size();
                ++batch;
            }
            std::string_view all = texts[next];
            if (batch > 1) {
                run_buffer.clear();
                for (std::size_t i = next; i < next + batch; ++i) {
                    run_buffer.append(texts[i]);
                }
                all = run_buffer;
            }
            run_progress(next, batch, -1);
            // As an unformatted write, but the stream buffer says how much
            // it took: the records it took whole are out.
            std::streamsize put = 0;
            if (std::ostream::sentry ready(std::clog); ready) {
                put =
                    std::clog.rdbuf()->sputn(all.data(), static_cast<std::streamsize>(all.size()));
            }
            if (put != static_cast<std::streamsize>(all.size())) {
                std::clog.clear();
                std::size_t out = static_cast<std::size_t>(std::max<std::streamsize>(put, 0));
                std::size_t whole = 0;
                while (whole < batch && out >= texts[next + whole].size()) {
                    out -= texts[next + whole].size();
                    ++whole;
                }
                if (whole != 0 && console_failing) {
                    report_console_losses();
                }
                // Counted per record, as if each had failed on its own.
                for (std::size_t i = whole; i < batch; ++i) {
                    console_write_failed();
                }
            } else if (console_failing) {
                report_console_losses();
            }
            next += batch;
        }
    } catch (const std::exception& e) {
        report_write_exception(&e);
    } catch (...) {
        report_write_exception(nullptr);
    }
}

void Target::set_queue_bound(std::size_t max_records, bool drop) {
    std::lock_guard lock(mutex);
    backlog->set_bound(max_records, drop);
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
    if (detail::writes_for(this)) {
        return -1;
    }
    std::unique_lock lock(mutex);
    // Everything accepted until now; later records are not waited for.
    const std::uint64_t goal = backlog->accepted();
    auto done = [&] { return backlog->written() >= goal; };
    if (!done()) {
        ++written_waiters;
        written_cond.wait(lock, [&] { return done() || !served(state); });
        left_wait(written_waiters);
    }
    return done() ? 0 : -1;
}

void Target::drop_after_fork() {
    // The copied records are the parent's, which writes them.
    backlog->discard_waiting(queue);
    backlog->forget_held();
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
    enter(FORKED);
}

void Target::stop_for_exit() {
    stop();
    std::unique_lock lock(mutex);
    // A forked child's copy keeps dropping: its records are not its own to
    // write.
    if (state != STOPPED) {
        return;
    }
    enter(WRITING_INLINE);
    // What came in between the worker's end and now.
    if (backlog->accepted() > backlog->written()) {
        write_inline(lock, backlog->accepted() - 1);
    }
}

void Target::retire() {
    {
        std::lock_guard lock(mutex);
        if (state == FORKED) {
            if (std::uint64_t lost = backlog->take_trailing_gap(); lost != 0) {
                report_dropped(lost);
            }
            return;
        }
    }
    stop_for_exit();
    // Out of service, it keeps no text buffers for producers.
    std::lock_guard lock(mutex);
    backlog->drop_spare();
}

int Target::restart(const VornConfig* config) {
    {
        std::unique_lock lock(mutex);
        if (state == WRITING_INLINE) {
            // A thread that writes its own records finishes first; records
            // logged from here on wait in the queue for the new worker.
            while (inline_writer || backlog->accepted() > backlog->written()) {
                ++written_waiters;
                written_cond.wait(lock);
                left_wait(written_waiters);
            }
            enter(STOPPED);
        }
        if (state == FORKED) {
            // The copy of a target the parent writes: it never writes here.
            return -1;
        }
        if (state != STOPPED) {
            return 0;
        }
    }
    initialised = false;
    return start(config);
}

int Target::stop() {
    std::unique_lock lock(mutex);
    if (state == RUNNING) {
        stop_requested = true;
        drain_goal = backlog->accepted();
        enter(DRAINING);
    } else if (state != DRAINING) {
        return 1;
    }
    // A write_msg that stops its own target cannot wait for itself.
    if (!detail::writes_for(this)) {
        cond.wait(lock, [this] { return state != DRAINING; });
    }
    return 1;
}

void Target::reset_state(State new_state) {
    // The mutex may be held by a thread that is gone, or by any thread other
    // than the caller; only its holder may unlock a std::mutex. With no
    // worker left, nobody waits on these objects, so they are re-created in
    // place: the fresh mutex is unlocked and the fresh conditions have no
    // waiters.
    mutex.~mutex();
    new (&mutex) std::mutex();
    for (std::condition_variable* c : conditions()) {
        c->~condition_variable();
        new (c) std::condition_variable();
    }
    state = new_state;
}

void Target::receive_message() {
    // Text buffers of written records, handed to the backlog under the
    // mutex, so that a buffer is freed by the thread that allocated it, or
    // used again.
    std::vector<std::string> returned;
    returned.reserve(Backlog::kSpareLimit);
    WritingScope scope(this);
    detail::CrashStack crash_stack;
    bool in_write = false;
    try {
        {
            std::unique_lock lock(mutex);
            cond.wait(lock, [this] { return state == STARTING; });
            enter(RUNNING);
        }
        for (;;) {
            {
                std::unique_lock lock(mutex);
                backlog->give_back(returned);
                if (room_waiters != 0 && !backlog->full()) {
                    room_cond.notify_all();
                }
                if (written_waiters != 0) {
                    written_cond.notify_all();
                }
                if (!backlog->holding()) {
                    while (state == RUNNING && queue.empty()) {
                        worker_waiting = true;
                        work_cond.wait(lock);
                    }
                    // Written only when set: the line is the producers'.
                    if (worker_waiting) {
                        worker_waiting = false;
                    }
                    // Once stop is asked, what was accepted before is written;
                    // later records do not keep the stop from ending.
                    if (queue.empty() || (state != RUNNING && backlog->written() >= drain_goal)) {
                        break;
                    }
                    backlog->take(queue);
                }
            }
            // Without the mutex: producers append meanwhile. A chunk at
            // most, so that text buffers go back (above) often.
            write_held(MessageCache::kCapacity, &returned, in_write);
        }
    } catch (const std::exception& e) {
        report_worker_failure(name, &e);
    } catch (...) {
        report_worker_failure(name, nullptr);
    }
    // Under the mutex to the end: once stop() sees the state change, the
    // target may be destroyed, so nothing of it is touched after the unlock.
    std::lock_guard lock(mutex);
    // What was taken and not written goes back in front of later records.
    backlog->return_held(queue, in_write);
    if (std::uint64_t gap = backlog->take_trailing_gap(); gap != 0) {
        // The gap is at the end: nothing was accepted after it.
        report_dropped(gap);
    }
    backlog->give_back(returned);
    if (console_failing) {
        report_console_losses();
    }
    worker_waiting = false;
    enter(STOPPED);
}

}  // namespace zvk
