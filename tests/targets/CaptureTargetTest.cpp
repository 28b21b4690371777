#include <gtest/gtest.h>

#include <chrono>
#include <cstddef>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "zvk/CaptureTarget.h"

namespace zvk::test {
namespace {

using namespace std::chrono_literals;

// The names a record's origin points at must outlive it.
constexpr const char* kLoggers[] = {"t0", "t1", "t2", "t3"};

TEST(CaptureTarget, KeepsEachThreadsRecordsInOrderWithTheirOrigin) {
    constexpr std::size_t kPerThread = 500;
    CaptureTarget capture;
    EXPECT_EQ(capture.type, Target::CUSTOM_TARGET);
    // Ignored by a type of the application's own: the text stays as given.
    capture.set_format(Target::JSON_LINES);
    ASSERT_EQ(capture.start(nullptr), 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&capture, t] {
            for (std::size_t n = 0; n < kPerThread; ++n) {
                std::ostringstream text;
                text << n;
                Origin origin;
                origin.logger = kLoggers[t];
                origin.file = "place.cpp";
                origin.func = "work";
                origin.line = t + 1;
                capture.log(std::move(text), t, origin);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    ASSERT_TRUE(capture.wait_for(4 * kPerThread, 60s));
    const std::vector<CaptureTarget::Record> records = capture.records();
    ASSERT_EQ(records.size(), 4 * kPerThread);
    std::size_t next[4] = {};
    for (const CaptureTarget::Record& record : records) {
        ASSERT_GE(record.level, 0);
        ASSERT_LT(record.level, 4);
        const auto t = static_cast<std::size_t>(record.level);
        EXPECT_EQ(record.text, std::to_string(next[t]++));
        EXPECT_EQ(record.logger, kLoggers[t]);
        EXPECT_EQ(record.file, "place.cpp");
        EXPECT_EQ(record.func, "work");
        EXPECT_EQ(record.line, record.level + 1);
        EXPECT_NE(record.thread, 0);
    }
}

TEST(CaptureTarget, WaitForWaitsForRecordsInFlightAndClearForgets) {
    CaptureTarget capture;
    for (int n = 0; n < 100; ++n) {
        std::ostringstream text;
        text << n;
        capture.log(std::move(text), 5);
    }
    // Queued, not written: no worker runs yet.
    EXPECT_FALSE(capture.wait_for(1, 0ms));
    std::thread starter([&capture] { EXPECT_EQ(capture.start(nullptr), 0); });
    EXPECT_TRUE(capture.wait_for(100, 60s));
    starter.join();
    EXPECT_EQ(capture.records().size(), 100u);
    EXPECT_EQ(capture.records().back().text, "99");
    capture.clear();
    EXPECT_TRUE(capture.records().empty());
}

}  // namespace
}  // namespace zvk::test
