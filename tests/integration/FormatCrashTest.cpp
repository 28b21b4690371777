// VORN_LOGF records take the path of any record: those accepted before a
// crash are written by the crash handler.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <cstdlib>
#include <regex>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "ConfigText.h"
#include "TestSupport.h"
#include "zvk/Vorn.h"
#include "zvk/VornFormat.h"

#ifndef ZVK_TEST_TSAN

namespace zvk::test {
namespace {

constexpr int Records = sanitized ? 20000 : 100000;

TEST(VornFormatCrash, AcceptedRecordsAreWritten) {
    isolated([] {
        write_file(
            "vorn_config.xml",
            vorn_xml("<file_size_max>1G</file_size_max><flush_on_crash>true</flush_on_crash>" +
                     file_target("app_file", "app.log", "-1") + logger_record("app", "app_file")));
        const ChildEnd end = run_child(
            [] {
                Vorn handle("app", 0);
                for (int i = 0; i < Records; ++i) {
                    VORN_LOGF(handle, INFO, "record {} at {:.2f}", i, i / 4.0);
                }
                std::abort();
            },
            120);
        ASSERT_FALSE(end.hung);
        ASSERT_TRUE(WIFSIGNALED(end.status));
        EXPECT_EQ(WTERMSIG(end.status), SIGABRT);
        const std::vector<std::string> lines = split_lines(read_file("logs/app.log"));
        ASSERT_EQ(lines.size(), std::size_t{Records});
        const std::regex layout("^" + StampPattern + R"( INFO record (\d+) at \d+\.\d\d$)");
        for (int i : {0, Records / 2, Records - 1}) {
            std::smatch match;
            ASSERT_TRUE(std::regex_match(lines[i], match, layout)) << lines[i];
            EXPECT_EQ(match[1], std::to_string(i));
        }
    });
}

}  // namespace
}  // namespace zvk::test

#endif
