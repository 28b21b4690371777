// Records per second through a started file target against a raw loop that
// composes the same text and writes it with one write() per record, with
// 1, 2 and 4 producer threads; and the cost of one rotation.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "zvk/FileLog.h"
#include "zvk/Message.h"
#include "zvk/VornConfig.h"
#include "zvk/VornService.h"

namespace {

constexpr int kRecordsPerRound = 20000;

// A scratch directory for the whole run, removed at exit.
struct Scratch {
    Scratch() {
        const char* base = std::getenv("TMPDIR");
        std::string templ =
            std::string(base != nullptr && *base != '\0' ? base : "/tmp") + "/zvk-bench-XXXXXX";
        if (mkdtemp(templ.data()) != nullptr) {
            dir = templ;
        }
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string dir;
};

Scratch& scratch() {
    static Scratch s;
    return s;
}

std::unique_ptr<zvk::VornConfig> config_for(const std::string& file_name, const std::string& max) {
    auto config = std::make_unique<zvk::VornConfig>();
    config->targets["bench"] = new zvk::VornConfig::target_cf_t{
        "bench", "file", {{"file_name", file_name}, {"max_number_file", max}}};
    return config;
}

// The same text in both loops: about 100 bytes, composed in a stream.
std::ostringstream compose(int thread, int i) {
    std::ostringstream out;
    out << "03-15-2026 12:00:00.123456 GMT INFO bench thread " << thread << " record " << i
        << " payload abcdefghijklmnopqrstuvwxyz\n";
    return out;
}

void run_producers(int threads, const auto& produce) {
    std::vector<std::thread> producers;
    for (int t = 0; t < threads; ++t) {
        producers.emplace_back([&, t] {
            for (int i = 0; i < kRecordsPerRound / threads; ++i) {
                produce(t, i);
            }
        });
    }
    for (auto& p : producers) {
        p.join();
    }
}

void BM_FileLogRecords(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    zvk::VornService::get_service()->log_dir = scratch().dir;
    auto config = config_for("target.log", "-1");
    auto log = std::make_unique<zvk::FileLog>("bench");
    if (log->start(config.get()) != 0) {
        state.SkipWithError("file target did not start");
        return;
    }
    for (auto _ : state) {
        run_producers(threads, [&](int t, int i) { log->log(new zvk::Message(compose(t, i), 5)); });
        // The worker wakes everyone after each record; an empty queue under
        // the mutex means the last record is in the file.
        std::unique_lock lock(log->mutex);
        log->cond.wait(lock, [&] { return log->queue.empty(); });
        lock.unlock();
        state.PauseTiming();
        [[maybe_unused]] int rc = ftruncate(log->fd, 0);
        state.ResumeTiming();
    }
    state.SetItemsProcessed(state.iterations() * kRecordsPerRound);
}
BENCHMARK(BM_FileLogRecords)->Arg(1)->Arg(2)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);

void BM_RawWriteRecords(benchmark::State& state) {
    const int threads = static_cast<int>(state.range(0));
    std::string path = scratch().dir + "/raw.log";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0664);
    if (fd < 0) {
        state.SkipWithError("cannot open the raw file");
        return;
    }
    for (auto _ : state) {
        run_producers(threads, [&](int t, int i) {
            std::ostringstream text = compose(t, i);
            std::string_view view = text.view();
            benchmark::DoNotOptimize(::write(fd, view.data(), view.size()));
        });
        state.PauseTiming();
        [[maybe_unused]] int rc = ftruncate(fd, 0);
        state.ResumeTiming();
    }
    close(fd);
    state.SetItemsProcessed(state.iterations() * kRecordsPerRound);
}
BENCHMARK(BM_RawWriteRecords)->Arg(1)->Arg(2)->Arg(4)->UseRealTime()->Unit(benchmark::kMillisecond);

// One rotation with the default retention: rename, reopen, and from the
// fifth on the removal of the oldest rotated file.
void BM_FileLogRotation(benchmark::State& state) {
    zvk::VornService::get_service()->log_dir = scratch().dir;
    auto config = config_for("rotate.log", "5");
    zvk::FileLog log("bench");
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
BENCHMARK(BM_FileLogRotation)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
