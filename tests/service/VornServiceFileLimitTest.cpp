#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <iomanip>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ConfigText.h"
#include "TestSupport.h"
#include "zvk/Vorn.h"
#include "zvk/VornInit.h"
#include "zvk/VornService.h"

namespace zvk::test {

namespace {

constexpr unsigned long Default = 10485760;

}  // namespace

TEST(VornServiceFileSize, UnitsScaleTheNumber) {
    isolated([] {
        VornService* service = VornService::get_service();
        EXPECT_EQ(service->calculate_file_size("512K"), 524288u);
        EXPECT_EQ(service->calculate_file_size("10M"), 10485760u);
        EXPECT_EQ(service->calculate_file_size("10 MB"), 10485760u);
        EXPECT_EQ(service->calculate_file_size("  3\tG"), 3221225472u);
        EXPECT_EQ(service->calculate_file_size("1G"), 1073741824u);
        EXPECT_EQ(service->calculate_file_size("100B"), 100u);
        EXPECT_EQ(service->calculate_file_size("2T"), 2199023255552u);
        EXPECT_EQ(service->calculate_file_size("1P"), 1125899906842624u);
        EXPECT_EQ(service->calculate_file_size("15E"), 15ul << 60);
        EXPECT_EQ(service->calculate_file_size("17179869183G"), 17179869183ul << 30);
        EXPECT_EQ(service->calculate_file_size("18446744073709551615B"), 18446744073709551615ul);
    });
}

TEST(VornServiceFileSize, UnusableTextGivesDefault) {
    isolated([] {
        VornService* service = VornService::get_service();
        for (const char* text : {"1.5G", "10m", "0M", "M", "100", "", "abc", "7 ", "5X"}) {
            EXPECT_EQ(service->calculate_file_size(text), Default) << '"' << text << '"';
        }
    });
}

TEST(VornServiceFileSize, OverflowGivesDefaultNotZero) {
    isolated([] {
        VornService* service = VornService::get_service();
        for (const char* text : {"5Y", "1Z", "16E", "17179869184G", "18446744073709551616B",
                                 "99999999999999999999999M", "-1B", "-5M"}) {
            EXPECT_EQ(service->calculate_file_size(text), Default) << text;
        }
    });
}

TEST(VornServiceFileLimit, ConfiguredSizeBecomesTheSoftLimitOnlyUntilStop) {
    isolated([] {
        write_config("vorn_config.xml", "<file_size_max>2M</file_size_max>\n");
        rlim_t hard_before = 0;
        rlim_t soft_before = file_size_limit(&hard_before);
        VornService* service = VornService::get_service();
        EXPECT_EQ(service->file_limit, 2097152u);
        rlim_t hard = 0;
        EXPECT_EQ(file_size_limit(&hard), 2097152u);
        EXPECT_EQ(hard, hard_before);
        VornInit::reset_vorn_state();
        EXPECT_EQ(file_size_limit(&hard), soft_before);
        EXPECT_EQ(hard, hard_before);
    });
}

TEST(VornServiceFileLimit, NoElementGivesDefault) {
    isolated([] {
        write_config("vorn_config.xml", "<log_dir>logs</log_dir>\n");
        VornService* service = VornService::get_service();
        EXPECT_EQ(service->file_limit, Default);
        EXPECT_EQ(file_size_limit(), Default);
    });
}

TEST(VornServiceFileLimit, OverflowingSizesNeverBecomeZero) {
    isolated([] {
        VornService* service = VornService::get_service();
        for (const char* text : {"5Y", "1Z", "16E", "17179869184G"}) {
            write_config("size.xml", std::string("<file_size_max>") + text + "</file_size_max>\n");
            CaptureFd out(1);
            EXPECT_EQ(service->init("size.xml"), VornService::SERVICE_RUNNING);
            EXPECT_EQ(out.text(), "");
            EXPECT_EQ(service->file_limit, Default) << text;
            EXPECT_EQ(file_size_limit(), Default) << text;
        }
        // The process can still write once the limit is in force.
        write_file("probe.txt", "still writable\n");
        EXPECT_EQ(read_file("probe.txt"), "still writable\n");
    });
}

TEST(VornServiceFileLimit, SetWithoutModelUsesDefault) {
    isolated([] {
        // Larger than the default: lowering needs no privilege.
        write_config("vorn_config.xml", "<file_size_max>20M</file_size_max>\n");
        VornService* service = VornService::get_service();
        ASSERT_EQ(file_size_limit(), 20971520u);
        service->stop();
        EXPECT_EQ(service->set_file_limit(), 0);
        EXPECT_EQ(service->file_limit, Default);
        EXPECT_EQ(file_size_limit(), Default);
    });
}

// File targets that start (and guard SIGXFSZ) while another thread sets
// the limit: what the library changed is recorded under one lock, so the
// stop puts back exactly what was there (ThreadSanitizer sees the rest).
TEST(VornServiceFileLimit, TargetStartsBesideLimitChangesRestoreAtStop) {
    isolated([] {
        write_config("vorn_config.xml",
                     "<log_dir>logs</log_dir><file_size_max>2M</file_size_max>\n");
        const rlim_t soft_before = file_size_limit();
        VornService* service = VornService::get_service();
        std::atomic<bool> done{false};
        std::thread setter([&] {
            while (!done.load()) {
                service->set_file_limit();
            }
        });
        for (int i = 0; i < 20; ++i) {
            EXPECT_NE(service->create_file_target("f" + std::to_string(i)), nullptr);
        }
        done = true;
        setter.join();
        VornInit::reset_vorn_state();
        EXPECT_EQ(file_size_limit(), soft_before);
        struct sigaction now {};
        ASSERT_EQ(sigaction(SIGXFSZ, nullptr, &now), 0);
        EXPECT_EQ(now.sa_handler, SIG_DFL);
    });
}

TEST(VornServiceFileLimit, RaisingWithoutPrivilegeTakesEffect) {
    std::string why = cannot_drop_privileges();
    if (!why.empty()) {
        GTEST_SKIP() << why << "; the EPERM path needs an unprivileged process";
    }
    isolated([] {
        write_config("small.xml", "<file_size_max>1M</file_size_max>\n");
        write_config("large.xml", "<file_size_max>2M</file_size_max>\n");
        VornService* service = VornService::get_service();
        ASSERT_EQ(service->init("small.xml"), VornService::SERVICE_RUNNING);
        ASSERT_EQ(file_size_limit(), 1048576u);
        ASSERT_EQ(chmod(".", 0755), 0);
        ASSERT_EQ(drop_privileges(), "");
        rlim_t hard_before = 0;
        file_size_limit(&hard_before);
        CaptureFd out(1);
        EXPECT_EQ(service->init("large.xml"), VornService::SERVICE_RUNNING);
        EXPECT_EQ(out.text(), "");
        EXPECT_EQ(service->file_limit, 2097152u);
        rlim_t hard = 0;
        EXPECT_EQ(file_size_limit(&hard), 2097152u);
        EXPECT_EQ(hard, hard_before);
        regain_root();
    });
}

TEST(VornServiceFileLimit, ConsoleAtTheLimitSurvivesAndCountsWhatIsLost) {
    isolated([] {
        write_config("vorn_config.xml", "<file_size_max>4K</file_size_max>\n" +
                                            stdout_target("screen") +
                                            logger_record("app", "screen"));
        constexpr int Records = 3000;
        StdoutPipe out;
        // As `prog 2>>app.err`: standard error is a file under the limit.
        int err_fd = open("app.err", O_WRONLY | O_CREAT | O_APPEND, 0644);
        ASSERT_GE(err_fd, 0);
        int saved_err = dup(2);
        ASSERT_EQ(dup2(err_fd, 2), 2);
        auto started = std::chrono::steady_clock::now();
        {
            zvk::Vorn handle("app", 0);
            for (int i = 0; i < Records; ++i) {
                std::ostringstream text;
                text << "record " << std::setw(5) << i << std::string(80, '.') << '\n';
                handle.log(std::move(text), zvk::Vorn::INFO);
            }
            VornInit::reset_vorn_state();
        }
        auto seconds = std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::steady_clock::now() - started)
                           .count();
        dup2(saved_err, 2);
        std::vector<std::string> lines = split_lines(out.text());
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], "Could not write msg in target: console");
        EXPECT_LE(lines.size(), static_cast<std::size_t>(seconds) + 3);
        long lost = 1;
        const std::regex more("Could not write msg in target: console - (\\d+) more records lost");
        for (std::size_t i = 1; i < lines.size(); ++i) {
            std::smatch match;
            ASSERT_TRUE(std::regex_match(lines[i], match, more)) << lines[i];
            lost += std::stol(match[1]);
        }
        // Every record is either whole in the file or counted as lost.
        long whole = 0;
        for (const std::string& line : split_lines(read_file("app.err"))) {
            whole += line.size() == 92 ? 1 : 0;
        }
        EXPECT_EQ(whole + lost, Records);
    });
}

TEST(VornServiceFileLimit, ApplicationWritesPastTheLimitFailWithEfbig) {
    isolated([] {
        write_config("vorn_config.xml", "<file_size_max>1M</file_size_max>\n" +
                                            file_target("f", "app.log") +
                                            logger_record("app", "f"));
        ASSERT_EQ(VornInit::init(), 0);
        int fd = open("own.bin", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        std::string block(1 << 20, 'x');
        EXPECT_EQ(write(fd, block.data(), block.size()), static_cast<ssize_t>(block.size()));
        errno = 0;
        EXPECT_EQ(write(fd, "y", 1), -1);
        EXPECT_EQ(errno, EFBIG);
        close(fd);
    });
}

TEST(VornServiceFileLimit, AfterStopChildrenWriteLargeFilesAgain) {
    isolated([] {
        write_config("vorn_config.xml", "<file_size_max>1M</file_size_max>\n");
        ASSERT_EQ(VornInit::init(), 0);
        VornInit::reset_vorn_state();
        write_file("big.bin", std::string(3 << 20, 'b'));
        EXPECT_EQ(std::system("cp big.bin copy.bin"), 0);
        struct stat st {};
        ASSERT_EQ(stat("copy.bin", &st), 0);
        EXPECT_EQ(st.st_size, 3 << 20);
    });
}

void count_signal(int) {}

TEST(VornServiceFileLimit, ApplicationsOwnSignalDispositionStays) {
    using Handler = void (*)(int);
    for (bool before : {true, false}) {
        for (Handler handler : {SIG_IGN, &count_signal}) {
            SCOPED_TRACE(std::string(before ? "before" : "after") +
                         (handler == SIG_IGN ? " ignore" : " handler"));
            isolated([before, handler] {
                write_config("vorn_config.xml", "<file_size_max>1M</file_size_max>\n" +
                                                    file_target("f", "app.log") +
                                                    logger_record("app", "f"));
                if (before) {
                    signal(SIGXFSZ, handler);
                }
                ASSERT_EQ(VornInit::init(), 0);
                if (!before) {
                    signal(SIGXFSZ, handler);
                }
                ASSERT_NE(zvk::Vorn("app", 0).logger, nullptr);
                struct sigaction now {};
                ASSERT_EQ(sigaction(SIGXFSZ, nullptr, &now), 0);
                EXPECT_EQ(now.sa_handler, handler);
                VornInit::reset_vorn_state();
                ASSERT_EQ(sigaction(SIGXFSZ, nullptr, &now), 0);
                EXPECT_EQ(now.sa_handler, handler);
            });
        }
    }
}

}  // namespace zvk::test
