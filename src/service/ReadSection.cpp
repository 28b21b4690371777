#include "ReadSection.h"

#include <time.h>

#include <mutex>
#include <new>

namespace zvk::detail {

namespace {

// Threads spread over stripes so that producers of different threads touch
// different cache lines. A section counts in the stripe of its thread, in
// the half the epoch names when it begins; the waiter flips the epoch and
// waits for the old half to empty, twice, so that a section that read the
// epoch just before a flip is caught by the second wait.
constexpr unsigned kStripes = 64;
struct alignas(64) Stripe {
    std::atomic<long> count[2];
};
Stripe stripes[kStripes];
std::atomic<unsigned> epoch{0};
std::atomic<unsigned> next_stripe{0};
__attribute__((tls_model("initial-exec"))) thread_local Stripe* own_stripe = nullptr;

// Serialises waiters: one flip at a time.
std::mutex& waiter_mutex() {
    static auto* mutex = new std::mutex();  // outlives every static
    return *mutex;
}

long readers_in(unsigned half) {
    long total = 0;
    for (Stripe& stripe : stripes) {
        total += stripe.count[half].load(std::memory_order_seq_cst);
    }
    return total;
}

void wait_for_half(unsigned half) {
    for (int round = 0; readers_in(half) > 0; ++round) {
        // A section is a hand-over or a flush: mostly short, so poll
        // quickly at first.
        timespec pause{0, round < 10 ? 20'000L : 1'000'000L};
        nanosleep(&pause, nullptr);
    }
}

}  // namespace

ReadSection::ReadSection() noexcept {
    Stripe* stripe = own_stripe;
    if (stripe == nullptr) {
        stripe = &stripes[next_stripe.fetch_add(1, std::memory_order_relaxed) % kStripes];
        own_stripe = stripe;
    }
    counter = &stripe->count[epoch.load(std::memory_order_relaxed) & 1];
    // Sequentially consistent, like the target pointer's load after it and
    // the service's store of a new one: a section that could read the old
    // pointer is counted before the waiter looks.
    counter->fetch_add(1, std::memory_order_seq_cst);
}

void wait_for_readers() noexcept {
    std::lock_guard lock(waiter_mutex());
    for (int flip = 0; flip < 2; ++flip) {
        const unsigned old = epoch.fetch_add(1, std::memory_order_seq_cst) & 1;
        wait_for_half(old);
    }
}

void forget_readers() noexcept {
    for (Stripe& stripe : stripes) {
        stripe.count[0].store(0, std::memory_order_relaxed);
        stripe.count[1].store(0, std::memory_order_relaxed);
    }
    new (&waiter_mutex()) std::mutex();
}

}  // namespace zvk::detail
