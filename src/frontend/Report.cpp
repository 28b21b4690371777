#include "Report.h"

#include <chrono>
#include <functional>
#include <iostream>
#include <map>
#include <mutex>
#include <string>

namespace zvk::detail {

namespace {

// Ours, not the stream's: std::cout is only safe against mixing while it
// is synchronised with stdio, and an application may turn that off.
std::mutex report_mutex;

using Clock = std::chrono::steady_clock;

struct Series {
    Clock::time_point said;    // when its last line went out
    std::uint64_t untold = 0;  // occurrences since
};

// Each target's series by their words. Guarded by report_mutex. An entry
// lives from a series' first line to its target's stop; never destroyed,
// as workers may report during static destruction.
using SeriesOf = std::map<RepeatWords, Series, std::less<RepeatWords>>;
std::map<std::string, SeriesOf>& series() {
    static auto& all = *new std::map<std::string, SeriesOf>();
    return all;
}

// With report_mutex held.
void write_line(std::string line) {
    line.push_back('\n');
    std::cout.write(line.data(), static_cast<std::streamsize>(line.size()));
    std::cout.flush();
}

}  // namespace

void lock_reports() { report_mutex.lock(); }

void unlock_reports() { report_mutex.unlock(); }

void report_repeated(const std::string& target, RepeatWords words, std::uint64_t count) noexcept {
    try {
        const Clock::time_point now = Clock::now();
        std::lock_guard lock(report_mutex);
        auto [entry, first] = series()[target].try_emplace(words);
        Series& repeat = entry->second;
        repeat.untold += count;
        if (first || now - repeat.said >= std::chrono::seconds(1)) {
            const std::uint64_t told = repeat.untold;
            repeat.untold = 0;
            repeat.said = now;
            write_line(words(target, told, first));
        }
    } catch (...) {
    }
}

void end_repeats(const std::string& target) noexcept {
    try {
        std::lock_guard lock(report_mutex);
        auto found = series().find(target);
        if (found == series().end()) {
            return;
        }
        for (const auto& [words, repeat] : found->second) {
            if (repeat.untold != 0) {
                write_line(words(target, repeat.untold, false));
            }
        }
        series().erase(found);
    } catch (...) {
    }
}

void report(std::string_view line) noexcept {
    try {
        std::string whole;
        whole.reserve(line.size() + 1);
        whole.append(line);
        whole.push_back('\n');
        std::lock_guard lock(report_mutex);
        std::cout.write(whole.data(), static_cast<std::streamsize>(whole.size()));
        std::cout.flush();
    } catch (...) {
    }
}

}  // namespace zvk::detail
