// Helpers shared by the benchmark programs: a scratch directory, record
// texts of a chosen size, a cycle counter for timing single calls, tail
// percentiles, memory figures and a counting operator new.
#pragma once

#include <fcntl.h>
#include <malloc.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <sstream>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

#include "zvk/VornConfig.h"

namespace zvk::bench {

// Heap allocations made by the current thread; counted by the replacement
// operator new that ZVK_BENCH_COUNT_ALLOCATIONS defines.
inline thread_local std::uint64_t allocations = 0;

// A scratch directory on the file system of TMPDIR (default /tmp), removed
// at exit. The file target and the raw loop both write there.
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

inline Scratch& scratch() {
    static Scratch s;
    return s;
}

// A file target's configuration: `file_name` in the service's log_dir, no
// retention limit.
inline std::unique_ptr<VornConfig> file_config(const std::string& target,
                                               const std::string& file_name) {
    auto config = std::make_unique<VornConfig>();
    config->targets[target] = new VornConfig::target_cf_t{
        target, "file", {{"file_name", file_name}, {"max_number_file", "-1"}}};
    return config;
}

// Composes a record of exactly `size` bytes (at least 16) the way an
// application does: stamp, level word, numbers and text through operator<<,
// and a line end.
inline std::ostringstream compose(std::size_t size, int thread, int seq) {
    static const std::string filler(16384, 'x');
    std::ostringstream out;
    out << "03-15-2026 12:00:00.123456 GMT INFO t" << thread << " r" << seq << ' ';
    // The prefix is no longer than 16 bytes for the smallest records.
    std::string_view head = out.view();
    if (size < 48) {
        out.str(std::string());
        out << 'T' << thread << 'r' << seq << ' ';
        head = out.view();
    }
    std::size_t fill = size > head.size() + 1 ? size - head.size() - 1 : 0;
    out << std::string_view(filler).substr(0, fill) << '\n';
    return out;
}

// Records per run for a size: about 20 MB, at most 200,000 records.
inline int records_for(std::size_t size) {
    return static_cast<int>(std::clamp<std::size_t>((20u << 20) / size, 2000, 200000));
}

// Single calls are timed with the CPU's cycle counter where there is one
// (a few ns per reading), converted to ns with a factor measured at start.
inline std::uint64_t ticks() {
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    return static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
#endif
}

inline double ns_per_tick() {
    static const double factor = [] {
        auto t0 = std::chrono::steady_clock::now();
        std::uint64_t c0 = ticks();
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        auto t1 = std::chrono::steady_clock::now();
        std::uint64_t c1 = ticks();
        return std::chrono::duration<double, std::nano>(t1 - t0).count() /
               static_cast<double>(c1 - c0);
    }();
    return factor;
}

struct Percentiles {
    double p50 = 0;
    double p99 = 0;
    double p999 = 0;
    double max = 0;
};

// Sorts `samples` (ticks) and returns the percentiles in ns.
inline Percentiles percentiles(std::vector<std::uint64_t>& samples) {
    Percentiles result;
    if (samples.empty()) {
        return result;
    }
    std::sort(samples.begin(), samples.end());
    auto at = [&](double q) {
        std::size_t i = static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1));
        return static_cast<double>(samples[i]) * ns_per_tick();
    };
    result.p50 = at(0.5);
    result.p99 = at(0.99);
    result.p999 = at(0.999);
    result.max = static_cast<double>(samples.back()) * ns_per_tick();
    return result;
}

// What reading the clock twice costs, in ns: part of every timed call.
inline double clock_overhead_ns() {
    std::vector<std::uint64_t> samples(10000);
    for (auto& sample : samples) {
        std::uint64_t t0 = ticks();
        sample = ticks() - t0;
    }
    return percentiles(samples).p50;
}

// Resident set size now, in bytes.
inline std::size_t rss_bytes() {
    std::ifstream statm("/proc/self/statm");
    std::size_t pages = 0;
    std::size_t resident = 0;
    statm >> pages >> resident;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
}

// The peak resident set size since the last reset_peak_rss, in bytes.
inline std::size_t peak_rss_bytes() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line)) {
        if (line.rfind("VmHWM:", 0) == 0) {
            return std::strtoull(line.c_str() + 6, nullptr, 10) * 1024;
        }
    }
    return 0;
}

inline void reset_peak_rss() {
    int fd = open("/proc/self/clear_refs", O_WRONLY | O_CLOEXEC);
    if (fd >= 0) {
        [[maybe_unused]] ssize_t n = write(fd, "5", 1);
        close(fd);
    }
}

// Bytes the allocator has handed out and not yet taken back, all arenas.
inline std::size_t heap_in_use() {
    struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

inline std::string read_all(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs `produce(thread, seq)` `count` times split over `threads` threads.
template <class Produce>
void run_producers(int threads, int count, const Produce& produce) {
    std::vector<std::thread> producers;
    for (int t = 0; t < threads; ++t) {
        producers.emplace_back([&, t] {
            for (int i = t; i < count; i += threads) {
                produce(t, i);
            }
        });
    }
    for (auto& producer : producers) {
        producer.join();
    }
}

// Sends standard error to /dev/null for the console target's figures.
inline bool silence_stderr() {
    int null_fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (null_fd < 0) {
        return false;
    }
    bool ok = dup2(null_fd, 2) >= 0;
    close(null_fd);
    return ok;
}

}  // namespace zvk::bench

// Replaces the global operator new and delete so that allocations can be
// counted per thread. Used once per program, at namespace scope. GCC takes
// the free() in a replacement operator delete for a mismatched pair.
// clang-format off
#define ZVK_BENCH_COUNT_ALLOCATIONS                                       \
    _Pragma("GCC diagnostic push")                                        \
    _Pragma("GCC diagnostic ignored \"-Wmismatched-new-delete\"")         \
    void* operator new(std::size_t size) {                                \
        ++zvk::bench::allocations;                                        \
        if (void* p = std::malloc(size != 0 ? size : 1)) {                \
            return p;                                                     \
        }                                                                 \
        throw std::bad_alloc();                                           \
    }                                                                     \
    void operator delete(void* p) noexcept { std::free(p); }              \
    void operator delete(void* p, std::size_t) noexcept { std::free(p); } \
    _Pragma("GCC diagnostic pop")
// clang-format on
