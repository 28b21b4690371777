// A burst of 1,000,000 records of 100 bytes against a worker that is stuck
// in its first write: what one queued record costs in memory, measured as
// the growth of the resident set and of the heap in use, divided by the
// number of records queued. Also the hand-over rate while nothing is
// written, and the heap allocations per record on the calling thread.
// Then the heap that 16 threads which stay alive keep in use per target
// after a burst, once the writers are idle.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdint>
#include <latch>
#include <memory>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "support.h"
#include "zvk/Logger.h"
#include "zvk/Message.h"
#include "zvk/Target.h"
#include "zvk/Vorn.h"

ZVK_BENCH_COUNT_ALLOCATIONS

namespace {

using namespace zvk::bench;

constexpr int kBurst = 1000000;
constexpr std::size_t kRecordSize = 100;

// Its first write_msg blocks until `release` is counted down.
class StalledTarget : public zvk::Target {
public:
    StalledTarget() : Target("stalled", CONSOLE_TARGET) {}
    ~StalledTarget() override { shutdown(); }

    void write_msg(zvk::Message* message) override {
        entered.store(true);
        release.wait();
        delete message;
    }

    std::atomic<bool> entered{false};
    std::latch release{1};
};

void BM_StalledBurst(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        auto target = std::make_unique<StalledTarget>();
        if (target->start(nullptr) != 0) {
            state.SkipWithError("target did not start");
            return;
        }
        target->log(new zvk::Message(compose(kRecordSize, 0, 0), zvk::Vorn::INFO));
        while (!target->entered.load()) {
            std::this_thread::yield();
        }
        zvk::Logger logger("stalled", target.get(), zvk::Logger::INFO);
        zvk::Vorn handle;
        handle.logger = &logger;
        handle.level = zvk::Vorn::INFO;
        std::size_t rss0 = rss_bytes();
        std::size_t heap0 = heap_in_use();
        std::atomic<std::uint64_t> allocs{0};
        state.ResumeTiming();
        run_producers(threads, kBurst, [&](int t, int i) {
            std::ostringstream text = compose(kRecordSize, t, i);
            std::uint64_t a0 = allocations;
            handle.log(std::move(text), zvk::Vorn::INFO);
            allocs.fetch_add(allocations - a0, std::memory_order_relaxed);
        });
        state.PauseTiming();
        std::size_t rss1 = rss_bytes();
        std::size_t heap1 = heap_in_use();
        target->release.count_down();
        target.reset();
        state.ResumeTiming();
        state.counters["rss_B/record"] = static_cast<double>(rss1 - rss0) / kBurst;
        state.counters["heap_B/record"] = static_cast<double>(heap1 - heap0) / kBurst;
        state.counters["text_B"] = kRecordSize;
        state.counters["sizeof_Message"] = sizeof(zvk::Message);
        // The queue's element type is private: named through the public field.
        state.counters["sizeof_Queued"] = sizeof(decltype(zvk::Target::queue)::value_type);
        state.counters["allocs"] = static_cast<double>(allocs.load()) / kBurst;
        state.counters["records/s"] =
            benchmark::Counter(kBurst, benchmark::Counter::kIsIterationInvariantRate);
    }
}
BENCHMARK(BM_StalledBurst)
    ->ArgName("threads")
    ->Arg(1)
    ->Arg(4)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

// Discards what it writes.
class DiscardingTarget : public zvk::Target {
public:
    DiscardingTarget() : Target("discarding", CONSOLE_TARGET) {}
    ~DiscardingTarget() override { shutdown(); }
    void write_msg(zvk::Message* message) override { retire(message); }
};

// 16 threads log a burst of 100,000 records each into each of `targets`
// targets, then stay alive: the heap they keep in use per thread and
// target once the writers are idle again (half a second later).
void BM_MemoryAfterBurst(benchmark::State& state) {
    constexpr int kThreads = 16;
    constexpr int kRecords = 100000;
    const int count = static_cast<int>(state.range(0));
    for (auto _ : state) {
        state.PauseTiming();
        std::vector<std::unique_ptr<DiscardingTarget>> targets;
        for (int i = 0; i < count; ++i) {
            targets.push_back(std::make_unique<DiscardingTarget>());
            targets.back()->start(nullptr);
        }
        const std::size_t heap0 = heap_in_use();
        std::latch logged(kThreads);
        std::latch leave(1);
        std::vector<std::thread> threads;
        state.ResumeTiming();
        for (int t = 0; t < kThreads; ++t) {
            threads.emplace_back([&, t] {
                for (int i = 0; i < kRecords; ++i) {
                    for (auto& target : targets) {
                        target->log(compose(kRecordSize, t, i), zvk::Vorn::INFO);
                    }
                }
                logged.count_down();
                leave.wait();
            });
        }
        logged.wait();
        for (auto& target : targets) {
            target->flush();
        }
        state.PauseTiming();
        const std::size_t burst = heap_in_use();
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const std::size_t idle = heap_in_use();
        leave.count_down();
        for (auto& thread : threads) {
            thread.join();
        }
        targets.clear();
        state.ResumeTiming();
        const double per = static_cast<double>(kThreads) * count;
        state.counters["KiB/thread/target_after_flush"] =
            (static_cast<double>(burst) - static_cast<double>(heap0)) / 1024 / per;
        state.counters["KiB/thread/target_idle"] =
            (static_cast<double>(idle) - static_cast<double>(heap0)) / 1024 / per;
    }
}
BENCHMARK(BM_MemoryAfterBurst)
    ->ArgName("targets")
    ->Arg(1)
    ->Arg(4)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
