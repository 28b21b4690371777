#include "Report.h"

#include <iostream>
#include <mutex>
#include <string>

namespace zvk::detail {

namespace {

// Ours, not the stream's: std::cout is only safe against mixing while it
// is synchronised with stdio, and an application may turn that off.
std::mutex report_mutex;

}  // namespace

void lock_reports() { report_mutex.lock(); }

void unlock_reports() { report_mutex.unlock(); }

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
