#include <gtest/gtest.h>

#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "zvk/Logger.h"
#include "zvk/Message.h"
#include "zvk/Target.h"
#include "zvk/Vorn.h"

namespace zvk::test {
namespace {

TEST(LoggerGetLevel, EveryNameHasItsValue) {
    const std::vector<std::string> names = {"OUT",   "FATAL", "ERROR", "WARN",
                                            "AUDIT", "INFO",  "TRACE", "DEBUG"};
    for (std::size_t i = 0; i < names.size(); ++i) {
        EXPECT_EQ(Logger::get_level(names[i]), static_cast<int>(i)) << names[i];
    }
    EXPECT_EQ(Logger::get_level("OUT"), Logger::OUT);
    EXPECT_EQ(Logger::get_level("WARN"), Logger::WARN);
    EXPECT_EQ(Logger::get_level("DEBUG"), Logger::DEBUG);
}

TEST(LoggerGetLevel, MatchingIsExact) {
    for (const char* name : {"warn", "Warn", "wARN", " WARN", "WARN ", "WARN\n", "", "WAR",
                             "WARNING", "VERBOSE", "0"}) {
        EXPECT_EQ(Logger::get_level(name), -1) << '"' << name << '"';
    }
    EXPECT_EQ(Logger::get_level(std::string("INFO\0", 5)), -1);
}

TEST(LoggerGetLevel, ConcurrentCallersAgree) {
    std::vector<std::thread> threads;
    std::vector<int> wrong(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &wrong] {
            for (int i = 0; i < 1000; ++i) {
                if (Logger::get_level("TRACE") != 6 || Logger::get_level("trace") != -1) {
                    ++wrong[t];
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

TEST(LoggerLevel, LevelsOfHandleAndLoggerShareValues) {
    EXPECT_EQ(static_cast<int>(Vorn::OUT), static_cast<int>(Logger::OUT));
    EXPECT_EQ(static_cast<int>(Vorn::AUDIT), static_cast<int>(Logger::AUDIT));
    EXPECT_EQ(static_cast<int>(Vorn::TRACE), 6);
    EXPECT_EQ(static_cast<int>(Vorn::DEBUG), static_cast<int>(Logger::DEBUG));
}

TEST(LoggerLevel, ThresholdEdges) {
    Target target("console", Target::CONSOLE_TARGET);
    Logger logger("edges", &target, Logger::OUT);
    Vorn handle;
    handle.logger = &logger;
    handle.level = Vorn::OUT;
    EXPECT_TRUE(handle.logable(Vorn::OUT));
    EXPECT_FALSE(handle.logable(Vorn::FATAL));
    handle.level = Vorn::WARN;
    EXPECT_TRUE(handle.logable(Vorn::WARN));
    EXPECT_FALSE(handle.logable(Vorn::AUDIT));
    handle.level = Vorn::DEBUG;
    for (int level = Vorn::OUT; level <= Vorn::DEBUG; ++level) {
        EXPECT_TRUE(handle.logable(static_cast<Vorn::Level>(level))) << level;
    }
    handle.logger = nullptr;
}

TEST(LoggerConstruction, StoresValuesWithoutOwner) {
    Target target("console", Target::CONSOLE_TARGET);
    Logger logger("app.db", &target, Logger::AUDIT);
    EXPECT_EQ(logger.name, "app.db");
    EXPECT_EQ(logger.target, &target);
    EXPECT_EQ(logger.level, Logger::AUDIT);
    EXPECT_EQ(logger.owner_id, 0);
    EXPECT_FALSE(logger.has_owner);
}

TEST(LoggerLog, ForwardsTextAndLevelUnchanged) {
    Target target("console", Target::CONSOLE_TARGET);
    Logger logger("app", &target, Logger::ERROR);
    std::ostringstream text;
    text << "DEBUG below the threshold\n";
    logger.log(new Message(std::move(text), Vorn::DEBUG));
    ASSERT_EQ(target.queue.size(), 1u);
    EXPECT_EQ(target.queue.front().level, Vorn::DEBUG);
    EXPECT_EQ(target.queue.front().text, "DEBUG below the threshold\n");
}

TEST(LoggerLog, DestroyingLoggerLeavesTargetUsable) {
    Target target("console", Target::CONSOLE_TARGET);
    {
        Logger first("first", &target, Logger::INFO);
        first.log(new Message());
    }
    Logger second("second", &target, Logger::INFO);
    second.log(new Message());
    EXPECT_EQ(target.queue.size(), 2u);
    EXPECT_EQ(target.state, Target::STOPPED);
}

}  // namespace
}  // namespace zvk::test
