// A reload that changes <time_zone>: the next VORN_LOG record is stamped
// in the new zone, although the thread rendered its second in the old one.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "ConfigText.h"
#include "TestSupport.h"
#include "zvk/Vorn.h"
#include "zvk/VornInit.h"

namespace zvk::test {
namespace {

TEST(StampZone, ReloadAppliesFromTheNextRecord) {
    isolated([] {
        setenv("TZ", "ZST-2", 1);
        tzset();
        const std::string targets = "<log_dir>logs</log_dir>" + file_target("f", "app.log");
        write_config("vorn_config.xml", targets + logger_record("app", "f", "INFO"));
        ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
        Vorn app("app", 0);
        VORN_LOG(app, INFO, "before");
        write_config("vorn_config.xml",
                     targets + "<time_zone>LOCAL</time_zone>" + logger_record("app", "f", "INFO"));
        ASSERT_EQ(VornInit::reload(), 0);
        VORN_LOG(app, INFO, "after");
        VornInit::reset_vorn_state();
        const std::vector<std::string> lines = split_lines(read_file("logs/app.log"));
        ASSERT_EQ(lines.size(), 2u);
        EXPECT_NE(lines[0].find(" GMT INFO before"), std::string::npos) << lines[0];
        EXPECT_NE(lines[1].find(" ZST INFO after"), std::string::npos) << lines[1];
    });
}

}  // namespace
}  // namespace zvk::test
