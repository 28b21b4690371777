// The file target beside the real logrotate, run against a process that
// logs from four threads at full speed: with "create" every record is in
// exactly one file; with "copytruncate" no file holds a hole of zero
// bytes, and each run loses at most the stretch of records written while
// it copied.
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "ConfigText.h"
#include "TestSupport.h"
#include "zvk/Vorn.h"
#include "zvk/VornInit.h"

namespace zvk::test {
namespace {

constexpr int kThreads = 4;
constexpr int kRuns = 3;

struct Outcome {
    std::vector<std::vector<int>> seen;  // per thread, the numbers in file order
    std::vector<int> logged;             // per thread, how many it logged
    std::string files;                   // what the files held, concatenated
    int torn = 0;                        // copies ending inside a record
};

// Logs from kThreads threads while logrotate runs kRuns times with
// `directive`, then reads every file oldest first.
Outcome log_beside_logrotate(const std::string& directive) {
    Outcome outcome;
    write_config("vorn_config.xml", "<log_dir>logs</log_dir><file_size_max>1G</file_size_max>" +
                                        file_target("f", "app.log", "-1") +
                                        logger_record("app", "f"));
    write_file("logrotate.conf", cwd() + "/logs/app.log {\n    " + directive +
                                     "\n    rotate 10\n    nocompress\n    missingok\n}\n");
    chmod("logrotate.conf", 0644);
    std::atomic<bool> done{false};
    outcome.logged.assign(kThreads, 0);
    {
        Vorn handle("app", 0);
        std::vector<std::thread> producers;
        for (int t = 0; t < kThreads; ++t) {
            producers.emplace_back([t, &handle, &done, &outcome] {
                int n = 0;
                for (; !done.load(std::memory_order_relaxed); ++n) {
                    log_text(handle, "t" + std::to_string(t) + " n" + std::to_string(n) + "\n");
                }
                outcome.logged[t] = n;
            });
        }
        const std::string command = "/usr/sbin/logrotate -f -s " + cwd() + "/logrotate.state " +
                                    cwd() + "/logrotate.conf > logrotate.out 2>&1";
        for (int run = 0; run < kRuns; ++run) {
            std::this_thread::sleep_for(std::chrono::milliseconds(700));
            EXPECT_EQ(std::system(command.c_str()), 0) << read_file("logrotate.out");
        }
        // The last move is followed within a second.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        done = true;
        for (std::thread& producer : producers) {
            producer.join();
        }
    }
    VornInit::reset_vorn_state();
    outcome.seen.assign(kThreads, {});
    for (int k = kRuns; k >= 0; --k) {
        const std::string path =
            "logs/app.log" + (k == 0 ? std::string() : "." + std::to_string(k));
        std::string text = read_file(path);
        outcome.files += text;
        if (!text.empty() && text.back() != '\n') {
            ++outcome.torn;
            text.erase(text.rfind('\n') + 1);
        }
        for (const std::string& line : split_lines(text)) {
            int t = -1;
            int n = -1;
            if (std::sscanf(line.c_str(), "t%d n%d", &t, &n) == 2 && t >= 0 && t < kThreads) {
                outcome.seen[t].push_back(n);
            } else {
                ADD_FAILURE() << path << ": " << line.substr(0, 80);
            }
        }
    }
    return outcome;
}

class Logrotate : public ::testing::Test {
protected:
    void SetUp() override {
        if (access("/usr/sbin/logrotate", X_OK) != 0) {
            GTEST_SKIP() << "logrotate is not installed (scripts/test.sh installs it)";
        }
    }
};

TEST_F(Logrotate, CreateKeepsEveryRecordInExactlyOneFile) {
    isolated([] {
        const Outcome outcome = log_beside_logrotate("create");
        EXPECT_EQ(outcome.torn, 0);
        for (int t = 0; t < kThreads; ++t) {
            ASSERT_EQ(outcome.seen[t].size(), static_cast<std::size_t>(outcome.logged[t]));
            for (int n = 0; n < outcome.logged[t]; ++n) {
                ASSERT_EQ(outcome.seen[t][n], n) << "thread " << t;
            }
        }
    });
}

TEST_F(Logrotate, CopytruncateLeavesNoHoleAndLosesOneStretchARun) {
    isolated([] {
        const Outcome outcome = log_beside_logrotate("copytruncate");
        EXPECT_EQ(outcome.files.find('\0'), std::string::npos) << "a hole of zero bytes";
        for (int t = 0; t < kThreads; ++t) {
            const std::vector<int>& seen = outcome.seen[t];
            ASSERT_FALSE(seen.empty());
            int gaps = 0;
            int previous = -1;
            for (int n : seen) {
                ASSERT_GT(n, previous) << "thread " << t << ": written twice or out of order";
                gaps += n > previous + 1 ? 1 : 0;
                previous = n;
            }
            gaps += previous + 1 < outcome.logged[t] ? 1 : 0;
            EXPECT_LE(gaps, kRuns) << "thread " << t;
        }
    });
}

}  // namespace
}  // namespace zvk::test
