// Side by side with spdlog's asynchronous logger, one run, repetitions
// interleaved (the order rotates each round), writing identical bytes to a
// file on the same file system:
//   vorn      a file target: one write() per record, straight to the kernel
//   spd-buf   spdlog's default: stdio-buffered file sink
//   spd-flush spdlog flushing after every record (flush_on(trace)): one
//             write() per record, the same durability as vorn
//   raw       compose and write() in the producer: the ceiling
// Hand-over: each call timed on its own, text composed before the clock
// starts; bursts of 4000 records (below spdlog's queue of 8192, so that
// neither side waits for queue space) while the worker writes.
// End to end: records/s from the first record until the logger is shut down
// and everything is written.
#include <spdlog/async.h>
#include <spdlog/async_logger.h>
#include <spdlog/pattern_formatter.h>
#include <spdlog/sinks/basic_file_sink.h>
#include <spdlog/version.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "support.h"
#include "zvk/FileLog.h"
#include "zvk/Logger.h"
#include "zvk/Message.h"
#include "zvk/Vorn.h"
#include "zvk/VornService.h"

namespace {

using namespace zvk::bench;

enum Mode { VORN, SPD_BUF, SPD_FLUSH, RAW };
constexpr std::array<const char*, 4> kModeNames = {"vorn", "spd-buf", "spd-flush", "raw"};

std::string path_for(Mode mode) { return scratch().dir + "/" + kModeNames[mode] + ".log"; }

// One logger of a mode, from creation until everything is written.
class Sink {
public:
    explicit Sink(Mode mode) : mode(mode) {
        std::string path = path_for(mode);
        std::remove(path.c_str());
        if (mode == VORN) {
            auto config = file_config("cmp", std::string(kModeNames[mode]) + ".log");
            target = std::make_unique<zvk::FileLog>("cmp");
            if (target->start(config.get()) != 0) {
                std::printf("file target did not start\n");
                std::exit(1);
            }
            logger = std::make_unique<zvk::Logger>("cmp", target.get(), zvk::Logger::INFO);
            handle.logger = logger.get();
            handle.level = zvk::Vorn::INFO;
        } else if (mode == RAW) {
            fd = open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0664);
        } else {
            pool = std::make_shared<spdlog::details::thread_pool>(
                spdlog::details::default_async_q_size, 1);
            auto sink = std::make_shared<spdlog::sinks::basic_file_sink_mt>(path, true);
            spd = std::make_shared<spdlog::async_logger>("cmp", std::move(sink), pool,
                                                         spdlog::async_overflow_policy::block);
            // The text is passed whole, line end included: nothing is added.
            spd->set_formatter(std::make_unique<spdlog::pattern_formatter>(
                "%v", spdlog::pattern_time_type::local, ""));
            spd->set_level(spdlog::level::trace);
            if (mode == SPD_FLUSH) {
                spd->flush_on(spdlog::level::trace);
            }
        }
    }

    void log(std::ostringstream&& text) {
        switch (mode) {
            case VORN:
                handle.log(std::move(text), zvk::Vorn::INFO);
                break;
            case RAW: {
                std::string_view view = text.view();
                [[maybe_unused]] ssize_t n = ::write(fd, view.data(), view.size());
                break;
            }
            default: {
                std::string_view view = text.view();
                spd->log(spdlog::level::info, spdlog::string_view_t(view.data(), view.size()));
            }
        }
    }

    // Returns when every record is in the file.
    void finish() {
        if (mode == VORN) {
            handle.logger = nullptr;
            logger.reset();
            target.reset();
        } else if (mode == RAW) {
            close(fd);
        } else {
            spd->flush();
            // The pool's destructor lets its thread work off the queue and
            // joins it; the sink closes the file with the last reference.
            pool.reset();
            spd.reset();
        }
    }

private:
    Mode mode;
    std::unique_ptr<zvk::FileLog> target;
    std::unique_ptr<zvk::Logger> logger;
    zvk::Vorn handle;
    int fd = -1;
    std::shared_ptr<spdlog::details::thread_pool> pool;
    std::shared_ptr<spdlog::async_logger> spd;
};

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

// Rotates the order of `modes` by the round, so that no mode always runs
// right after another.
std::vector<Mode> rotated(const std::vector<Mode>& modes, int round) {
    std::vector<Mode> order(modes);
    std::rotate(order.begin(), order.begin() + round % static_cast<int>(order.size()), order.end());
    return order;
}

void hand_over(int threads, int rounds) {
    constexpr int kBurst = 4000;
    const std::vector<Mode> modes = {VORN, SPD_BUF, SPD_FLUSH};
    std::map<Mode, std::vector<std::uint64_t>> samples;
    for (int round = 0; round < rounds; ++round) {
        for (Mode mode : rotated(modes, round)) {
            Sink sink(mode);
            std::vector<std::vector<std::uint64_t>> per_thread(threads);
            for (auto& v : per_thread) {
                v.reserve(kBurst / threads + 1);
            }
            run_producers(threads, kBurst, [&](int t, int i) {
                std::ostringstream text = compose(100, t, i);
                std::uint64_t t0 = ticks();
                sink.log(std::move(text));
                per_thread[t].push_back(ticks() - t0);
            });
            sink.finish();
            for (auto& v : per_thread) {
                samples[mode].insert(samples[mode].end(), v.begin(), v.end());
            }
        }
    }
    std::printf("\nhand-over, 100-byte records, %d thread(s), %d x %d calls, ns per call\n",
                threads, rounds, kBurst);
    std::printf("  %-10s %8s %8s %8s %9s\n", "", "median", "p99", "p99.9", "max");
    std::map<Mode, Percentiles> p;
    for (Mode mode : modes) {
        p[mode] = percentiles(samples[mode]);
        std::printf("  %-10s %8.0f %8.0f %8.0f %9.0f\n", kModeNames[mode], p[mode].p50, p[mode].p99,
                    p[mode].p999, p[mode].max);
    }
    for (Mode peer : {SPD_BUF, SPD_FLUSH}) {
        std::printf("  vorn / %-9s median %.2f  p99 %.2f  p99.9 %.2f\n", kModeNames[peer],
                    p[VORN].p50 / p[peer].p50, p[VORN].p99 / p[peer].p99,
                    p[VORN].p999 / p[peer].p999);
    }
}

void end_to_end(std::size_t size, int threads, int rounds) {
    const int records = records_for(size);
    const std::vector<Mode> modes = {RAW, VORN, SPD_BUF, SPD_FLUSH};
    std::map<Mode, std::vector<double>> rates;
    for (int round = 0; round < rounds; ++round) {
        for (Mode mode : rotated(modes, round)) {
            auto t0 = std::chrono::steady_clock::now();
            Sink sink(mode);
            run_producers(threads, records, [&](int t, int i) { sink.log(compose(size, t, i)); });
            sink.finish();
            std::chrono::duration<double> elapsed = std::chrono::steady_clock::now() - t0;
            rates[mode].push_back(records / elapsed.count());
        }
    }
    std::printf("\nend to end, %zu-byte records, %d thread(s), %d records, median of %d\n", size,
                threads, records, rounds);
    std::map<Mode, double> m;
    for (Mode mode : modes) {
        m[mode] = median(rates[mode]);
        std::printf("  %-10s %10.0f records/s\n", kModeNames[mode], m[mode]);
    }
    std::printf("  vorn / raw %.2f  vorn / spd-flush %.2f  vorn / spd-buf %.2f\n", m[VORN] / m[RAW],
                m[VORN] / m[SPD_FLUSH], m[VORN] / m[SPD_BUF]);
    if (threads == 1) {
        // One producer: the same records in the same order in every file.
        std::string vorn = read_all(path_for(VORN));
        bool same = vorn == read_all(path_for(SPD_BUF)) && vorn == read_all(path_for(SPD_FLUSH)) &&
                    vorn == read_all(path_for(RAW));
        std::printf("  files identical: %s (%zu bytes)\n", same ? "yes" : "NO", vorn.size());
    }
}

}  // namespace

int main(int argc, char** argv) {
    // "quick": fewer rounds, for a smoke run.
    bool quick = argc > 1 && std::string(argv[1]) == "quick";
    zvk::VornService::get_service()->log_dir = scratch().dir;
    std::printf("vorn against spdlog %d.%d.%d (async, one worker, queue %zu)\n", SPDLOG_VER_MAJOR,
                SPDLOG_VER_MINOR, SPDLOG_VER_PATCH, spdlog::details::default_async_q_size);
    for (int threads : {1, 2, 4}) {
        hand_over(threads, quick ? 3 : 25);
    }
    const int rounds = quick ? 1 : 3;
    end_to_end(100, 1, rounds);
    end_to_end(100, 4, rounds);
    end_to_end(16, 1, rounds);
    end_to_end(1024, 1, rounds);
    end_to_end(16384, 1, rounds);
    return 0;
}
