// The configuration checker, run as a program on files in a temp dir.
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <locale>
#include <regex>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

#include "ConfigText.h"
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
  <target name="disk"><type>file</type><file_name>a.log</file_name><max_number_file>five</max_number_file><rotate_every>7m</rotate_every><compress>xz</compress><max_age>7 days</max_age></target>
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
             "tiles an hour or a day; the file rotates by size only",
             "target \"disk\": compress \"xz\" is neither \"gzip\" nor \"zstd\"; rotated files "
             "are not compressed",
             "target \"disk\": max_age \"7 days\" is not a duration such as 7d; no age limit "
             "applies",
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

TEST(CheckConfig, FileThatDoesNotLoadSaysWhyAndWhereAndExitsTwo) {
    TempDir dir;
    write_file(dir.file("broken.xml"), "<vorn>\n  <log_dir>\n  </b>\n</vorn>\n");
    CheckRun broken = check("broken.xml", dir.path());
    EXPECT_EQ(broken.status, 2) << broken.out;
    EXPECT_NE(broken.out.find("\nbroken.xml:3:5: does not load: mismatched tag\n"),
              std::string::npos)
        << broken.out;

    write_file(dir.file("empty_target.xml"),
               "<vorn>\n<target name=\"later\"/>\n<logger name=\"l\"><target>later</target>"
               "</logger>\n</vorn>\n");
    CheckRun empty = check("empty_target.xml", dir.path());
    EXPECT_EQ(empty.status, 2) << empty.out;
    EXPECT_NE(empty.out.find("\nempty_target.xml:2: does not load: target \"later\" has no child "
                             "elements; nothing after it is read\n"),
              std::string::npos)
        << empty.out;
    EXPECT_EQ(empty.out.find("dropped"), std::string::npos) << empty.out;

    CheckRun missing = check(dir.file("nope.xml"));
    EXPECT_EQ(missing.status, 2);
    CheckRun none = check("", dir.path());
    EXPECT_EQ(none.status, 2);
    EXPECT_NE(none.out.find("no configuration file"), std::string::npos);
}

// Each misspelling at its line, with the nearest known name; a logger
// whose target is not defined; an attribute the library does not read.
TEST(CheckConfig, NamesEveryUnknownNameAndDroppedLoggerWithItsLine) {
    TempDir dir;
    write_file(dir.file("vorn_config.xml"), zvk::test::misspelled_config);
    CheckRun run = check("", dir.path());
    EXPECT_EQ(run.status, 1) << run.out;
    for (const auto& [line, text] : zvk::test::misspelled_lines) {
        EXPECT_NE(run.out.find("\nvorn_config.xml:" + std::to_string(line) + ": " + text + "\n"),
                  std::string::npos)
            << text << "\n"
            << run.out;
    }
    EXPECT_NE(run.out.find("\n7 problem(s) found\n"), std::string::npos) << run.out;

    write_file(dir.file("a.xml"), "<v>\n<target nmae=\"s\"><type>stdout</type></target>\n</v>\n");
    CheckRun attribute = check("a.xml", dir.path());
    EXPECT_EQ(attribute.status, 1) << attribute.out;
    EXPECT_NE(attribute.out.find("\na.xml:2: unknown attribute \"nmae\" in <target> (did you mean "
                                 "\"name\"?)\n"),
              std::string::npos)
        << attribute.out;
}

// Absent optional elements are no problem: their defaults apply.
TEST(CheckConfig, MinimalValidFilePasses) {
    TempDir dir;
    write_file(dir.file("vorn_config.xml"), R"(<vorn>
  <target name="f"><type>file</type><file_name>app.log</file_name></target>
  <logger name="app"><target>f</target><accept_level>INFO</accept_level></logger>
</vorn>)");
    CheckRun run = check("", dir.path());
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("keeps 5 file(s) including the active one (the default)"),
              std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("\nno problems found\n"), std::string::npos) << run.out;
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

TEST(CheckConfig, SaysWhatTheProcessWillGet) {
    struct Case {
        const char* settings;
        int status;
        std::vector<std::string> lines;
    };
    const Case cases[] = {
        {"<locale>C</locale>",
         0,
         {"process locale: \"C\" becomes the global C++ and C locale of the whole program "
          "(process_locale no leaves them)",
          "process file-size limit: 524288 bytes for every file of the program and of the "
          "programs it starts; SIGXFSZ is caught (process_file_limit no leaves both)"}},
        {"<process_locale>no</process_locale><process_file_limit>no</process_file_limit>",
         0,
         {"maximum file size: 524288 bytes (counted by each file target)",
          "process locale: left as the program sets it (process_locale no)",
          "process file-size limit: left as it is (unlimited here; process_file_limit no)"}},
        {"<process_locale>off</process_locale><process_file_limit>No</process_file_limit>",
         1,
         {"problem: process_locale \"off\" is neither \"yes\" nor \"no\"; yes applies",
          "problem: process_file_limit \"No\" is neither \"yes\" nor \"no\"; yes applies"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.settings);
        TempDir dir;
        write_file(dir.file("c.xml"), std::string("<vorn><file_size_max>512K</file_size_max>") +
                                          c.settings + "</vorn>");
        CheckRun run = check(dir.file("c.xml"), dir.path(), "ulimit -f unlimited &&");
        EXPECT_EQ(run.status, c.status) << run.out;
        const std::vector<std::string> lines = split_lines(run.out);
        for (const std::string& line : c.lines) {
            EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line << "\n"
                                                                                << run.out;
        }
    }
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
