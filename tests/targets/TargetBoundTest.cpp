// A bounded queue: never more than its bound waiting; dropped records are
// counted and reported where the gap is; blocked producers resume. The
// same at the memory ceiling of an unbounded one.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <iostream>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "RecordingTarget.h"
#include "TestSupport.h"
#include "targets/TargetAccess.h"
#include "zvk/Message.h"

namespace zvk::test {
namespace {

TEST(TargetBound, QueueMaxTextGivesABoundOnlyForPositiveNumbers) {
    for (const auto& [text, bound] : {std::pair<const char*, std::size_t>{"8192", 8192},
                                      {"1", 1},
                                      {"0", 0},
                                      {"", 0},
                                      {"-5", 0},
                                      {"+5", 0},
                                      {"5x", 0},
                                      {" 5", 0},
                                      {"99999999999999999999999", 0}}) {
        EXPECT_EQ(detail::TargetAccess::queue_max_from(text), bound) << '"' << text << '"';
    }
}

TEST(TargetBound, DroppedRecordsAreReportedWhereTheGapIs) {
    auto journal = std::make_shared<Journal>();
    CaptureFd out(1);
    {
        GatedTarget target(journal, "t");
        target.echo = true;
        target.set_queue_bound(5, true);
        ASSERT_EQ(target.start(nullptr), 0);
        for (int i = 0; i < 5; ++i) {
            target.log(record("r" + std::to_string(i)));
        }
        for (int i = 0; i < 10; ++i) {
            target.log(record("dropped"));
        }
        target.open();
        ASSERT_EQ(target.flush(), 0);
        target.log(record("after"));
        target.stop();
    }
    std::vector<std::string> lines = split_lines(out.text());
    ASSERT_EQ(lines.size(), 7u) << out.text();
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 5),
              (std::vector<std::string>{"r0", "r1", "r2", "r3", "r4"}));
    EXPECT_TRUE(
        std::regex_match(lines[5], std::regex(StampPattern + " dropped 10 records in target: t")))
        << lines[5];
    EXPECT_EQ(lines[6], "after");
    EXPECT_EQ(journal->size(), 6u);
}

TEST(TargetBound, ConsoleRunReportsTheGapBetweenItsRecords) {
    isolated([] {
        // Records (standard error) and reports (standard output) in one
        // file, in the order they were written.
        CaptureFd out(1);
        const int saved = dup(2);
        ASSERT_EQ(dup2(1, 2), 2);
        {
            Target console("console", Target::CONSOLE_TARGET);
            console.set_queue_bound(3, true);
            for (const char* text : {"r0\n", "r1\n", "r2\n", "lost\n", "lost\n"}) {
                console.log(record(text));
            }
            // Nothing makes room before the worker starts: without the
            // bound the next records queue behind the gap, and the worker
            // takes all of them at once.
            console.set_queue_bound(0, true);
            for (const char* text : {"r3\n", "r4\n"}) {
                console.log(record(text));
            }
            ASSERT_EQ(console.start(nullptr), 0);
            console.stop();
        }
        dup2(saved, 2);
        std::vector<std::string> lines = split_lines(out.text());
        ASSERT_EQ(lines.size(), 6u) << out.text();
        EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 3),
                  (std::vector<std::string>{"r0", "r1", "r2"}));
        EXPECT_TRUE(std::regex_match(
            lines[3], std::regex(StampPattern + " dropped 2 records in target: console")))
            << lines[3];
        EXPECT_EQ(std::vector<std::string>(lines.begin() + 4, lines.end()),
                  (std::vector<std::string>{"r3", "r4"}));
    });
}

TEST(TargetBound, DropUnderFourProducersKeepsTheBoundAndCountsEveryLoss) {
    constexpr std::size_t Bound = 100;
    constexpr int PerProducer = 1000;
    auto journal = std::make_shared<Journal>();
    CaptureFd out(1);
    std::atomic<std::size_t> most{0};
    {
        GatedTarget target(journal, "t");
        target.set_queue_bound(Bound, true);
        ASSERT_EQ(target.start(nullptr), 0);
        std::vector<std::thread> producers;
        for (int p = 0; p < 4; ++p) {
            producers.emplace_back([&] {
                for (int i = 0; i < PerProducer; ++i) {
                    target.log(record("x"));
                    std::size_t now = target.waiting();
                    for (std::size_t seen = most;
                         now > seen && !most.compare_exchange_weak(seen, now);) {
                    }
                }
            });
        }
        for (auto& producer : producers) {
            producer.join();
        }
        target.open();
        target.stop();
    }
    EXPECT_LE(most.load(), Bound);
    std::uint64_t dropped = 0;
    const std::regex line(StampPattern + R"( dropped (\d+) records in target: t)");
    for (const std::string& text : split_lines(out.text())) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(text, match, line)) << text;
        dropped += std::stoull(match[1]);
    }
    EXPECT_EQ(journal->size(), Bound);
    EXPECT_EQ(journal->size() + dropped, 4u * PerProducer);
}

// A drop storm says at most a line a second, each with the count since
// the last, and the last count at stop: together every record dropped.
TEST(TargetBound, DropStormSaysALineASecondWithTheCountSince) {
    constexpr std::size_t Bound = 100;
    constexpr std::size_t Written = sanitized ? 10000 : 30000;
    auto journal = std::make_shared<Journal>();
    CaptureFd out(1);
    std::atomic<std::uint64_t> logged{0};
    const auto started = std::chrono::steady_clock::now();
    {
        RecordingTarget target(journal, "storm");
        target.set_queue_bound(Bound, true);
        ASSERT_EQ(target.start(nullptr), 0);
        std::atomic<bool> enough{false};
        std::vector<std::thread> producers;
        for (int p = 0; p < 4; ++p) {
            producers.emplace_back([&] {
                while (!enough.load()) {
                    target.log(record("x"));
                    ++logged;
                }
            });
        }
        // Until the worker has written that many: drops come all along.
        while (!enough.load()) {
            std::lock_guard lock(journal->mutex);
            enough = journal->written.size() >= Written;
        }
        for (auto& producer : producers) {
            producer.join();
        }
        target.stop();
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    const std::vector<std::string> lines = split_lines(out.text());
    std::uint64_t dropped = 0;
    const std::regex line(StampPattern + R"( dropped (\d+) records in target: storm)");
    for (const std::string& text : lines) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(text, match, line)) << text;
        dropped += std::stoull(match[1]);
    }
    ASSERT_GT(dropped, 0u) << "no drop: the storm proves nothing";
    EXPECT_LE(lines.size(), static_cast<std::size_t>(seconds) + 2) << seconds << " s";
    EXPECT_EQ(journal->size() + dropped, logged.load());
}

TEST(TargetBound, BlockedProducersResumeAndLoseNothing) {
    constexpr std::size_t Bound = 50;
    constexpr int PerProducer = 500;
    auto journal = std::make_shared<Journal>();
    GatedTarget target(journal, "t");
    target.set_queue_bound(Bound, false);
    ASSERT_EQ(target.start(nullptr), 0);
    std::atomic<int> finished{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < 4; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < PerProducer; ++i) {
                target.log(record(std::to_string(p) + " " + std::to_string(i)));
                EXPECT_LE(target.waiting(), Bound);
            }
            ++finished;
        });
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(finished, 0);
    target.open();
    for (auto& producer : producers) {
        producer.join();
    }
    target.stop();
    std::vector<int> next(4, 0);
    for (const std::string& text : journal->texts()) {
        int p = text[0] - '0';
        EXPECT_EQ(text, std::to_string(p) + " " + std::to_string(next[p]++));
    }
    EXPECT_EQ(next, std::vector<int>(4, PerProducer));
}

TEST(TargetBound, OwnWriteAtTheBoundDropsInsteadOfWaiting) {
    auto journal = std::make_shared<Journal>();
    CaptureFd out(1);
    {
        GatedTarget target(journal, "t");
        target.log_inside = true;
        target.set_queue_bound(1, false);
        ASSERT_EQ(target.start(nullptr), 0);
        target.open();
        target.log(record("first"));
        EXPECT_EQ(target.flush(), 0);
        target.stop();
    }
    EXPECT_EQ(journal->texts(), std::vector<std::string>{"first"});
    EXPECT_TRUE(std::regex_match(out.text(),
                                 std::regex(StampPattern + " dropped 1 records in target: t\n")))
        << out.text();
}

// Without a record bound, producers that outrun the worker (here: stuck at
// its first record) fill the lanes up to the memory ceiling; past it
// when_full applies: records are dropped and counted, or the producer
// waits (it sleeps; nothing is lost once the worker goes on).
TEST(TargetBound, MemoryCeilingDropsOrBlocksTheRecordsBeyondIt) {
    constexpr int Records = 20000;
    constexpr std::size_t Ceiling = 64 * 1024;
    const std::string padding(90, '.');
    for (const bool drop : {true, false}) {
        SCOPED_TRACE(drop ? "drop" : "block");
        auto journal = std::make_shared<Journal>();
        CaptureFd out(1);
        int blocked_at = -1;
        {
            GatedTarget target(journal, "t");
            target.set_queue_bound(0, drop);
            target.set_queue_memory_max(Ceiling);
            ASSERT_EQ(target.start(nullptr), 0);
            std::atomic<int> logged{0};
            const std::string self = "/proc/self/task/" + std::to_string(syscall(SYS_gettid));
            // Opens the gate once this thread sleeps before its last record
            // (blocked at the ceiling) or has logged them all.
            std::thread watcher([&] {
                for (;;) {
                    const int now = logged.load();
                    if (now == Records) {
                        break;
                    }
                    const std::string stat = read_file(self + "/stat");
                    if (stat.find(") S ") != std::string::npos && logged.load() == now) {
                        blocked_at = now;
                        break;
                    }
                    std::this_thread::yield();
                }
                target.open();
            });
            std::ostringstream text;
            for (int i = 0; i < Records; ++i) {
                text << i << ' ' << padding;
                target.log(std::move(text), 5);
                logged.store(i + 1);
            }
            watcher.join();
            ASSERT_EQ(target.flush(), 0);
            target.stop();
        }
        std::uint64_t dropped = 0;
        const std::regex line(StampPattern + R"( dropped (\d+) records in target: t)");
        for (const std::string& text : split_lines(out.text())) {
            std::smatch match;
            ASSERT_TRUE(std::regex_match(text, match, line)) << text;
            dropped += std::stoull(match[1]);
        }
        const std::vector<std::string> written = journal->texts();
        int previous = -1;
        for (const std::string& text : written) {
            const int number = std::stoi(text);
            ASSERT_GT(number, previous);
            previous = number;
        }
        EXPECT_EQ(written.size() + dropped, std::size_t{Records});
        // What waited took the ceiling and a segment or two being filled,
        // far from all of it.
        if (drop) {
            EXPECT_GT(dropped, 0u);
            EXPECT_LT(written.size(), std::size_t{Records / 4});
        } else {
            EXPECT_EQ(dropped, 0u);
            EXPECT_GE(blocked_at, 0);
            EXPECT_LT(blocked_at, Records / 4);
        }
    }
}

}  // namespace
}  // namespace zvk::test
