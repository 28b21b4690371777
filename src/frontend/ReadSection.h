// How a thread that logs keeps the target it reached alive: the service
// frees a target only after every section that may have read its pointer
// from a Logger has ended. A section costs the thread two plain stores to
// a counter of its own; the waiter pays instead, with one membarrier(2)
// call that makes every running thread of the process pass a full memory
// barrier (where the kernel lacks it, sections pay a fence each).
#pragma once

#include <atomic>
#include <vector>

#include "../platform/ThreadLocal.h"

namespace zvk::detail {

// One thread's counter, four steps per section: kInside is set while the
// thread is inside one, kOnly once that section has said which one target
// it keeps to (in `only`). Only its thread writes them.
struct alignas(64) ReaderSlot {
    static constexpr unsigned long kInside = 1;
    static constexpr unsigned long kOnly = 2;
    std::atomic<unsigned long> sequence{0};
    std::atomic<const void*> only{nullptr};  // meaningful while kOnly is set
    unsigned depth = 0;                      // sections nested on this thread
};

// The calling thread's slot, taken on its first section and given back
// when the thread ends, after its thread-local destructors (which may log);
// &overflow_slot when no memory was left for one: such sections count in
// overflow_sections instead.
ReaderSlot* take_reader_slot() noexcept;
extern ReaderSlot overflow_slot;
extern std::atomic<long> overflow_sections;
extern bool sections_fence;  // set once at load: no membarrier here
extern constinit ZVK_INITIAL_EXEC thread_local ReaderSlot* own_reader_slot;

class ReadSection {
public:
    ReadSection() noexcept {
        slot = own_reader_slot != nullptr ? own_reader_slot : take_reader_slot();
        if (slot == &overflow_slot) [[unlikely]] {
            overflow_sections.fetch_add(1, std::memory_order_seq_cst);
            return;
        }
        if (slot->depth++ == 0) {
            slot->sequence.store(slot->sequence.load(std::memory_order_relaxed) + 1,
                                 std::memory_order_relaxed);
            // The store must be seen before the target pointer is read: the
            // waiter's membarrier orders it, else this fence does.
            if (sections_fence) {
                std::atomic_thread_fence(std::memory_order_seq_cst);
            } else {
                std::atomic_signal_fence(std::memory_order_seq_cst);
            }
        }
    }
    ~ReadSection() {
        if (slot == &overflow_slot) [[unlikely]] {
            overflow_sections.fetch_sub(1, std::memory_order_release);
        } else if (--slot->depth == 0) {
            const unsigned long sequence = slot->sequence.load(std::memory_order_relaxed);
            slot->sequence.store((sequence | ReaderSlot::kInside | ReaderSlot::kOnly) + 1,
                                 std::memory_order_release);
        }
    }
    ReadSection(const ReadSection&) = delete;
    ReadSection& operator=(const ReadSection&) = delete;

private:
    ReaderSlot* slot;
};

// From here to the end of the calling thread's section, the thread
// touches no target but `target` (it reads no other from a Logger, and
// uses none read before): a reload that does not retire `target` need not
// wait for it, however long it then waits inside the target. Said before
// a wait that may last; only in an outermost section, only once in it.
inline void keep_to(const void* target) noexcept {
    ReaderSlot* slot = own_reader_slot;
    if (slot == nullptr || slot == &overflow_slot || slot->depth != 1) {
        return;
    }
    const unsigned long sequence = slot->sequence.load(std::memory_order_relaxed);
    if ((sequence & ReaderSlot::kOnly) == 0) {
        // The target first: a waiter that sees kOnly sees it too.
        slot->only.store(target, std::memory_order_release);
        slot->sequence.store(sequence | ReaderSlot::kOnly, std::memory_order_release);
    }
}

// Makes every running thread of the process pass a full memory barrier:
// membarrier(2), or where sections fence themselves, a fence here.
void barrier_everywhere() noexcept;

// Returns once every section that began before the call has ended, or
// has said it keeps to one target not in `retired`; later sections do not
// hold it up. Never call it inside a section: it would wait for itself.
void wait_for_readers(const std::vector<const void*>& retired) noexcept;

// In a forked child: the parent's other threads and their sections are not
// the child's.
void forget_readers() noexcept;

}  // namespace zvk::detail
