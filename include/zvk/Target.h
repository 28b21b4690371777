// One output destination with its own queue and worker thread. The base
// class is the console target: it writes each record to std::clog.
// Producers only append to the queue; the worker takes what is queued off
// it and writes the records one at a time, in queue order, without holding
// the mutex, so that a producer waits for the mutex only while others move
// records in or out, never for a write. A record waits as its text and
// level only; the worker hands write_msg a Message built from them (the
// stream object is most of a Message's size).
#pragma once

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "zvk/VornExport.h"

namespace zvk {

class Message;
class Target;
class VornConfig;

namespace detail {
class Backlog;
bool flush_at_crash(Target& target, const timespec& deadline,
                    const timespec& lock_deadline) noexcept;
}  // namespace detail

class ZVK_VORN_API Target {
public:
    enum Type : int { CONSOLE_TARGET = 0, FILE_TARGET = 1, SYSLOG_TARGET = 2 };
    // STOPPED, STARTING and RUNNING as their names say. DRAINING: stop was
    // asked, the worker writes what was accepted before and ends.
    // WRITING_INLINE: after the stop at process exit, each caller writes
    // its own records. FORKED: the copy in a forked child, which drops.
    enum State : int {
        STOPPED = 0,
        STARTING = 1,
        RUNNING = 2,
        DRAINING = 3,
        WRITING_INLINE = 4,
        FORKED = 5
    };

    // A record waiting in the queue: the text and level of a plain
    // Message, or the whole object for a type derived from Message.
    struct Queued {
        std::string text;
        int level;
        Message* whole;  // owned; null for a plain record
    };

    Target(const std::string& name, Type type);
    // A running worker first writes every record already queued, then ends;
    // what no worker wrote is counted in a "dropped" line.
    virtual ~Target();
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

    // Writes one record and destroys it (or keeps it for reuse). Called by
    // the worker, or by the thread that logs once the process exits, never
    // with `mutex` held. `message` holds the logged text and level, and
    // nothing else of the caller's stream.
    virtual void write_msg(Message* message);
    // -1: failure. The base checks the configured locale (throws for an
    // unknown name) and returns 0.
    virtual int init(const VornConfig* config);

    // init (the first time only: a restart after stop needs no second
    // file), then the worker with its start handshake. 0 when running,
    // also when it was running already (no second worker is started).
    int start(const VornConfig* config);
    // Queues `message` and wakes the worker; the target owns it from here,
    // whatever happens. Any thread; never throws.
    void log(Message* message);
    // Queues the text of `text` with `level`; `text` is left empty and
    // usable, often with a buffer an earlier record had. Any thread; only
    // memory exhaustion while taking the text is thrown.
    void log(std::ostringstream&& text, int level);
    // Ends the worker after it has written what was accepted before the
    // call; returns 1.
    int stop();
    // At most `max_records` records wait (0: no bound). When that many
    // wait, log destroys and counts a new record (`drop_when_full`) or
    // waits for room. A library thread (a worker, or a write_msg logging)
    // never waits for room: it drops and counts. Set before the first
    // record.
    void set_queue_bound(std::size_t max_records, bool drop_when_full);
    // The bound a `queue_max` text asks for: a positive decimal number;
    // anything else (absent, zero, negative, unusable) is 0, no bound.
    static std::size_t queue_max_from(const std::string& text);
    // Waits until every record accepted before the call has been written
    // (write_msg has returned for it): 0. -1 when records are held and no
    // worker runs to write them (also when the worker ends meanwhile), or
    // when called from this target's own write_msg. Any thread.
    int flush();
    // For a target whose worker no longer exists: sets `state` and leaves
    // `mutex` unlocked whoever held it, so that stop and the destructor
    // cannot block.
    void reset_state(State state);
    // The worker thread's body.
    void receive_message();

    // For the child of a fork, whose copy of this target has no worker and
    // never gets one: frees the copied queue and from now on destroys and
    // counts what log is given, so that the child's memory stays bounded.
    // The caller holds `mutex`.
    void drop_after_fork();
    // For the stop at process exit: the worker writes what is queued and
    // ends; records logged after that (from static destructors, atexit
    // handlers) are written on the caller's thread.
    void stop_for_exit();
    // Out of service, for the service's re-initialisations and reloads: as
    // stop_for_exit, and a forked child's copy reports what it dropped.
    void retire();
    // For a target that retire or stop_for_exit took out of service: once no thread
    // writes on its own any more, starts it afresh (init again, then the
    // worker) with `config`. As start.
    int restart(const VornConfig* config);

    std::string name;
    Type type;
    std::mutex mutex;
    State state;  // guarded by mutex; changed by enter() (and reset_state)
    std::atomic<bool> stop_requested;
    // Lifecycle changes: start and stop handshakes wait here.
    std::condition_variable cond;
    // Guarded by mutex; owns its records, destroyed with the target. Only
    // the backlog's operations change it.
    std::deque<Queued> queue;

protected:
    // The end of a written record in write_msg: kept for the threads that
    // log when it is a plain Message, deleted otherwise.
    void retire(Message* message) noexcept;
    // Stops the worker (it drains the queue first), waits for the threads
    // still waiting inside the target, and counts what no worker can write
    // any more. A derived destructor calls this before releasing anything
    // its write_msg uses; calling it again finds nothing to do.
    void shutdown();
    // For a target whose write_msg writes the record's text and nothing
    // else: the worker then hands write_texts runs of records at once.
    void write_in_runs() noexcept { runs = true; }
    // What write_texts tells a fatal-signal handler on its own thread
    // before each call: the first `sent` texts are out, the next
    // `in_flight` go in this call, to a file `size_before` bytes long (-1:
    // not a file, or unknown). The handler then writes none of them twice
    // and loses none, but where the length is unknown.
    void run_progress(std::size_t sent, std::size_t in_flight, std::int64_t size_before) noexcept;
    // The descriptor a fatal-signal handler may append this target's
    // queued texts to, with plain write(2) calls, or -1 for none (a target
    // whose write_msg does more than that). The console target and the
    // file target set theirs.
    void set_crash_fd(int fd) noexcept;
    // Write failures of the writer, reported as for standard error: the
    // first as "Could not write msg in target: NAME" (with " - " and
    // `reason` when given), then at most a line a second with the count of
    // records lost since, and a last one when a write succeeds again or the
    // worker ends.
    void console_write_failed(const std::string& reason = std::string());
    void report_console_losses();
    // The line for a write that threw (`what` null: not a std::exception):
    // "Exception write msg in target: NAME - WHAT", or "Unknown exception
    // write msg in target: NAME". Throws nothing, for the writer's catch
    // blocks.
    void report_write_exception(const std::exception* what) noexcept;
    void write_succeeded() {
        if (console_failing) {
            report_console_losses();
        }
    }

private:
    // Writes `count` consecutive whole records in as few calls as the
    // destination takes, with everything write_msg does for each record
    // (failure reports included). Called only for a target that asked for
    // runs; never throws. The console target: one write to std::clog.
    virtual void write_texts(const std::string_view* texts, std::size_t count) noexcept;

    friend bool detail::flush_at_crash(Target& target, const timespec& deadline,
                                       const timespec& lock_deadline) noexcept;

    // A thread stops waiting inside the target (`waiters` is the count it
    // was in); the last one lets a shutdown go on. The caller holds `mutex`.
    void left_wait(int& waiters);
    // Every condition below, for re-creating them where their waiters are
    // gone (a forked child, a vanished worker).
    std::array<std::condition_variable*, 5> conditions();
    // The one place the lifecycle changes: sets `state` and wakes whoever
    // waits for what the change affects. The caller holds `mutex`.
    void enter(State next);
    // Queues `record` with `text` (moved, or copied when its buffer is
    // roomy: then `text` keeps it); returns a spare text buffer for the
    // caller's stream when `want_buffer` and one is at hand.
    std::string enqueue(Queued&& record, std::string& text, bool want_buffer);
    // Under mutex, for a bounded target at its bound: false when the
    // record is to be dropped, true once there is room (after waiting).
    bool admit(std::unique_lock<std::mutex>& lock);
    // After the stop at exit: the calling thread writes what is queued
    // unless another thread is writing; then it waits until its record
    // (number `number`) is written, unless it is inside a write_msg.
    void write_inline(std::unique_lock<std::mutex>& lock, std::uint64_t number);
    // Writes what the writer holds out of the queue, one record at a time,
    // without the mutex: at most `limit` records. `in_write` is true while
    // write_msg has a record, so that a throw leaves it known.
    void write_held(std::size_t limit, std::vector<std::string>* returned, bool& in_write);
    // The worker's line for a gap of `count` dropped records.
    void report_dropped(std::uint64_t count);

    // The accounting of `queue`. The fields a producer uses with each
    // record sit right after it.
    std::unique_ptr<detail::Backlog> backlog;
    // Guarded by mutex: the worker sleeps on work_cond; a thread writes
    // after exit; threads waiting for room, and for written records; the
    // records the worker writes before it ends, once stop was asked.
    bool worker_waiting;
    bool inline_writer;
    int room_waiters;
    int written_waiters;
    std::uint64_t drain_goal;
    // Each wait has its own condition, all with `mutex`: the worker's
    // wake-up, room in a bounded queue, written records (flush and the
    // writers after exit), and threads leaving the target (its shutdown).
    std::condition_variable work_cond;
    std::condition_variable room_cond;
    std::condition_variable written_cond;
    std::condition_variable leave_cond;
    std::atomic<int> crash_fd;
    bool runs;  // set before start; see write_in_runs
    // The writer's own: the texts of a run, and the console's one buffer.
    std::vector<std::string_view> run_texts;
    std::string run_buffer;
    bool initialised;      // init succeeded once; only start touches it
    bool console_failing;  // the write failures below: only the writer
    std::uint64_t console_lost;
    std::chrono::steady_clock::time_point console_reported;
};

}  // namespace zvk
