// One output destination with its own queue and worker thread. The base
// class is the console target: it writes each record to std::clog.
// Producers only append to the queue; the worker takes what is queued off
// it and writes the records one at a time, in queue order, without holding
// the mutex, so that a producer never waits for a write.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "zvk/VornExport.h"

namespace zvk {

class Message;
class VornConfig;

class ZVK_VORN_API Target {
public:
    enum Type : int { CONSOLE_TARGET = 0, FILE_TARGET = 1 };
    enum State : int { STOPPED = 0, STARTING = 1, RUNNING = 2 };

    Target(const std::string& name, Type type);
    // A running worker first writes every record already queued, then ends;
    // only a target without a running worker drops what is queued.
    virtual ~Target();
    Target(const Target&) = delete;
    Target& operator=(const Target&) = delete;

    // Writes one record and destroys it (or keeps it for reuse). Called
    // only by the worker.
    virtual void write_msg(Message* message);
    // -1: failure. The base checks the configured locale (throws for an
    // unknown name) and returns 0.
    virtual int init(const VornConfig* config);

    // init, then the worker with its start handshake. 0 when running.
    int start(const VornConfig* config);
    // Queues `message` and wakes the worker; the target owns it from here,
    // whatever happens. Any thread; never throws.
    void log(Message* message);
    // Ends the worker after it has written what is queued; returns 1.
    int stop();
    // For a target whose worker no longer exists: sets `state` and leaves
    // `mutex` unlocked whoever held it, so that stop and the destructor
    // cannot block.
    void reset_state(State state);
    // The worker thread's body.
    void receive_message();

    std::string name;
    Type type;
    std::mutex mutex;
    State state;  // guarded by mutex
    std::atomic<bool> stop_requested;
    std::condition_variable cond;
    std::deque<Message*> queue;  // guarded by mutex; owns its records
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
    // Under mutex: hands what this thread has written over to `spare`.
    void give_back_written();

    // Guarded by mutex: written records on their way back to the threads
    // that log. Capacity reserved up front, so adding never allocates.
    std::vector<Message*> spare;
};

}  // namespace zvk
