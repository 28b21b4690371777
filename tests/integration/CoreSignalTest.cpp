// Where the library's threads meet the application's signals: a signal the
// application blocks and waits for reaches it, a crash flush ends within
// its bound whichever thread takes the signal and however stuck the
// output is, threads that log on through a crash leave no hole and no torn
// record, also at the size limit, and a forked child does not keep the
// crash handlers.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "ConfigText.h"
#include "TestSupport.h"
#include "targets/TargetAccess.h"
#include "zvk/FileLog.h"
#include "zvk/Vorn.h"

#ifndef ZVK_TEST_TSAN

namespace zvk::test {
namespace {

const std::string FlushOnCrash = "<flush_on_crash>true</flush_on_crash>\n";

TEST(VornCoreSignals, ApplicationGetsTheSignalsItBlocksAndWaitsFor) {
    struct Case {
        const char* name;
        int sig;
        bool flush_on_crash;
    };
    for (const Case& c : {Case{"SIGTERM", SIGTERM, false}, Case{"SIGTERM, flush", SIGTERM, true},
                          Case{"SIGCHLD", SIGCHLD, false}, Case{"SIGUSR1, flush", SIGUSR1, true}}) {
        SCOPED_TRACE(c.name);
        isolated([&c] {
            write_config("vorn_config.xml", (c.flush_on_crash ? FlushOnCrash : "") +
                                                file_target("f", "app.log") +
                                                logger_record("app", "f"));
            Vorn handle("app", 0);
            for (int i = 0; i < 100; ++i) {
                VORN_LOG(handle, INFO, "record " << i);
            }
            // The usual event loop's shutdown: block, then wait for it.
            sigset_t set;
            sigemptyset(&set);
            sigaddset(&set, c.sig);
            ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &set, nullptr), 0);
            for (int round = 0; round < 20; ++round) {
                ASSERT_EQ(kill(getpid(), c.sig), 0);
                const timespec wait{2, 0};
                ASSERT_EQ(sigtimedwait(&set, nullptr, &wait), c.sig) << "round " << round;
            }
        });
    }
}

// A child whose standard error is a pipe nobody reads: the console worker
// is stuck in a write when `crash` runs.
void stuck_console_child(void (*crash)()) {
    default_fault_handling();
    int err[2];
    if (pipe(err) != 0) {
        std::_Exit(3);
    }
    dup2(err[1], STDERR_FILENO);
    write_config("vorn_config.xml",
                 FlushOnCrash + stdout_target("console") + logger_record("app", "console"));
    Vorn handle("app", 0);
    // Four times what the pipe holds.
    for (int i = 0; i < 2600; ++i) {
        VORN_LOG(handle, INFO, std::string(92, 'x') << " " << i);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    crash();
    std::this_thread::sleep_for(std::chrono::seconds(30));
}

TEST(VornCoreSignals, CrashFlushEndsWithinItsBoundWhenTheConsoleIsStuck) {
    struct Case {
        const char* name;
        int sig;
        void (*crash)();
    };
    const Case cases[] = {
        {"fault on the worker", SIGSEGV,
         [] { syscall(SYS_tgkill, getpid(), other_threads().at(0), SIGSEGV); }},
        {"SIGTERM to the process", SIGTERM, [] { kill(getpid(), SIGTERM); }},
        {"SIGTERM to the worker, blocked there", SIGTERM,
         [] {
             syscall(SYS_tgkill, getpid(), other_threads().at(0), SIGTERM);
             std::this_thread::sleep_for(std::chrono::milliseconds(200));
             kill(getpid(), SIGTERM);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        isolated([&c] {
            ChildEnd end = run_child([&c] { stuck_console_child(c.crash); }, 20, true);
            EXPECT_FALSE(end.hung);
            ASSERT_TRUE(WIFSIGNALED(end.status)) << end.status;
            EXPECT_EQ(WTERMSIG(end.status), c.sig);
            // The flush gives up after 3 s; the rest is the child's set-up.
            EXPECT_LT(end.seconds, 8.0);
            EXPECT_NE(end.out.find("Could not flush target: console\n"), std::string::npos)
                << end.out;
        });
    }
}

TEST(VornCoreSignals, FaultOnAFileWorkerWritesWhatIsQueued) {
    constexpr int Records = 20000;
    isolated([] {
        ChildEnd end = run_child(
            [] {
                default_fault_handling();
                write_config("vorn_config.xml", FlushOnCrash + file_target("f", "app.log") +
                                                    logger_record("app", "f"));
                Vorn handle("app", 0);
                for (int i = 0; i < Records; ++i) {
                    VORN_LOG(handle, INFO, "record " << i);
                }
                syscall(SYS_tgkill, getpid(), other_threads().at(0), SIGSEGV);
                std::this_thread::sleep_for(std::chrono::seconds(30));
            },
            20);
        EXPECT_FALSE(end.hung);
        ASSERT_TRUE(WIFSIGNALED(end.status));
        EXPECT_EQ(WTERMSIG(end.status), SIGSEGV);
        std::vector<std::string> lines = split_lines(read_file("logs/app.log"));
        // The record inside write_msg when the fault came may be lost.
        EXPECT_GE(lines.size(), std::size_t{Records - 1});
        // Whole lines, in order, at most one missing.
        for (std::size_t i = 0, expected = 0; i < lines.size(); ++i, ++expected) {
            std::string tail = lines[i].substr(lines[i].find(" INFO ") + 6);
            if (tail != "record " + std::to_string(expected)) {
                ASSERT_EQ(tail, "record " + std::to_string(++expected)) << "line " << i;
            }
        }
    });
}

// Four threads log while a fatal signal comes, on the file worker or on
// the main thread, at a small and at a large size limit. Of each thread,
// the files together hold its first records, each once, in order, whole:
// at least those it had logged before the signal, and no record cut by
// the process's end.
TEST(VornCoreSignals, RecordsLoggedThroughACrashLeaveEveryAcceptedOneWhole) {
    constexpr int Threads = 4;
    constexpr int PerThread = sanitized ? 15000 : 60000;
    struct Case {
        const char* name;
        const char* size_max;
        int sig;
        bool on_worker;
    };
    const Case cases[] = {
        {"fault on the worker at 256K", "256K", SIGSEGV, true},
        {"fault on the worker at 1G", "1G", SIGSEGV, true},
        {"abort", "1G", SIGABRT, false},
        {"fault at 256K", "256K", SIGSEGV, false},
        {"SIGTERM", "1G", SIGTERM, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        isolated([&c] {
            ChildEnd end = run_child(
                [&c] {
                    default_fault_handling();
                    write_config("vorn_config.xml", FlushOnCrash + "<file_size_max>" + c.size_max +
                                                        "</file_size_max>" +
                                                        file_target("f", "app.log", "-1") +
                                                        logger_record("app", "f"));
                    Vorn handle("app", 0);
                    const pid_t worker = other_threads().at(0);
                    std::atomic<int> logged[Threads] = {};
                    for (int t = 0; t < Threads; ++t) {
                        std::thread([&handle, &logged, t] {
                            for (int n = 0; n < PerThread; ++n) {
                                log_text(handle, "p" + std::to_string(t) + " " + std::to_string(n) +
                                                     " " + std::string(40, 'x') + "\n");
                                logged[t].store(n + 1);
                            }
                        }).detach();
                    }
                    while (logged[0].load() < PerThread / 2) {
                        std::this_thread::yield();
                    }
                    std::string before;
                    for (auto& count : logged) {
                        before += std::to_string(count.load()) + "\n";
                    }
                    write_file("before.txt", before);
                    if (c.on_worker) {
                        syscall(SYS_tgkill, getpid(), worker, c.sig);
                    } else if (c.sig == SIGSEGV) {
                        *static_cast<volatile int*>(nullptr) = 1;
                    } else {
                        raise(c.sig);
                    }
                    std::this_thread::sleep_for(std::chrono::seconds(30));
                },
                30, true);
            ASSERT_FALSE(end.hung);
            ASSERT_TRUE(WIFSIGNALED(end.status)) << end.status;
            EXPECT_EQ(WTERMSIG(end.status), c.sig);
            EXPECT_EQ(end.out, "");
            // Rotated files oldest first, then the active one.
            std::vector<std::string> files;
            for (const std::string& name : list_dir("logs")) {
                if (name != "app.log") {
                    files.push_back("logs/" + name);
                }
            }
            std::sort(files.begin(), files.end(), detail::TargetAccess::RotatedOrder());
            files.push_back("logs/app.log");
            std::vector<int> next(Threads, 0);
            for (const std::string& file : files) {
                const std::string text = read_file(file);
                ASSERT_TRUE(text.empty() || text.back() == '\n') << file << " ends torn";
                for (const std::string& line : split_lines(text)) {
                    int t = -1;
                    int n = -1;
                    ASSERT_EQ(std::sscanf(line.c_str(), "p%d %d", &t, &n), 2) << line;
                    ASSERT_TRUE(t >= 0 && t < Threads) << line;
                    ASSERT_EQ(n, next[t]) << file << ": " << line;
                    ++next[t];
                }
            }
            const std::vector<std::string> before = split_lines(read_file("before.txt"));
            ASSERT_EQ(before.size(), std::size_t{Threads});
            for (int t = 0; t < Threads; ++t) {
                EXPECT_GE(next[t], std::stoi(before[t])) << "thread " << t;
            }
        });
    }
}

TEST(VornCoreSignals, ForkedChildGetsTheCrashSignalsBack) {
    isolated([] {
        static constexpr int Signals[] = {SIGSEGV, SIGABRT, SIGTERM};
        struct sigaction before[3]{};
        for (int i = 0; i < 3; ++i) {
            sigaction(Signals[i], nullptr, &before[i]);
        }
        write_config("vorn_config.xml",
                     FlushOnCrash + file_target("f", "app.log") + logger_record("app", "f"));
        Vorn handle("app", 0);
        VORN_LOG(handle, INFO, "before the fork");
        ChildEnd end = run_child(
            [&before] {
                for (int i = 0; i < 3; ++i) {
                    struct sigaction now {};
                    sigaction(Signals[i], nullptr, &now);
                    if (now.sa_sigaction != before[i].sa_sigaction) {
                        std::_Exit(10 + Signals[i]);
                    }
                }
            },
            10);
        ASSERT_TRUE(WIFEXITED(end.status));
        EXPECT_EQ(WEXITSTATUS(end.status), 0);
    });
}

}  // namespace
}  // namespace zvk::test

#endif
