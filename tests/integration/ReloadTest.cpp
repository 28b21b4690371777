// Operations while the service runs: a reload applies an edited file, and
// every handle, however old, follows it; no handle reaches freed memory
// across reloads, stops and re-initialisations; a watched file reloads by
// itself.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "ConfigText.h"
#include "TestSupport.h"
#include "zvk/Vorn.h"
#include "zvk/VornInit.h"

namespace zvk::test {
namespace {

ino_t inode_of(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

// Per file: the records of each thread ("T N" lines) in order, and how
// many there are of each thread in all.
std::map<int, int> count_in_order(const std::vector<std::string>& files, int threads) {
    std::map<int, int> total;
    for (const std::string& file : files) {
        std::vector<int> next(threads, -1);
        for (const std::string& line : split_lines(read_file(file))) {
            int t = 0;
            int n = 0;
            EXPECT_EQ(std::sscanf(line.c_str(), "%d %d", &t, &n), 2) << line;
            EXPECT_GT(n, next[t]) << file << ": " << line;
            next[t] = n;
            ++total[t];
        }
    }
    return total;
}

TEST(VornReload, OldHandlesFollowLevelsLoggersAndTimeZone) {
    isolated([] {
        const std::string targets = "<log_dir>logs</log_dir>" + file_target("f", "app.log");
        write_config("vorn_config.xml", targets + logger_record("app", "f", "WARN") +
                                            logger_record("gone", "f", "INFO"));
        ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
        Vorn app("app", 0);
        Vorn gone("gone", 0);
        Vorn later("later", 0);
        EXPECT_FALSE(app.logable(Vorn::INFO));
        EXPECT_FALSE(later.logable(Vorn::OUT));
        EXPECT_NE(app.stamp().find(" GMT"), std::string::npos);
        write_config("vorn_config.xml", targets + "<time_zone>LOCAL</time_zone>" +
                                            logger_record("app", "f", "DEBUG") +
                                            logger_record("later", "f", "ERROR"));
        ASSERT_EQ(VornInit::reload(), 0);
        EXPECT_TRUE(app.logable(Vorn::DEBUG));
        EXPECT_FALSE(gone.logable(Vorn::OUT));
        EXPECT_TRUE(later.logable(Vorn::ERROR));
        EXPECT_FALSE(later.logable(Vorn::WARN));
        EXPECT_EQ(app.stamp().find(" GMT"), std::string::npos);
        log_text(app, "app\n");
        log_text(gone, "gone\n");
        log_text(later, "later\n");
        VornInit::reset_vorn_state();
        EXPECT_EQ(read_file("logs/app.log"), "app\nlater\n");
    });
}

// The logger moves between two files while four threads log at full speed:
// every record is in exactly one of them, each thread's in order.
TEST(VornReload, TargetSwitchUnderLoadLosesNothing) {
    isolated([] {
        constexpr int Threads = 4;
        constexpr int Reloads = 40;
        auto config = [](const std::string& file) {
            write_config("vorn_config.xml", "<log_dir>logs</log_dir>" + file_target("a", "a.log") +
                                                file_target("b", "b.log") +
                                                logger_record("app", file == "a.log" ? "a" : "b"));
        };
        config("a.log");
        ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
        Vorn handle("app", 0);
        std::atomic<bool> done{false};
        std::vector<int> logged(Threads, 0);
        std::vector<std::thread> producers;
        for (int t = 0; t < Threads; ++t) {
            producers.emplace_back([&, t] {
                for (int n = 0; !done.load() || n < 1000; ++n) {
                    log_text(handle, std::to_string(t) + " " + std::to_string(n) + "\n");
                    logged[t] = n + 1;
                }
            });
        }
        for (int round = 0; round < Reloads; ++round) {
            config(round % 2 == 0 ? "b.log" : "a.log");
            ASSERT_EQ(VornInit::reload(), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        done = true;
        for (std::thread& producer : producers) {
            producer.join();
        }
        VornInit::reset_vorn_state();
        std::map<int, int> total = count_in_order({"logs/a.log", "logs/b.log"}, Threads);
        for (int t = 0; t < Threads; ++t) {
            EXPECT_EQ(total[t], logged[t]) << "thread " << t;
        }
        EXPECT_EQ(list_dir("logs"), (std::vector<std::string>{"a.log", "b.log"}));
    });
}

TEST(VornReload, UnchangedFileTargetKeepsItsFile) {
    isolated([] {
        auto config = [](const std::string& level, const std::string& other_file) {
            write_config("vorn_config.xml",
                         "<log_dir>logs</log_dir><file_size_max>4K</file_size_max>" +
                             file_target("f", "app.log", "3") + file_target("o", other_file) +
                             logger_record("app", "f", level) + logger_record("other", "o"));
        };
        config("INFO", "one.log");
        ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
        Vorn app("app", 0);
        Vorn other("other", 0);
        log_text(app, std::string(3000, 'a') + "\n");
        log_text(other, "one\n");
        ASSERT_EQ(app.flush(), 0);
        const ino_t before = inode_of("logs/app.log");
        config("DEBUG", "two.log");
        ASSERT_EQ(VornInit::reload(), 0);
        EXPECT_EQ(inode_of("logs/app.log"), before);
        log_text(app, "after\n");
        log_text(other, "two\n");
        VornInit::reset_vorn_state();
        // No rotation, no reopening: the same file holds both records.
        EXPECT_EQ(read_file("logs/app.log"), std::string(3000, 'a') + "\nafter\n");
        EXPECT_EQ(read_file("logs/one.log"), "one\n");
        EXPECT_EQ(read_file("logs/two.log"), "two\n");
    });
}

// Whether thread `tid` of this process sleeps (in the kernel: a wait).
bool sleeping(pid_t tid) {
    const std::string stat = read_file("/proc/self/task/" + std::to_string(tid) + "/stat");
    const std::size_t end = stat.rfind(')');
    return end != std::string::npos && stat.compare(end, 4, ") S ") == 0;
}

// A thread that waits on a console nobody reads, in a flush or for room in
// its full `block` queue, holds up no reload of an unrelated file target;
// once the console is read, the wait ends.
TEST(VornReload, WaitOnAStuckConsoleHoldsUpNoReloadOfAnotherTarget) {
    for (const bool flush : {true, false}) {
        SCOPED_TRACE(flush ? "flush" : "producer waiting for room");
        isolated([flush] {
            int err[2];
            ASSERT_EQ(pipe(err), 0);
            dup2(err[1], STDERR_FILENO);
            // Unbounded for the flush; for the producer, bounded to block.
            const std::string bound = flush ? "" : "<queue_max>4</queue_max>";
            auto config = [&bound](const std::string& max_files) {
                write_config("vorn_config.xml",
                             "<target name=\"console\"><type>stdout</type>" + bound +
                                 "</target>\n" + file_target("f", "app.log", max_files) +
                                 logger_record("con", "console") + logger_record("app", "f"));
            };
            config("3");
            ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
            Vorn con("con", 0);
            Vorn app("app", 0);  // the file target runs: the reload retires it
            log_text(app, "before\n");
            std::atomic<pid_t> waiter_tid{0};
            std::atomic<bool> logged{false};
            std::atomic<bool> waited{false};
            std::thread waiter([&] {
                waiter_tid = gettid();
                // More than the pipe holds: the console's worker stops in a
                // write, then the queue fills.
                for (int i = 0; i < 2000; ++i) {
                    VORN_LOG(con, INFO, std::string(92, 'x') << " " << i);
                }
                logged = true;
                if (flush) {
                    VornInit::flush();
                }
                waited = true;
            });
            while (waiter_tid == 0 || (flush && !logged) || !sleeping(waiter_tid) || waited) {
                ASSERT_FALSE(waited) << "the console never held the waiter up";
                std::this_thread::yield();
            }
            config("4");
            auto reloaded = std::async(std::launch::async, [] { return VornInit::reload(); });
            EXPECT_EQ(reloaded.wait_for(std::chrono::seconds(20)), std::future_status::ready);
            std::thread reader([fd = err[0]] {
                char buf[65536];
                while (read(fd, buf, sizeof buf) > 0) {
                }
            });
            waiter.join();
            EXPECT_EQ(reloaded.get(), 0);
            log_text(app, "after\n");
            VornInit::reset_vorn_state();
            EXPECT_EQ(read_file("logs/app.log"), "before\nafter\n");
            reader.detach();
        });
    }
}

// A reload that retires the stuck console itself ends the wait inside it
// (the flush fails, the waiting record is taken past the bound) before it
// waits for the console's stop, which the reader then lets finish.
TEST(VornReload, WaitInsideATargetThatIsRetiredEnds) {
    for (const bool flush : {true, false}) {
        SCOPED_TRACE(flush ? "flush" : "producer waiting for room");
        isolated([flush] {
            int err[2];
            ASSERT_EQ(pipe(err), 0);
            dup2(err[1], STDERR_FILENO);
            // The reload moves the logger to a file: nothing leads to the
            // console any more, which is retired.
            auto config = [flush](bool moved) {
                write_config("vorn_config.xml",
                             moved
                                 ? file_target("f", "app.log") + logger_record("con", "f")
                                 : "<target name=\"console\"><type>stdout</type><queue_max>" +
                                       std::string(flush ? "100000" : "4") +
                                       "</queue_max></target>\n" + logger_record("con", "console"));
            };
            config(false);
            ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
            Vorn con("con", 0);
            std::atomic<pid_t> waiter_tid{0};
            std::atomic<bool> logged{false};
            std::atomic<bool> waited{false};
            std::atomic<int> flushed{1};
            std::thread waiter([&] {
                waiter_tid = gettid();
                for (int i = 0; i < 2000; ++i) {
                    VORN_LOG(con, INFO, std::string(92, 'x') << " " << i);
                }
                logged = true;
                if (flush) {
                    flushed = VornInit::flush();
                }
                waited = true;
            });
            while (waiter_tid == 0 || (flush && !logged) || !sleeping(waiter_tid) || waited) {
                ASSERT_FALSE(waited) << "the console never held the waiter up";
                std::this_thread::yield();
            }
            config(true);
            auto reloaded = std::async(std::launch::async, [] { return VornInit::reload(); });
            for (int i = 0; i < 20000 && !waited; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            EXPECT_TRUE(waited) << "the wait outlived its target's retirement";
            std::thread reader([fd = err[0]] {
                char buf[65536];
                while (read(fd, buf, sizeof buf) > 0) {
                }
            });
            waiter.join();
            EXPECT_EQ(reloaded.get(), 0);
            if (flush) {
                EXPECT_EQ(flushed.load(), -1);
            }
            VornInit::reset_vorn_state();
            reader.detach();
        });
    }
}

TEST(VornReload, FileThatDoesNotLoadChangesNothing) {
    for (const std::string& broken :
         {std::string("<vorn><logger>"), std::string("<vorn><locale>xx_NONE</locale></vorn>")}) {
        SCOPED_TRACE(broken);
        isolated([broken] {
            write_config("vorn_config.xml", "<log_dir>logs</log_dir>" +
                                                file_target("f", "app.log") +
                                                logger_record("app", "f", "WARN"));
            ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
            Vorn app("app", 0);
            write_file("vorn_config.xml", broken);
            StdoutPipe out;
            EXPECT_EQ(VornInit::reload(), -1);
            std::vector<std::string> lines = split_lines(out.text());
            ASSERT_FALSE(lines.empty());
            EXPECT_EQ(lines.back(),
                      "Could not reload Vorn config file: vorn_config.xml - the "
                      "running configuration stays");
            EXPECT_TRUE(app.logable(Vorn::WARN));
            EXPECT_FALSE(app.logable(Vorn::INFO));
            log_text(app, "kept\n");
            VornInit::reset_vorn_state();
            EXPECT_EQ(read_file("logs/app.log"), "kept\n");
        });
    }
}

// Handles made before a stop log nothing until the next initialisation,
// then follow it; none reaches freed memory (the suite runs this under
// AddressSanitizer).
TEST(VornReload, HandlesSurviveStopAndInitialisation) {
    isolated([] {
        write_config("vorn_config.xml", "<log_dir>logs</log_dir>" + file_target("f", "app.log") +
                                            logger_record("app", "f", "INFO"));
        ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
        Vorn app("app", 0);
        log_text(app, "one\n");
        VornInit::reset_vorn_state();
        EXPECT_FALSE(app.logable(Vorn::OUT));
        log_text(app, "lost\n");
        EXPECT_EQ(app.flush(), 0);
        ASSERT_EQ(VornInit::init(), 0);
        EXPECT_TRUE(app.logable(Vorn::INFO));
        log_text(app, "two\n");
        ASSERT_EQ(VornInit::init(), 0);
        log_text(app, "three\n");
        VornInit::reset_vorn_state();
        EXPECT_EQ(read_file("logs/app.log"), "one\ntwo\nthree\n");
    });
}

TEST(VornReload, WatchedFileEditedByRenameIsReloaded) {
    isolated([] {
        const std::string targets =
            "<watch_seconds>1</watch_seconds><log_dir>logs</log_dir>" + file_target("f", "app.log");
        write_config("vorn_config.xml", targets + logger_record("app", "f", "ERROR"));
        ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
        Vorn app("app", 0);
        ASSERT_FALSE(app.logable(Vorn::INFO));
        // As an editor saves: a new file renamed over the old one, same size.
        write_config("vorn_config.new", targets + logger_record("app", "f", "DEBUG"));
        ASSERT_EQ(std::rename("vorn_config.new", "vorn_config.xml"), 0);
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (!app.logable(Vorn::INFO) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        EXPECT_TRUE(app.logable(Vorn::DEBUG));
        VornInit::reset_vorn_state();
    });
}

#ifndef ZVK_TEST_SANITIZED
#endif

// The tasks of this process named as the watching thread names itself.
std::vector<std::string> watchers() {
    std::vector<std::string> found;
    for (const std::string& task : list_dir("/proc/self/task")) {
        if (read_file("/proc/self/task/" + task + "/comm") == "vorn-watch\n") {
            found.push_back(task);
        }
    }
    return found;
}

// The watching thread exists only while the configuration asks for it,
// blocks the application's signals, ends at a stop, and a forked child,
// which has none, starts its own with its own initialisation.
TEST(VornReload, WatchThreadOnlyWhileAsked) {
    isolated([] {
        write_config("vorn_config.xml", "<watch_seconds>1</watch_seconds>" + stdout_target("s") +
                                            logger_record("app", "s"));
        ASSERT_TRUE(watchers().empty());
        ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
        std::vector<std::string> now = watchers();
        ASSERT_EQ(now.size(), 1u);
        std::string status = read_file("/proc/self/task/" + now[0] + "/status");
        const std::size_t at = status.find("SigBlk:");
        ASSERT_NE(at, std::string::npos);
        const unsigned long long blocked = std::stoull(status.substr(at + 7), nullptr, 16);
        EXPECT_NE(blocked & (1ULL << (SIGTERM - 1)), 0u);
#ifndef ZVK_TEST_TSAN
        pid_t child = fork();
        if (child == 0) {
            const bool none = watchers().empty();
            const bool fresh = VornInit::init() == 0 && watchers().size() == 1;
            VornInit::reset_vorn_state();
            std::_Exit(none && fresh ? 0 : 1);
        }
        int child_status = 0;
        ASSERT_EQ(waitpid(child, &child_status, 0), child);
        EXPECT_TRUE(WIFEXITED(child_status) && WEXITSTATUS(child_status) == 0);
#endif
        VornInit::reset_vorn_state();
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (!watchers().empty() && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        EXPECT_TRUE(watchers().empty());
    });
}

// Reloads alternating two configurations (the logger moves between two
// targets, one of which changes) while four threads log: the heap in use stays where the first
// hundred left it.
TEST(VornReload, MemoryStaysBoundedOverManyReloads) {
#ifdef ZVK_TEST_SANITIZED
    GTEST_SKIP() << "the sanitizers' allocators keep freed memory in quarantine";
#else
    isolated([] {
        constexpr int Reloads = 10000;
        const std::string a = vorn_xml("<log_dir>logs</log_dir>" + file_target("a", "a.log") +
                                       file_target("b", "b.log") + logger_record("app", "a"));
        // Target "a" changes too: it leaves service and comes back each time.
        const std::string b =
            vorn_xml("<log_dir>logs</log_dir>" + file_target("a", "a.log", "4") +
                     file_target("b", "b.log") + logger_record("app", "b", "INFO"));
        write_file("vorn_config.xml", a);
        ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
        Vorn handle("app", 0);
        std::atomic<bool> done{false};
        std::atomic<bool> hold{false};
        std::atomic<int> holding{0};
        std::vector<std::thread> producers;
        for (int t = 0; t < 4; ++t) {
            producers.emplace_back([&] {
                while (!done.load()) {
                    if (hold.load()) {
                        holding.fetch_add(1);
                        while (hold.load() && !done.load()) {
                            std::this_thread::sleep_for(std::chrono::milliseconds(1));
                        }
                        holding.fetch_sub(1);
                    }
                    log_text(handle, "record\n");
                    std::this_thread::sleep_for(std::chrono::microseconds(50));
                }
            });
        }
        // Measured with the producers held and what they logged written, so
        // that records in flight are not counted as growth.
        auto quiet_heap_kib = [&] {
            hold = true;
            while (holding.load() != 4) {
                std::this_thread::sleep_for(std::chrono::milliseconds(1));
            }
            VornInit::flush();
            const long kib = heap_in_use_kib();
            hold = false;
            return kib;
        };
        long after_first = 0;
        for (int round = 1; round <= Reloads; ++round) {
            write_file("vorn_config.xml", round % 2 == 0 ? a : b);
            ASSERT_EQ(VornInit::reload(), 0);
            if (round == 100) {
                after_first = quiet_heap_kib();
            }
        }
        const long after_all = quiet_heap_kib();
        done = true;
        for (std::thread& producer : producers) {
            producer.join();
        }
        std::printf("heap in use after 100 reloads: %ld KiB, after %d: %ld KiB\n", after_first,
                    Reloads, after_all);
        // Allocator noise, not growth: a leak of 100 bytes a reload is 1 MB.
        EXPECT_LE(after_all, after_first + 512);
        VornInit::reset_vorn_state();
    });
#endif
}

}  // namespace
}  // namespace zvk::test
