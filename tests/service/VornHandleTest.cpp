#include <sstream>
#include <string>

#include "ConfigText.h"
#include "TestSupport.h"
#include "zvk/Logger.h"
#include "zvk/Vorn.h"
#include "zvk/VornInit.h"
#include "zvk/VornService.h"

namespace zvk::test {

namespace {

std::string handle_config() {
    return file_target("file", "handle.log") + logger_record("warn", "file", "WARN") +
           logger_record("out", "file", "OUT") + logger_record("debug", "file", "DEBUG");
}

}  // namespace

TEST(VornHandle, DefaultHandleIsSilent) {
    Vorn handle;
    EXPECT_EQ(handle.logger, nullptr);
    EXPECT_EQ(handle.level, 0);
    EXPECT_EQ(handle.stamp_function, &Vorn::time_gmt);
    EXPECT_EQ(handle.version(), "1.0.0");
    for (int level = Vorn::OUT; level <= Vorn::DEBUG; ++level) {
        EXPECT_FALSE(handle.logable(static_cast<Vorn::Level>(level)));
    }
    std::ostringstream kept = stream_of("untouched");
    handle.log(std::move(kept), Vorn::OUT);
    EXPECT_EQ(kept.str(), "untouched");
}

TEST(VornHandleLevel, WarnPassesUpToWarn) {
    isolated([] {
        write_config("vorn_config.xml", handle_config());
        Vorn handle("warn", 0);
        ASSERT_NE(handle.logger, nullptr);
        EXPECT_EQ(handle.level, Vorn::WARN);
        EXPECT_TRUE(handle.logable(Vorn::OUT));
        EXPECT_TRUE(handle.logable(Vorn::FATAL));
        EXPECT_TRUE(handle.logable(Vorn::ERROR));
        EXPECT_TRUE(handle.logable(Vorn::WARN));
        EXPECT_FALSE(handle.logable(Vorn::AUDIT));
        EXPECT_FALSE(handle.logable(Vorn::INFO));
        EXPECT_FALSE(handle.logable(Vorn::TRACE));
        EXPECT_FALSE(handle.logable(Vorn::DEBUG));
    });
}

TEST(VornHandleLevel, OutPassesOnlyOut) {
    isolated([] {
        write_config("vorn_config.xml", handle_config());
        Vorn out("out", 0);
        ASSERT_NE(out.logger, nullptr);
        EXPECT_TRUE(out.logable(Vorn::OUT));
        EXPECT_FALSE(out.logable(Vorn::FATAL));
        Vorn debug("debug", 0);
        EXPECT_TRUE(debug.logable(Vorn::DEBUG));
    });
}

TEST(VornHandleLevel, LevelIsCopiedAtConstruction) {
    isolated([] {
        write_config("vorn_config.xml", handle_config());
        Vorn handle("warn", 0);
        ASSERT_NE(handle.logger, nullptr);
        handle.logger->level = zvk::Logger::DEBUG;
        EXPECT_FALSE(handle.logable(Vorn::DEBUG));
    });
}

TEST(VornHandleLog, QueuesWithoutLevelCheck) {
    isolated([] {
        write_config("vorn_config.xml", handle_config());
        Vorn handle("warn", 0);
        ASSERT_FALSE(handle.logable(Vorn::DEBUG));
        std::ostringstream record = stream_of("debug record\n");
        handle.log(std::move(record), Vorn::DEBUG);
        EXPECT_EQ(record.str(), "");
        VornInit::reset_vorn_state();
        EXPECT_EQ(read_file("logs/handle.log"), "debug record\n");
    });
}

TEST(VornHandleMove, SourceFallsSilent) {
    isolated([] {
        write_config("vorn_config.xml", handle_config());
        Vorn a("warn", 0);
        zvk::Logger* logger = a.logger;
        ASSERT_NE(logger, nullptr);
        Vorn b(std::move(a));
        EXPECT_EQ(b.logger, logger);
        EXPECT_EQ(b.level, Vorn::WARN);
        EXPECT_EQ(a.logger, nullptr);
        EXPECT_EQ(a.level, Vorn::WARN);
        EXPECT_FALSE(a.logable(Vorn::OUT));
        std::ostringstream kept = stream_of("from a\n");
        a.log(std::move(kept), Vorn::OUT);
        EXPECT_EQ(kept.str(), "from a\n");

        Vorn c;
        c = std::move(b);
        EXPECT_EQ(c.logger, logger);
        EXPECT_FALSE(b.logable(Vorn::OUT));
        Vorn& same = c;
        c = std::move(same);
        EXPECT_EQ(c.logger, logger);
        c.log(stream_of("from c\n"), Vorn::ERROR);
        VornInit::reset_vorn_state();
        EXPECT_EQ(read_file("logs/handle.log"), "from c\n");
    });
}

TEST(VornHandleOwner, OtherOwnerGetsNoLogger) {
    isolated([] {
        write_config("vorn_config.xml", handle_config());
        Vorn owner("warn", 7);
        ASSERT_NE(owner.logger, nullptr);
        Vorn other("warn", 8);
        Vorn anyone("warn", 0);
        EXPECT_EQ(other.logger, nullptr);
        EXPECT_EQ(anyone.logger, nullptr);
        EXPECT_FALSE(other.logable(Vorn::OUT));
        Vorn again("warn", 7);
        EXPECT_EQ(again.logger, owner.logger);
    });
}

TEST(VornHandleStamp, FollowsServiceTimeZone) {
    isolated([] {
        write_config("local.xml", "<time_zone>LOCAL</time_zone>\n");
        write_config("gmt.xml", "<time_zone>GMT</time_zone>\n");
        VornService* service = VornService::init_vorn_service("local.xml");
        Vorn local("none", 0);
        EXPECT_EQ(local.logger, nullptr);
        EXPECT_EQ(local.stamp_function, &Vorn::time_local);
        Vorn plain;
        EXPECT_EQ(plain.stamp_function, &Vorn::time_gmt);
        service->init("gmt.xml");
        Vorn gmt("none", 0);
        EXPECT_EQ(gmt.stamp_function, &Vorn::time_gmt);
        EXPECT_EQ(local.stamp_function, &Vorn::time_local);
    });
}

TEST(VornHandleFlush, HandleAndServiceWaitUntilTheFileHoldsTheRecords) {
    isolated([] {
        EXPECT_EQ(VornInit::flush(), 0);
        EXPECT_EQ(Vorn().flush(), 0);
        write_config("vorn_config.xml", handle_config() + file_target("other", "other.log") +
                                            logger_record("second", "other"));
        Vorn handle("debug", 0);
        Vorn second("second", 0);
        for (int i = 0; i < 2000; ++i) {
            handle.log(stream_of(std::to_string(i) + "\n"), Vorn::INFO);
            second.log(stream_of(std::to_string(i) + "\n"), Vorn::INFO);
        }
        EXPECT_EQ(handle.flush(), 0);
        EXPECT_EQ(split_lines(read_file("logs/handle.log")).size(), 2000u);
        EXPECT_EQ(VornInit::flush(), 0);
        EXPECT_EQ(split_lines(read_file("logs/other.log")).size(), 2000u);
    });
}

}  // namespace zvk::test
