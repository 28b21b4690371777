#include <gtest/gtest.h>

#include <fstream>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <string>

#include "TestSupport.h"
#include "zvk/VornConfig.h"
#include "zvk/XMLDoc.h"
#include "zvk/XMLElement.h"

namespace {

using zvk::VornConfig;

const char* const sample = R"(<vorn>
    <log_dir>logs</log_dir>
    <target name="f"><type>file</type><file_name>a.log</file_name></target>
    <logger name="l"><target>f</target><accept_level>INFO</accept_level></logger>
</vorn>)";

void expect_sample_tables(const VornConfig& c) {
    EXPECT_EQ(c.log_dir(), "logs");
    EXPECT_EQ(c.elements.size(), 1u);
    ASSERT_EQ(c.targets.size(), 1u);
    ASSERT_NE(c.get_target("f"), nullptr);
    EXPECT_EQ(c.get_target("f")->type, "file");
    EXPECT_EQ(c.get_target("f")->params, (VornConfig::param_list{{"file_name", "a.log"}}));
    ASSERT_EQ(c.loggers.size(), 1u);
    ASSERT_NE(c.get_logger("l"), nullptr);
    EXPECT_EQ(c.get_logger("l")->level, "INFO");
    EXPECT_EQ(c.get_logger("l")->target, c.get_target("f"));
}

TEST(VornConfigLoad, EveryOverloadGivesTheSameTables) {
    zvk::test::TempDir dir;
    zvk::test::write_file(dir.file("vorn_config.xml"), sample);
    {
        VornConfig c;
        std::ifstream in(dir.file("vorn_config.xml"));
        ASSERT_EQ(c.load_config(in), 0);
        expect_sample_tables(c);
    }
    {
        VornConfig c;
        std::ifstream in(dir.file("vorn_config.xml"));
        ASSERT_EQ(c.load_config(static_cast<std::istream&>(in)), 0);
        expect_sample_tables(c);
    }
    {
        VornConfig c;
        std::istringstream in(sample);
        ASSERT_EQ(c.load_config(in), 0);
        expect_sample_tables(c);
    }
    {
        VornConfig c;
        const std::string text(sample);
        ASSERT_EQ(c.load_config(text), 0);
        expect_sample_tables(c);
    }
    {
        VornConfig c;
        ASSERT_EQ(c.load_config(std::string(sample)), 0);
        expect_sample_tables(c);
    }
}

TEST(VornConfigLoad, StringIsTextNotPath) {
    zvk::test::TempDir dir;
    zvk::test::write_file(dir.file("c.xml"), sample);
    VornConfig c;
    EXPECT_EQ(c.load_config(dir.file("c.xml")), -1);
    EXPECT_TRUE(c.targets.empty());
}

TEST(VornConfigLoad, MalformedSourceReleasesDocumentAndKeepsTables) {
    VornConfig c;
    ASSERT_EQ(c.load_config(std::string(sample)), 0);
    zvk::test::CaptureFd out(1);
    EXPECT_EQ(c.load_config(std::string("<vorn><target name=\"g\">")), -1);
    EXPECT_EQ(c.xml_doc, nullptr);
    std::istringstream bad("<<>>");
    EXPECT_EQ(c.load_config(bad), -1);
    EXPECT_EQ(c.xml_doc, nullptr);
    std::ifstream unopened;
    EXPECT_EQ(c.load_config(unopened), -1);
    std::istringstream empty;
    EXPECT_EQ(c.load_config(static_cast<std::istream&>(empty)), -1);
    EXPECT_EQ(c.xml_doc, nullptr);
    EXPECT_EQ(c.to_string(), "");
    EXPECT_EQ(out.text(), "");
    expect_sample_tables(c);
}

TEST(VornConfigLoad, DoctypeIsRefused) {
    VornConfig c;
    EXPECT_EQ(c.load_config(
                  std::string("<!DOCTYPE v [<!ENTITY d \"logs\">]><v><log_dir>&d;</log_dir></v>")),
              -1);
    EXPECT_EQ(c.xml_doc, nullptr);
    EXPECT_TRUE(c.elements.empty());
}

TEST(VornConfigLoad, FurtherLoadReplacesDocumentAndAddsToTables) {
    VornConfig c;
    ASSERT_EQ(c.load_config(std::string(sample)), 0);
    zvk::XMLDoc* first = c.xml_doc;
    ASSERT_NE(first, nullptr);
    ASSERT_EQ(c.load_config(std::string(R"(<other>
        <log_dir>ignored</log_dir>
        <time_zone>LOCAL</time_zone>
        <target name="f"><type>stdout</type></target>
        <target name="g"><type>stdout</type></target>
        <logger name="l"><target>g</target></logger>
        <logger name="m"><target>f</target></logger>
    </other>)")),
              0);
    ASSERT_NE(c.xml_doc, nullptr);
    EXPECT_EQ(c.log_dir(), "logs");
    EXPECT_EQ(c.get_element("time_zone"), "LOCAL");
    EXPECT_EQ(c.get_target("f")->type, "file");
    ASSERT_NE(c.get_target("g"), nullptr);
    EXPECT_EQ(c.get_logger("l")->target, c.get_target("f"));
    ASSERT_NE(c.get_logger("m"), nullptr);
    EXPECT_EQ(c.get_logger("m")->target, c.get_target("f"));
    zvk::XMLDoc reparsed;
    ASSERT_EQ(reparsed.load(c.to_string()), 0);
    EXPECT_EQ(reparsed.root()->name, "other");
}

TEST(VornConfigLoad, RepeatedLoadsOfTheSameObject) {
    VornConfig c;
    for (int i = 0; i < 50; ++i) {
        ASSERT_EQ(c.load_config(std::string(sample)), 0);
    }
    expect_sample_tables(c);
}

TEST(VornConfigUnload, KeepsTablesAndDropsDocument) {
    VornConfig c;
    c.unload_xml_doc();
    EXPECT_EQ(c.xml_doc, nullptr);
    ASSERT_EQ(c.load_config(std::string(sample)), 0);
    EXPECT_NE(c.to_string(), "");
    c.unload_xml_doc();
    EXPECT_EQ(c.xml_doc, nullptr);
    EXPECT_EQ(c.to_string(), "");
    EXPECT_EQ(c.init(), -1);
    EXPECT_EQ(c.create_target(std::string("f")), -1);
    c.unload_xml_doc();
    expect_sample_tables(c);
}

TEST(VornConfigToString, GivesTheHeldDocument) {
    VornConfig c;
    ASSERT_EQ(c.load_config(std::string(sample)), 0);
    zvk::XMLDoc direct;
    ASSERT_EQ(direct.load(std::string(sample)), 0);
    EXPECT_EQ(c.to_string(), direct.to_string());
}

std::string environment_locale_name() {
    try {
        return std::locale("").name();
    } catch (const std::runtime_error&) {
        return "<unusable>";
    }
}

std::string locale_name_for(const std::string& xml) {
    VornConfig c;
    EXPECT_EQ(c.load_config(xml), 0) << xml;
    try {
        return c.get_locale().name();
    } catch (const std::runtime_error&) {
        return "<unusable>";
    }
}

TEST(VornConfigLocale, EmptyAbsentAndQuotesMeanEnvironment) {
    const std::string expected = environment_locale_name();
    EXPECT_EQ(locale_name_for("<v/>"), expected);
    EXPECT_EQ(locale_name_for("<v><locale/></v>"), expected);
    EXPECT_EQ(locale_name_for("<v><locale>  </locale></v>"), expected);
    EXPECT_EQ(locale_name_for("<v><locale>\"\"</locale></v>"), expected);
    EXPECT_EQ(locale_name_for("<v><locale> \"\" </locale></v>"), expected);
    VornConfig fresh;
    try {
        EXPECT_EQ(fresh.get_locale().name(), expected);
    } catch (const std::runtime_error&) {
        EXPECT_EQ(expected, "<unusable>");
    }
}

TEST(VornConfigLocale, NamedLocale) {
    EXPECT_EQ(locale_name_for("<v><locale>C</locale></v>"), "C");
    EXPECT_EQ(locale_name_for("<v><locale>POSIX</locale><locale>x</locale></v>"),
              std::locale("POSIX").name());
    try {
        std::locale probe("C.UTF-8");
    } catch (const std::runtime_error&) {
        GTEST_SKIP() << "C.UTF-8 is not available";
    }
    EXPECT_EQ(locale_name_for("<v><locale>C.UTF-8</locale></v>"), std::locale("C.UTF-8").name());
}

TEST(VornConfigLocale, UnknownNameThrowsRuntimeError) {
    const char* names[] = {"no_such_locale.XYZ-99", "\"", "\"\"\"", "'\"\"'"};
    for (const char* name : names) {
        VornConfig c;
        ASSERT_EQ(c.load_config("<v><locale>" + std::string(name) + "</locale></v>"), 0);
        EXPECT_THROW(c.get_locale(), std::runtime_error) << name;
    }
}

}  // namespace
