// What a logging thread pays: the filtered-out check, the hand-over of an
// already composed stream (Vorn::log) and a whole VORN_LOG statement that
// composes a typical 100-byte record, from 1, 2 and 4 threads, while the
// file target's worker writes to a file. Every call is timed on its own;
// the counters give the median and the tail in ns and the heap allocations
// each call made on the calling thread.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <memory>
#include <utility>
#include <vector>

#include "support.h"
#include "zvk/FileLog.h"
#include "zvk/Logger.h"
#include "zvk/Message.h"
#include "zvk/Vorn.h"
#include "zvk/VornInit.h"
#include "zvk/VornService.h"

ZVK_BENCH_COUNT_ALLOCATIONS

namespace {

using namespace zvk::bench;

// Calls per thread and run: a fixed count, so that the queue a run leaves
// behind (and the memory it holds) has the same size in every build.
constexpr int kCallsPerThread = 100000;

struct Run {
    std::unique_ptr<zvk::FileLog> target;
    std::unique_ptr<zvk::Logger> logger;
    std::vector<std::vector<std::uint64_t>> samples;  // one per thread
    std::vector<std::uint64_t> allocs;                // one per thread
    std::vector<std::size_t> bytes;                   // one per thread
};

Run run;

void start_file_target(const benchmark::State& state) {
    zvk::VornService::get_service()->log_dir = scratch().dir;
    std::remove((scratch().dir + "/handover.log").c_str());
    auto config = file_config("handover", "handover.log");
    run.target = std::make_unique<zvk::FileLog>("handover");
    if (run.target->start(config.get()) != 0) {
        std::fprintf(stderr, "file target did not start\n");
        std::exit(1);
    }
    run.logger = std::make_unique<zvk::Logger>("bench", run.target.get(), zvk::Logger::INFO);
    run.samples.assign(state.threads(), {});
    run.allocs.assign(state.threads(), 0);
    run.bytes.assign(state.threads(), 0);
}

// Destroying the target lets its worker write everything queued first.
void stop_file_target(const benchmark::State&) {
    run.logger.reset();
    run.target.reset();
}

zvk::Vorn handle_at(zvk::Vorn::Level level) {
    zvk::Vorn handle;
    handle.logger = run.logger.get();
    handle.level = level;
    return handle;
}

// Called by every thread after its loop; the loop's end is a barrier, so
// thread 0 sees what every thread recorded inside its loop.
void report(benchmark::State& state) {
    if (state.thread_index() != 0) {
        return;
    }
    std::vector<std::uint64_t> all;
    std::uint64_t allocs = 0;
    std::size_t bytes = 0;
    for (int t = 0; t < state.threads(); ++t) {
        all.insert(all.end(), run.samples[t].begin(), run.samples[t].end());
        allocs += run.allocs[t];
        bytes += run.bytes[t];
    }
    double calls = static_cast<double>(all.size());
    Percentiles p = percentiles(all);
    state.counters["p50_ns"] = p.p50;
    state.counters["p99_ns"] = p.p99;
    state.counters["p99.9_ns"] = p.p999;
    state.counters["allocs"] = static_cast<double>(allocs) / calls;
    state.counters["bytes"] = static_cast<double>(bytes) / calls;
}

void BM_LogableFilteredOut(benchmark::State& state) {
    zvk::Logger logger("bench", nullptr, zvk::Logger::INFO);
    zvk::Vorn handle;
    handle.logger = &logger;
    handle.level = zvk::Vorn::INFO;
    for (auto _ : state) {
        bool yes = handle.logable(zvk::Vorn::DEBUG);
        benchmark::DoNotOptimize(yes);
        // The handle is read from memory in every round, as in a program.
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_LogableFilteredOut);

// The same for a handle the service made, which follows its logger's
// configuration through reloads: one more load.
void BM_LogableFilteredOutFollowing(benchmark::State& state) {
    const std::string path = scratch().dir + "/following.xml";
    std::ofstream(path) << "<vorn><target name=\"s\"><type>stdout</type></target>"
                           "<logger name=\"following\"><target>s</target>"
                           "<accept_level>INFO</accept_level></logger></vorn>\n";
    zvk::VornInit::load_config(path);
    zvk::Vorn handle("following", 0);
    for (auto _ : state) {
        bool yes = handle.logable(zvk::Vorn::DEBUG);
        benchmark::DoNotOptimize(yes);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_LogableFilteredOutFollowing);

// Times `call` on its own: its ticks and the heap allocations it made.
template <class Call>
void time_one(benchmark::State& state, int thread, const Call& call) {
    std::uint64_t a0 = allocations;
    std::uint64_t t0 = ticks();
    call();
    std::uint64_t t1 = ticks();
    run.allocs[thread] += allocations - a0;
    run.samples[thread].push_back(t1 - t0);
    state.SetIterationTime(static_cast<double>(t1 - t0) * ns_per_tick() * 1e-9);
}

// Vorn::log alone; the stream is composed before the clock starts.
void BM_HandOver(benchmark::State& state) {
    const int thread = state.thread_index();
    zvk::Vorn handle = handle_at(zvk::Vorn::INFO);
    run.samples[thread].reserve(kCallsPerThread);
    int seq = 0;
    for (auto _ : state) {
        std::ostringstream text = compose(100, thread, seq++);
        run.bytes[thread] += text.view().size();
        time_one(state, thread, [&] { handle.log(std::move(text), zvk::Vorn::INFO); });
    }
    report(state);
}
BENCHMARK(BM_HandOver)
    ->Setup(start_file_target)
    ->Teardown(stop_file_target)
    ->Iterations(kCallsPerThread)
    ->Threads(1)
    ->Threads(2)
    ->Threads(4)
    ->UseManualTime();

// One VORN_LOG statement: level check, stamp, composing about 100 bytes,
// hand-over.
void BM_VornLog(benchmark::State& state) {
    const int thread = state.thread_index();
    zvk::Vorn handle = handle_at(zvk::Vorn::INFO);
    run.samples[thread].reserve(kCallsPerThread);
    int seq = 0;
    for (auto _ : state) {
        ++seq;
        time_one(state, thread, [&] {
            VORN_LOG(handle, INFO,
                     "request " << seq << " from thread " << thread << " served in " << 1250
                                << " us, status ok, user alice");
        });
    }
    report(state);
    if (thread == 0) {
        // "<stamp> INFO request <seq> from thread <t> served in 1250 us,
        // status ok, user alice\n": 31 + 5 + 63 bytes with a 5-digit seq.
        state.counters["bytes"] = 99;
    }
}
BENCHMARK(BM_VornLog)
    ->Setup(start_file_target)
    ->Teardown(stop_file_target)
    ->Iterations(kCallsPerThread)
    ->Threads(1)
    ->Threads(2)
    ->Threads(4)
    ->UseManualTime();

// Composing the same record without handing it over: the share of
// VORN_LOG's cost (and allocations) that is the application's own.
void BM_ComposeOnly(benchmark::State& state) {
    zvk::Vorn handle = handle_at(zvk::Vorn::INFO);
    std::uint64_t allocs = 0;
    int seq = 0;
    for (auto _ : state) {
        ++seq;
        std::uint64_t a0 = allocations;
        std::ostringstream text;
        text << handle.stamp() << ' ' << "INFO" << ' ' << "request " << seq << " from thread " << 0
             << " served in " << 1250 << " us, status ok, user alice" << '\n';
        benchmark::DoNotOptimize(text);
        allocs += allocations - a0;
    }
    state.counters["allocs"] =
        static_cast<double>(allocs) / static_cast<double>(state.iterations());
}
BENCHMARK(BM_ComposeOnly)->Setup(start_file_target)->Teardown(stop_file_target);

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    std::printf("clock: %.2f ns per tick, %.1f ns per timed empty call\n", ns_per_tick(),
                clock_overhead_ns());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
