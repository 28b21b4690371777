#include "ReadSection.h"

#include <pthread.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <mutex>
#include <new>
#include <utility>
#include <vector>

#include "../platform/Membarrier.h"

namespace zvk::detail {

namespace {

// Every slot ever taken, in blocks that never move, and those no thread
// holds: a thread takes one and gives it back in constant time, however
// many threads came before it.
struct Slots {
    std::mutex mutex;
    std::vector<std::unique_ptr<ReaderSlot[]>> blocks;
    std::vector<ReaderSlot*> free;  // capacity for every slot: giving back never allocates
};
constexpr std::size_t kBlock = 64;

Slots& slots() {
    static auto* all = new Slots();  // outlives every static, like the threads that use it
    return *all;
}

// Gives the calling thread's slot back. Run as a thread-specific value's
// destructor: after the thread's C++ thread-local destructors, and again
// (up to PTHREAD_DESTRUCTOR_ITERATIONS times) when a later destructor
// opened a section and so took a slot anew.
void give_back(void* /*the slot, also in own_reader_slot*/) {
    ReaderSlot* own = own_reader_slot;
    if (own == nullptr || own == &overflow_slot) {
        return;
    }
    Slots& all = slots();
    std::lock_guard lock(all.mutex);
    all.free.push_back(own);
    own_reader_slot = nullptr;
}

// Made on the first slot taken, also when that is before this file's
// statics are initialised. Without a key no slot is ever given back:
// sections then use the shared counter, slower but correct.
constexpr pthread_key_t kNoKey = static_cast<pthread_key_t>(-1);
pthread_key_t owner_key() {
    static const pthread_key_t key = [] {
        pthread_key_t made{};
        return pthread_key_create(&made, give_back) == 0 ? made : kNoKey;
    }();
    return key;
}

// A waiter's pause between looks: short at first, for sections that end
// within microseconds.
void pause(int round) {
    timespec pause{0, round < 10 ? 20'000L : 1'000'000L};
    nanosleep(&pause, nullptr);
}

std::mutex& waiter_mutex() {
    static auto* mutex = new std::mutex();  // outlives every static
    return *mutex;
}

}  // namespace

void barrier_everywhere() noexcept {
    if (sections_fence || !process_barrier()) {
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
bool sections_fence = !register_process_barrier();
#endif
#else
bool sections_fence = !register_process_barrier();
#endif

constinit ZVK_INITIAL_EXEC thread_local ReaderSlot* own_reader_slot = nullptr;
ReaderSlot overflow_slot;
std::atomic<long> overflow_sections{0};

ReaderSlot* take_reader_slot() noexcept {
    const pthread_key_t key = owner_key();
    if (key == kNoKey) {
        return &overflow_slot;
    }
    Slots& all = slots();
    ReaderSlot* slot = nullptr;
    {
        std::lock_guard lock(all.mutex);
        if (all.free.empty()) {
            try {
                auto block = std::make_unique<ReaderSlot[]>(kBlock);
                all.free.reserve(all.blocks.size() * kBlock + kBlock);
                all.blocks.push_back(std::move(block));
            } catch (...) {
                // No memory for a slot: this section counts in the shared
                // counter, and the next one tries again.
                return &overflow_slot;
            }
            ReaderSlot* fresh = all.blocks.back().get();
            for (std::size_t i = kBlock; i > 0; --i) {
                all.free.push_back(&fresh[i - 1]);
            }
        }
        slot = all.free.back();
        all.free.pop_back();
    }
    // Any non-null value: its destructor gives the slot back at thread end.
    if (pthread_setspecific(key, slot) != 0) {
        std::lock_guard lock(all.mutex);
        all.free.push_back(slot);
        return &overflow_slot;
    }
    own_reader_slot = slot;
    return slot;
}

void wait_for_readers(const std::vector<const void*>& retired) noexcept {
    std::lock_guard serial(waiter_mutex());
    // Whatever a thread stored before this call (its section's start) is
    // seen below, and a section that starts after it reads the new pointer.
    barrier_everywhere();
    // Slots of blocks made after this look were taken after the barrier:
    // their sections need no waiting.
    Slots& all = slots();
    std::size_t block_count = 0;
    {
        std::lock_guard lock(all.mutex);
        block_count = all.blocks.size();
    }
    auto block_at = [&all](std::size_t index) {
        std::lock_guard lock(all.mutex);
        return all.blocks[index].get();
    };
    for (int round = 0; overflow_sections.load(std::memory_order_acquire) > 0; ++round) {
        pause(round);
    }
    // Whether the section seen as `seen` is over, or keeps to a target not
    // retired: the counter only grows, and kOnly, once seen (acquire), shows
    // the target stored before it.
    auto done = [&retired](const ReaderSlot& slot, unsigned long seen) {
        const unsigned long now = slot.sequence.load(std::memory_order_acquire);
        if ((now >> 2) != (seen >> 2) || (now & ReaderSlot::kInside) == 0) {
            return true;
        }
        if ((now & ReaderSlot::kOnly) == 0) {
            return false;
        }
        const void* target = slot.only.load(std::memory_order_acquire);
        // A target stored by a later section comes after this one's end.
        if (slot.sequence.load(std::memory_order_acquire) != now) {
            return true;
        }
        return std::find(retired.begin(), retired.end(), target) == retired.end();
    };
    // First every section seen at once, then each waited for: a section
    // that ends while another is waited for is not waited for again.
    std::vector<std::pair<ReaderSlot*, unsigned long>> inside;
    bool listed = true;
    try {
        inside.reserve(block_count * kBlock);
    } catch (...) {
        listed = false;  // no memory for the list: block by block
    }
    for (std::size_t b = 0; b < block_count; ++b) {
        ReaderSlot* block = block_at(b);
        for (std::size_t i = 0; i < kBlock; ++i) {
            const unsigned long sequence = block[i].sequence.load(std::memory_order_acquire);
            if ((sequence & ReaderSlot::kInside) == 0) {
                continue;
            }
            if (listed) {
                inside.emplace_back(&block[i], sequence);
                continue;
            }
            for (int round = 0; !done(block[i], sequence); ++round) {
                pause(round);
            }
        }
    }
    for (const auto& [slot, sequence] : inside) {
        for (int round = 0; !done(*slot, sequence); ++round) {
            pause(round);
        }
    }
}

void forget_readers() noexcept {
    Slots& all = slots();
    // Every slot but the forking thread's is free in the child; the list
    // has room for all of them.
    all.free.clear();
    for (auto& block : all.blocks) {
        for (std::size_t i = 0; i < kBlock; ++i) {
            ReaderSlot& slot = block[i];
            if (&slot == own_reader_slot) {
                continue;
            }
            all.free.push_back(&slot);
            slot.depth = 0;
            unsigned long sequence = slot.sequence.load(std::memory_order_relaxed);
            if ((sequence & ReaderSlot::kInside) != 0) {
                sequence = (sequence | ReaderSlot::kInside | ReaderSlot::kOnly) + 1;
            }
            slot.sequence.store(sequence, std::memory_order_relaxed);
        }
    }
    overflow_sections.store(0, std::memory_order_relaxed);
    // The child is one thread now, inside no section: safe to change.
    if (!sections_fence && !register_process_barrier()) {
        sections_fence = true;
    }
    new (&all.mutex) std::mutex();
    new (&waiter_mutex()) std::mutex();
}

}  // namespace zvk::detail
