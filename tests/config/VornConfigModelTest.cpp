#include <gtest/gtest.h>

#include <cstdint>
#include <locale>
#include <string>

#include "TestSupport.h"
#include "zvk/VornConfig.h"
#include "zvk/XMLDoc.h"
#include "zvk/XMLElement.h"

namespace {

using zvk::VornConfig;
using Params = VornConfig::param_list;

const char* const full = R"(<vorn>
    <locale>C</locale>
    <log_dir> logs </log_dir>
    <file_size_max>10M</file_size_max>
    <time_zone>LOCAL</time_zone>
    <custom>value</custom>
    <target name="file_out">
        <type>file</type>
        <file_name>app.log</file_name>
        <max_number_file>3</max_number_file>
    </target>
    <target name="console"><type>stdout</type></target>
    <logger name="main">
        <target>file_out</target>
        <accept_level>INFO</accept_level>
        <owner>x</owner>
    </logger>
    <logger name="con">
        <target>console</target>
    </logger>
</vorn>)";

TEST(VornConfigKeywords, HoldTheFormatVocabulary) {
    VornConfig c;
    EXPECT_EQ(c.key_name, "name");
    EXPECT_EQ(c.key_type, "type");
    EXPECT_EQ(c.key_locale, "locale");
    EXPECT_EQ(c.key_logger, "logger");
    EXPECT_EQ(c.key_target, "target");
    EXPECT_EQ(c.key_logging, "logging");
    EXPECT_EQ(c.key_blank, "");
    EXPECT_EQ(c.key_log_dir, "log_dir");
    EXPECT_EQ(c.key_file, "file");
    EXPECT_EQ(c.key_stdout, "stdout");
    EXPECT_EQ(c.key_network, "network");
    EXPECT_EQ(c.key_file_name, "file_name");
    EXPECT_EQ(c.key_time_zone, "time_zone");
    EXPECT_EQ(c.key_text_alert, "text_alert");
    EXPECT_EQ(c.key_email_alert, "email_alert");
    EXPECT_EQ(c.key_logger_name, "logger_name");
    EXPECT_EQ(c.key_accept_level, "accept_level");
    EXPECT_EQ(c.key_file_size_max, "file_size_max");
    EXPECT_EQ(c.key_max_number_file, "max_number_file");
}

TEST(VornConfigModel, FreshObjectIsEmpty) {
    VornConfig c;
    EXPECT_EQ(c.xml_doc, nullptr);
    EXPECT_EQ(c.init(), -1);
    EXPECT_EQ(c.create_target(std::string("console")), -1);
    EXPECT_EQ(c.get_target("console"), nullptr);
    EXPECT_EQ(c.get_logger("main"), nullptr);
    EXPECT_EQ(&c.get_element("log_dir"), &c.empty_value);
    EXPECT_EQ(&c.log_dir(), &c.empty_value);
    EXPECT_EQ(&c.file_size_litmit(), &c.empty_value);
    EXPECT_EQ(c.to_string(), "");
}

TEST(VornConfigModel, ReadsTargetsLoggersAndValues) {
    VornConfig c;
    zvk::test::CaptureFd out(1);
    ASSERT_EQ(c.load_config(std::string(full)), 0);
    EXPECT_EQ(out.text(), "");

    EXPECT_EQ(c.log_dir(), "logs");
    EXPECT_EQ(c.file_size_litmit(), "10M");
    EXPECT_EQ(c.get_element("time_zone"), "LOCAL");
    EXPECT_EQ(c.get_element("custom"), "value");
    EXPECT_EQ(c.get_element("locale"), "C");
    EXPECT_EQ(c.elements.size(), 5u);

    VornConfig::target_cf_t* file = c.get_target("file_out");
    ASSERT_NE(file, nullptr);
    EXPECT_EQ(file->name, "file_out");
    EXPECT_EQ(file->type, "file");
    EXPECT_EQ(file->params, (Params{{"file_name", "app.log"}, {"max_number_file", "3"}}));
    VornConfig::target_cf_t* console = c.get_target("console");
    ASSERT_NE(console, nullptr);
    EXPECT_EQ(console->type, "stdout");
    EXPECT_TRUE(console->params.empty());

    VornConfig::logger_cf_t* main = c.get_logger("main");
    ASSERT_NE(main, nullptr);
    EXPECT_EQ(main->name, "main");
    EXPECT_EQ(main->level, "INFO");
    EXPECT_EQ(main->target, file);
    EXPECT_EQ(main->params, (Params{{"owner", "x"}}));
    VornConfig::logger_cf_t* con = c.get_logger("con");
    ASSERT_NE(con, nullptr);
    EXPECT_EQ(con->level, "");
    EXPECT_EQ(con->target, console);
    EXPECT_EQ(c.targets.size(), 2u);
    EXPECT_EQ(c.loggers.size(), 2u);
}

TEST(VornConfigModel, RootWithoutChildren) {
    VornConfig c;
    ASSERT_EQ(c.load_config(std::string("<vorn/>")), 0);
    EXPECT_TRUE(c.targets.empty());
    EXPECT_TRUE(c.loggers.empty());
    EXPECT_TRUE(c.elements.empty());
    EXPECT_EQ(&c.log_dir(), &c.empty_value);
}

TEST(VornConfigModel, LookupsAreExactAndCaseSensitive) {
    VornConfig c;
    ASSERT_EQ(c.load_config(std::string(full)), 0);
    EXPECT_EQ(c.get_target("Console"), nullptr);
    EXPECT_EQ(c.get_target("console "), nullptr);
    EXPECT_EQ(c.get_logger("Main"), nullptr);
    EXPECT_EQ(&c.get_element("LOG_DIR"), &c.empty_value);
    const std::string& first = c.get_element("nothing");
    const std::string& second = c.get_element("other");
    EXPECT_EQ(&first, &second);
    EXPECT_EQ(&first, &c.empty_value);
}

TEST(VornConfigTargets, FirstDefinitionWins) {
    VornConfig c;
    zvk::test::CaptureFd out(1);
    ASSERT_EQ(c.load_config(std::string(R"(<v>
        <target name="t"><type>file</type><file_name>a</file_name></target>
        <target name="t"><type>stdout</type><file_name>b</file_name></target>
        <target name="t"/>
    </v>)")),
              0);
    EXPECT_EQ(out.text(), "");
    ASSERT_NE(c.get_target("t"), nullptr);
    EXPECT_EQ(c.get_target("t")->type, "file");
    EXPECT_EQ(c.get_target("t")->params, (Params{{"file_name", "a"}}));
}

TEST(VornConfigTargets, TypeOnlyAndMissingTypeAndRepeatedType) {
    VornConfig c;
    ASSERT_EQ(c.load_config(std::string(R"(<v>
        <target name="only"><type>stdout</type></target>
        <target name="untyped"><file_name>f</file_name><file_name>g</file_name></target>
        <target name="twice"><type>file</type><x>1</x><type>stdout</type></target>
    </v>)")),
              0);
    ASSERT_NE(c.get_target("only"), nullptr);
    EXPECT_TRUE(c.get_target("only")->params.empty());
    ASSERT_NE(c.get_target("untyped"), nullptr);
    EXPECT_EQ(c.get_target("untyped")->type, "");
    EXPECT_EQ(c.get_target("untyped")->params, (Params{{"file_name", "f"}, {"file_name", "g"}}));
    ASSERT_NE(c.get_target("twice"), nullptr);
    EXPECT_EQ(c.get_target("twice")->type, "stdout");
    EXPECT_EQ(c.get_target("twice")->params, (Params{{"x", "1"}}));
}

TEST(VornConfigTargets, ChildlessTargetStopsTheLoadSilently) {
    VornConfig c;
    zvk::test::CaptureFd out(1);
    EXPECT_EQ(c.load_config(std::string(R"(<v>
        <log_dir>d</log_dir>
        <target name="before"><type>file</type></target>
        <target name="empty"/>
        <target name="after"><type>file</type></target>
        <late>x</late>
    </v>)")),
              -1);
    EXPECT_EQ(out.text(), "");
    EXPECT_NE(c.get_target("before"), nullptr);
    EXPECT_EQ(c.get_target("empty"), nullptr);
    EXPECT_EQ(c.get_target("after"), nullptr);
    EXPECT_EQ(c.log_dir(), "d");
    EXPECT_EQ(&c.get_element("late"), &c.empty_value);
    ASSERT_NE(c.xml_doc, nullptr) << "the parse succeeded, so the document stays";
    zvk::XMLDoc again;
    ASSERT_EQ(again.load(c.to_string()), 0);
    EXPECT_EQ(again.root()->children.size(), 5u);
}

TEST(VornConfigTargets, NamelessTargetIsKeyedByEmptyName) {
    VornConfig c;
    ASSERT_EQ(
        c.load_config(std::string(
            "<v><target><type>stdout</type></target><logger name=\"l\"><target/></logger></v>")),
        0);
    ASSERT_NE(c.get_target(""), nullptr);
    EXPECT_EQ(c.get_target("")->type, "stdout");
    ASSERT_NE(c.get_logger("l"), nullptr);
    EXPECT_EQ(c.get_logger("l")->target, c.get_target(""));
}

TEST(VornConfigLoggers, NamesTargetDefinedLater) {
    VornConfig c;
    ASSERT_EQ(c.load_config(std::string(R"(<v>
        <logger name="l"><target>later</target><accept_level>WARN</accept_level></logger>
        <target name="later"><type>file</type><file_name>x.log</file_name></target>
    </v>)")),
              0);
    VornConfig::target_cf_t* later = c.get_target("later");
    ASSERT_NE(later, nullptr);
    EXPECT_EQ(later->params, (Params{{"file_name", "x.log"}}));
    ASSERT_NE(c.get_logger("l"), nullptr);
    EXPECT_EQ(c.get_logger("l")->target, later);
    EXPECT_EQ(c.get_logger("l")->level, "WARN");
    EXPECT_EQ(c.targets.size(), 1u);
}

TEST(VornConfigLoggers, LaterTargetFoundThroughFirstElementOfItsName) {
    VornConfig c;
    ASSERT_EQ(c.load_config(std::string(R"(<v>
        <logger name="l"><target>t</target></logger>
        <target name="t"><type>file</type></target>
        <target name="t"><type>stdout</type></target>
    </v>)")),
              0);
    ASSERT_NE(c.get_target("t"), nullptr);
    EXPECT_EQ(c.get_target("t")->type, "file");
    EXPECT_EQ(c.get_logger("l")->target, c.get_target("t"));
}

TEST(VornConfigLoggers, LaterChildlessTargetDropsLoggerAndFailsLoad) {
    VornConfig c;
    EXPECT_EQ(c.load_config(std::string(R"(<v>
        <logger name="l"><target>t</target></logger>
        <target name="t"/>
        <target name="t"><type>file</type></target>
    </v>)")),
              -1);
    EXPECT_EQ(c.get_logger("l"), nullptr);
    EXPECT_EQ(c.get_target("t"), nullptr);
}

TEST(VornConfigLoggers, UnresolvableLoggersAreDroppedSilently) {
    VornConfig c;
    zvk::test::CaptureFd out(1);
    ASSERT_EQ(c.load_config(std::string(R"(<v>
        <target name="t"><type>stdout</type></target>
        <logger name="missing"><target>nowhere</target></logger>
        <logger name="targetless"><accept_level>INFO</accept_level></logger>
        <logger name="childless"/>
        <logger name="ok"><target>t</target></logger>
    </v>)")),
              0);
    EXPECT_EQ(out.text(), "");
    EXPECT_EQ(c.get_logger("missing"), nullptr);
    EXPECT_EQ(c.get_logger("targetless"), nullptr);
    EXPECT_EQ(c.get_logger("childless"), nullptr);
    EXPECT_NE(c.get_logger("ok"), nullptr);
    EXPECT_EQ(c.loggers.size(), 1u);
    EXPECT_EQ(c.get_target("nowhere"), nullptr);
}

TEST(VornConfigLoggers, DroppedLoggerDoesNotReserveItsName) {
    VornConfig c;
    ASSERT_EQ(c.load_config(std::string(R"(<v>
        <target name="t"><type>stdout</type></target>
        <logger name="l"><target>nowhere</target><accept_level>DEBUG</accept_level></logger>
        <logger name="l"/>
        <logger name="l"><target>t</target><accept_level>ERROR</accept_level></logger>
        <logger name="l"><target>t</target><accept_level>TRACE</accept_level></logger>
    </v>)")),
              0);
    ASSERT_NE(c.get_logger("l"), nullptr);
    EXPECT_EQ(c.get_logger("l")->level, "ERROR");
}

TEST(VornConfigLoggers, LastResolvingTargetAndLastLevelWin) {
    VornConfig c;
    ASSERT_EQ(c.load_config(std::string(R"(<v>
        <target name="a"><type>stdout</type></target>
        <target name="b"><type>stdout</type></target>
        <logger name="l">
            <accept_level>INFO</accept_level>
            <target>a</target>
            <p>1</p>
            <target>b</target>
            <target>nowhere</target>
            <accept_level>FATAL</accept_level>
            <p>2</p>
        </logger>
    </v>)")),
              0);
    VornConfig::logger_cf_t* l = c.get_logger("l");
    ASSERT_NE(l, nullptr);
    EXPECT_EQ(l->target, c.get_target("b"));
    EXPECT_EQ(l->level, "FATAL");
    EXPECT_EQ(l->params, (Params{{"p", "1"}, {"p", "2"}}));
}

TEST(VornConfigValues, FirstOccurrenceWinsAndCaseVariantsAreValues) {
    VornConfig c;
    ASSERT_EQ(c.load_config(std::string(R"(<v>
        <log_dir>first</log_dir>
        <log_dir>second</log_dir>
        <Target name="x"><type>file</type></Target>
        <LOGGER name="y"><target>x</target></LOGGER>
        <target name="real"><type>stdout</type></target>
        <logger name="z"><target>real</target></logger>
    </v>)")),
              0);
    EXPECT_EQ(c.log_dir(), "first");
    EXPECT_EQ(c.get_target("x"), nullptr);
    EXPECT_EQ(c.get_logger("y"), nullptr);
    EXPECT_EQ(c.elements.count("Target"), 1u);
    EXPECT_EQ(c.elements.count("LOGGER"), 1u);
    EXPECT_EQ(c.elements.count("target"), 0u);
    EXPECT_EQ(c.elements.count("logger"), 0u);
    EXPECT_EQ(c.elements.size(), 3u);
}

TEST(VornConfigValues, ValueTextIsTrimmedOwnText) {
    VornConfig c;
    ASSERT_EQ(c.load_config(std::string(
                  "<v><time_zone>\n  LOCAL\n</time_zone><file_size_max> 5K </file_size_max></v>")),
              0);
    EXPECT_EQ(c.get_element("time_zone"), "LOCAL");
    EXPECT_EQ(c.file_size_litmit(), "5K");
}

}  // namespace

namespace {

// Digits grouped by threes with ",", as many users' locales do.
struct Grouping : std::numpunct<char> {
    char do_thousands_sep() const override { return ','; }
    std::string do_grouping() const override { return "\3"; }
};

TEST(VornConfigSizes, ReadsSizesLikeTheService) {
    const std::locale grouping(std::locale::classic(), new Grouping);
    struct Case {
        const char* text;
        bool grouped;
        bool usable;
        std::uint64_t bytes;
    };
    // The service's own cases are in VornServiceFileLimit.
    for (const Case& c : {Case{"+20M", false, true, 20971520}, Case{"1,024K", true, true, 1048576},
                          Case{"1,024K", false, false, 0}, Case{"-1K", false, false, 0}}) {
        SCOPED_TRACE(std::string(c.text) + (c.grouped ? " grouped" : ""));
        std::uint64_t bytes = 0;
        EXPECT_EQ(VornConfig::file_size_bytes(c.text, bytes,
                                              c.grouped ? grouping : std::locale::classic()),
                  c.usable);
        EXPECT_EQ(bytes, c.bytes);
    }
}

}  // namespace
