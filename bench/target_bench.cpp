// Hand-over cost of Target::log: what a producer pays per record while a
// worker writes, from 1, 2 and 4 producer threads, onto the console target
// (standard error goes to /dev/null) and onto a target that only counts.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <mutex>
#include <sstream>
#include <utility>

#include "zvk/Message.h"
#include "zvk/Target.h"
#include "zvk/Vorn.h"

namespace {

class CountingTarget : public zvk::Target {
public:
    CountingTarget() : Target("counting", CONSOLE_TARGET) {}
    ~CountingTarget() override { shutdown(); }

    void write_msg(zvk::Message* message) override {
        ++written;
        delete message;
    }

    std::uint64_t written = 0;  // guarded by mutex: write_msg runs with it held
};

zvk::Target* console_target = nullptr;
CountingTarget* counting_target = nullptr;

zvk::Message* make_record() {
    std::ostringstream text;
    text << "12-06-2026 15:04:11.000250 GMT INFO benchmark record of ordinary length\n";
    return new zvk::Message(std::move(text), zvk::Vorn::INFO);
}

// Keeps the next run from starting behind a backlog of this one.
void wait_until_drained(zvk::Target& target) {
    std::unique_lock lock(target.mutex);
    target.cond.wait(lock, [&] { return target.queue.empty(); });
}

void log_onto(benchmark::State& state, zvk::Target& target) {
    for (auto _ : state) {
        target.log(make_record());
    }
    state.SetItemsProcessed(state.iterations());
    if (state.thread_index() == 0) {
        wait_until_drained(target);
    }
}

void BM_BuildRecord(benchmark::State& state) {
    for (auto _ : state) {
        zvk::Message* message = make_record();
        benchmark::DoNotOptimize(message);
        delete message;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BuildRecord);

void BM_LogConsole(benchmark::State& state) { log_onto(state, *console_target); }
BENCHMARK(BM_LogConsole)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();

void BM_LogCounting(benchmark::State& state) { log_onto(state, *counting_target); }
BENCHMARK(BM_LogCounting)->Threads(1)->Threads(2)->Threads(4)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    int null_fd = open("/dev/null", O_WRONLY);
    if (null_fd < 0 || dup2(null_fd, 2) < 0) {
        return 1;
    }
    close(null_fd);
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    console_target = new zvk::Target("console", zvk::Target::CONSOLE_TARGET);
    counting_target = new CountingTarget();
    if (console_target->start(nullptr) != 0 || counting_target->start(nullptr) != 0) {
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    delete counting_target;
    delete console_target;
    return 0;
}
