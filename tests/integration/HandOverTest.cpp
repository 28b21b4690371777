// Records handed over by threads that each have a queue of their own into
// a target: written in the order they were handed over across threads, kept
// whole when threads come and go while the target is reloaded, and the
// memory of threads that ended given back; a hand-over entered again on its
// own thread corrupts nothing.
#include <malloc.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "ConfigText.h"
#include "TestSupport.h"
#include "zvk/Vorn.h"
#include "zvk/VornInit.h"

namespace zvk::test {
namespace {

// Two threads take turns, each handing over only after it saw the other's
// record handed over: the file alternates.
TEST(VornHandOver, TurnsOfTwoThreadsAreWrittenInTurn) {
    isolated([] {
        constexpr int Turns = 20000;
        write_config("vorn_config.xml", file_target("f", "app.log") + logger_record("app", "f"));
        Vorn handle("app", 0);
        std::atomic<int> turn{0};
        auto player = [&](int me) {
            for (int n = me; n < Turns; n += 2) {
                while (turn.load() != n) {
                }
                log_text(handle, std::to_string(n) + "\n");
                turn.store(n + 1);
            }
        };
        std::thread other(player, 1);
        player(0);
        other.join();
        ASSERT_EQ(handle.flush(), 0);
        const std::vector<std::string> lines = split_lines(read_file("logs/app.log"));
        ASSERT_EQ(lines.size(), std::size_t{Turns});
        for (int n = 0; n < Turns; ++n) {
            ASSERT_EQ(lines[n], std::to_string(n));
        }
    });
}

// A signal handler that logs on the thread it interrupts, also in the
// middle of that thread's own hand-over: the process neither dies nor
// hangs, the thread's records are all written in order, and each of the
// handler's is written or counted in a "dropped" line.
Vorn* signal_handle = nullptr;
std::ostringstream handler_text;
std::atomic<long> handled{0};

void log_from_handler(int) {
    // The stream has room for the text: nothing allocates here.
    handler_text.write("from handler\n", 13);
    signal_handle->log(std::move(handler_text), Vorn::INFO);
    handled.fetch_add(1, std::memory_order_relaxed);
}

TEST(VornHandOver, SignalHandlerThatLogsInsideAHandOverIsWrittenOrCounted) {
    if (thread_sanitized) {
        GTEST_SKIP() << "ThreadSanitizer cannot follow a handler that logs";
    }
    isolated([] {
        constexpr int Records = sanitized ? 20000 : 100000;
        constexpr long Signals = sanitized ? 200 : 2000;
        write_config("vorn_config.xml", "<file_size_max>1G</file_size_max>" +
                                            file_target("f", "app.log", "-1") +
                                            logger_record("app", "f"));
        std::fflush(stdout);
        ChildEnd end = run_child(
            [] {
                watchdog(100);
                signal_handle = new Vorn("app", 0);
                // The thread's first record takes what a thread needs once.
                handler_text << std::string(64, '-') << '\n';
                signal_handle->log(std::move(handler_text), Vorn::INFO);
                struct sigaction action {};
                action.sa_handler = log_from_handler;
                sigaction(SIGUSR1, &action, nullptr);
                // A timer signals this thread every 20 µs, wherever it is.
                sigevent event{};
                event.sigev_notify = SIGEV_THREAD_ID;
                event.sigev_signo = SIGUSR1;
                event._sigev_un._tid = static_cast<pid_t>(syscall(SYS_gettid));
                timer_t timer;
                ASSERT_EQ(timer_create(CLOCK_MONOTONIC, &event, &timer), 0);
                const itimerspec every{{0, 20000}, {0, 20000}};
                ASSERT_EQ(timer_settime(timer, 0, &every, nullptr), 0);
                std::ostringstream text;
                int logged = 0;
                for (; logged < Records || handled.load() < Signals; ++logged) {
                    text << "record " << logged << '\n';
                    signal_handle->log(std::move(text), Vorn::INFO);
                }
                timer_delete(timer);
                VornInit::reset_vorn_state();
                write_file("handled", std::to_string(handled.load()));
                write_file("logged", std::to_string(logged));
                std::cout.flush();
            },
            100, true);
        ASSERT_FALSE(end.hung);
        ASSERT_TRUE(WIFEXITED(end.status) && WEXITSTATUS(end.status) == 0) << end.status;
        long from_handler = 0;
        int next = 0;
        for (const std::string& line : split_lines(read_file("logs/app.log"))) {
            if (line == "from handler") {
                ++from_handler;
            } else if (line.rfind("record ", 0) == 0) {
                ASSERT_EQ(line, "record " + std::to_string(next));
                ++next;
            } else {
                ASSERT_EQ(line, std::string(64, '-'));
            }
        }
        EXPECT_EQ(next, std::stoi(read_file("logged")));
        long counted = 0;
        for (const std::string& line : split_lines(end.out)) {
            long count = 0;
            ASSERT_EQ(std::sscanf(line.c_str() + line.find(" dropped "), " dropped %ld", &count), 1)
                << line;
            EXPECT_NE(line.find(" records in target: f"), std::string::npos) << line;
            counted += count;
        }
        const long sent = std::stol(read_file("handled"));
        EXPECT_GE(sent, Signals);
        EXPECT_EQ(from_handler + counted, sent);
    });
}

// Threads that log a burst and end, a few at a time, while the logger moves
// between two targets: every record once, each thread's in order, in the
// two files together.
TEST(VornHandOver, ThreadsThatComeAndGoDuringReloadsLoseNothing) {
    isolated([] {
        constexpr int Threads = sanitized ? 60 : 200;
        constexpr int PerThread = 500;
        const std::string a = file_target("a", "a.log", "-1") + file_target("b", "b.log", "-1") +
                              logger_record("app", "a");
        const std::string b = file_target("a", "a.log", "-1") + file_target("b", "b.log", "-1") +
                              logger_record("app", "b");
        write_config("vorn_config.xml", a);
        Vorn handle("app", 0);
        std::atomic<bool> done{false};
        std::thread reloader([&] {
            for (int round = 0; !done.load(); ++round) {
                write_config("vorn_config.xml", round % 2 == 0 ? b : a);
                VornInit::reload();
            }
        });
        for (int wave = 0; wave < Threads / 4; ++wave) {
            std::vector<std::thread> threads;
            for (int t = wave * 4; t < wave * 4 + 4; ++t) {
                threads.emplace_back([&handle, t] {
                    for (int n = 0; n < PerThread; ++n) {
                        log_text(handle, std::to_string(t) + " " + std::to_string(n) + "\n");
                    }
                });
            }
            for (std::thread& thread : threads) {
                thread.join();
            }
        }
        done = true;
        reloader.join();
        VornInit::reset_vorn_state();
        std::map<int, int> next;
        for (const char* file : {"logs/a.log", "logs/b.log"}) {
            std::map<int, int> last;
            for (const std::string& line : split_lines(read_file(file))) {
                int t = -1;
                int n = -1;
                ASSERT_EQ(std::sscanf(line.c_str(), "%d %d", &t, &n), 2) << line;
                ASSERT_GT(n, last.count(t) != 0 ? last[t] : -1) << file << ": " << line;
                last[t] = n;
                ++next[t];
            }
        }
        ASSERT_EQ(next.size(), std::size_t{Threads});
        for (const auto& [t, count] : next) {
            EXPECT_EQ(count, PerThread) << "thread " << t;
        }
    });
}

// Forks while two threads hand over without pause: each child drops what
// it logs and ends at once, and the parent's file has every record of both
// threads once, in order (no child wrote a copied one).
TEST(VornHandOver, ForksWhileThreadsHandOverWriteNothingTwice) {
    isolated([] {
        write_config("vorn_config.xml", file_target("f", "app.log") + logger_record("app", "f"));
        Vorn handle("app", 0);
        std::atomic<bool> done{false};
        int logged[2] = {0, 0};
        std::vector<std::thread> threads;
        for (int t = 0; t < 2; ++t) {
            threads.emplace_back([&, t] {
                for (int& n = logged[t]; !done.load(); ++n) {
                    log_text(handle, std::to_string(t) + " " + std::to_string(n) + "\n");
                }
            });
        }
        for (int round = 0; round < 20; ++round) {
            // Composed before the fork: a stream made in the child would
            // wait for the global locale's mutex, which a thread composing
            // at the fork may hold (a limit of the C++ runtime).
            std::ostringstream text("child\n", std::ios::ate);
            const pid_t pid = fork();
            if (pid == 0) {
                watchdog(10);
                handle.log(std::move(text), Vorn::INFO);
                VornInit::reset_vorn_state();
                std::_Exit(0);
            }
            int status = -1;
            ASSERT_EQ(waitpid(pid, &status, 0), pid);
            ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
        }
        done = true;
        for (std::thread& thread : threads) {
            thread.join();
        }
        ASSERT_EQ(handle.flush(), 0);
        int next[2] = {0, 0};
        for (const std::string& line : split_lines(read_file("logs/app.log"))) {
            int t = -1;
            int n = -1;
            ASSERT_EQ(std::sscanf(line.c_str(), "%d %d", &t, &n), 2) << line;
            ASSERT_TRUE(t == 0 || t == 1) << line;
            ASSERT_EQ(n, next[t]++) << line;
        }
        EXPECT_EQ(next[0], logged[0]);
        EXPECT_EQ(next[1], logged[1]);
    });
}

// Workers with nothing to write sleep: four idle targets cost the process
// next to no processor time.
TEST(VornHandOver, IdleWorkersDoNotSpin) {
    isolated([] {
        std::string targets;
        for (const char* name : {"a", "b", "c", "d"}) {
            targets += file_target(name, std::string(name) + ".log") +
                       logger_record(std::string("app_") + name, name);
        }
        write_config("vorn_config.xml", targets);
        for (const char* name : {"a", "b", "c", "d"}) {
            Vorn handle(std::string("app_") + name, 0);
            log_text(handle, "one\n");
            ASSERT_EQ(handle.flush(), 0);
        }
        auto cpu_ms = [] {
            rusage usage{};
            getrusage(RUSAGE_SELF, &usage);
            return (usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) * 1000L +
                   (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1000L;
        };
        // The workers' first naps are short; they lengthen while idle.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        const long before = cpu_ms();
        std::this_thread::sleep_for(std::chrono::seconds(2));
        EXPECT_LT(cpu_ms() - before, 40);
    });
}

#ifndef ZVK_TEST_SANITIZED
// Thousands of threads that each log one record and end: what each one
// took to hand over is given back, so memory stays where the first
// thousand left it.
// Heap in use: what the allocator handed out and has not got back.
std::size_t heap_in_use() {
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;
}

// Threads that log again from a thread-local destructor, after the state
// their first record made is gone, each give back what they took to log.
TEST(VornHandOver, ThreadsLoggingFromThreadLocalDestructorsLeaveNothingBehind) {
#ifdef ZVK_TEST_SANITIZED
    GTEST_SKIP() << "the sanitizers' allocators keep freed memory in quarantine";
#else
    isolated([] {
        write_config("vorn_config.xml", file_target("f", "app.log") + logger_record("app", "f"));
        static Vorn* handle = nullptr;
        Vorn app("app", 0);
        handle = &app;
        struct LogsAtEnd {
            ~LogsAtEnd() { log_text(*handle, "end\n"); }
        };
        auto wave = [](int threads) {
            for (int t = 0; t < threads; ++t) {
                std::thread([] {
                    // Made before the thread's first record: destroyed after
                    // whatever that record made for the thread.
                    static thread_local LogsAtEnd at_end;
                    (void)&at_end;
                    log_text(*handle, "start\n");
                }).join();
            }
        };
        wave(1000);
        ASSERT_EQ(app.flush(), 0);
        const std::size_t after_first = heap_in_use();
        wave(10000);
        ASSERT_EQ(app.flush(), 0);
        const std::size_t after_all = heap_in_use();
        EXPECT_EQ(split_lines(read_file("logs/app.log")).size(), 22000u);
        // A slot of 64 bytes kept by each thread would be 640 KB; a few
        // lanes of ended threads not yet reaped are 64 KiB each.
        EXPECT_LE(after_all, after_first + 256 * 1024);
    });
#endif
}

TEST(VornHandOver, ThreadsThatLogOnceAndEndLeaveNothingBehind) {
    isolated([] {
        write_config("vorn_config.xml", file_target("f", "app.log") + logger_record("app", "f"));
        Vorn handle("app", 0);
        auto wave = [&handle](int from) {
            for (int t = from; t < from + 1000; ++t) {
                std::thread([&handle, t] { log_text(handle, std::to_string(t) + "\n"); }).join();
            }
        };
        wave(0);
        ASSERT_EQ(handle.flush(), 0);
        const long after_first = heap_in_use_kib();
        for (int from = 1000; from < 10000; from += 1000) {
            wave(from);
        }
        ASSERT_EQ(handle.flush(), 0);
        const long after_all = heap_in_use_kib();
        EXPECT_EQ(split_lines(read_file("logs/app.log")).size(), 10000u);
        // A lane left behind by each thread would be over 4 KiB apiece: 36 MiB.
        EXPECT_LE(after_all, after_first + 4096);
    });
}
#endif

}  // namespace
}  // namespace zvk::test
