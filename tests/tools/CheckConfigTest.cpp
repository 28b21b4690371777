// The configuration checker, run as a program on files in a temp dir.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <locale>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>

#include "TestSupport.h"

namespace {

using zvk::test::read_file;
using zvk::test::split_lines;
using zvk::test::TempDir;
using zvk::test::write_file;

struct CheckRun {
    int status;
    std::string out;
};

CheckRun check(const std::string& args, const std::string& cwd = ".", const std::string& env = "") {
    std::string cmd = "cd '" + cwd + "' && " + env + " '" ZVK_CHECKER "' " + args + " 2>&1";
    CheckRun run{-1, {}};
    FILE* pipe = popen(cmd.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    char buf[4096];
    std::size_t n;
    while ((n = fread(buf, 1, sizeof buf, pipe)) > 0) {
        run.out.append(buf, n);
    }
    int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

const char* kClean = R"(<vorn>
  <log_dir>logs</log_dir>
  <file_size_max>512K</file_size_max>
  <time_zone>LOCAL</time_zone>
  <locale>C</locale>
  <flush_on_crash>true</flush_on_crash>
  <watch_seconds>30</watch_seconds>
  <target name="screen"><type>stdout</type><queue_max>8192</queue_max><when_full>drop</when_full></target>
  <target name="disk"><type>file</type><file_name>app.log</file_name><max_number_file>3</max_number_file></target>
  <target name="sys"><type>syslog</type><facility>local2</facility><ident>api</ident></target>
  <target name="jr"><type>journal</type></target>
  <target name="events"><type>file</type><file_name>events.json</file_name><max_number_file>5</max_number_file><format>json</format><rotate_every>1d</rotate_every><compress>zstd</compress><file_mode>0640</file_mode><sync>1s</sync><max_age>7d</max_age><max_total_size>1G</max_total_size></target>
  <logger name="main"><target>screen</target><accept_level>INFO</accept_level></logger>
  <logger name="db"><target>disk</target><accept_level>DEBUG</accept_level></logger>
</vorn>)";

TEST(CheckConfig, CleanFileReportsWhatItDefines) {
    TempDir dir;
    write_file(dir.file("vorn_config.xml"), kClean);
    CheckRun run = check("", dir.path());
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("\"disk\" type \"file\", file \"app.log\", keeps 3 file(s)"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\"db\" -> target \"disk\", level \"DEBUG\""), std::string::npos);
    EXPECT_NE(run.out.find("maximum file size: 524288 bytes"), std::string::npos);
    EXPECT_NE(run.out.find("time zone: local"), std::string::npos);
    EXPECT_NE(run.out.find("flush on crash: on"), std::string::npos);
    EXPECT_NE(run.out.find("watch: every 30 s"), std::string::npos);
    EXPECT_NE(run.out.find("\"sys\" type \"syslog\", socket \"/dev/log\", facility \"local2\", "
                           "ident \"api\""),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\"jr\" type \"journal\", socket \"/run/systemd/journal/socket (else "
                           "/dev/log, syslog format)\", facility \"user\""),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\"events\" type \"file\", file \"events.json\", keeps 5 file(s) "
                           "including the active one, rotates every 1d on the clock of "
                           "time_zone, compresses rotated files with zstd, new files mode 0640, "
                           "synced at most every 1s, removes rotated files older than 7d, keeps "
                           "its files within 1073741824 bytes, format json"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("queue at most 8192 records, then drops new ones"), std::string::npos);
    EXPECT_NE(run.out.find("\"disk\" type \"file\", file \"app.log\", keeps 3 file(s) including "
                           "the active one, format text, queue unbounded"),
              std::string::npos);
    EXPECT_NE(run.out.find("no problems found"), std::string::npos);
}

TEST(CheckConfig, ReportsEveryRunTimeProblem) {
    TempDir dir;
    write_file(dir.file("bad.xml"), R"(<vorn>
  <log_dir>missing/parent/logs</log_dir>
  <file_size_max>16E</file_size_max>
  <locale>xx_NOT_A_LOCALE</locale>
  <watch_seconds>0.5</watch_seconds>
  <target name="net"><type>network</type><queue_max>many</queue_max><when_full>wait</when_full><queue_memory_max>lots</queue_memory_max></target>
  <target name="disk"><type>file</type><file_name>a.log</file_name><max_number_file>five</max_number_file><rotate_every>7m</rotate_every><compress>xz</compress></target>
  <target name="sys"><type>syslog</type><facility>kern</facility></target>
  <target name="jr"><type>journal</type><facility>kern</facility><format>json</format></target>
  <target name="lines"><type>stdout</type><format>xml</format></target>
  <logger name="loud"><target>disk</target><accept_level>warn</accept_level></logger>
  <logger name="lost"><target>nowhere</target><accept_level>INFO</accept_level></logger>
  <logger name="netlog"><target>net</target><accept_level>INFO</accept_level></logger>
</vorn>)");
    CheckRun run = check(dir.file("bad.xml"));
    EXPECT_EQ(run.status, 1) << run.out;
    for (const char* expected : {
             "type \"network\" is not \"stdout\", \"file\", \"syslog\" or \"journal\"",
             "facility \"kern\" is not user, daemon or local0 ... local7",
             "target \"jr\": facility \"kern\" is not user, daemon or local0 ... local7",
             "target \"jr\": format \"json\" is ignored: only file and stdout targets write lines",
             "target \"lines\": format \"xml\" is neither \"text\" nor \"json\"; the target cannot "
             "start",
             "max_number_file \"five\" is not a number; 5 files are kept",
             "target \"disk\": rotate_every \"7m\" is not 15m, 1h, 6h, 1d or another period that "
             "tiles an hour or a day; the target cannot start",
             "target \"disk\": compress \"xz\" is neither \"gzip\" nor \"zstd\"; the target "
             "cannot start",
             "accept_level \"warn\" is not one of",
             "logger \"lost\" dropped: its target \"nowhere\" is not defined",
             "file_size_max \"16E\" is not usable; the default 10485760 applies",
             "locale \"xx_NOT_A_LOCALE\" is not available",
             "log directory \"missing/parent/logs\" cannot be created",
             "queue_max \"many\" is not a positive number; the queue is unbounded",
             "when_full \"wait\" is neither \"drop\" nor \"block\"; block applies",
             "queue_memory_max \"lots\" is not a size; an eighth of the physical memory "
             "applies",
             "watch_seconds \"0.5\" is not a positive number; the file is not watched",
         }) {
        EXPECT_NE(run.out.find(expected), std::string::npos) << expected << "\n" << run.out;
    }
}

TEST(CheckConfig, LogDirThatIsAFileIsAProblem) {
    TempDir dir;
    write_file(dir.file("logs"), "not a directory");
    write_file(dir.file("c.xml"), "<v><target name=\"s\"><type>stdout</type></target></v>");
    CheckRun run = check("c.xml", dir.path());
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("log directory \"logs\" is not a directory"), std::string::npos);
}

TEST(CheckConfig, FileThatDoesNotLoadExitsTwo) {
    TempDir dir;
    write_file(dir.file("broken.xml"), "<vorn><target name=\"x\">");
    CheckRun broken = check(dir.file("broken.xml"));
    EXPECT_EQ(broken.status, 2) << broken.out;
    EXPECT_NE(broken.out.find("not well-formed XML"), std::string::npos) << broken.out;

    write_file(dir.file("empty_target.xml"),
               "<vorn><target name=\"x\"/><logger name=\"l\"><target>x</target></logger></vorn>");
    CheckRun empty = check(dir.file("empty_target.xml"));
    EXPECT_EQ(empty.status, 2) << empty.out;
    EXPECT_NE(empty.out.find("target \"x\" has no child elements"), std::string::npos) << empty.out;
    EXPECT_EQ(empty.out.find("dropped"), std::string::npos) << empty.out;

    CheckRun missing = check(dir.file("nope.xml"));
    EXPECT_EQ(missing.status, 2);
    CheckRun none = check("", dir.path());
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.out.find("no configuration file"), std::string::npos);
}

// Values the library reads differently from a plain digit scan, and the
// file names that its file targets refuse or share.
TEST(CheckConfig, ReadsValuesAsTheLibraryDoes) {
    TempDir dir;
    write_file(dir.file("c.xml"), R"(<vorn>
  <file_size_max>+20M</file_size_max>
  <target name="all"><type>file</type><file_name>a.log</file_name><max_number_file>10000000000</max_number_file></target>
  <target name="again"><type>file</type><file_name>a.log</file_name><max_number_file>2</max_number_file></target>
  <target name="up"><type>file</type><file_name>../b.log</file_name><max_number_file>2</max_number_file></target>
</vorn>)");
    CheckRun run = check(dir.file("c.xml"));
    EXPECT_EQ(run.status, 1) << run.out;
    for (const char* expected : {
             "maximum file size: 20971520 bytes",
             "\"all\" type \"file\", file \"a.log\", keeps every file",
             "problem: targets \"again\" and \"all\" both write file_name \"a.log\"",
             "problem: target \"up\": file_name \"../b.log\" is refused",
             "2 problem(s) found",
         }) {
        EXPECT_NE(run.out.find(expected), std::string::npos) << expected << "\n" << run.out;
    }
}

// The service reads the size under the configured locale, and a grouping
// locale takes "1,024K". The locale is built here when the system lacks it.
TEST(CheckConfig, GroupedSizeUnderTheConfiguredLocale) {
    TempDir dir;
    std::string env;
    try {
        std::locale probe("en_US.UTF-8");
    } catch (const std::runtime_error&) {
        std::string make =
            "localedef -i en_US -f UTF-8 '" + dir.file("en_US.UTF-8") + "' >/dev/null 2>&1";
        if (std::system(make.c_str()) != 0) {
            GTEST_SKIP() << "locale en_US.UTF-8 is neither installed nor buildable";
        }
        // glibc keeps the list it splits LOCPATH into: no leak of ours.
        env = "LOCPATH='" + dir.path() + "' ASAN_OPTIONS=detect_leaks=0";
    }
    write_file(dir.file("c.xml"),
               "<vorn><locale>en_US.UTF-8</locale><file_size_max>1,024K</file_size_max></vorn>");
    CheckRun run = check(dir.file("c.xml"), ".", env);
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("maximum file size: 1048576 bytes"), std::string::npos) << run.out;
}

TEST(CheckConfig, HelpSaysWhatItChecksAndTheExitCodes) {
    CheckRun run = check("--help");
    EXPECT_EQ(run.status, 0);
    for (const char* expected : {"file_name", "max_number_file", "file_size_max", "not defined",
                                 "Exit status: 0 no problems found; 1 problems found; 2 "}) {
        EXPECT_NE(run.out.find(expected), std::string::npos) << expected << "\n" << run.out;
    }
    EXPECT_EQ(check("a.xml b.xml").status, 2);
}

// The configuration reference and the checker know the same elements: a
// row for each one the checker reads, and none it does not.
TEST(CheckConfig, TheConfigurationPageListsExactlyTheElementsItKnows) {
    TempDir dir;
    CheckRun run = check("--elements", dir.path());
    ASSERT_EQ(run.status, 0) << run.out;
    std::set<std::string> known;
    for (const std::string& line : split_lines(run.out)) {
        known.insert(line);
    }
    // The rows of the reference's "Elements" section.
    std::set<std::string> documented;
    const std::regex row(R"(^\| `([a-z_/]+)` \|)");
    bool in_elements = false;
    for (const std::string& line :
         split_lines(read_file(std::string(ZVK_SOURCE_DIR) + "/docs/configuration.md"))) {
        if (line.rfind("## ", 0) == 0) {
            in_elements = line == "## Elements";
        }
        std::smatch match;
        if (in_elements && std::regex_search(line, match, row)) {
            documented.insert(match[1]);
        }
    }
    EXPECT_EQ(documented, known);
}

}  // namespace
