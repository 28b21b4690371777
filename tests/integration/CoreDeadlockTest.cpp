// Where a target's waits meet: a write_msg that logs, targets that log into
// each other's full queues, producers waiting for room while the target
// stops or the process exits, and a flush on a stuck console. A hang fails
// the case (in a child) instead of stalling the suite.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <future>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "ConfigText.h"
#include "RecordingTarget.h"
#include "TestSupport.h"
#include "targets/TargetAccess.h"
#include "zvk/Vorn.h"
#include "zvk/VornInit.h"

namespace zvk::test {
namespace {

// The records of "dropped N records in target: NAME" lines in `out`.
std::uint64_t dropped_in(const std::string& out, const std::string& name) {
    std::uint64_t total = 0;
    const std::regex line(StampPattern + " dropped (\\d+) records in target: " + name);
    for (const std::string& text : split_lines(out)) {
        std::smatch match;
        if (std::regex_match(text, match, line)) {
            total += std::stoull(match[1]);
        }
    }
    return total;
}

// Logs an echo of each record it writes into `into` (itself by default).
class EchoTarget : public RecordingTarget {
public:
    EchoTarget(std::shared_ptr<Journal> journal, const std::string& name)
        : RecordingTarget(std::move(journal), name), into(this) {}
    ~EchoTarget() override { shutdown(); }

    void write_msg(Message* message) override {
        std::string text = message->text.str();
        RecordingTarget::write_msg(message);
        if (text.rfind("echo", 0) != 0) {
            into->log(record("echo " + text));
        }
    }

    Target* into;
};

TEST(VornCoreDeadlock, WriteMsgLoggingIntoItsOwnTargetNeverHangs) {
    constexpr int Records = 200;
    struct Case {
        const char* name;
        void (*end)(std::unique_ptr<EchoTarget>&);
    };
    const Case cases[] = {
        {"destruction", [](std::unique_ptr<EchoTarget>& target) { target.reset(); }},
        {"stop, then destruction",
         [](std::unique_ptr<EchoTarget>& target) {
             target->stop();
             target.reset();
         }},
        {"stop at exit",
         [](std::unique_ptr<EchoTarget>& target) { detail::TargetAccess::stop_for_exit(*target); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        isolated([&c] {
            ChildEnd end = run_child(
                [&c] {
                    auto journal = std::make_shared<Journal>();
                    StdoutPipe out;
                    auto target = std::make_unique<EchoTarget>(journal, "echo");
                    ASSERT_EQ(target->start(nullptr), 0);
                    for (int i = 0; i < Records; ++i) {
                        target->log(record(std::to_string(i)));
                    }
                    c.end(target);
                    // Every original written, in order; every echo written
                    // or counted.
                    std::vector<std::string> originals;
                    std::size_t echoes = 0;
                    for (const std::string& text : journal->texts()) {
                        if (text.rfind("echo", 0) == 0) {
                            ++echoes;
                        } else {
                            originals.push_back(text);
                        }
                    }
                    ASSERT_EQ(originals.size(), std::size_t{Records});
                    for (int i = 0; i < Records; ++i) {
                        EXPECT_EQ(originals[i], std::to_string(i));
                    }
                    EXPECT_EQ(echoes + dropped_in(out.text(), "echo"), std::size_t{Records});
                },
                20);
            EXPECT_FALSE(end.hung);
            EXPECT_TRUE(WIFEXITED(end.status) && WEXITSTATUS(end.status) == 0) << end.status;
        });
    }
}

TEST(VornCoreDeadlock, TargetsLoggingIntoEachOthersFullQueuesDropInsteadOfWaiting) {
    isolated([] {
        ChildEnd end = run_child(
            [] {
                auto journal = std::make_shared<Journal>();
                StdoutPipe out;
                EchoTarget a(journal, "a");
                EchoTarget b(journal, "b");
                a.into = &b;
                b.into = &a;
                a.set_queue_bound(2, false);
                b.set_queue_bound(2, false);
                ASSERT_EQ(a.start(nullptr), 0);
                ASSERT_EQ(b.start(nullptr), 0);
                for (int i = 0; i < 500; ++i) {
                    a.log(record("a" + std::to_string(i)));
                    b.log(record("b" + std::to_string(i)));
                }
                a.stop();
                b.stop();
                std::string text = out.text();
                EXPECT_EQ(journal->size() - 1000 + dropped_in(text, "a") + dropped_in(text, "b"),
                          1000u);
            },
            20);
        EXPECT_FALSE(end.hung);
        EXPECT_TRUE(WIFEXITED(end.status) && WEXITSTATUS(end.status) == 0) << end.status;
    });
}

// Producers wait for room in a full `block` queue while the target goes:
// each record whose log returned is written or counted, and no thread
// touches the freed target (AddressSanitizer sees to that).
TEST(VornCoreDeadlock, ProducersWaitingForRoomAtStopLoseNothingUncounted) {
    constexpr int Producers = 3;
    for (bool at_exit : {false, true}) {
        SCOPED_TRACE(at_exit ? "stop at exit" : "destruction");
        auto journal = std::make_shared<Journal>();
        StdoutPipe out;
        auto target = std::make_unique<GatedTarget>(journal, "gated");
        target->set_queue_bound(2, false);
        ASSERT_EQ(target->start(nullptr), 0);
        target->log(record("held"));     // taken by the worker, which waits
        target->log(record("waiting"));  // the queue is full from here
        std::vector<std::thread> producers;
        std::atomic<int> calling{0};
        std::atomic<int> returned{0};
        for (int i = 0; i < Producers; ++i) {
            producers.emplace_back([&, i, raw = target.get()] {
                Message* message = record("p" + std::to_string(i));
                ++calling;
                raw->log(message);
                ++returned;
            });
        }
        // The target must not go before every producer is inside log.
        while (calling < Producers) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(returned, 0);
        if (at_exit) {
            GatedTarget* raw = target.get();
            std::thread opener([raw] {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                raw->open();
            });
            detail::TargetAccess::stop_for_exit(*raw);
            opener.join();
        } else {
            // Its destructor opens the gate, then stops: the drain runs while
            // the producers wait.
            target.reset();
        }
        for (auto& producer : producers) {
            producer.join();
        }
        target.reset();
        std::uint64_t dropped = dropped_in(out.text(), "gated");
        EXPECT_EQ(journal->size() + dropped, std::size_t{2 + Producers});
        if (at_exit) {
            EXPECT_EQ(dropped, 0u);
        }
    }
}

TEST(VornCoreDeadlock, FlushOnAStuckConsoleHoldsUpNoOtherHandle) {
    isolated([] {
        int err[2];
        ASSERT_EQ(pipe(err), 0);
        dup2(err[1], STDERR_FILENO);
        write_config("vorn_config.xml", stdout_target("console") + logger_record("app", "console"));
        Vorn handle("app", 0);
        for (int i = 0; i < 2000; ++i) {
            VORN_LOG(handle, INFO, std::string(92, 'x') << " " << i);
        }
        auto flushed = std::async(std::launch::async, [] { return VornInit::flush(); });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        auto made = std::async(std::launch::async, [] { return Vorn("db", 0).logger == nullptr; });
        EXPECT_EQ(made.wait_for(std::chrono::seconds(2)), std::future_status::ready);
        std::thread reader([fd = err[0]] {
            char buf[65536];
            while (read(fd, buf, sizeof buf) > 0) {
            }
        });
        EXPECT_EQ(flushed.get(), 0);
        EXPECT_TRUE(made.get());
        reader.detach();
    });
}

}  // namespace
}  // namespace zvk::test
