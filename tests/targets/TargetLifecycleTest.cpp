#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "ConfigText.h"
#include "RecordingTarget.h"
#include "TestSupport.h"
#include "zvk/FileLog.h"
#include "zvk/Target.h"
#include "zvk/VornConfig.h"

namespace zvk::test {
namespace {

// ThreadSanitizer keeps its own record of who holds a mutex by address and
// cannot see a mutex re-created while locked: it would report a double lock
// here and then misjudge every later mutex at a reused stack address.
#define SKIP_UNDER_THREAD_SANITIZER()                                                        \
    do {                                                                                     \
        if (thread_sanitized) {                                                              \
            GTEST_SKIP() << "ThreadSanitizer cannot follow a mutex re-created while locked"; \
        }                                                                                    \
    } while (0)

void wait_until_stopped(Target& target) {
    std::unique_lock lock(target.mutex);
    target.cond.wait(lock, [&] { return target.state == Target::STOPPED; });
}

TEST(TargetLifecycle, StartRunsAndStopStops) {
    auto journal = std::make_shared<Journal>();
    RecordingTarget target(journal);
    ASSERT_EQ(target.start(nullptr), 0);
    EXPECT_EQ(target.state, Target::RUNNING);
    EXPECT_EQ(target.stop(), 1);
    EXPECT_EQ(target.state, Target::STOPPED);
    EXPECT_TRUE(target.stop_requested);
}

TEST(TargetLifecycle, StopOnTargetNotRunningReturnsAtOnce) {
    auto journal = std::make_shared<Journal>();
    RecordingTarget target(journal);
    EXPECT_EQ(target.stop(), 1);
    EXPECT_FALSE(target.stop_requested);
    EXPECT_EQ(target.state, Target::STOPPED);
}

TEST(TargetLifecycle, RecordsAfterStopAreAcceptedButNotWritten) {
    auto journal = std::make_shared<Journal>();
    {
        RecordingTarget target(journal);
        ASSERT_EQ(target.start(nullptr), 0);
        target.log(record("before"));
        target.stop();
        target.log(record("after"));
        EXPECT_EQ(target.queue.size(), 1u);
    }
    EXPECT_EQ(journal->texts(), std::vector<std::string>{"before"});
}

// Counts its init calls: a second one would open a second file.
class CountingInitTarget : public RecordingTarget {
public:
    using RecordingTarget::RecordingTarget;
    int init(const VornConfig* config) override {
        ++inits;
        return RecordingTarget::init(config);
    }
    int inits = 0;
};

TEST(TargetLifecycle, StoppedTargetStartsAgainAndWritesWhatWasQueued) {
    auto journal = std::make_shared<Journal>();
    {
        CountingInitTarget target(journal);
        ASSERT_EQ(target.start(nullptr), 0);
        target.log(record("a"));
        target.stop();
        target.log(record("b"));
        ASSERT_EQ(target.start(nullptr), 0);
        EXPECT_EQ(target.state, Target::RUNNING);
        target.log(record("c"));
        target.stop();
        EXPECT_EQ(target.queue.size(), 0u);
        EXPECT_EQ(target.inits, 1);
    }
    EXPECT_EQ(journal->texts(), (std::vector<std::string>{"a", "b", "c"}));
}

TEST(TargetLifecycle, StartOnARunningTargetStartsNothingMore) {
    auto journal = std::make_shared<Journal>();
    CountingInitTarget target(journal);
    std::vector<std::thread> starters;
    for (int i = 0; i < 4; ++i) {
        starters.emplace_back([&] { EXPECT_EQ(target.start(nullptr), 0); });
    }
    for (auto& starter : starters) {
        starter.join();
    }
    EXPECT_EQ(target.inits, 1);
    // One worker: a single stop ends it, and nothing runs afterwards.
    target.stop();
    target.log(record("after stop"));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_EQ(target.queue.size(), 1u);
}

TEST(TargetLifecycle, StartAndStopAThousandTimesWithoutHanging) {
    auto journal = std::make_shared<Journal>();
    for (int i = 0; i < 1000; ++i) {
        RecordingTarget target(journal);
        ASSERT_EQ(target.start(nullptr), 0) << "round " << i;
        target.log(record(std::to_string(i)));
        ASSERT_EQ(target.stop(), 1);
    }
    std::vector<std::string> texts = journal->texts();
    ASSERT_EQ(texts.size(), 1000u);
    for (int i = 0; i < 1000; ++i) {
        EXPECT_EQ(texts[i], std::to_string(i));
    }
}

TEST(TargetLifecycle, StartReturnsWhenWorkerEndsRightAway) {
    auto journal = std::make_shared<Journal>();
    CaptureFd out(1);
    for (int i = 0; i < 500; ++i) {
        RecordingTarget target(journal, "short");
        target.fail_on = "first";
        target.log(record("first"));
        ASSERT_EQ(target.start(nullptr), 0) << "round " << i;
        wait_until_stopped(target);
    }
    EXPECT_EQ(split_lines(out.text()).size(), 500u);
    EXPECT_EQ(journal->size(), 0u);
}

class FailingInitTarget : public Target {
public:
    explicit FailingInitTarget(bool throws) : Target("badinit", FILE_TARGET), throws(throws) {}
    ~FailingInitTarget() override { shutdown(); }

    int init(const VornConfig*) override {
        if (throws) {
            throw std::runtime_error("unknown locale");
        }
        return -1;
    }

    bool throws;
};

TEST(TargetLifecycle, FailedInitLeavesTargetStopped) {
    FailingInitTarget target(false);
    EXPECT_EQ(target.start(nullptr), -1);
    EXPECT_EQ(target.state, Target::STOPPED);
    target.log(record("kept until destruction"));
    EXPECT_EQ(target.stop(), 1);
}

TEST(TargetLifecycle, ExceptionFromInitReachesTheCaller) {
    FailingInitTarget target(true);
    EXPECT_THROW(target.start(nullptr), std::runtime_error);
    EXPECT_EQ(target.state, Target::STOPPED);
}

TEST(TargetLifecycle, UnknownConfiguredLocaleFailsTheStart) {
    VornConfig config;
    ASSERT_EQ(config.load_config(std::string("<vorn><locale>xx_NOWHERE.UTF-8</locale></vorn>")), 0);
    Target console("console", Target::CONSOLE_TARGET);
    EXPECT_THROW(console.start(&config), std::runtime_error);
    EXPECT_EQ(console.state, Target::STOPPED);
}

TEST(TargetLifecycle, KnownConfiguredLocaleStarts) {
    VornConfig config;
    ASSERT_EQ(config.load_config(std::string("<vorn><locale>C</locale></vorn>")), 0);
    Target console("console", Target::CONSOLE_TARGET);
    EXPECT_EQ(console.start(&config), 0);
    EXPECT_EQ(console.state, Target::RUNNING);
}

TEST(TargetResetState, MutexLeftLockedByAnExitedThreadIsFreed) {
    SKIP_UNDER_THREAD_SANITIZER();
    auto journal = std::make_shared<Journal>();
    {
        RecordingTarget target(journal);
        std::thread([&target] { target.mutex.lock(); }).join();
        target.state = Target::RUNNING;  // as if its worker had vanished
        target.reset_state(Target::STOPPED);
        EXPECT_EQ(target.state, Target::STOPPED);
        ASSERT_TRUE(target.mutex.try_lock());
        target.mutex.unlock();
        EXPECT_EQ(target.stop(), 1);
        target.log(record("dropped"));
    }
    EXPECT_EQ(journal->size(), 0u);
}

TEST(TargetResetState, MutexHeldByTheCallerIsFreed) {
    SKIP_UNDER_THREAD_SANITIZER();
    auto journal = std::make_shared<Journal>();
    RecordingTarget target(journal);
    target.mutex.lock();
    target.reset_state(Target::STOPPED);
    ASSERT_TRUE(target.mutex.try_lock());
    target.mutex.unlock();
}

TEST(TargetResetState, SetsTheGivenState) {
    auto journal = std::make_shared<Journal>();
    RecordingTarget target(journal);
    target.reset_state(Target::STARTING);
    EXPECT_EQ(target.state, Target::STARTING);
    target.reset_state(Target::STOPPED);
    EXPECT_EQ(target.state, Target::STOPPED);
}

// What a failed worker leaves is counted when the target goes.
TEST(TargetWorkerFailure, StandardExceptionEndsWorkerWithOneLine) {
    auto journal = std::make_shared<Journal>();
    CaptureFd out(1);
    {
        RecordingTarget target(journal, "failing");
        target.fail_on = "boom";
        ASSERT_EQ(target.start(nullptr), 0);
        target.log(record("a"));
        target.log(record("boom"));
        target.log(record("b"));
        wait_until_stopped(target);
        target.log(record("c"));
        EXPECT_EQ(target.queue.size(), 2u);
    }
    EXPECT_EQ(journal->texts(), std::vector<std::string>{"a"});
    std::string text = out.text();
    EXPECT_TRUE(std::regex_match(
        text,
        std::regex(StampPattern + " error receive msg in target: failing - cannot write boom\n" +
                   StampPattern + " dropped 2 records in target: failing\n")))
        << text;
}

TEST(TargetWorkerFailure, OtherExceptionEndsWorkerWithOneLine) {
    auto journal = std::make_shared<Journal>();
    CaptureFd out(1);
    {
        RecordingTarget target(journal, "odd");
        target.fail_on = "boom";
        target.fail_with_int = true;
        ASSERT_EQ(target.start(nullptr), 0);
        target.log(record("boom"));
        target.log(record("b"));
        wait_until_stopped(target);
    }
    EXPECT_EQ(journal->size(), 0u);
    std::string text = out.text();
    EXPECT_TRUE(std::regex_match(
        text, std::regex(StampPattern + " unknown exception receive msg in target: odd\n" +
                         StampPattern + " dropped 1 records in target: odd\n")))
        << text;
}

TEST(TargetWorkerFailure, ExceptionWhileDrainingKeepsTheRestForDestruction) {
    auto journal = std::make_shared<Journal>();
    CaptureFd out(1);
    {
        RecordingTarget target(journal, "drain");
        target.fail_on = "2";
        for (int i = 0; i < 5; ++i) {
            target.log(record(std::to_string(i)));
        }
        ASSERT_EQ(target.start(nullptr), 0);
        EXPECT_EQ(target.stop(), 1);
        EXPECT_EQ(target.state, Target::STOPPED);
        EXPECT_EQ(target.queue.size(), 2u);
    }
    EXPECT_EQ(journal->texts(), (std::vector<std::string>{"0", "1"}));
    std::vector<std::string> lines = split_lines(out.text());
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_TRUE(std::regex_match(lines[1],
                                 std::regex(StampPattern + " dropped 2 records in target: drain")));
}

TEST(TargetWorkerFailure, LinesFromManyWorkersAtOnceStayWhole) {
    constexpr int Targets = 16;
    constexpr int Rounds = 40;
    auto journal = std::make_shared<Journal>();
    CaptureFd out(1);
    for (int round = 0; round < Rounds; ++round) {
        std::vector<std::unique_ptr<RecordingTarget>> targets;
        for (int i = 0; i < Targets; ++i) {
            targets.push_back(std::make_unique<RecordingTarget>(journal, "t" + std::to_string(i)));
            targets.back()->fail_on = "boom";
            ASSERT_EQ(targets.back()->start(nullptr), 0);
        }
        // Every worker reports at about the same moment.
        for (auto& target : targets) {
            target->log(record("boom"));
        }
    }
    std::vector<std::string> lines = split_lines(out.text());
    ASSERT_EQ(lines.size(), std::size_t{Targets * Rounds});
    const std::regex whole(StampPattern +
                           " error receive msg in target: t\\d+ - cannot write boom");
    for (const std::string& line : lines) {
        EXPECT_TRUE(std::regex_match(line, whole)) << line;
    }
}

// Threads of this process, by id, with their voluntary context switches
// so far: how often each went to sleep.
std::map<std::string, long> voluntary_switches() {
    std::map<std::string, long> switches;
    for (const std::string& task : list_dir("/proc/self/task")) {
        const std::string status = read_file("/proc/self/task/" + task + "/status");
        const auto at = status.find("voluntary_ctxt_switches:");
        if (at != std::string::npos) {
            switches[task] = std::stol(status.substr(at + 24));
        }
    }
    return switches;
}

// Switches, since `before`, of the threads that `before` does not list.
long new_threads_switches(const std::map<std::string, long>& before) {
    long total = 0;
    for (const auto& [task, count] : voluntary_switches()) {
        total += before.count(task) == 0 ? count : 0;
    }
    return total;
}

// Ten idle targets, plain or timed, after a record each: their workers
// sleep until there is something to do. Awake ten times a second each,
// they would switch about 200 times in the two seconds measured.
TEST(TargetIdle, IdleWorkersSleepUntilThereIsSomethingToDo) {
    for (const bool timed : {false, true}) {
        SCOPED_TRACE(timed ? "files rotated every hour" : "plain");
        isolated([timed] {
            VornService::get_service()->log_dir = cwd();
            // A sanitizer starts a thread of its own with the first thread
            // of the process: started here, it is one that `before` lists.
            std::thread([] {}).join();
            const auto before = voluntary_switches();
            std::vector<std::unique_ptr<Target>> targets;
            for (int i = 0; i < 10; ++i) {
                if (timed) {
                    auto config = file_config("app" + std::to_string(i) + ".log");
                    config->targets["file"]->params.emplace_back("rotate_every", "1h");
                    targets.push_back(std::make_unique<FileLog>("file"));
                    ASSERT_EQ(targets.back()->start(config.get()), 0);
                } else {
                    targets.push_back(
                        std::make_unique<RecordingTarget>(std::make_shared<Journal>()));
                    ASSERT_EQ(targets.back()->start(nullptr), 0);
                }
                std::ostringstream text("a record\n");
                targets.back()->log(std::move(text), 5);
                ASSERT_EQ(targets.back()->flush(), 0);
            }
            // Settled once a quarter of a second passes without a switch
            // (or after five seconds, on a machine too busy to tell).
            const auto settle_until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            for (long last = -1; std::chrono::steady_clock::now() < settle_until;) {
                const long now = new_threads_switches(before);
                if (now == last) {
                    break;
                }
                last = now;
                std::this_thread::sleep_for(std::chrono::milliseconds(250));
            }
            const long start = new_threads_switches(before);
            std::this_thread::sleep_for(std::chrono::seconds(2));
            EXPECT_LE(new_threads_switches(before) - start, 20);
        });
    }
}

}  // namespace
}  // namespace zvk::test
