// How a fatal-signal handler writes records to a target's descriptor:
// with async-signal-safe steps only, each record whole or not at all, and
// a file rotated at the size limit as its writer would rotate it.
#pragma once

#include <cstddef>
#include <ctime>
#include <string_view>

#include "Carrier.h"

namespace zvk {

struct Origin;

namespace detail {

bool before(const timespec& a, const timespec& b);
// Milliseconds left until `deadline` (CLOCK_MONOTONIC), at least 1 while
// any is left.
int ms_left(const timespec& deadline);

// Where the handler rotates to: the writer's plan, and the first second
// of it not tried yet, so that each rotation takes a name after the last.
struct Rotation {
    const CrashRotation& plan;
    long long next;
};

// Where the handler writes one target's records: gathered into one static
// batch (the handler runs once in a process's life, on the first thread
// that enters it), which goes out in few write(2) calls.
class CrashSink {
public:
    CrashSink(int fd, Rotation& rotation, const timespec& deadline)
        : fd(fd), rotation(rotation), deadline(deadline) {}

    // One record in the target's format: its text as it is, or the JSON
    // line of a record the writer has not put in the format yet.
    bool put(std::string_view text, int level, const Origin& origin, bool json);
    // Writes what is gathered. At the size limit the records written whole
    // stay, the one cut short is cut back off, and the file is rotated; a
    // record longer than the limit itself is skipped, since no file holds
    // it. False when a write or a rotation fails, or at the deadline.
    bool flush();

private:
    int fd;
    Rotation& rotation;
    const timespec& deadline;
};

}  // namespace detail
}  // namespace zvk
