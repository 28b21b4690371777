#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "zvk/Vorn.h"
#include "zvk/VornInit.h"
#include "zvk/VornService.h"

namespace zvk::test {

namespace {

constexpr int Threads = 6;
constexpr int Records = 500;

const char* const Config = R"(<?xml version="1.0"?>
<vorn>
    <log_dir>out</log_dir>
    <file_size_max>64M</file_size_max>
    <target name="screen"><type>stdout</type></target>
    <target name="app_file">
        <type>file</type>
        <file_name>app.log</file_name>
        <max_number_file>3</max_number_file>
    </target>
    <logger name="console_log"><target>screen</target><accept_level>INFO</accept_level></logger>
    <logger name="file_log"><target>app_file</target><accept_level>DEBUG</accept_level></logger>
    <logger name="quiet"><target>app_file</target><accept_level>INFO</accept_level></logger>
</vorn>
)";

std::string record(int thread, int n) {
    return "t" + std::to_string(thread) + " n" + std::to_string(n);
}

// Every thread's records are present exactly once and in their order.
void expect_per_thread_order(const std::string& text, int threads, int records) {
    std::vector<int> next(threads, 0);
    for (const std::string& line : split_lines(text)) {
        int thread = -1;
        int n = -1;
        ASSERT_EQ(std::sscanf(line.c_str(), "t%d n%d", &thread, &n), 2) << line;
        ASSERT_EQ(line, record(thread, n));
        ASSERT_GE(thread, 0);
        ASSERT_LT(thread, threads);
        EXPECT_EQ(n, next[thread]) << "thread " << thread;
        next[thread] = n + 1;
    }
    for (int t = 0; t < threads; ++t) {
        EXPECT_EQ(next[t], records) << "thread " << t;
    }
}

int evaluations = 0;

std::string counted(const std::string& text) {
    ++evaluations;
    return text;
}

}  // namespace

TEST(VornEndToEnd, ThreadsLogToConsoleAndFileWithoutLoss) {
    isolated([] {
        write_file("vorn_config.xml", Config);
        CaptureFd err(2);
        std::vector<std::thread> threads;
        for (int t = 0; t < Threads; ++t) {
            threads.emplace_back([t] {
                Vorn console("console_log", 0);
                Vorn file("file_log", 0);
                for (int n = 0; n < Records; ++n) {
                    if (console.logable(Vorn::INFO)) {
                        std::ostringstream text;
                        text << record(t, n) << "\n";
                        console.log(std::move(text), Vorn::INFO);
                    }
                    if (file.logable(Vorn::DEBUG)) {
                        std::ostringstream text;
                        text << record(t, n) << "\n";
                        file.log(std::move(text), Vorn::DEBUG);
                    }
                }
            });
        }
        for (std::thread& thread : threads) {
            thread.join();
        }
        VornInit::reset_vorn_state();
        std::string console_text = err.text();
        std::string file_text = read_file("out/app.log");
        EXPECT_EQ(split_lines(console_text).size(), static_cast<std::size_t>(Threads * Records));
        EXPECT_EQ(console_text.size(), file_text.size());
        expect_per_thread_order(console_text, Threads, Records);
        expect_per_thread_order(file_text, Threads, Records);
        EXPECT_EQ(list_dir("out"), std::vector<std::string>{"app.log"});
    });
}

TEST(VornEndToEnd, ReinitialisingWritesQueuedRecords) {
    isolated([] {
        write_file("vorn_config.xml", Config);
        CaptureFd err(2);
        {
            Vorn console("console_log", 0);
            Vorn file("file_log", 0);
            for (int n = 0; n < Records; ++n) {
                std::ostringstream a;
                a << record(0, n) << "\n";
                console.log(std::move(a), Vorn::INFO);
                std::ostringstream b;
                b << record(0, n) << "\n";
                file.log(std::move(b), Vorn::INFO);
            }
        }
        // The workers may still hold most records; init must let them
        // finish before the targets go.
        ASSERT_EQ(VornInit::init(), 0);
        VornService* service = VornService::get_service();
        // The loggers of the handles made before are routed by the new load.
        EXPECT_EQ(service->loggers.size(), 2u);
        expect_per_thread_order(read_file("out/app.log"), 1, Records);

        Vorn file("file_log", 0);
        ASSERT_NE(file.logger, nullptr);
        std::ostringstream text;
        text << record(0, Records) << "\n";
        file.log(std::move(text), Vorn::INFO);
        VornInit::reset_vorn_state();
        expect_per_thread_order(read_file("out/app.log"), 1, Records + 1);
        expect_per_thread_order(err.text(), 1, Records);
    });
}

TEST(VornLogMacro, StampsLevelAndText) {
    isolated([] {
        write_file("vorn_config.xml", Config);
        {
            Vorn file("file_log", 0);
            int pct = 93;
            VORN_LOG(file, WARN, "disk at " << pct << "%");
            VORN_LOG(file, OUT, "always");
        }
        VornInit::reset_vorn_state();
        auto lines = split_lines(read_file("out/app.log"));
        ASSERT_EQ(lines.size(), 2u);
        const std::regex stamp(StampPattern + " ");
        EXPECT_TRUE(std::regex_match(lines[0], std::regex(StampPattern + " WARN disk at 93%")))
            << lines[0];
        EXPECT_TRUE(std::regex_search(lines[1], stamp)) << lines[1];
        EXPECT_EQ(lines[1].substr(lines[1].size() - 11), " OUT always");
    });
}

TEST(VornLogMacro, FilteredLevelDoesNotEvaluateText) {
    isolated([] {
        write_file("vorn_config.xml", Config);
        Vorn quiet("quiet", 0);
        ASSERT_NE(quiet.logger, nullptr);
        evaluations = 0;
        VORN_LOG(quiet, DEBUG, counted("hidden"));
        VORN_LOG(quiet, TRACE, counted("hidden"));
        EXPECT_EQ(evaluations, 0);
        VORN_LOG(quiet, INFO, counted("shown"));
        EXPECT_EQ(evaluations, 1);
        Vorn silent;
        VORN_LOG(silent, OUT, counted("nowhere"));
        EXPECT_EQ(evaluations, 1);
        VornInit::reset_vorn_state();
        auto lines = split_lines(read_file("out/app.log"));
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(lines[0].substr(lines[0].size() - 11), " INFO shown");
    });
}

TEST(VornEndToEnd, NewHandlesAfterResetAndInitGetFreshLoggers) {
    isolated([] {
        write_file("vorn_config.xml", Config);
        Vorn before("file_log", 0);
        ASSERT_NE(before.logger, nullptr);
        VornInit::reset_vorn_state();
        Vorn stopped("file_log", 0);
        EXPECT_EQ(stopped.logger, nullptr);
        ASSERT_EQ(VornInit::init(), 0);
        Vorn after("file_log", 0);
        ASSERT_NE(after.logger, nullptr);
        EXPECT_EQ(VornService::get_service()->loggers.at("file_log"), after.logger);
        std::ostringstream text;
        text << "fresh\n";
        after.log(std::move(text), Vorn::INFO);
        VornInit::reset_vorn_state();
        EXPECT_EQ(read_file("out/app.log"), "fresh\n");
    });
}

TEST(VornEndToEnd, ProcessExitWritesQueuedRecords) {
    isolated([] {
        write_file("vorn_config.xml", Config);
        // A plain exit runs the static destructors that isolated() skips;
        // forked before any worker exists.
        pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            Vorn file("file_log", 0);
            for (int n = 0; n < Records; ++n) {
                std::ostringstream text;
                text << record(0, n) << "\n";
                file.log(std::move(text), Vorn::INFO);
            }
            std::exit(file.logger != nullptr ? 0 : 3);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0);
        expect_per_thread_order(read_file("out/app.log"), 1, Records);
    });
}

}  // namespace zvk::test
