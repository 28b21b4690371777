// Thread start-up with the library in use: the time to start and join a
// thread that logs one record and one more from a thread-local destructor
// (after what its first record made for it is gone), after N such threads
// came and went. A thread takes its read slot and gives it back in
// constant time, so the figure stays flat as N grows.
#include <benchmark/benchmark.h>

#include <fstream>
#include <sstream>
#include <string>
#include <thread>

#include "support.h"
#include "zvk/Vorn.h"
#include "zvk/VornInit.h"

namespace {

using namespace zvk::bench;

zvk::Vorn* handle = nullptr;

struct LogsAtEnd {
    ~LogsAtEnd() { handle->log(std::ostringstream("end\n"), zvk::Vorn::INFO); }
};

void one_thread() {
    std::thread([] {
        // Made before the first record: destroyed after what it made.
        static thread_local LogsAtEnd at_end;
        benchmark::DoNotOptimize(&at_end);
        handle->log(std::ostringstream("start\n"), zvk::Vorn::INFO);
    }).join();
}

void BM_ThreadStartAfter(benchmark::State& state) {
    static long ran = 0;
    if (handle == nullptr) {
        const std::string path = scratch().dir + "/threads.xml";
        std::ofstream(path) << "<vorn><log_dir>" << scratch().dir
                            << "</log_dir><target name=\"f\"><type>file</type>"
                               "<file_name>threads.log</file_name>"
                               "<max_number_file>2</max_number_file></target>"
                               "<logger name=\"app\"><target>f</target>"
                               "<accept_level>INFO</accept_level></logger></vorn>\n";
        zvk::VornInit::load_config(path);
        handle = new zvk::Vorn("app", 0);
    }
    // The arguments ascend: the threads of earlier runs count.
    for (; ran < state.range(0); ++ran) {
        one_thread();
    }
    for (auto _ : state) {
        one_thread();
    }
    ran += static_cast<long>(state.iterations());
    state.counters["threads_before"] = static_cast<double>(state.range(0));
}
BENCHMARK(BM_ThreadStartAfter)->Arg(0)->Arg(20000)->Arg(100000)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
