#include "ReadSection.h"

#include <linux/membarrier.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

namespace zvk::detail {

namespace {

// Every slot ever taken, in blocks that never move; a slot whose thread
// ended serves the next new thread.
struct Slots {
    std::mutex mutex;
    std::vector<std::unique_ptr<ReaderSlot[]>> blocks;
};
constexpr std::size_t kBlock = 64;

Slots& slots() {
    static auto* all = new Slots();  // outlives every static, like the threads that use it
    return *all;
}

// Gives the slot back when its thread ends. A section the thread opens
// after that (from a later thread-local destructor) takes a slot that
// stays taken.
thread_local bool slot_owner_gone = false;
struct SlotOwner {
    ~SlotOwner() {
        slot_owner_gone = true;
        if (own_reader_slot == nullptr || own_reader_slot == &overflow_slot) {
            return;
        }
        std::lock_guard lock(slots().mutex);
        own_reader_slot->in_use = false;
        own_reader_slot = nullptr;
    }
};
thread_local SlotOwner slot_owner;

bool register_membarrier() {
    return syscall(__NR_membarrier, MEMBARRIER_CMD_REGISTER_PRIVATE_EXPEDITED, 0, 0) == 0;
}

std::mutex& waiter_mutex() {
    static auto* mutex = new std::mutex();  // outlives every static
    return *mutex;
}

}  // namespace

void barrier_everywhere() noexcept {
    if (sections_fence || syscall(__NR_membarrier, MEMBARRIER_CMD_PRIVATE_EXPEDITED, 0, 0) != 0) {
        std::atomic_thread_fence(std::memory_order_seq_cst);
    }
}

// Before any section: at load. ThreadSanitizer does not see the kernel's
// barrier, so under it sections fence themselves.
#if defined(__SANITIZE_THREAD__)
bool sections_fence = true;
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer)
bool sections_fence = true;
#else
bool sections_fence = !register_membarrier();
#endif
#else
bool sections_fence = !register_membarrier();
#endif

constinit __attribute__((tls_model("initial-exec"))) thread_local ReaderSlot* own_reader_slot =
    nullptr;
ReaderSlot overflow_slot;
std::atomic<long> overflow_sections{0};

ReaderSlot* take_reader_slot() noexcept {
    Slots& all = slots();
    std::lock_guard lock(all.mutex);
    ReaderSlot* free = nullptr;
    for (auto& block : all.blocks) {
        for (std::size_t i = 0; i < kBlock && free == nullptr; ++i) {
            if (!block[i].in_use) {
                free = &block[i];
            }
        }
    }
    if (free == nullptr) {
        try {
            all.blocks.push_back(std::make_unique<ReaderSlot[]>(kBlock));
            free = &all.blocks.back()[0];
        } catch (...) {
            // No memory for a slot: this section counts in the shared
            // counter, and the next one tries again.
            return &overflow_slot;
        }
    }
    free->in_use = true;
    own_reader_slot = free;
    if (!slot_owner_gone) {
        (void)&slot_owner;  // its destructor gives the slot back at thread end
    }
    return free;
}

void wait_for_readers() noexcept {
    std::lock_guard serial(waiter_mutex());
    // Whatever a thread stored before this call (its section's start) is
    // seen below, and a section that starts after it reads the new pointer.
    barrier_everywhere();
    std::vector<std::pair<ReaderSlot*, unsigned long>> inside;
    {
        Slots& all = slots();
        std::lock_guard lock(all.mutex);
        for (auto& block : all.blocks) {
            for (std::size_t i = 0; i < kBlock; ++i) {
                unsigned long sequence = block[i].sequence.load(std::memory_order_acquire);
                if ((sequence & 1) != 0) {
                    inside.emplace_back(&block[i], sequence);
                }
            }
        }
    }
    for (int round = 0; overflow_sections.load(std::memory_order_acquire) > 0; ++round) {
        timespec pause{0, round < 10 ? 20'000L : 1'000'000L};
        nanosleep(&pause, nullptr);
    }
    for (const auto& [slot, sequence] : inside) {
        // Any change ends the section seen: the counter only grows.
        for (int round = 0; slot->sequence.load(std::memory_order_acquire) == sequence; ++round) {
            timespec pause{0, round < 10 ? 20'000L : 1'000'000L};
            nanosleep(&pause, nullptr);
        }
    }
}

void forget_readers() noexcept {
    Slots& all = slots();
    for (auto& block : all.blocks) {
        for (std::size_t i = 0; i < kBlock; ++i) {
            ReaderSlot& slot = block[i];
            if (&slot == own_reader_slot) {
                continue;
            }
            slot.in_use = false;
            slot.depth = 0;
            unsigned long sequence = slot.sequence.load(std::memory_order_relaxed);
            slot.sequence.store(sequence + (sequence & 1), std::memory_order_relaxed);
        }
    }
    overflow_sections.store(0, std::memory_order_relaxed);
    // The child is one thread now, inside no section: safe to change.
    if (!sections_fence && !register_membarrier()) {
        sections_fence = true;
    }
    new (&all.mutex) std::mutex();
    new (&waiter_mutex()) std::mutex();
}

}  // namespace zvk::detail
