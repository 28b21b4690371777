// The log statement as each library's user writes it, with each library's
// default record layout (a time stamp, the level, the message):
//   vorn-log   VORN_LOG(h, INFO, "order " << id << " filled at " << ...)
//   vorn-logf  VORN_LOGF(h, INFO, "order {} filled at {:.2f} ...", ...)
//   spd-info   logger->info("order {} filled at {:.2f} ...", ...) on spdlog's
//              asynchronous logger (default queue, basic file sink)
//   vorn-fresh VORN_LOG as it was before the thread's stream was reused: a
//              new std::ostringstream per statement (the stamp is cached)
// Both libraries with their defaults, writing to a file in the scratch
// directory. Each run in a process of its own; 1, 2 and 4 producers, three
// rounds in rotating order, medians: the call's median and p99 on the
// calling thread, records/s end to end (first call until every record is
// written), and the process's peak resident memory.
// Usage: idiom_spdlog [records]
#include <spdlog/async.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/spdlog.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"
#include "zvk/Vorn.h"
#include "zvk/VornFormat.h"
#include "zvk/VornInit.h"

namespace {

using namespace zvk::bench;

enum Mode { VORN_LOG_MODE, VORN_LOGF_MODE, SPD_INFO, VORN_FRESH };
constexpr int kModes = 4;
constexpr std::array<const char*, kModes> kModeNames = {"vorn-log", "vorn-logf", "spd-info",
                                                        "vorn-fresh"};

struct Result {
    double rate = 0;  // records/s end to end
    double call = 0;  // median ns of the statement
    double call_p99 = 0;
    double peak_mb = 0;
};

Result run(Mode mode, int records, int threads) {
    const std::string dir = scratch().dir + "/" + kModeNames[mode];
    std::filesystem::create_directories(dir);
    if (chdir(dir.c_str()) != 0) {
        std::exit(1);
    }
    std::vector<std::vector<std::uint64_t>> call_ticks(threads);
    for (auto& ticks_of_thread : call_ticks) {
        ticks_of_thread.reserve(records / threads + 1);
    }
    zvk::Vorn handle;
    std::shared_ptr<spdlog::logger> spd;
    if (mode == SPD_INFO) {
        spd = spdlog::basic_logger_mt<spdlog::async_factory>("app", "app.log", true);
    } else {
        std::ofstream("vorn_config.xml")
            << "<vorn><log_dir>logs</log_dir><target name=\"f\"><type>file</type>"
               "<file_name>app.log</file_name><max_number_file>-1</max_number_file></target>"
               "<logger name=\"app\"><target>f</target>"
               "<accept_level>INFO</accept_level></logger></vorn>\n";
        handle = zvk::Vorn("app", 0);
    }
    const double price = 124.25;
    const int quantity = 103;
    const char* venue = "XNAS-primary";
    const auto t0 = std::chrono::steady_clock::now();
    run_producers(threads, records, [&](int t, int i) {
        const int id = 1000000 + i;
        const std::uint64_t c0 = ticks();
        if (mode == VORN_LOG_MODE) {
            VORN_LOG(handle, INFO,
                     "order " << id << " filled at " << price << " qty " << quantity << " venue "
                              << venue << " thread " << t);
        } else if (mode == VORN_LOGF_MODE) {
            VORN_LOGF(handle, INFO, "order {} filled at {:.2f} qty {} venue {} thread {}", id,
                      price, quantity, venue, t);
        } else if (mode == VORN_FRESH) {
            std::ostringstream text;
            text << handle.stamp() << " INFO order " << id << " filled at " << price << " qty "
                 << quantity << " venue " << venue << " thread " << t << '\n';
            handle.log(std::move(text), zvk::Vorn::INFO, __FILE__, __LINE__, __func__);
        } else {
            spd->info("order {} filled at {:.2f} qty {} venue {} thread {}", id, price, quantity,
                      venue, t);
        }
        call_ticks[t].push_back(ticks() - c0);
    });
    if (mode == SPD_INFO) {
        // The pool's destructor works through the queue and joins its thread.
        spd->flush();
        spd.reset();
        spdlog::shutdown();
    } else {
        zvk::VornInit::reset_vorn_state();
    }
    const std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - t0;
    std::vector<std::uint64_t> all;
    for (auto& ticks_of_thread : call_ticks) {
        all.insert(all.end(), ticks_of_thread.begin(), ticks_of_thread.end());
    }
    const Percentiles calls = percentiles(all);
    return {records / elapsed.count(), calls.p50, calls.p99,
            static_cast<double>(peak_rss_bytes()) / (1 << 20)};
}

Result run_apart(Mode mode, int records, int threads) {
    int fds[2];
    if (pipe(fds) != 0) {
        std::exit(1);
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const Result result = run(mode, records, threads);
        [[maybe_unused]] ssize_t n = write(fds[1], &result, sizeof result);
        _exit(0);
    }
    close(fds[1]);
    Result result;
    if (read(fds[0], &result, sizeof result) != static_cast<ssize_t>(sizeof result)) {
        std::printf("%s run failed\n", kModeNames[mode]);
    }
    close(fds[0]);
    waitpid(pid, nullptr, 0);
    std::filesystem::remove_all(scratch().dir + "/" + kModeNames[mode]);
    return result;
}

double median_of(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void report(int records, int threads) {
    constexpr int kRounds = 3;
    std::array<std::vector<Result>, kModes> results;
    for (int round = 0; round < kRounds; ++round) {
        for (int k = 0; k < kModes; ++k) {
            const Mode mode = static_cast<Mode>((round + k) % kModes);
            results[mode].push_back(run_apart(mode, records, threads));
        }
    }
    std::printf("\neach library's idiom and default layout, %d records, %d producer(s)\n", records,
                threads);
    std::printf("  %-10s %12s %12s %12s %12s\n", "", "records/s", "call ns", "call p99", "peak MB");
    std::array<Result, kModes> m;
    for (int k = 0; k < kModes; ++k) {
        std::vector<double> r, c, p99, peak;
        for (const Result& result : results[k]) {
            r.push_back(result.rate);
            c.push_back(result.call);
            p99.push_back(result.call_p99);
            peak.push_back(result.peak_mb);
        }
        m[k] = {median_of(r), median_of(c), median_of(p99), median_of(peak)};
        std::printf("  %-10s %12.0f %12.0f %12.0f %12.1f\n", kModeNames[k], m[k].rate, m[k].call,
                    m[k].call_p99, m[k].peak_mb);
    }
    const Result& spd = m[SPD_INFO];
    for (int k : {VORN_LOG_MODE, VORN_LOGF_MODE, VORN_FRESH}) {
        std::printf("  %s / spd-info: call %.2f  p99 %.2f  rate %.2f  peak %.2f\n", kModeNames[k],
                    m[k].call / spd.call, m[k].call_p99 / spd.call_p99, m[k].rate / spd.rate,
                    m[k].peak_mb / spd.peak_mb);
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const int records = argc > 1 ? std::atoi(argv[1]) : 1000000;
    // Before the first fork: every run works in this one directory.
    scratch();
    std::fflush(stdout);
    for (int threads : {1, 2, 4}) {
        report(records, threads);
    }
    return 0;
}
