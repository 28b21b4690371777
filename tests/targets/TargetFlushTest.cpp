// flush waits for what was accepted before it, and never for itself.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include "RecordingTarget.h"
#include "zvk/Message.h"

namespace zvk::test {
namespace {

// Writes slowly, so that records are still queued when flush is called;
// optionally flushes itself from inside write_msg.
class SlowTarget : public RecordingTarget {
public:
    using RecordingTarget::RecordingTarget;
    ~SlowTarget() override { shutdown(); }
    void write_msg(Message* message) override {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
        if (flush_inside) {
            inner_result = flush();
        }
        RecordingTarget::write_msg(message);
    }
    bool flush_inside = false;
    std::atomic<int> inner_result{1};
};

TEST(TargetFlush, ReturnsOnceEverythingAcceptedBeforeIsWritten) {
    auto journal = std::make_shared<Journal>();
    SlowTarget target(journal);
    ASSERT_EQ(target.start(nullptr), 0);
    for (int i = 0; i < 300; ++i) {
        target.log(record(std::to_string(i)));
    }
    EXPECT_EQ(target.flush(), 0);
    EXPECT_EQ(journal->size(), 300u);
    EXPECT_EQ(target.flush(), 0);
}

TEST(TargetFlush, LaterRecordsOfOtherThreadsDoNotHoldItUp) {
    auto journal = std::make_shared<Journal>();
    SlowTarget target(journal);
    ASSERT_EQ(target.start(nullptr), 0);
    std::atomic<bool> done{false};
    std::thread producer([&] {
        while (!done) {
            target.log(record("later"));
            std::this_thread::yield();
        }
    });
    for (int i = 0; i < 50; ++i) {
        target.log(record("mine"));
    }
    EXPECT_EQ(target.flush(), 0);
    done = true;
    producer.join();
    std::size_t mine = 0;
    for (const std::string& text : journal->texts()) {
        mine += text == "mine" ? 1 : 0;
    }
    EXPECT_EQ(mine, 50u);
}

TEST(TargetFlush, WithoutAWorkerFailsAtOnceWhenRecordsAreHeld) {
    auto journal = std::make_shared<Journal>();
    RecordingTarget target(journal);
    EXPECT_EQ(target.flush(), 0);
    target.log(record("never written"));
    EXPECT_EQ(target.flush(), -1);
}

TEST(TargetFlush, FromItsOwnWriteFailsInsteadOfWaiting) {
    auto journal = std::make_shared<Journal>();
    SlowTarget target(journal);
    target.flush_inside = true;
    ASSERT_EQ(target.start(nullptr), 0);
    target.log(record("a"));
    target.log(record("b"));
    EXPECT_EQ(target.flush(), 0);
    EXPECT_EQ(target.inner_result, -1);
}

}  // namespace
}  // namespace zvk::test
