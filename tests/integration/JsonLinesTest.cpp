// <format>json</format>: a file or console target writes each record as one
// JSON object on one line, which a strict JSON parser reads whatever bytes
// the caller's text held, with the record's time, level, logger, thread
// and source line; size rotation never splits one.
#include <dlfcn.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "ConfigText.h"
#include "JsonLines.h"
#include "TestSupport.h"
#include "zvk/Vorn.h"
#include "zvk/VornInit.h"

namespace zvk::test {
namespace {

// What a caller may hand over, and what the message field then holds
// (escaped as parse_json_lines shows it).
struct Tricky {
    const char* text;
    const char* message;
};
const Tricky kTricky[] = {
    {"plain", "plain"},
    {"quote\" back\\slash", "quote\" back\\\\slash"},
    {"tab\tline\nbreak", "tab\\tline\\nbreak"},
    {"bad \xff\xfe utf8 \xc3", "bad \xEF\xBF\xBD\xEF\xBF\xBD utf8 \xEF\xBF\xBD"},
    {"overlong \xc0\xaf surrogate \xed\xa0\x80",
     "overlong \xEF\xBF\xBD\xEF\xBF\xBD surrogate "
     "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},
    {"ctl \x01\x1f\r del\x7f", "ctl \x01\x1f\r del\x7f"},
    {"wide \xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80 \xe2\x80\xa8",
     "wide \xc3\xa9 \xe6\x97\xa5 \xf0\x9f\x98\x80 \xe2\x80\xa8"},
};
constexpr int kTrickyCount = sizeof kTricky / sizeof kTricky[0];

// Set by every producer, read after they are joined.
std::atomic<int> log_line{0};

void log_numbered(const Vorn& handle, int thread, int sequence) {
    const char* tail = kTricky[sequence % kTrickyCount].text;
    // On one line: compilers differ on the __LINE__ of a macro call that spans several.
    log_line = __LINE__ + 1;
    VORN_LOG(handle, INFO, "T" << thread << " S" << sequence << " " << tail);
}

std::int64_t now_us() {
    return std::chrono::duration_cast<std::chrono::microseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

TEST(JsonLines, EveryRecordIsOneParsableLineWithItsFieldsAcrossRotations) {
    isolated([] {
        write_config("vorn_config.xml",
                     "<log_dir>logs</log_dir><file_size_max>200K</file_size_max>"
                     "<target name=\"js\"><type>file</type><file_name>app.json</file_name>"
                     "<max_number_file>-1</max_number_file><format>json</format></target>"
                     "<target name=\"screen\"><type>stdout</type><format>json</format></target>" +
                         logger_record("db", "js") + logger_record("con", "screen"));
        constexpr int Threads = 2;
        constexpr int PerThread = 3000;
        std::vector<int> tids(Threads);
        const std::int64_t start = now_us();
        CaptureFd err(2);
        std::vector<std::thread> producers;
        for (int t = 0; t < Threads; ++t) {
            producers.emplace_back([t, &tids] {
                tids[t] = static_cast<int>(syscall(SYS_gettid));
                Vorn handle("db", 0);
                for (int s = 0; s < PerThread; ++s) {
                    log_numbered(handle, t, s);
                }
            });
        }
        for (std::thread& producer : producers) {
            producer.join();
        }
        Vorn("con", 0).log(stream_of("to the console\n"), Vorn::WARN);
        VornInit::reset_vorn_state();
        const std::int64_t end = now_us();

        const std::vector<std::string> files = log_files_in_order("logs", "app.json");
        ASSERT_GE(files.size(), 3u) << "the size limit rotates the file";
        std::string all;
        for (const std::string& file : files) {
            all += read_file(file);
        }
        const auto lines = parse_json_lines(all);
        ASSERT_EQ(lines.size(), std::size_t{Threads * PerThread})
            << (lines.empty() ? std::string() : lines.back()[0]);
        std::vector<int> next(Threads, 0);
        for (const auto& fields : lines) {
            ASSERT_EQ(fields.size(), 9u) << fields[0];
            EXPECT_EQ(fields[kKeys], "time,level,logger,thread,message,file,line,func");
            int t = -1;
            int s = -1;
            const std::size_t at = fields[kMessage].find(" INFO T");
            ASSERT_NE(at, std::string::npos) << fields[kMessage];
            ASSERT_EQ(std::sscanf(fields[kMessage].c_str() + at, " INFO T%d S%d", &t, &s), 2);
            ASSERT_TRUE(t >= 0 && t < Threads);
            EXPECT_EQ(s, next[t]);
            next[t] = s + 1;
            const std::string tail = fields[kMessage].substr(
                fields[kMessage].find(' ', fields[kMessage].find(" S", at) + 1) + 1);
            EXPECT_EQ(tail, kTricky[s % kTrickyCount].message);
            const std::int64_t time = std::stoll(fields[kTimeUs]);
            EXPECT_TRUE(time >= start && time <= end) << fields[kTimeUs];
            EXPECT_EQ(fields[kLevel], "INFO");
            EXPECT_EQ(fields[kLogger], "db");
            EXPECT_EQ(fields[kThread], std::to_string(tids[t]));
            EXPECT_EQ(fields[kFile], __FILE__);
            EXPECT_EQ(fields[kLine], std::to_string(log_line.load()));
            EXPECT_EQ(fields[kFunc], "log_numbered");
        }

        const auto console = parse_json_lines(err.text());
        ASSERT_EQ(console.size(), 1u);
        EXPECT_EQ(console[0][kKeys], "time,level,logger,thread,message");
        EXPECT_EQ(console[0][kMessage], "to the console");
        EXPECT_EQ(console[0][kLevel], "WARN");
        EXPECT_EQ(console[0][kLogger], "con");
        EXPECT_EQ(console[0][kThread], std::to_string(syscall(SYS_gettid)));
    });
}

TEST(JsonLines, AnUnknownFormatStartsNoTarget) {
    isolated([] {
        write_config("vorn_config.xml",
                     "<target name=\"js\"><type>file</type><file_name>app.log</file_name>"
                     "<format>xml</format></target>" +
                         logger_record("db", "js"));
        StdoutPipe out;
        Vorn handle("db", 0);
        log_text(handle, "nowhere\n");
        VornInit::reset_vorn_state();
        EXPECT_NE(out.text().find("Invalid format in target: js - \"xml\"\n"), std::string::npos)
            << out.text();
        EXPECT_NE(access("logs/app.log", F_OK), 0);
    });
}

// A record longer than the file-size limit: its line is not cut but
// written whole, alone in its file, with the message shortened after a
// whole character or escape and marked; the lines around it are intact.
TEST(JsonLines, ALineLongerThanTheSizeLimitKeepsItsShapeWithAShortenedMessage) {
    isolated([] {
        write_config("vorn_config.xml",
                     "<log_dir>logs</log_dir><file_size_max>4K</file_size_max>"
                     "<target name=\"js\"><type>file</type><file_name>app.json</file_name>"
                     "<max_number_file>-1</max_number_file><format>json</format></target>" +
                         logger_record("db", "js"));
        std::string long_text = "long ";
        while (long_text.size() < 20000) {
            long_text += "ab\x01\xc3\xa9\"";  // escapes and a two-byte character
        }
        StdoutPipe out;
        {
            Vorn handle("db", 0);
            VORN_LOG(handle, INFO, "before");
            VORN_LOG(handle, INFO, long_text);
            VORN_LOG(handle, INFO, "after");
        }
        VornInit::reset_vorn_state();
        EXPECT_EQ(out.text(),
                  "Record longer than file size limit, message shortened in target: js\n");
        std::string all;
        for (const std::string& file : log_files_in_order("logs", "app.json")) {
            const std::string content = read_file(file);
            EXPECT_LE(content.size(), 4096u) << file;
            all += content;
        }
        const auto lines = parse_json_lines(all);
        ASSERT_EQ(lines.size(), 3u) << (lines.empty() ? std::string() : lines.back()[0]);
        const auto message = [&](int n) {
            const std::string& text = lines[n][kMessage];
            return text.substr(text.find(" INFO ") + 6);
        };
        EXPECT_EQ(message(0), "before");
        EXPECT_EQ(message(2), "after");
        const std::string shortened = message(1);
        const std::string mark = " [cut at the file size limit]";
        ASSERT_GT(shortened.size(), 1500u);
        ASSERT_TRUE(shortened.ends_with(mark)) << shortened.substr(shortened.size() - 40);
        EXPECT_EQ(shortened.substr(0, shortened.size() - mark.size()),
                  long_text.substr(0, shortened.size() - mark.size()));
        EXPECT_EQ(lines[1][kFunc], "operator()");
    });
}

// A plugin logs, and is unloaded while its records still wait: the worker
// is held up by a standard error nobody reads yet. Each record keeps its
// file and function.
TEST(JsonLines, RecordsOfAnUnloadedPluginKeepTheirFileAndFunction) {
    isolated([] {
        write_config("vorn_config.xml",
                     "<target name=\"screen\"><type>stdout</type><format>json</format></target>" +
                         logger_record("con", "screen"));
        constexpr int Records = 3000;
        int held[2];
        ASSERT_EQ(pipe(held), 0);
        const int saved = dup(2);
        ASSERT_EQ(dup2(held[1], 2), 2);
        Vorn handle("con", 0);
        void* plugin = dlopen(ZVK_TEST_PLUGIN, RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(plugin, nullptr) << dlerror();
        auto* plugin_log =
            reinterpret_cast<void (*)(const Vorn&, int)>(dlsym(plugin, "plugin_log"));
        ASSERT_NE(plugin_log, nullptr) << dlerror();
        plugin_log(handle, Records);
        ASSERT_EQ(dlclose(plugin), 0);
        ASSERT_EQ(dlopen(ZVK_TEST_PLUGIN, RTLD_NOW | RTLD_NOLOAD), nullptr) << "still loaded";
        std::string text;
        std::thread reader([&] { text = read_to_end(held[0]); });
        EXPECT_EQ(handle.flush(), 0);
        dup2(saved, 2);
        close(held[1]);
        reader.join();

        const auto lines = parse_json_lines(text);
        ASSERT_EQ(lines.size(), std::size_t{Records})
            << (lines.empty() ? std::string() : lines.back()[0]);
        for (int n = 0; n < Records; ++n) {
            const std::string& message = lines[n][kMessage];
            ASSERT_EQ(message.substr(message.find(" INFO ") + 6), "plugin " + std::to_string(n));
            ASSERT_TRUE(lines[n][kFile].ends_with("support/LoggingPlugin.cpp")) << lines[n][kFile];
            ASSERT_EQ(lines[n][kFunc], "plugin_log");
        }
    });
}

#ifndef ZVK_TEST_TSAN  // it cannot follow a signal handler that reads the queue

// What the worker had not put in the format yet when it died (a fault on
// its own thread: nobody else writes its queue) is rendered by the crash
// handler, long records too: the file still parses line by line.
TEST(JsonLines, RecordsWrittenAtACrashAreJsonLinesToo) {
    isolated([] {
        constexpr int Records = 20000;
        // Every 100th longer than the handler's line buffer.
        const std::string long_text(6000, 'L');
        ChildEnd end = run_child(
            [&long_text] {
                default_fault_handling();
                write_config(
                    "vorn_config.xml",
                    "<flush_on_crash>true</flush_on_crash><file_size_max>1G</file_size_max>"
                    "<target name=\"js\"><type>file</type><file_name>app.json</file_name>"
                    "<format>json</format></target>" +
                        logger_record("db", "js"));
                Vorn handle("db", 0);
                const pid_t worker = other_threads().at(0);
                for (int n = 0; n < Records; ++n) {
                    VORN_LOG(handle, INFO, "R" << n << " \"" << (n % 100 == 0 ? long_text : "x"));
                }
                syscall(SYS_tgkill, getpid(), worker, SIGSEGV);
                std::this_thread::sleep_for(std::chrono::seconds(30));
            },
            30);
        ASSERT_FALSE(end.hung);
        EXPECT_TRUE(WIFSIGNALED(end.status) && WTERMSIG(end.status) == SIGSEGV) << end.status;
        const auto lines = parse_json_lines(read_file("logs/app.json"));
        ASSERT_EQ(lines.size(), std::size_t{Records})
            << (lines.empty() ? std::string() : lines.back()[0]);
        for (int n = 0; n < Records; ++n) {
            const std::string& message = lines[n][kMessage];
            const std::string expected =
                "R" + std::to_string(n) + " \"" + (n % 100 == 0 ? long_text : std::string("x"));
            ASSERT_EQ(message.substr(message.find(" INFO ") + 6), expected);
            ASSERT_EQ(lines[n][kLogger], "db");
            ASSERT_EQ(lines[n][kFunc], "operator()");
        }
    });
}

#endif

}  // namespace
}  // namespace zvk::test
