// Where reloads, stops and exit meet the targets they take out of service:
// one writer per file at a time, retired targets give back what they hold,
// a crash while one drains loses nothing, a stuck output holds up nobody
// else, and what the service hands out stays valid.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <locale>
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

using namespace std::chrono_literals;

int open_descriptors() {
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (readdir(dir) != nullptr) {
            ++count;
        }
        closedir(dir);
    }
    return count;
}

// `threads` threads each log `count` "T N <padding>" lines through `app`.
std::vector<std::thread> log_lines(const Vorn& app, int threads, int count) {
    std::vector<std::thread> all;
    for (int t = 0; t < threads; ++t) {
        all.emplace_back([&app, t, count] {
            const std::string pad(200, 'x');
            for (int n = 0; n < count; ++n) {
                log_text(app, std::to_string(t) + " " + std::to_string(n) + " " + pad + "\n");
            }
        });
    }
    return all;
}

// Every record of every thread exactly once and whole; within each file,
// each thread's records in order with none missing between them.
void expect_whole_and_in_order(const std::vector<std::string>& files, int threads, int count) {
    std::vector<std::vector<int>> seen(threads, std::vector<int>(count, 0));
    for (const std::string& file : files) {
        std::vector<int> last(threads, -1);
        for (const std::string& line : split_lines(read_file(file))) {
            int t = -1;
            int n = -1;
            ASSERT_EQ(std::sscanf(line.c_str(), "%d %d", &t, &n), 2) << file << ": " << line;
            ASSERT_TRUE(t >= 0 && t < threads && n >= 0 && n < count) << line;
            ASSERT_EQ(line.size(), std::to_string(t).size() + std::to_string(n).size() + 202)
                << "torn: " << line;
            ASSERT_TRUE(last[t] == -1 || n == last[t] + 1)
                << file << ": thread " << t << " " << last[t] << " then " << n;
            last[t] = n;
            ++seen[t][n];
        }
    }
    for (int t = 0; t < threads; ++t) {
        EXPECT_EQ(std::count(seen[t].begin(), seen[t].end(), 1), count) << "thread " << t;
    }
}

TEST(VornOwnership, ReloadChangingAFileTargetsSettingsKeepsOneWriter) {
    const std::string head = "<file_size_max>64K</file_size_max>";
    // Every file is kept: what retention removes is no loss.
    auto record = [](const std::string& extra, const std::string& max = "-1") {
        return "<target name=\"f\"><type>file</type><file_name>app.log</file_name>"
               "<max_number_file>" +
               max + "</max_number_file>" + extra + "</target>\n" + logger_record("app", "f");
    };
    const struct {
        const char* name;
        std::string before;
        std::string after;
    } cases[] = {
        {"max_number_file", "<log_dir>logs</log_dir>" + record(""),
         "<log_dir>logs</log_dir>" + record("", "5000")},
        {"queue_max", "<log_dir>logs</log_dir>" + record(""),
         "<log_dir>logs</log_dir>" + record("<queue_max>100000</queue_max>")},
        {"log_dir spelling", "<log_dir>logs</log_dir>" + record(""),
         "<log_dir>./logs/</log_dir>" + record("")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        isolated([&] {
            write_config("vorn_config.xml", head + c.before);
            StdoutPipe out;
            Vorn app("app", 0);
            const int count = sanitized ? 4000 : 20000;
            std::vector<std::thread> threads = log_lines(app, 4, count);
            for (int i = 0; i < 6; ++i) {
                std::this_thread::sleep_for(5ms);
                write_config("vorn_config.xml", head + (i % 2 == 0 ? c.after : c.before));
                ASSERT_EQ(VornInit::reload(), 0);
            }
            for (auto& t : threads) {
                t.join();
            }
            VornInit::reset_vorn_state();
            std::vector<std::string> files;
            for (const std::string& name : list_dir("logs")) {
                files.push_back("logs/" + name);
            }
            expect_whole_and_in_order(files, 4, count);
            const std::string lines = out.text();
            EXPECT_EQ(lines.find("File too large"), std::string::npos) << lines;
            EXPECT_EQ(lines.find("longer than"), std::string::npos) << lines;
        });
    }
}

TEST(VornOwnership, RetiredTargetsCloseTheirFilesAndAreFreed) {
    isolated([] {
        auto config = [](int i) {
            write_config("vorn_config.xml", "<log_dir>logs" + std::to_string(i % 3) + "</log_dir>" +
                                                file_target("f", "app.log") +
                                                logger_record("app", "f"));
        };
        config(0);
        Vorn app("app", 0);
        log_text(app, "first\n");
        ASSERT_EQ(app.flush(), 0);
        const int before = open_descriptors();
        const int reloads = sanitized ? 300 : 2000;
        for (int i = 1; i <= reloads; ++i) {
            config(i);
            ASSERT_EQ(VornInit::reload(), 0);
            log_text(app, "record " + std::to_string(i) + "\n");
        }
        // The live target's descriptors and nothing of the retired ones.
        EXPECT_LE(open_descriptors(), before + 2);
        VornInit::reset_vorn_state();
        std::size_t written = 0;
        for (const char* dir : {"logs0", "logs1", "logs2"}) {
            for (const std::string& file : list_dir(dir)) {
                written += split_lines(read_file(std::string(dir) + "/" + file)).size();
            }
        }
        EXPECT_EQ(written, static_cast<std::size_t>(reloads + 1));
    });
}

// A console with a queue of its own, which a reload to a plain one retires.
const std::string bounded_console =
    "<target name=\"s\"><type>stdout</type><queue_max>100000</queue_max></target>" +
    logger_record("app", "s");
const std::string plain_console = stdout_target("s") + logger_record("app", "s");

// A crash while a target that holds records leaves service: the handler
// still sees it and writes them. Standard error is a pipe read only after
// a while, so that the records are still queued when the target leaves.
TEST(VornOwnership, CrashWhileATargetIsRetiredWritesItsQueue) {
    for (bool by_reload : {true, false}) {
        SCOPED_TRACE(by_reload ? "reload" : "reset_vorn_state");
        isolated([by_reload] {
            const int records = 20000;
            int fds[2];
            ASSERT_EQ(pipe(fds), 0);
            pid_t child = fork();
            if (child == 0) {
                watchdog(20);
                dup2(fds[1], STDERR_FILENO);
                close(fds[0]);
                write_config("vorn_config.xml",
                             "<flush_on_crash>true</flush_on_crash>" + bounded_console);
                Vorn app("app", 0);
                for (int i = 0; i < records; ++i) {
                    log_text(app, "r " + std::to_string(i) + std::string(100, 'y') + "\n");
                }
                write_config("vorn_config.xml",
                             "<flush_on_crash>true</flush_on_crash>" + plain_console);
                std::thread retiring([by_reload] {
                    by_reload ? VornInit::reload() : (VornInit::reset_vorn_state(), 0);
                });
                std::this_thread::sleep_for(100ms);
                std::abort();
            }
            close(fds[1]);
            std::this_thread::sleep_for(400ms);
            const std::vector<std::string> lines = split_lines(read_to_end(fds[0]));
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGABRT) << status;
            ASSERT_EQ(lines.size(), static_cast<std::size_t>(records));
            EXPECT_EQ(lines.back().rfind("r " + std::to_string(records - 1), 0), 0u);
        });
    }
}

TEST(VornOwnership, ReloadAndInitAfterTheStopAtExitChangeNothing) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            static TempDir dir;
            enter_fresh_dir(dir);
            write_config("vorn_config.xml",
                         stdout_target("screen") + logger_record("app", "screen"));
            std::atexit([] {
                const bool refused = VornInit::reload() == -1 && VornInit::init() == -1;
                VORN_LOG(Vorn("app", 0), INFO, "late " << refused);
                // A name first asked for now gets no logger, and no worker.
                VORN_LOG(Vorn("CONSOLE", 0), INFO, "never");
            });
            Vorn app("app", 0);
            for (int i = 0; i < 2000; ++i) {
                VORN_LOG(app, INFO, "queued " << i);
            }
            std::exit(0);
        },
        testing::ExitedWithCode(0), "queued 1999\n.* INFO late 1\n$");
}

// A console whose reader stopped reading is retired: the reload waits for
// it, nobody else does.
TEST(VornOwnership, StuckRetiringTargetHoldsUpNoHandleAndNoFork) {
    isolated([] {
        int fds[2];
        ASSERT_EQ(pipe(fds), 0);
        fcntl(fds[1], F_SETPIPE_SZ, 4096);
        const int saved = dup(STDERR_FILENO);
        dup2(fds[1], STDERR_FILENO);
        const std::string other = file_target("f", "other.log") + logger_record("other", "f");
        write_config("vorn_config.xml", bounded_console + other);
        Vorn app("app", 0);
        for (int i = 0; i < 1000; ++i) {
            log_text(app, std::string(100, 'z') + "\n");
        }
        write_config("vorn_config.xml", plain_console + other);
        std::thread reload([] { VornInit::reload(); });
        std::this_thread::sleep_for(200ms);
        auto started = std::chrono::steady_clock::now();
        std::thread maker([] { Vorn other("other", 0); });
        maker.join();
        EXPECT_LT(std::chrono::steady_clock::now() - started, 100ms);
        started = std::chrono::steady_clock::now();
        pid_t child = fork();
        if (child == 0) {
            std::_Exit(0);
        }
        EXPECT_LT(std::chrono::steady_clock::now() - started, 1s);
        int status = 0;
        waitpid(child, &status, 0);
        // The reader comes back: the retired console drains and the reload
        // ends.
        std::thread reader([fd = fds[0]] {
            char buffer[4096];
            while (read(fd, buffer, sizeof buffer) > 0) {
            }
        });
        reload.join();
        VornInit::reset_vorn_state();
        dup2(saved, STDERR_FILENO);
        close(fds[1]);
        reader.join();
    });
}

TEST(VornOwnership, ConfigValueOutlivesTheModelThatHeldIt) {
    isolated([] {
        write_config("vorn_config.xml", "<time_zone>LOCAL</time_zone>");
        ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
        const std::string& zone = VornService::get_service()->get_config_value("time_zone");
        write_config("vorn_config.xml", "<time_zone>GMT</time_zone>");
        ASSERT_EQ(VornInit::reload(), 0);
        ASSERT_EQ(VornInit::reload(), 0);
        EXPECT_EQ(zone, "LOCAL");
        EXPECT_EQ(VornService::get_service()->get_config_value("time_zone"), "GMT");
    });
}

TEST(VornOwnership, ReloadSetsTheGlobalLocaleOnlyWhenItChanges) {
    isolated([] {
        write_config("vorn_config.xml", "<locale>C</locale>");
        ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
        std::locale::global(std::locale("C.UTF-8"));
        ASSERT_EQ(VornInit::reload(), 0);
        EXPECT_EQ(std::locale().name(), "C.UTF-8");
        write_config("vorn_config.xml", "<locale>POSIX</locale>");
        ASSERT_EQ(VornInit::reload(), 0);
        EXPECT_NE(std::locale().name(), "C.UTF-8");
    });
}

// Under ThreadSanitizer this also pins one order of the targets' locks
// across forks, whatever order reloads made the targets in.
TEST(VornOwnership, ForksBetweenReloadsLeaveUsableChildren) {
    isolated([] {
        auto config = [](bool flipped) {
            const std::string a = file_target("a", "a.log") + logger_record("la", "a");
            const std::string b = file_target("b", "b.log") + logger_record("lb", "b");
            write_config("vorn_config.xml", "<log_dir>" + std::string(flipped ? "x" : "y") +
                                                "</log_dir>" + (flipped ? b + a : a + b));
        };
        config(false);
        Vorn la("la", 0);
        Vorn lb("lb", 0);
        for (int i = 0; i < 20; ++i) {
            config(i % 2 == 1);
            ASSERT_EQ(VornInit::reload(), 0);
            log_text(i % 2 == 0 ? la : lb, "r\n");
            pid_t child = fork();
            if (child == 0) {
                log_text(la, "child\n");
                std::_Exit(0);
            }
            int status = 0;
            ASSERT_EQ(waitpid(child, &status, 0), child);
            EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
    });
}

TEST(VornOwnership, ReloadAfterAChangeOfDirectoryReadsTheSameFile) {
    for (bool given : {true, false}) {
        SCOPED_TRACE(given ? "given" : "found");
        isolated([given] {
            write_config("vorn_config.xml", "<time_zone>GMT</time_zone>");
            if (given) {
                ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
            }
            Vorn app("CONSOLE", 0);
            const std::string home = cwd();
            ASSERT_EQ(mkdir("elsewhere", 0755), 0);
            ASSERT_EQ(chdir("elsewhere"), 0);
            write_config(home + "/vorn_config.xml", "<time_zone>LOCAL</time_zone>");
            EXPECT_EQ(VornInit::reload(), 0);
            EXPECT_EQ(VornService::get_service()->time_zone, "local");
            ASSERT_EQ(chdir(home.c_str()), 0);
        });
    }
}

}  // namespace
}  // namespace zvk::test
