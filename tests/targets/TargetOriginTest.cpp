// Each record reaches write_msg with what the library knew at the
// hand-over: its logger, the handing thread, the time, and the source line
// where VORN_LOG was used; through the producers' lanes and through the
// queue alike.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

#include "RecordingTarget.h"
#include "zvk/Logger.h"
#include "zvk/Message.h"
#include "zvk/Vorn.h"

namespace zvk::test {
namespace {

std::int64_t now_us() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

struct Way {
    const char* name;
    bool bounded;  // a bound keeps records out of the lanes
};

void PrintTo(const Way& way, std::ostream* out) { *out << way.name; }

class TargetOrigin : public ::testing::TestWithParam<Way> {};

TEST_P(TargetOrigin, RecordsCarryLoggerThreadTimeAndPlace) {
    auto journal = std::make_shared<Journal>();
    RecordingTarget target(journal);
    if (GetParam().bounded) {
        target.set_queue_bound(1000, false);
    }
    ASSERT_EQ(target.start(nullptr), 0);
    std::string db_name = "db";
    Logger db(db_name, &target, Logger::DEBUG);
    db_name = "changed";  // the logger keeps its own copy
    Vorn handle;
    handle.logger = &db;
    handle.level = Vorn::DEBUG;
    int producer = 0;
    int line = 0;
    const std::int64_t before = now_us();
    std::thread([&] {
        producer = static_cast<int>(::syscall(SYS_gettid));
        for (int i = 0; i < 200; ++i) {
            // Long enough for the stamp's rate to be measured on the way.
            std::this_thread::sleep_for(std::chrono::microseconds(50));
            line = __LINE__ + 1;
            VORN_LOG(handle, INFO, "placed " << i);
            std::ostringstream text;
            text << "plain " << i << '\n';
            handle.log(std::move(text), Vorn::WARN);
            db.log(new Message(std::ostringstream("message\n"), Vorn::ERROR));
        }
    }).join();
    ASSERT_EQ(target.flush(), 0);
    const std::int64_t after = now_us();
    target.stop();
    ASSERT_EQ(journal->origins.size(), 600u);
    std::int64_t last = before;
    for (std::size_t i = 0; i < journal->origins.size(); ++i) {
        const Origin& origin = journal->origins[i];
        SCOPED_TRACE(journal->written[i]);
        ASSERT_NE(origin.logger, nullptr);
        EXPECT_STREQ(origin.logger, "db");
        EXPECT_EQ(origin.thread, producer);
        // Records of one thread: their times never go back (a tolerance of
        // 20 µs for the conversion of the lanes' stamps).
        EXPECT_GE(origin.time_us, last - 20);
        EXPECT_LE(origin.time_us, after + 20);
        last = origin.time_us;
        if (i % 3 == 0) {
            EXPECT_EQ(origin.line, line);
            EXPECT_STREQ(origin.func, "operator()");
            ASSERT_NE(origin.file, nullptr);
            EXPECT_NE(std::strstr(origin.file, "TargetOriginTest.cpp"), nullptr);
        } else {
            EXPECT_EQ(origin.line, 0);
            EXPECT_EQ(origin.file, nullptr);
            EXPECT_EQ(origin.func, nullptr);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Ways, TargetOrigin,
                         ::testing::Values(Way{"lanes", false}, Way{"queue", true}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(TargetOriginName, OutlivesItsLogger) {
    auto journal = std::make_shared<Journal>();
    RecordingTarget target(journal);
    ASSERT_EQ(target.start(nullptr), 0);
    {
        auto logger = std::make_unique<Logger>("short-lived", &target, Logger::DEBUG);
        logger->log(new Message(std::ostringstream("one\n"), Vorn::INFO));
    }
    ASSERT_EQ(target.flush(), 0);
    target.stop();
    ASSERT_EQ(journal->origins.size(), 1u);
    EXPECT_STREQ(journal->origins[0].logger, "short-lived");
}

}  // namespace
}  // namespace zvk::test
