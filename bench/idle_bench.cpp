// What idle targets cost: the voluntary context switches (wakeups) of
// their workers per second, for plain targets and for file targets that
// rotate every hour, once each has written a record and settled.
#include <benchmark/benchmark.h>

#include <chrono>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support.h"
#include "zvk/FileLog.h"
#include "zvk/Target.h"
#include "zvk/VornConfig.h"
#include "zvk/VornService.h"

namespace {

using namespace zvk::bench;

// Voluntary context switches of each thread of this process, by id.
std::map<std::string, long> switches_by_thread() {
    std::map<std::string, long> switches;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
        std::ifstream status(entry.path() / "status");
        std::string line;
        while (std::getline(status, line)) {
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
                switches[entry.path().filename().string()] = std::stol(line.substr(24));
            }
        }
    }
    return switches;
}

long switches_since(const std::map<std::string, long>& before) {
    long total = 0;
    for (const auto& [task, count] : switches_by_thread()) {
        auto it = before.find(task);
        total += count - (it != before.end() ? it->second : 0);
    }
    return total;
}

class Discarding : public zvk::Target {
public:
    Discarding() : Target("idle", CONSOLE_TARGET) {}
    ~Discarding() override { shutdown(); }
    void write_msg(zvk::Message* message) override { retire(message); }
};

void BM_IdleWakeups(benchmark::State& state) {
    const int count = static_cast<int>(state.range(0));
    const bool timed = state.range(1) != 0;
    zvk::VornService::get_service()->log_dir = scratch().dir;
    std::vector<std::unique_ptr<zvk::Target>> targets;
    for (int i = 0; i < count; ++i) {
        if (timed) {
            zvk::VornConfig config;
            config.targets["file"] = new zvk::VornConfig::target_cf_t{
                "file",
                "file",
                {{"file_name", "idle" + std::to_string(i) + ".log"},
                 {"max_number_file", "-1"},
                 {"rotate_every", "1h"}}};
            targets.push_back(std::make_unique<zvk::FileLog>("file"));
            if (targets.back()->start(&config) != 0) {
                state.SkipWithError("file target did not start");
                return;
            }
        } else {
            targets.push_back(std::make_unique<Discarding>());
            targets.back()->start(nullptr);
        }
        targets.back()->log(std::ostringstream("a record\n"), 5);
        targets.back()->flush();
    }
    // Past the workers' first short naps.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    for (auto _ : state) {
        const auto before = switches_by_thread();
        const auto start = std::chrono::steady_clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        // The measuring thread's own sleep is one switch.
        state.counters["wakeups/s"] = static_cast<double>(switches_since(before) - 1) / seconds;
    }
    state.counters["targets"] = count;
}
BENCHMARK(BM_IdleWakeups)
    ->ArgNames({"targets", "timed"})
    ->Args({100, 0})
    ->Args({100, 1})
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
