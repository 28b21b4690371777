// How a thread that logs keeps the target it reached alive: the service
// frees a target only after every section that may have read its pointer
// from a Logger has ended. A section costs the thread two plain stores to
// a counter of its own; the waiter pays instead, with one membarrier(2)
// call that makes every running thread of the process pass a full memory
// barrier (where the kernel lacks it, sections pay a fence each).
#pragma once

#include <atomic>

namespace zvk::detail {

// One thread's counter: odd while the thread is inside a section. Only
// its thread writes it.
struct alignas(64) ReaderSlot {
    std::atomic<unsigned long> sequence{0};
    unsigned depth = 0;  // sections nested on this thread
};

// The calling thread's slot, taken on its first section and given back
// when the thread ends, after its thread-local destructors (which may log);
// &overflow_slot when no memory was left for one: such sections count in
// overflow_sections instead.
ReaderSlot* take_reader_slot() noexcept;
extern ReaderSlot overflow_slot;
extern std::atomic<long> overflow_sections;
extern bool sections_fence;  // set once at load: no membarrier here
extern constinit
    __attribute__((tls_model("initial-exec"))) thread_local ReaderSlot* own_reader_slot;

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
            slot->sequence.store(slot->sequence.load(std::memory_order_relaxed) + 1,
                                 std::memory_order_release);
        }
    }
    ReadSection(const ReadSection&) = delete;
    ReadSection& operator=(const ReadSection&) = delete;

private:
    ReaderSlot* slot;
};

// Makes every running thread of the process pass a full memory barrier:
// membarrier(2), or where sections fence themselves, a fence here.
void barrier_everywhere() noexcept;

// Returns once every section that began before the call has ended; later
// sections do not hold it up. Never call it inside a section: it would wait
// for itself.
void wait_for_readers() noexcept;

// In a forked child: the parent's other threads and their sections are not
// the child's.
void forget_readers() noexcept;

}  // namespace zvk::detail
