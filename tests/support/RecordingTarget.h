// A target for tests: its write_msg appends each record's text to a
// journal that outlives the target, so that what a worker wrote before
// the target was destroyed can still be checked.
#pragma once

#include <condition_variable>
#include <iostream>
#include <memory>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "zvk/Message.h"
#include "zvk/Target.h"

namespace zvk::test {

struct Journal {
    std::vector<std::string> texts() {
        std::lock_guard lock(mutex);
        return written;
    }
    std::size_t size() {
        std::lock_guard lock(mutex);
        return written.size();
    }

    std::mutex mutex;
    // Guarded by mutex: per written record, its text, level and address.
    std::vector<std::string> written;
    std::vector<int> levels;
    std::vector<const Message*> addresses;
    std::vector<Origin> origins;
};

class RecordingTarget : public Target {
public:
    explicit RecordingTarget(std::shared_ptr<Journal> journal,
                             const std::string& name = "recording")
        : Target(name, CONSOLE_TARGET), journal(std::move(journal)) {}
    ~RecordingTarget() override { shutdown(); }

    void write_msg(Message* message) override {
        std::string text = message->text.str();
        // Like the library's own targets: a written record may be reused.
        struct End {
            RecordingTarget* target;
            Message* message;
            ~End() {
                if (target->keep_written) {
                    target->retire(message);
                } else {
                    delete message;
                }
            }
        } end{this, message};
        if (!fail_on.empty() && text == fail_on) {
            if (fail_with_int) {
                throw 42;
            }
            throw std::runtime_error("cannot write " + text);
        }
        std::lock_guard lock(journal->mutex);
        journal->written.push_back(std::move(text));
        journal->levels.push_back(message->level);
        journal->addresses.push_back(message);
        journal->origins.push_back(message->origin);
    }

    std::shared_ptr<Journal> journal;
    // Set before start: a record with the text `fail_on` makes write_msg
    // throw a std::runtime_error, or an int when `fail_with_int` is set.
    std::string fail_on;
    bool fail_with_int = false;
    // Set before start: written records are retired as the library's
    // targets do (kept for reuse) instead of deleted.
    bool keep_written = false;
};

inline Message* record(const std::string& text, int level = 5) {
    std::ostringstream stream;
    stream << text;
    return new Message(std::move(stream), level);
}

// Its worker waits at the first record until the gate opens; with `echo`,
// each written text also goes to standard output, where the gap lines go.
class GatedTarget : public RecordingTarget {
public:
    using RecordingTarget::RecordingTarget;
    ~GatedTarget() override {
        open();
        shutdown();
    }
    void write_msg(Message* message) override {
        {
            std::unique_lock lock(gate_mutex);
            gate.wait(lock, [this] { return opened; });
        }
        if (echo) {
            std::cout << message->text.str() << '\n' << std::flush;
        }
        if (log_inside && message->text.str() == "first") {
            log(record("inner"));
        }
        RecordingTarget::write_msg(message);
    }
    void open() {
        {
            std::lock_guard lock(gate_mutex);
            opened = true;
        }
        gate.notify_all();
    }
    std::size_t waiting() {
        std::lock_guard lock(mutex);
        return queue.size();
    }

    bool echo = false;
    bool log_inside = false;

private:
    std::mutex gate_mutex;
    std::condition_variable gate;
    bool opened = false;
};

}  // namespace zvk::test
