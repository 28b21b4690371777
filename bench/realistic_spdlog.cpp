// The pattern applications use, measured as an outside user would: each
// record composed in a fresh std::ostringstream with setfill/setw number
// fields, every call timed, 1,000,000 records of about 100 bytes, and each
// logger in a process of its own (forked per run), so that what one sets up
// (the library's global locale, its threads) cannot slow another:
//   raw        compose, then write() in the producer
//   vorn       a handle of a service loaded from vorn_config.xml (defaults,
//              unbounded queue)
//   vorn-8192  the same with <queue_max>8192</queue_max> (block), the size
//              of spdlog's queue
//   vorn-C     vorn with <locale>C</locale>: the process keeps the classic
//              global locale, as in the other modes' processes, where a
//              named one makes every stream's construction take a
//              process-wide lock
//   vorn-json  vorn with <format>json</format>: the worker renders each
//              record as a JSON line (about twice the bytes) before writing
//   vorn-zstd  vorn with <compress>zstd</compress>, <rotate_every>1m</rotate_every>
//              and a 16 MiB size limit: rotated files are compressed on
//              the target's own thread while the producers log
//   spd-buf    spdlog's asynchronous logger with its default buffered file
//              sink
//   spd-flush  the same flushing after every record
//   ceiling    one thread whatever the producer count, composing the same
//              records into a buffer of its own and writing it 64 KiB at a
//              time: what composing and writing these bytes costs at best
// With 1, 2 and 4 producers, five rounds in rotating order, medians; per
// mode records/s end to end, the median compose, the median and p99.9 of
// the call (for the ceiling, the copy into its buffer and every 64 KiB its
// write), and the peak resident memory of the run's process. Printed first:
// what one write(2) of a 100-byte record costs on the scratch file system.
// Usage: realistic_spdlog [records] [locale]  (locale: the service's
// <locale> element; default none, the environment's)
#include <fcntl.h>
#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iomanip>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "support.h"
#include "zvk/Vorn.h"
#include "zvk/VornInit.h"

namespace {

using namespace zvk::bench;

enum Mode {
    RAW,
    VORN,
    VORN_BOUNDED,
    VORN_CLASSIC,
    VORN_JSON,
    VORN_ZSTD,
    SPD_BUF,
    SPD_FLUSH,
    CEILING
};
constexpr int kModes = 9;
constexpr std::array<const char*, kModes> kModeNames = {"raw",     "vorn",      "vorn-8192",
                                                        "vorn-C",  "vorn-json", "vorn-zstd",
                                                        "spd-buf", "spd-flush", "ceiling"};
constexpr std::size_t kCeilingChunk = 64 << 10;

std::ostringstream compose(int seq) {
    std::ostringstream out;
    out << "12-07-2026 " << std::setfill('0') << std::setw(2) << seq / 3600000 % 24 << ':'
        << std::setw(2) << seq / 60000 % 60 << ':' << std::setw(2) << seq / 1000 % 60 << '.'
        << std::setw(6) << seq % 1000000 << " GMT INFO request " << std::setw(8) << seq
        << " served in " << std::setw(5) << seq % 99991 << " us by worker " << std::setw(2)
        << seq % 16 << " status ok\n";
    return out;
}

struct Result {
    double rate = 0;       // records/s, first record until everything is written
    double compose = 0;    // median ns to compose a record
    double call = 0;       // median ns of the logging call
    double call_p999 = 0;  // its 99.9th percentile
    double peak_mb = 0;    // the process's peak resident memory
};

// One run in this process: compose and log `records` from `threads`
// producers, time each step.
Result run(Mode mode, int records, int threads, const std::string& locale) {
    std::string dir = scratch().dir + "/" + kModeNames[mode];
    std::filesystem::create_directories(dir);
    if (chdir(dir.c_str()) != 0) {
        std::exit(1);
    }
    // The ceiling has no hand-over, so more threads would only contend for
    // its one buffer.
    if (mode == CEILING) {
        threads = 1;
    }
    std::vector<std::vector<std::uint64_t>> compose_ticks(threads);
    std::vector<std::vector<std::uint64_t>> call_ticks(threads);
    for (int t = 0; t < threads; ++t) {
        compose_ticks[t].reserve(records / threads + 1);
        call_ticks[t].reserve(records / threads + 1);
    }
    const bool to_vorn = mode == VORN || mode == VORN_BOUNDED || mode == VORN_CLASSIC ||
                         mode == VORN_JSON || mode == VORN_ZSTD;
    const bool to_spdlog = mode == SPD_BUF || mode == SPD_FLUSH;
    int fd = -1;
    std::vector<char> chunk;
    std::size_t filled = 0;
    zvk::Vorn handle;
    std::shared_ptr<spdlog::details::thread_pool> pool;
    std::shared_ptr<spdlog::async_logger> spd;
    if (to_vorn) {
        std::ofstream("vorn_config.xml")
            << "<vorn><log_dir>logs</log_dir><file_size_max>" << (mode == VORN_ZSTD ? "16M" : "1G")
            << "</file_size_max>"
            << (mode == VORN_CLASSIC ? "<locale>C</locale>"
                : locale.empty()     ? ""
                                     : "<locale>" + locale + "</locale>")
            << "<target name=\"f\"><type>file</type><file_name>app.log</file_name>"
            << (mode == VORN_BOUNDED ? "<queue_max>8192</queue_max>" : "")
            << (mode == VORN_JSON ? "<format>json</format>" : "")
            << (mode == VORN_ZSTD ? "<compress>zstd</compress><rotate_every>1m</rotate_every>" : "")
            << "<max_number_file>-1</max_number_file></target>"
               "<logger name=\"app\"><target>f</target><accept_level>INFO</accept_level>"
               "</logger></vorn>\n";
        handle = zvk::Vorn("app", 0);
    } else if (to_spdlog) {
        pool = std::make_shared<spdlog::details::thread_pool>(spdlog::details::default_async_q_size,
                                                              1);
        auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>("app.log", true);
        spd = std::make_shared<spdlog::async_logger>("app", std::move(sink), pool,
                                                     spdlog::async_overflow_policy::block);
        spd->set_formatter(std::make_unique<spdlog::pattern_formatter>(
            "%v", spdlog::pattern_time_type::local, ""));
        if (mode == SPD_FLUSH) {
            spd->flush_on(spdlog::level::trace);
        }
    } else {
        fd = open("app.log", O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0664);
        if (mode == CEILING) {
            chunk.resize(kCeilingChunk);
        }
    }
    auto t0 = std::chrono::steady_clock::now();
    run_producers(threads, records, [&](int t, int i) {
        std::uint64_t c0 = ticks();
        std::ostringstream text = compose(i);
        std::uint64_t c1 = ticks();
        if (to_vorn) {
            handle.log(std::move(text), zvk::Vorn::INFO);
        } else if (to_spdlog) {
            std::string_view view = text.view();
            spd->log(spdlog::level::info, spdlog::string_view_t(view.data(), view.size()));
        } else if (mode == RAW) {
            std::string_view view = text.view();
            [[maybe_unused]] ssize_t n = ::write(fd, view.data(), view.size());
        } else {
            // Whole 64 KiB writes, a record split across two of them where it
            // falls on the boundary, as a buffered writer does.
            std::string_view view = text.view();
            while (!view.empty()) {
                std::size_t part = std::min(view.size(), kCeilingChunk - filled);
                std::copy_n(view.data(), part, chunk.data() + filled);
                filled += part;
                view.remove_prefix(part);
                if (filled == kCeilingChunk) {
                    [[maybe_unused]] ssize_t n = ::write(fd, chunk.data(), filled);
                    filled = 0;
                }
            }
        }
        std::uint64_t c2 = ticks();
        compose_ticks[t].push_back(c1 - c0);
        call_ticks[t].push_back(c2 - c1);
    });
    if (to_vorn) {
        zvk::VornInit::reset_vorn_state();
    } else if (to_spdlog) {
        // flush() only queues a flush; the pool's destructor lets its thread
        // work through the queue, that flush included, and joins it.
        spd->flush();
        pool.reset();
        spd.reset();
    } else {
        if (filled > 0) {
            [[maybe_unused]] ssize_t n = ::write(fd, chunk.data(), filled);
        }
        close(fd);
    }
    std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - t0;
    std::vector<std::uint64_t> all_compose;
    std::vector<std::uint64_t> all_calls;
    for (int t = 0; t < threads; ++t) {
        all_compose.insert(all_compose.end(), compose_ticks[t].begin(), compose_ticks[t].end());
        all_calls.insert(all_calls.end(), call_ticks[t].begin(), call_ticks[t].end());
    }
    Percentiles calls = percentiles(all_calls);
    return {records / elapsed.count(), percentiles(all_compose).p50, calls.p50, calls.p999,
            static_cast<double>(peak_rss_bytes()) / (1 << 20)};
}

// Runs `mode` in a child process and reads its result back.
Result run_apart(Mode mode, int records, int threads, const std::string& locale) {
    int fds[2];
    if (pipe(fds) != 0) {
        std::exit(1);
    }
    pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        Result result = run(mode, records, threads, locale);
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
    // The next run's file should not have to wait for this one's writeback.
    std::filesystem::remove_all(scratch().dir + "/" + kModeNames[mode]);
    return result;
}

// The median of single write(2) calls of a 100-byte record to a file in the
// scratch directory, in ns, clock reading included as in the table's calls:
// the unit a one-write-per-record logger pays on its writing thread.
double write_cost_ns() {
    std::string path = scratch().dir + "/write-cost.log";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0664);
    if (fd < 0) {
        return 0;
    }
    const std::string record = std::string(99, 'x') + '\n';
    std::vector<std::uint64_t> samples(200000);
    for (auto& sample : samples) {
        std::uint64_t c0 = ticks();
        [[maybe_unused]] ssize_t n = ::write(fd, record.data(), record.size());
        sample = ticks() - c0;
    }
    close(fd);
    std::filesystem::remove(path);
    return percentiles(samples).p50;
}

double median_of(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

void report(int records, int threads, const std::string& locale) {
    constexpr int kRounds = 5;
    std::map<Mode, std::vector<Result>> results;
    for (int round = 0; round < kRounds; ++round) {
        for (int k = 0; k < kModes; ++k) {
            Mode mode = static_cast<Mode>((round + k) % kModes);
            results[mode].push_back(run_apart(mode, records, threads, locale));
        }
    }
    std::printf(
        "\nrealistic pattern: fresh stream with setfill/setw, %d records, %d producer(s), "
        "one process per run, median of %d; service locale %s; ceiling on one thread\n",
        records, threads, kRounds, locale.empty() ? "(the environment's)" : locale.c_str());
    std::printf("  %-10s %12s %12s %12s %12s %12s\n", "", "records/s", "compose ns", "call ns",
                "call p99.9", "peak MB");
    std::map<Mode, Result> m;
    for (int k = 0; k < kModes; ++k) {
        Mode mode = static_cast<Mode>(k);
        std::vector<double> r, c, l, q, p;
        for (const Result& result : results[mode]) {
            r.push_back(result.rate);
            c.push_back(result.compose);
            l.push_back(result.call);
            q.push_back(result.call_p999);
            p.push_back(result.peak_mb);
        }
        m[mode] = {median_of(r), median_of(c), median_of(l), median_of(q), median_of(p)};
        std::printf("  %-10s %12.0f %12.0f %12.0f %12.0f %12.1f\n", kModeNames[mode], m[mode].rate,
                    m[mode].compose, m[mode].call, m[mode].call_p999, m[mode].peak_mb);
    }
    std::printf(
        "  vorn / spd-buf %.2f  vorn / raw %.2f  vorn / spd-flush %.2f  vorn / ceiling %.2f  "
        "call p50 vorn / spd-buf %.2f  call p99.9 vorn / spd-buf %.2f  peak vorn / spd-buf %.2f  "
        "peak vorn-8192 / spd-buf %.2f\n"
        "  compose vorn / spd-buf %.2f  compose vorn-C / spd-buf %.2f  vorn-C / ceiling %.2f  "
        "vorn-json / vorn %.2f  call p50 vorn-json / vorn %.2f\n"
        "  vorn-zstd / vorn %.2f  call p50 vorn-zstd / vorn %.2f\n",
        m[VORN].rate / m[SPD_BUF].rate, m[VORN].rate / m[RAW].rate,
        m[VORN].rate / m[SPD_FLUSH].rate, m[VORN].rate / m[CEILING].rate,
        m[VORN].call / m[SPD_BUF].call, m[VORN].call_p999 / m[SPD_BUF].call_p999,
        m[VORN].peak_mb / m[SPD_BUF].peak_mb, m[VORN_BOUNDED].peak_mb / m[SPD_BUF].peak_mb,
        m[VORN].compose / m[SPD_BUF].compose, m[VORN_CLASSIC].compose / m[SPD_BUF].compose,
        m[VORN_CLASSIC].rate / m[CEILING].rate, m[VORN_JSON].rate / m[VORN].rate,
        m[VORN_JSON].call / m[VORN].call, m[VORN_ZSTD].rate / m[VORN].rate,
        m[VORN_ZSTD].call / m[VORN].call);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    const int records = argc > 1 ? std::atoi(argv[1]) : 1000000;
    const std::string locale = argc > 2 ? argv[2] : "";
    // Made before the first fork, so that every run works in this one
    // directory, which goes at exit; a child leaves through _exit and would
    // leave a directory of its own behind.
    scratch();
    // Flushed before the first fork, and after each table, so that a pipe
    // shows the tables as they come and no child inherits unwritten output.
    std::printf("one write(2) of 100 bytes: %.0f ns\n", write_cost_ns());
    std::fflush(stdout);
    for (int threads : {1, 2, 4}) {
        report(records, threads, locale);
    }
    return 0;
}
