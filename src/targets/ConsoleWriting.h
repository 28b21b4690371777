// What the console target does with what its worker hands it: records go
// to std::clog, a run in as few writes as 64 KiB allows, and a failing
// write is reported as for standard error, which would flood standard
// output with a line a record. The syslog target reports its failed sends
// the same way. Only the thread that writes for the target touches it.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zvk::detail {

class Carrier;

class ConsoleWriting {
public:
    explicit ConsoleWriting(const std::string& name);

    // One record's text; false when std::clog did not take all of it.
    bool write(std::string_view text);
    // Consecutive records: up to 64 KiB a write, a longer record alone, so
    // that what a worker that crashes inside a write may lose stays small.
    // Tells `progress` what is out before each write.
    void write_run(const std::string_view* texts, std::size_t count, Carrier& progress);

    // A record lost to a failed write, `reason` given or empty: the first
    // is reported at once, the count of the others at most once a second.
    void failed(const std::string& reason);
    // A record written: the count of losses since the last line, if any.
    void succeeded() {
        if (failing) {
            report_losses();
        }
    }
    // The worker ends: as for a success, so that no loss goes unreported.
    void finish() { succeeded(); }

private:
    void report_losses();

    const std::string& name;  // the target's
    bool failing;
    std::uint64_t lost;
    std::chrono::steady_clock::time_point reported;
    std::string run_buffer;
};

}  // namespace zvk::detail
