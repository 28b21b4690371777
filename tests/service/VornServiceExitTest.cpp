// The stop at process exit writes what is queued; handles kept in static
// objects and atexit handlers that run after it still log safely; threads
// that log while it is under way lose nothing.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "ConfigText.h"
#include "TestSupport.h"
#include "zvk/Vorn.h"

namespace zvk::test {
namespace {

// Constructed before the service, so destroyed after its stop at exit.
struct App {
    Vorn log;
    ~App() { VORN_LOG(log, INFO, "bye"); }
};

TEST(VornServiceExit, StaticHandlesAndAtexitHandlersLogAfterTheStop) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            static TempDir dir;  // removed after everything below
            enter_fresh_dir(dir);
            write_config("vorn_config.xml",
                         stdout_target("screen") + logger_record("app", "screen"));
            // Runs after the stop too; its handle is made after it.
            std::atexit([] { VORN_LOG(Vorn("app", 0), INFO, "late"); });
            static App app;
            app.log = Vorn("app", 0);
            for (int i = 0; i < 2000; ++i) {
                VORN_LOG(app.log, INFO, "queued " << i);
            }
            std::exit(0);
        },
        testing::ExitedWithCode(0), "queued 1999\n.* INFO bye\n.* INFO late\n$");
}

// Threads that go on logging while main returns: every record whose log()
// returned before the stop ended is in the file, each thread's in order.
// The snapshot of what returned is taken by an atexit handler registered
// before the service, so it runs after the service's stop.
struct ExitRace {
    int threads;
    const char* format;     // json costs the worker more than the producer
    long long before_exit;  // records each thread logs before main returns
};

class VornServiceExitRace : public testing::TestWithParam<ExitRace> {};

constexpr int MaxThreads = 4;
std::atomic<long long> returned_up_to[MaxThreads];

void write_snapshot() {
    std::string text;
    for (const auto& last : returned_up_to) {
        text += std::to_string(last.load(std::memory_order_acquire)) + "\n";
    }
    write_file("snapshot", text);
    // The threads still log: the process ends here, not in the rest of exit.
    std::_Exit(0);
}

TEST_P(VornServiceExitRace, EveryRecordWhoseLogReturnedIsWrittenInOrder) {
    const ExitRace race = GetParam();
    isolated([race] {
        const int threads = race.threads;
        std::fflush(stdout);  // the child's exit would write it again
        ChildEnd end = run_child(
            [race] {
                // Enough that the lanes hold far more than one take when
                // the stop begins.
                const long long enough = sanitized ? 20000 : race.before_exit;
                watchdog(100);
                write_config(
                    "vorn_config.xml",
                    std::string("<file_size_max>4G</file_size_max>\n") +
                        "<target name=\"app_file\"><type>file</type><file_name>app.log</file_name>"
                        "<max_number_file>-1</max_number_file><format>" +
                        race.format + "</format></target>\n" + logger_record("app", "app_file"));
                for (auto& last : returned_up_to) {
                    last.store(-1);
                }
                std::atexit(write_snapshot);
                auto* handle = new Vorn("app", 0);  // used until the process ends
                for (int t = 0; t < race.threads; ++t) {
                    std::thread([handle, t] {
                        for (long long seq = 0;; ++seq) {
                            VORN_LOG(*handle, INFO, "exit t" << t << " " << seq);
                            returned_up_to[t].store(seq, std::memory_order_release);
                        }
                    }).detach();
                }
                for (int t = 0; t < race.threads; ++t) {
                    while (returned_up_to[t].load(std::memory_order_acquire) < enough) {
                        std::this_thread::yield();
                    }
                }
                std::exit(0);
            },
            120, true);
        ASSERT_FALSE(end.hung);
        ASSERT_TRUE(WIFEXITED(end.status) && WEXITSTATUS(end.status) == 0) << end.status;
        EXPECT_EQ(end.out, "");
        const std::vector<std::string> snapshot = split_lines(read_file("snapshot"));
        ASSERT_GE(snapshot.size(), std::size_t{MaxThreads});
        std::string text = read_file("logs/app.log");
        // A line being written when the process ended may be cut.
        text.erase(text.find_last_of('\n') + 1);
        std::vector<long long> next(threads, 0);
        long long missing_or_out_of_order = 0;
        for (const std::string& line : split_lines(text)) {
            const std::size_t at = line.find("exit t");
            int t = 0;
            long long seq = 0;
            if (at == std::string::npos ||
                std::sscanf(line.c_str() + at, "exit t%d %lld", &t, &seq) != 2 || t < 0 ||
                t >= threads) {
                continue;
            }
            if (seq != next[t]) {
                ++missing_or_out_of_order;
            }
            next[t] = seq + 1;
        }
        EXPECT_EQ(missing_or_out_of_order, 0);
        for (int t = 0; t < threads; ++t) {
            SCOPED_TRACE("thread " + std::to_string(t));
            EXPECT_GT(next[t], std::stoll(snapshot[t]));
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Threads, VornServiceExitRace,
                         testing::Values(ExitRace{1, "json", 500000},
                                         ExitRace{MaxThreads, "text", 100000}),
                         [](const auto& info) {
                             return std::to_string(info.param.threads) + "Threads";
                         });

}  // namespace
}  // namespace zvk::test
