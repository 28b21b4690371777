// What the library leaves of the process when told to: the global locales
// with <process_locale>no</process_locale>, the file-size limit and
// SIGXFSZ with <process_file_limit>no</process_file_limit>, where file
// targets then rotate by counting what they write.
#include <signal.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <clocale>
#include <cstdlib>
#include <locale>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "ConfigText.h"
#include "TestSupport.h"
#include "zvk/Vorn.h"
#include "zvk/VornInit.h"
#include "zvk/VornService.h"

namespace zvk::test {

namespace {

constexpr std::size_t Limit = 1024;

std::string grouped(long value) {
    std::ostringstream text;
    text << value;
    return text.str();
}

// Record `i`: its number and a length that varies from record to record.
std::string record(int i) {
    return "r" + std::to_string(i) + " " + std::string(i % 53, 'x') + "\n";
}

// The counted limit with one file target "f" writing app.log.
std::string counted_config(const std::string& extra = "", const std::string& size = "1K") {
    return "<file_size_max>" + size +
           "</file_size_max><process_file_limit>no</process_file_limit>" + extra + "\n" +
           file_target("f", "app.log", "-1") + logger_record("app", "f");
}

bool file_limit_untouched(rlim_t before) {
    struct sigaction now {};
    return file_size_limit() == before && sigaction(SIGXFSZ, nullptr, &now) == 0 &&
           (now.sa_flags & SA_SIGINFO) == 0 && now.sa_handler == SIG_DFL;
}

// Every file is within the limit and ends with a whole record, the
// records follow each other in order from 0 to `count`, and each file was
// rotated exactly at the record that would have crossed the limit; up to
// `may_miss` records may be missing.
void expect_exact_rotation(int count, std::size_t limit = Limit, int may_miss = 0) {
    int next = 0;
    int missed = 0;
    std::size_t previous = 0;
    for (const std::string& path : log_files_in_order("logs", "app.log")) {
        SCOPED_TRACE(path);
        const std::string text = read_file(path);
        EXPECT_LE(text.size(), limit);
        const std::vector<std::string> lines = split_lines(text);
        ASSERT_FALSE(lines.empty());
        if (previous != 0) {
            EXPECT_GT(previous + lines.front().size() + 1, limit);
        }
        for (const std::string& line : lines) {
            if (line + "\n" != record(next) && missed < may_miss) {
                ++missed;
                ++next;
            }
            ASSERT_EQ(line + "\n", record(next));
            ++next;
        }
        previous = text.size();
    }
    EXPECT_GE(next, count - may_miss + missed);
    EXPECT_LE(next, count);
}

}  // namespace

TEST(VornServiceProcessLocale, NoLeavesTheProgramsLocalesAndTheRecordsAsThey) {
    isolated([] {
        setenv("LANG", "en_US.UTF-8", 1);
        unsetenv("LC_ALL");
        unsetenv("LC_NUMERIC");
        if (std::setlocale(LC_ALL, "en_US.UTF-8") == nullptr) {
            GTEST_SKIP() << "no en_US.UTF-8 locale on this system";
        }
        std::setlocale(LC_ALL, "C");
        const std::string targets =
            "<target name=\"j\"><type>file</type><file_name>app.json</file_name>"
            "<format>json</format></target>\n" +
            logger_record("app", "j");
        write_config("no.xml", "<process_locale>no</process_locale>" + targets);
        write_config("yes.xml", targets);
        VornService* service = VornService::get_service();
        std::vector<std::string> lines;
        for (const char* file : {"no.xml", "yes.xml"}) {
            ASSERT_EQ(service->init(file), VornService::SERVICE_RUNNING) << file;
            if (lines.empty()) {
                EXPECT_EQ(std::locale().name(), "C");
                EXPECT_STREQ(std::setlocale(LC_ALL, nullptr), "C");
                EXPECT_EQ(grouped(1234567), "1234567");
            } else {
                // The default, for contrast: the environment's locale groups.
                EXPECT_EQ(grouped(1234567), "1,234,567");
            }
            zvk::Vorn handle("app", 0);
            handle.log(stream_of("1234567 and 0.5\n"), zvk::Vorn::INFO, "pay.cpp", 1234567, "f");
            ASSERT_EQ(handle.flush(), 0);
            lines = split_lines(read_file("logs/app.json"));
        }
        ASSERT_EQ(lines.size(), 2u);
        // Byte for byte the same but for the time and the thread.
        const std::regex varying("\"(time|thread)\":(\"[^\"]*\"|\\d+)");
        EXPECT_EQ(std::regex_replace(lines[0], varying, ""),
                  std::regex_replace(lines[1], varying, ""));
        EXPECT_NE(lines[0].find("\"line\":1234567"), std::string::npos) << lines[0];
    });
}

TEST(VornServiceCountedFileLimit, ProgramFilesAndChildrenAreNotLimited) {
    isolated([] {
        const rlim_t before = file_size_limit();
        write_config("yes.xml", "<file_size_max>1K</file_size_max>\n");
        write_config("no.xml", counted_config());
        VornService* service = VornService::get_service();
        // Set by the default, then given back by the next configuration.
        ASSERT_EQ(service->init("yes.xml"), VornService::SERVICE_RUNNING);
        ASSERT_EQ(file_size_limit(), Limit);
        ASSERT_EQ(service->init("no.xml"), VornService::SERVICE_RUNNING);
        ASSERT_NE(zvk::Vorn("app", 0).logger, nullptr);
        EXPECT_TRUE(file_limit_untouched(before));
        const std::string big(64 * Limit, 'b');
        write_file("own.bin", big);
        EXPECT_EQ(read_file("own.bin").size(), big.size());
        // A child started through system() is no fork the library sees.
        EXPECT_EQ(std::system("head -c 65536 /dev/zero > child.bin"), 0);
        EXPECT_EQ(read_file("child.bin").size(), 65536u);
        EXPECT_EQ(service->file_limit, Limit);
    });
}

TEST(VornServiceCountedFileLimit, RotationIsExactAndALongRecordIsCutAtTheLimit) {
    isolated([] {
        const rlim_t before = file_size_limit();
        write_config("vorn_config.xml", counted_config());
        constexpr int Count = 3000;
        {
            zvk::Vorn handle("app", 0);
            for (int i = 0; i < Count; ++i) {
                log_text(handle, record(i));
            }
            ASSERT_EQ(handle.flush(), 0);
        }
        EXPECT_TRUE(file_limit_untouched(before));
        expect_exact_rotation(Count);
        // Alone longer than the limit: the fresh file holds its first Limit
        // bytes, as the process's own limit would have cut it.
        StdoutPipe out;
        zvk::Vorn handle("app", 0);
        log_text(handle, std::string(Limit + 100, 'L') + "\n");
        ASSERT_EQ(handle.flush(), 0);
        EXPECT_EQ(read_file("logs/app.log"), std::string(Limit, 'L'));
        EXPECT_EQ(out.text(), "Record longer than file size limit, truncated in target: f\n");
    });
}

TEST(VornServiceCountedFileLimit, AFaultOnTheWriterAtTheLimitRotatesAsItWould) {
    if (thread_sanitized) {
        GTEST_SKIP() << "ThreadSanitizer cannot follow a signal handler that reads the queue";
    }
    isolated([] {
        write_config("vorn_config.xml",
                     counted_config("<flush_on_crash>true</flush_on_crash>", "64K"));
        constexpr int Count = sanitized ? 30000 : 200000;
        ChildEnd end = run_child(
            [] {
                default_fault_handling();
                const rlim_t before = file_size_limit();
                zvk::Vorn handle("app", 0);
                for (int i = 0; i < Count; ++i) {
                    log_text(handle, record(i));
                }
                if (!file_limit_untouched(before)) {
                    std::_Exit(3);
                }
                // On the worker: the handler itself writes what is queued.
                syscall(SYS_tgkill, getpid(), other_threads().at(0), SIGSEGV);
                std::this_thread::sleep_for(std::chrono::seconds(30));
            },
            60);
        ASSERT_FALSE(end.hung);
        ASSERT_TRUE(WIFSIGNALED(end.status)) << end.status;
        EXPECT_EQ(WTERMSIG(end.status), SIGSEGV);
        // The record inside write_msg when the fault came may be lost.
        expect_exact_rotation(Count, 64 * Limit, 1);
    });
}

}  // namespace zvk::test
