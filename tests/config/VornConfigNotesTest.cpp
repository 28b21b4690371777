// What the library says when it loads a file: each unknown element and
// each logger it drops, at its line, and why a file does not load.
#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "ConfigText.h"
#include "TestSupport.h"
#include "zvk/Vorn.h"
#include "zvk/VornService.h"

namespace {

using zvk::test::CaptureFd;
using zvk::test::isolated;
using zvk::test::write_file;

TEST(VornConfigNotes, LoadNamesUnknownElementsAndDroppedLoggers) {
    isolated([] {
        write_file("vorn_config.xml", zvk::test::misspelled_config);
        std::string expected;
        for (const auto& [line, text] : zvk::test::misspelled_lines) {
            expected += "vorn_config.xml:" + std::to_string(line) + ": " + text + "\n";
        }
        CaptureFd out(1);
        zvk::VornService* service = zvk::VornService::get_service();
        EXPECT_EQ(out.text(), expected);
        // Unknown elements stay ignored; the loggers that name a target work.
        EXPECT_EQ(service->get_config_value("log_dirr"), "logs");
        EXPECT_NE(zvk::Vorn("app", 0).logger, nullptr);
        EXPECT_EQ(zvk::Vorn("typo", 0).logger, nullptr);
    });
}

TEST(VornConfigNotes, LoadFailureSaysWhyAndWhere) {
    const std::pair<const char*, const char*> cases[] = {
        {"<vorn>\n  <log_dir>\n  </b>\n</vorn>\n", "line 3, column 5: mismatched tag"},
        {"<vorn>\n<target name=\"later\"/>\n<log_dir>x</log_dir>\n</vorn>\n",
         "line 2: target \"later\" has no child elements; nothing after it is read"},
    };
    for (const auto& [document, why] : cases) {
        SCOPED_TRACE(why);
        isolated([document = document, why = why] {
            write_file("vorn_config.xml", document);
            CaptureFd out(1);
            zvk::VornService::get_service();
            EXPECT_EQ(out.text(), "Could not load Vorn config file: vorn_config.xml - " +
                                      std::string(why) + "\n");
        });
    }
}

}  // namespace
