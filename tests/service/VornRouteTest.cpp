#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>

#include "../../examples/extending/SyncedFileTarget.h"
#include "ConfigText.h"
#include "TestSupport.h"
#include "zvk/CaptureTarget.h"
#include "zvk/Vorn.h"
#include "zvk/VornInit.h"

namespace zvk::test {
namespace {

using namespace std::chrono_literals;

TEST(VornRoute, HandleFollowsTheRouteWithoutConfigFileUntilUndone) {
    isolated([] {
        const Vorn before("app");  // made before the route: follows it
        EXPECT_FALSE(before.logable(Vorn::INFO));
        auto capture = std::make_shared<CaptureTarget>();
        ASSERT_EQ(VornInit::route("app", capture, Vorn::INFO), 0);
        EXPECT_EQ(capture->state, Target::RUNNING);
        EXPECT_TRUE(before.logable(Vorn::INFO));
        EXPECT_FALSE(before.logable(Vorn::DEBUG));
        const int line = __LINE__ + 1;
        VORN_LOG(before, INFO, "first");
        const Vorn after("app");
        log_text(after, "second");
        ASSERT_TRUE(capture->wait_for(2, 60s));
        const auto records = capture->records();
        EXPECT_NE(records[0].text.find("INFO first"), std::string::npos);
        EXPECT_EQ(records[0].level, Vorn::INFO);
        EXPECT_EQ(records[0].logger, "app");
        EXPECT_EQ(records[0].line, line);
        EXPECT_EQ(records[0].file, __FILE__);
        EXPECT_EQ(records[1].text, "second");
        EXPECT_EQ(VornInit::route("app", capture, 8), -1);
        for (int n = 0; n < 200; ++n) {
            log_text(after, "in flight");
        }
        ASSERT_EQ(VornInit::route("app", nullptr), 0);
        EXPECT_FALSE(before.logable(Vorn::OUT));
        // The service let go of its reference, and of no record.
        EXPECT_EQ(capture.use_count(), 1);
        EXPECT_EQ(capture->flush(), 0);
        EXPECT_EQ(capture->records().size(), 202u);
    });
}

TEST(VornRoute, RouteGoesAheadOfTheConfigurationAndOutlivesReloadNotStop) {
    isolated([] {
        write_config("vorn_config.xml",
                     file_target("app_file", "app.log") + logger_record("app", "app_file", "INFO"));
        const Vorn handle("app");
        auto capture = std::make_shared<CaptureTarget>();
        ASSERT_EQ(VornInit::route("app", capture), 0);
        EXPECT_TRUE(handle.logable(Vorn::DEBUG));
        ASSERT_EQ(VornInit::reload(), 0);
        log_text(handle, "routed");
        ASSERT_EQ(VornInit::flush(), 0);
        ASSERT_EQ(capture->records().size(), 1u);
        EXPECT_EQ(read_file("logs/app.log"), "");
        VornInit::reset_vorn_state();
        EXPECT_EQ(capture.use_count(), 1);
        EXPECT_FALSE(handle.logable(Vorn::OUT));
    });
}

TEST(VornRoute, ProcessExitWritesWhatTheRoutedTargetHolds) {
    constexpr int kRecords = 20000;
    isolated([] {
        // A plain exit runs the stop at exit that isolated() skips; forked
        // before any worker exists.
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            auto target = std::make_shared<SyncedFileTarget>("synced", "exit.log");
            const bool routed = VornInit::route("app", target) == 0;
            const Vorn handle("app");
            for (int n = 0; n < kRecords; ++n) {
                std::ostringstream text;
                text << n << '\n';
                handle.log(std::move(text), Vorn::INFO);
            }
            std::exit(routed ? 0 : 3);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        const std::vector<std::string> lines = split_lines(read_file("exit.log"));
        ASSERT_EQ(lines.size(), static_cast<std::size_t>(kRecords));
        EXPECT_EQ(lines.back(), std::to_string(kRecords - 1));
    });
}

}  // namespace
}  // namespace zvk::test
