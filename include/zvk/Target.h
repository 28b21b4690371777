// One output destination with its own queue and worker thread. The base
// class is the console target: it writes each record to std::clog.
// Producers only append to the queue; the worker takes what is queued off
// it and writes the records one at a time, in queue order, without holding
// the mutex, so that a producer never waits for a write. A record waits as
// its text and level only; the worker hands write_msg a Message built from
// them (the stream object is most of a Message's size).
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "zvk/VornExport.h"

namespace zvk {

class Message;
class VornConfig;

namespace detail {
struct CrashAccess;
}

class ZVK_VORN_API Target {
public:
    enum Type : int { CONSOLE_TARGET = 0, FILE_TARGET = 1 };
    enum State : int { STOPPED = 0, STARTING = 1, RUNNING = 2 };

    // A record waiting in the queue: the text and level of a plain
    // Message, or the whole object for a type derived from Message.
    struct Queued {
        std::string text;
        int level;
        Message* whole;  // owned; null for a plain record
    };

    Target(const std::string& name, Type type);
    // A running worker first writes every record already queued, then ends;
    // only a target without a running worker drops what is queued.
    virtual ~Target();
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

    // Writes one record and destroys it (or keeps it for reuse). Called
    // only by the worker. `message` holds the logged text and level, and
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
    // Ends the worker after it has written what is queued; returns 1.
    int stop();
    // At most `max_records` records wait (0: no bound). When that many
    // wait, log destroys and counts a new record (`drop_when_full`) or
    // waits, sleeping, for room; a write_msg logging to its own target
    // always drops. Set before the first record.
    void set_queue_bound(std::size_t max_records, bool drop_when_full);
    // The bound a `queue_max` text asks for: a positive decimal number;
    // anything else (absent, zero, negative, unusable) is 0, no bound.
    static std::size_t queue_max_from(const std::string& text);
    // Waits until every record accepted before the call has been written
    // (write_msg has returned for it): 0. -1 at once when records are held
    // and no worker runs to write them, or when called from this target's
    // own write_msg. Any thread.
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

    std::string name;
    Type type;
    std::mutex mutex;
    State state;  // guarded by mutex
    std::atomic<bool> stop_requested;
    std::condition_variable cond;
    std::deque<Queued> queue;  // guarded by mutex; owns its records
    // Guarded by mutex: the worker sleeps on cond until a record or the stop
    // request comes, so log has to wake it. False while the worker writes.
    bool worker_waiting;

protected:
    // The end of a written record in write_msg: kept for the threads that
    // log when it is a plain Message, deleted otherwise.
    void retire(Message* message) noexcept;
    // Stops the worker (it drains the queue first) and drops what no worker
    // can write any more. A derived destructor calls this before releasing
    // anything its write_msg uses; calling it again finds nothing to do.
    void shutdown();

private:
    friend struct detail::CrashAccess;

    enum Delivery : int { QUEUE, INLINE, DROP };

    // Queues `record` with `text` (moved, or copied when its buffer is
    // roomy: then `text` keeps it); returns a spare text buffer for the
    // caller's stream when `want_buffer` and one is at hand.
    std::string enqueue(Queued&& record, std::string& text, bool want_buffer);
    // The Message that write_msg gets for `record`: the whole one, or a
    // kept or new plain one carrying the text. The text buffer the kept
    // one had goes to `returned`, on its way back to the producers.
    Message* materialise(Queued& record, std::vector<std::string>* returned);
    // Under mutex, for a bounded target at its bound: false when `message`
    // is to be dropped, true once there is room (after waiting).
    bool admit(std::unique_lock<std::mutex>& lock);
    // The worker's line for a gap of `count` dropped records.
    void report_dropped(std::uint64_t count);
    // log's way for a target without a worker that will write the queue.
    void deliver_without_worker(Queued&& record);
    // Console write failures: the first is reported, then at most one line
    // a second with the count lost meanwhile. Called by the one writer.
    void console_write_failed();
    void report_console_losses();

    // Guarded by mutex: text buffers of written records on their way back
    // to the threads that log, so that a buffer is freed by the thread that
    // allocated it, or used again. Capacity reserved, adding never allocates.
    std::vector<std::string> spare;
    Delivery delivery;      // guarded by mutex
    std::uint64_t dropped;  // guarded by mutex; counted while DROP
    // Guarded by mutex, for flush: records written so far, and records the
    // worker has taken off the queue and not yet counted as written.
    std::uint64_t written_count;
    std::size_t in_flight;
    int flush_waiters;
    // Guarded by mutex. The bound; records dropped since the last accepted
    // one; for each gap, the number of the record after it (counted as
    // written_count counts) and its size; producers waiting for room.
    std::size_t queue_max;
    bool drop_when_full;
    std::uint64_t pending_drops;
    std::deque<std::pair<std::uint64_t, std::uint64_t>> gaps;
    int room_waiters;
    bool initialised;      // init succeeded once; only start touches it
    bool console_failing;  // the write failures below: only the writer
    std::uint64_t console_lost;
    std::chrono::steady_clock::time_point console_reported;
};

}  // namespace zvk
