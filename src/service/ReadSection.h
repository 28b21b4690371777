// How a thread that logs keeps the target it reached alive: the service
// frees a target only after every section that may have read its pointer
// from a Logger has ended. A section costs two uncontended atomic
// operations on a counter the thread shares with few others.
#pragma once

#include <atomic>

namespace zvk::detail {

class ReadSection {
public:
    ReadSection() noexcept;
    ~ReadSection() { counter->fetch_sub(1, std::memory_order_release); }
    ReadSection(const ReadSection&) = delete;
    ReadSection& operator=(const ReadSection&) = delete;

private:
    std::atomic<long>* counter;
};

// Returns once every section that began before the call has ended. Sections
// that begin meanwhile do not hold it up for long. Never call it inside a
// section: it would wait for itself.
void wait_for_readers() noexcept;

// In a forked child: the parent's sections are not the child's.
void forget_readers() noexcept;

}  // namespace zvk::detail
