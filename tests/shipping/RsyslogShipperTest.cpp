// rsyslog's imfile input, which many machines already run to ship log files
// off the machine, follows the active file of a rotating file target.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ConfigText.h"
#include "Rsyslogd.h"
#include "TestSupport.h"
#include "zvk/Vorn.h"
#include "zvk/VornInit.h"

namespace zvk::test {

namespace {

constexpr int Producers = 4;
constexpr int PerProducer = 25000;

// The configuration the README shows, with the test's directories: imfile
// follows the active file by name and, told by inotify that it was
// renamed, reads it to its end before it opens the new one.
const char* const kShipperConf = R"(global(workDirectory="DIR/rsyslog-work")
module(load="imfile" mode="inotify")
input(type="imfile" file="DIR/logs/ship.log" tag="ship" ruleset="ship" freshStartTail="off")
template(name="line" type="string" string="%msg%\n")
ruleset(name="ship") {
    action(type="omfile" file="DIR/collected.log" template="line")
}
)";

// "T<thread> S<seq> " padded to 160 bytes with a pattern that follows from
// both, so that a torn or altered record cannot match.
std::string shipped_record(int thread, int seq) {
    std::string text = "T" + std::to_string(thread) + " S" + std::to_string(seq) + " ";
    for (std::size_t i = text.size(); i < 159; ++i) {
        text += static_cast<char>('a' + (thread * 7 + seq * 13 + i) % 26);
    }
    return text;
}

// Each thread pauses 300 us after a record: about 10,000 records/s in all,
// a rotation every 300 ms or more. imfile has to notice a file before it is
// renamed away: a file that lives shorter than a stall of rsyslog's is
// never read, which on a busy machine happened to 64K files (every 40 ms).
void produce() {
    std::vector<std::thread> producers;
    for (int t = 0; t < Producers; ++t) {
        producers.emplace_back([t] {
            Vorn handle("ship", 0);
            ASSERT_NE(handle.logger, nullptr);
            for (int s = 0; s < PerProducer; ++s) {
                std::ostringstream text;
                text << shipped_record(t, s) << '\n';
                handle.log(std::move(text), Vorn::INFO);
                std::this_thread::sleep_for(std::chrono::microseconds(300));
            }
        });
    }
    for (std::thread& producer : producers) {
        producer.join();
    }
}

}  // namespace

TEST(RsyslogShipper, CollectsEveryRecordOnceInOrderThroughRotations) {
    std::string binary = rsyslogd_path();
    if (binary.empty()) {
        GTEST_SKIP() << "rsyslogd is not installed (scripts/deps.sh installs rsyslog)";
    }
    isolated([&binary] {
        alarm(600);  // a hang fails the test instead of stalling the suite
        char cwd[4096];
        ASSERT_NE(getcwd(cwd, sizeof cwd), nullptr);
        std::string dir = cwd;
        mkdir("logs", 0700);
        Rsyslogd rsyslogd(binary, dir, kShipperConf);
        ASSERT_GT(rsyslogd.pid, 0);

        write_config("vorn_config.xml",
                     "<log_dir>logs</log_dir><file_size_max>512K</file_size_max>\n" +
                         file_target("ship_file", "ship.log", "-1") +
                         logger_record("ship", "ship_file"));
        // Shipping starts only once rsyslog follows the active file.
        {
            Vorn handle("ship", 0);
            ASSERT_NE(handle.logger, nullptr);
            std::ostringstream text;
            text << "start\n";
            handle.log(std::move(text), Vorn::INFO);
        }
        ASSERT_EQ(wait_for_lines("collected.log", 1), std::vector<std::string>{"start"})
            << read_file("rsyslogd.out");

        produce();
        VornInit::reset_vorn_state();
        // What the library wrote, every record once, whatever rsyslog reads.
        std::vector<std::string> logs = list_dir("logs");
        std::size_t files = logs.size();
        std::vector<std::vector<int>> written(Producers, std::vector<int>(PerProducer, 0));
        for (const std::string& name : logs) {
            std::istringstream content(read_file("logs/" + name));
            int thread = -1;
            int seq = -1;
            for (std::string line; std::getline(content, line);) {
                if (std::sscanf(line.c_str(), "T%d S%d ", &thread, &seq) == 2 && thread >= 0 &&
                    thread < Producers && seq >= 0 && seq < PerProducer &&
                    line == shipped_record(thread, seq)) {
                    ++written[thread][seq];
                }
            }
        }
        for (const std::vector<int>& counts : written) {
            ASSERT_EQ(std::count(counts.begin(), counts.end(), 1), PerProducer)
                << "the log files lack or repeat records";
        }
        std::vector<std::string> lines =
            wait_for_lines("collected.log", 1 + Producers * PerProducer);

        std::vector<std::vector<int>> seen(Producers, std::vector<int>(PerProducer, 0));
        std::vector<int> previous(Producers, -1);
        int out_of_order = 0;
        int foreign = 0;
        for (std::size_t i = 1; i < lines.size(); ++i) {
            int thread = -1;
            int seq = -1;
            if (std::sscanf(lines[i].c_str(), "T%d S%d ", &thread, &seq) != 2 || thread < 0 ||
                thread >= Producers || seq < 0 || seq >= PerProducer ||
                lines[i] != shipped_record(thread, seq)) {
                ++foreign;
                continue;
            }
            ++seen[thread][seq];
            out_of_order += seq <= previous[thread];
            previous[thread] = seq;
        }
        int missing = 0;
        int duplicates = 0;
        for (const std::vector<int>& counts : seen) {
            for (int count : counts) {
                missing += count == 0;
                duplicates += count > 1 ? count - 1 : 0;
            }
        }
        std::printf(
            "rsyslog collected %zu lines from %zu log files: %d records missing, "
            "%d duplicated, %d out of order, %d lines not a record\n",
            lines.size(), files, missing, duplicates, out_of_order, foreign);
        std::fflush(stdout);  // the child ends with _Exit
        EXPECT_GE(files, 25u);
        EXPECT_EQ(missing, 0);
        EXPECT_EQ(duplicates, 0);
        EXPECT_EQ(out_of_order, 0);
        EXPECT_EQ(foreign, 0);
    });
}

}  // namespace zvk::test
