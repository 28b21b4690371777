// Records per second end to end: producers compose and log a fixed number
// of records, then the target is destroyed, which returns only when its
// worker has written everything queued. Into a file target, into the
// console target (standard error goes to /dev/null) and, as the ceiling for
// one write per record, a raw loop that composes the same text and calls
// write() once per record on the same file system, and a target that only
// counts (the queue and worker without I/O). Record sizes 16 B to
// 16 KiB, 1 to 8 producer threads; peak_MB is the run's peak resident set.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <string>
#include <utility>

#include "support.h"
#include "zvk/FileLog.h"
#include "zvk/Logger.h"
#include "zvk/Message.h"
#include "zvk/Target.h"
#include "zvk/Vorn.h"
#include "zvk/VornService.h"

namespace {

using namespace zvk::bench;

void set_rates(benchmark::State& state, int records, std::size_t size) {
    auto total = static_cast<double>(state.iterations()) * records;
    state.counters["records/s"] = benchmark::Counter(total, benchmark::Counter::kIsRate);
    state.counters["MB/s"] =
        benchmark::Counter(total * static_cast<double>(size) / 1e6, benchmark::Counter::kIsRate);
    state.counters["peak_MB"] = static_cast<double>(peak_rss_bytes()) / 1e6;
}

// `make` builds a started target; destroying it waits for the last write.
// Records go through a handle, as an application logs them.
template <class Make>
void end_to_end(benchmark::State& state, const Make& make) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const int threads = static_cast<int>(state.range(1));
    const int records = records_for(size);
    reset_peak_rss();
    for (auto _ : state) {
        state.PauseTiming();
        std::unique_ptr<zvk::Target> target = make();
        zvk::Logger logger("bench", target.get(), zvk::Logger::INFO);
        zvk::Vorn handle;
        handle.logger = &logger;
        handle.level = zvk::Vorn::INFO;
        state.ResumeTiming();
        run_producers(threads, records, [&](int t, int i) {
            if (handle.logable(zvk::Vorn::INFO)) {
                handle.log(compose(size, t, i), zvk::Vorn::INFO);
            }
        });
        target.reset();
    }
    set_rates(state, records, size);
}

void BM_File(benchmark::State& state) {
    zvk::VornService::get_service()->log_dir = scratch().dir;
    const std::string path = scratch().dir + "/file.log";
    end_to_end(state, [&]() -> std::unique_ptr<zvk::Target> {
        std::remove(path.c_str());
        auto config = file_config("file", "file.log");
        auto target = std::make_unique<zvk::FileLog>("file");
        if (target->start(config.get()) != 0) {
            std::fprintf(stdout, "file target did not start\n");
            std::exit(1);
        }
        return target;
    });
}

void BM_Console(benchmark::State& state) {
    end_to_end(state, []() -> std::unique_ptr<zvk::Target> {
        auto target = std::make_unique<zvk::Target>("console", zvk::Target::CONSOLE_TARGET);
        if (target->start(nullptr) != 0) {
            std::fprintf(stdout, "console target did not start\n");
            std::exit(1);
        }
        return target;
    });
}

void BM_RawWrite(benchmark::State& state) {
    const auto size = static_cast<std::size_t>(state.range(0));
    const int threads = static_cast<int>(state.range(1));
    const int records = records_for(size);
    const std::string path = scratch().dir + "/raw.log";
    reset_peak_rss();
    for (auto _ : state) {
        state.PauseTiming();
        std::remove(path.c_str());
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0664);
        if (fd < 0) {
            state.SkipWithError("cannot open the raw file");
            return;
        }
        state.ResumeTiming();
        run_producers(threads, records, [&](int t, int i) {
            std::ostringstream text = compose(size, t, i);
            std::string_view view = text.view();
            benchmark::DoNotOptimize(::write(fd, view.data(), view.size()));
        });
        close(fd);
    }
    set_rates(state, records, size);
}

// Sizes at one producer, then 1 to 8 producers at 100 bytes.
void workloads(benchmark::internal::Benchmark* b) {
    b->ArgNames({"size", "threads"});
    for (int size : {16, 100, 1024, 16384}) {
        b->Args({size, 1});
    }
    for (int threads : {2, 4, 8}) {
        b->Args({100, threads});
    }
    b->UseRealTime()->Unit(benchmark::kMillisecond)->MinTime(0.3);
}

// The queue and worker alone: a target whose write only counts, so the
// figure is the hand-over and the worker's cycle without any I/O.
class CountingTarget : public zvk::Target {
public:
    CountingTarget() : Target("counting", CONSOLE_TARGET) {}
    ~CountingTarget() override { shutdown(); }
    void write_msg(zvk::Message* message) override {
        benchmark::DoNotOptimize(message->text.view().size());
        retire(message);
    }
};

void BM_Counting(benchmark::State& state) {
    end_to_end(state, []() -> std::unique_ptr<zvk::Target> {
        auto target = std::make_unique<CountingTarget>();
        if (target->start(nullptr) != 0) {
            std::fprintf(stdout, "counting target did not start\n");
            std::exit(1);
        }
        return target;
    });
}

BENCHMARK(BM_Counting)
    ->ArgNames({"size", "threads"})
    ->Args({100, 1})
    ->Args({100, 2})
    ->Args({100, 4})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond)
    ->MinTime(0.3);
BENCHMARK(BM_RawWrite)->Apply(workloads);
BENCHMARK(BM_File)->Apply(workloads);
BENCHMARK(BM_Console)->Apply(workloads);

// One rotation with the default retention: rename, reopen, and from the
// fifth on the removal of the oldest rotated file.
void BM_FileRotation(benchmark::State& state) {
    zvk::VornService::get_service()->log_dir = scratch().dir;
    auto config = std::make_unique<zvk::VornConfig>();
    config->targets["rotate"] = new zvk::VornConfig::target_cf_t{
        "rotate", "file", {{"file_name", "rotate.log"}, {"max_number_file", "5"}}};
    zvk::FileLog log("rotate");
    if (log.init(config.get()) != 1) {
        state.SkipWithError("file target did not initialise");
        return;
    }
    for (auto _ : state) {
        if (log.rotate_file() != 0) {
            state.SkipWithError("rotation failed");
            break;
        }
    }
}
BENCHMARK(BM_FileRotation)->Unit(benchmark::kMicrosecond);

}  // namespace

int main(int argc, char** argv) {
    if (!silence_stderr()) {
        return 1;
    }
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
