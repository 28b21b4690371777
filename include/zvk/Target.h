#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <string_view>

#include "zvk/Origin.h"
#include "zvk/VornExport.h"

namespace zvk {

class Message;
class VornConfig;

namespace detail {
class Carrier;
class ConsoleWriting;
struct TargetAccess;
}  // namespace detail

/// One output destination with its own queue and worker thread. The base
/// class is the console target: it writes records to std::clog.
/// Producers only append to the queue; the worker takes what is queued off
/// it and writes it in queue order, without holding the mutex, so that a
/// producer waits for the mutex only while others move records in or out,
/// never for a write. A record waits as its text and level only; the worker
/// hands write_msg a Message built from them (the stream object is most of
/// a Message's size). The worker calls write_msg once a record, unless the
/// target's type says it takes runs (takes_runs): the console and the file
/// target then get consecutive plain records in one write_texts call.
class ZVK_VORN_API Target {
public:
    /// The kind of target: the console (this class), FileLog, SyslogLog or
    /// JournalLog; CUSTOM_TARGET: a type of the application's own.
    enum Type : int {
        CONSOLE_TARGET = 0,
        FILE_TARGET = 1,
        SYSLOG_TARGET = 2,
        JOURNAL_TARGET = 3,
        CUSTOM_TARGET = 4
    };
    /// How the console and the file target write a record: its text as
    /// given, or one JSON object a line with its time, level, logger,
    /// thread, text and source line.
    enum Format : int { TEXT_LINES = 0, JSON_LINES = 1 };
    /// Where the worker's lifecycle stands (`state`).
    /// STOPPED, STARTING and RUNNING as their names say. DRAINING: stop was
    /// asked, the worker writes what was accepted before and ends.
    /// WRITING_INLINE: after the stop at process exit, each caller writes
    /// its own records. FORKED: the copy in a forked child, which drops.
    enum State : int {
        STOPPED = 0,
        STARTING = 1,
        RUNNING = 2,
        DRAINING = 3,
        WRITING_INLINE = 4,
        FORKED = 5
    };

    /// A stopped target called `name`; start runs it.
    Target(const std::string& name, Type type);
    /// A running worker first writes every record already queued, then ends;
    /// what no worker wrote is counted in a "dropped" line.
    virtual ~Target();
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

    /// Writes one record and destroys it (or keeps it for reuse). Called by
    /// the worker, or by the thread that logs once the process exits, never
    /// with `mutex` held. `message` holds the logged text and level, and
    /// nothing else of the caller's stream.
    virtual void write_msg(Message* message);
    /// Reads this target's settings from `config` at its first start.
    /// -1: failure. The base checks the configured locale (throws for an
    /// unknown name) and returns 0.
    virtual int init(const VornConfig* config);

    /// init (the first time only: a start after stop needs no second
    /// file), then the worker with its start handshake. 0 when running,
    /// also when it was running already (no second worker is started).
    int start(const VornConfig* config);
    /// Queues `message` and wakes the worker; the target owns it from here,
    /// whatever happens. Any thread; never throws.
    void log(Message* message);
    /// Queues the text of `text` with `level`; `text` is left empty and
    /// usable, often with a buffer an earlier record had. Any thread; only
    /// memory exhaustion while taking the text is thrown.
    void log(std::ostringstream&& text, int level);
    /// The same for a record whose logger and source line are known; the
    /// thread and the time are taken here.
    void log(std::ostringstream&& text, int level, const Origin& origin);
    /// Ends the worker after it has written what was accepted before the
    /// call; returns 1.
    int stop();
    /// At most `max_records` records wait (0: no bound). When that many
    /// wait, log destroys and counts a new record (`drop_when_full`) or
    /// waits for room. A library thread (a worker, or a write_msg logging)
    /// never waits for room: it drops and counts. Set before the first
    /// record.
    void set_queue_bound(std::size_t max_records, bool drop_when_full);
    /// Without a record bound, what waits may take about `max_bytes` of
    /// memory (0: an eighth of the physical memory); past that, new records
    /// are dropped and counted or wait, as `drop_when_full` says. Set before
    /// the start.
    void set_queue_memory_max(std::size_t max_bytes);
    /// Set before the first record; other target types ignore it.
    void set_format(Format format);
    /// Waits until every record accepted before the call has been written
    /// (write_msg has returned for it): 0. -1 when records are held and no
    /// worker runs to write them (also when the worker ends meanwhile), or
    /// when called from this target's own write_msg. Any thread.
    int flush();
    /// For a target whose worker no longer exists: sets `state` and leaves
    /// `mutex` unlocked whoever held it, so that stop and the destructor
    /// cannot block.
    void reset_state(State state);
    /// The worker thread's body.
    void receive_message();

private:
    // A record waiting in the queue: the text and level of a plain
    // Message, or the whole object for a type derived from Message. Only
    // the carrier makes and takes them.
    struct Queued {
        std::string text;  // a plain record's text; empty for a whole one
        int level;
        // Already in the target's format (JSON lines): not to be put in it
        // twice when it goes back to the queue unwritten.
        bool formatted;
        Message* whole;   // owned; null for a plain record
        Origin origin{};  // a plain record's; a whole record's is in its Message
    };

public:
    std::string name;  ///< The target's name in the configuration.
    Type type;         ///< What kind of target this is.
    /// Guards `state` and `queue`; never held while a record is written.
    std::mutex mutex;
    State state;  ///< Guarded by mutex; changed only by the carrier.
    /// Set when stop asks a running worker to drain and end; cleared by start.
    std::atomic<bool> stop_requested;
    /// Lifecycle changes: start and stop handshakes wait here.
    std::condition_variable cond;
    /// Guarded by mutex; owns its records, destroyed with the target. Only
    /// the carrier's accounting changes it.
    std::deque<Queued> queue;

protected:
    /// The end of a written record in write_msg: kept for the threads that
    /// log when it is a plain Message, deleted otherwise.
    void retire(Message* message) noexcept;
    /// Stops the worker (it drains the queue first), waits for the threads
    /// still waiting inside the target, and counts what no worker can write
    /// any more; calling it again finds nothing to do. A derived type's
    /// destructor calls it before releasing anything its write_msg uses:
    /// until then the worker may be inside write_msg, and ~Target runs only
    /// after the derived members are gone. (The service stops every target
    /// it made before deleting it.)
    void shutdown();
    /// Write failures of the writer, reported as for standard error: the
    /// first as "Could not write msg in target: NAME" (with " - " and
    /// `reason` when given), then at most a line a second with the count of
    /// records lost since, and a last one when a write succeeds again
    /// (write_succeeded) or the worker ends.
    void console_write_failed(const std::string& reason = std::string());
    /// A write succeeded: after failures, their last line (with the count
    /// of records lost since the previous one); otherwise nothing.
    void write_succeeded();
    /// The line for a write that threw (`what` null: not a std::exception):
    /// "Exception write msg in target: NAME - WHAT", or "Unknown exception
    /// write msg in target: NAME". Throws nothing, for the writer's catch
    /// blocks.
    void report_write_exception(const std::exception* what) noexcept;
    /// Whether the worker calls tick for work due at a time rather than
    /// with a record: about every 100 ms while it writes, and when it is
    /// idle at the time tick asked for. Asked once as the worker starts.
    /// The console: no.
    virtual bool ticks() const noexcept;
    /// On the worker's thread, never with `mutex` held. The milliseconds
    /// until the next tick is due while nothing is written; -1: none is.
    virtual std::int64_t tick() noexcept;

private:
    friend class detail::Carrier;
    friend struct detail::TargetAccess;
    // The file target reports its runs and its crash descriptor.
    friend class FileLog;

    // The bound a `queue_max` text asks for: a positive decimal number;
    // anything else (absent, zero, negative, unusable) is 0, no bound.
    static std::size_t queue_max_from(const std::string& text);

    // For the child of a fork, whose copy of this target has no worker and
    // never gets one: frees the copied queue and from now on destroys and
    // counts what log is given, so that the child's memory stays bounded.
    // The caller holds `mutex`.
    void drop_after_fork();
    // For the stop at process exit: the worker writes what is queued and
    // ends; records logged after that (from static destructors, atexit
    // handlers) are written on the caller's thread.
    void stop_for_exit();
    // What write_texts tells a fatal-signal handler on its own thread
    // before each call: the first `sent` texts are out, the next
    // `in_flight` go in this call, to a file `size_before` bytes long (-1:
    // not a file, or unknown). The handler then writes none of them twice
    // and loses none, but where the length is unknown.
    void run_progress(std::size_t sent, std::size_t in_flight, std::int64_t size_before) noexcept;
    // For a type whose crash descriptor changes (a file opened afresh):
    // -1 before the old one is closed, crash_descriptor() once the new one
    // is open, so that a fatal-signal handler never writes to a closed one.
    void set_crash_fd(int fd) noexcept;

    // What this type takes besides one write_msg a record. Each answers
    // for its own type only: a type derived from one of these, which may
    // override write_msg, gets a record at a time and no descriptor unless
    // it says otherwise.
    //
    // Whether write_msg writes the record's text and nothing else, so that
    // the worker may hand runs of plain records to write_texts instead.
    // The console: yes.
    virtual bool takes_runs() const noexcept;
    // The descriptor a fatal-signal handler may append queued texts to with
    // plain write(2) calls, or -1. Asked once start's init has succeeded.
    // The console: standard error.
    virtual int crash_descriptor() const noexcept;
    // Writes `count` consecutive whole records in as few calls as the
    // destination takes, with everything write_msg does for each record
    // (failure reports included). Called only where takes_runs says so;
    // never throws. The console: up to 64 KiB a write to std::clog.
    virtual void write_texts(const std::string_view* texts, std::size_t count) noexcept;
    // At the stop at process exit, once the worker has ended: work of the
    // type's own that the process's end would cut off ends here, cleanly
    // and within a bound. The console: nothing.
    virtual void exiting() noexcept;

    // The queue's accounting, the worker and the lifecycle.
    std::unique_ptr<detail::Carrier> carrier;
    // The console's writing: its run buffer and the failure counts of any
    // target that reports as for standard error. The writer's own.
    std::unique_ptr<detail::ConsoleWriting> console;
};

}  // namespace zvk
