#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "zvk/Target.h"
#include "zvk/VornExport.h"

namespace zvk {

/// A target for an application's unit tests: keeps each record it is
/// given, in the order its worker wrote them, to be read back. Route a
/// logger to it with VornInit::route; records of one thread keep that
/// thread's order. Its type is CUSTOM_TARGET.
class ZVK_VORN_API CaptureTarget : public Target {
public:
    /// One captured record: copies, valid after the record is gone.
    struct Record {
        std::string text;    ///< The record's text as composed.
        int level = 0;       ///< Its level, a Vorn::Level value.
        std::string logger;  ///< The logger's name; empty when handed over without one.
        std::string file;    ///< Where VORN_LOG was used (`__FILE__`), else empty.
        std::string func;    ///< The function it was used in, else empty.
        int line = 0;        ///< Its line, 0 when unknown.
        int thread = 0;      ///< The logging thread's kernel thread id.
    };

    /// A stopped target called `name`; VornInit::route (or start) runs it.
    explicit CaptureTarget(const std::string& name = "capture");
    /// Writes what was accepted first (shutdown), then frees the records.
    ~CaptureTarget() override;

    /// Keeps a copy of the record and retires it. On the worker.
    void write_msg(Message* message) override;

    /// The records captured since the start or the last clear, oldest
    /// first: a copy, taken under the target's own lock. Any thread.
    std::vector<Record> records() const;
    /// Waits until at least `count` records were captured since the start
    /// or the last clear, at most `timeout`: whether they were. Records in
    /// flight (handed over, not written yet) count once the worker wrote
    /// them. Any thread but this target's worker.
    bool wait_for(std::size_t count, std::chrono::milliseconds timeout);
    /// Forgets the records captured so far. Any thread.
    void clear();

private:
    // Guards `captured`; taken by the worker in write_msg and by the
    // readers, with no other lock held and nothing taken under it.
    mutable std::mutex records_mutex;
    // Signalled under records_mutex for each captured record.
    std::condition_variable arrived;
    std::vector<Record> captured;
};

}  // namespace zvk
