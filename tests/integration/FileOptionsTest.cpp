// The file target's optional behaviour through the service: compression of
// what rotates (gzip and zstd, read back with the real tools; a full disk
// and a crash in the middle lose nothing), the exact mode of every file
// whatever the umask, and rotation at a real boundary with no record.
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "ChildProcess.h"
#include "ConfigText.h"
#include "TestSupport.h"
#include "targets/TargetAccess.h"
#include "zvk/FileLog.h"
#include "zvk/Logger.h"
#include "zvk/Vorn.h"
#include "zvk/VornInit.h"

namespace zvk::test {

// Set in a test's child: every deflate call then fails, as with a corrupt
// stream, and counts.
std::atomic<bool> deflate_fails{false};
std::atomic<int> deflate_failures{0};

}  // namespace zvk::test

// Stands in for zlib's deflate in this executable, which the library's
// calls reach first: a compression failure on demand.
extern "C" __attribute__((visibility("default"))) int deflate(void* stream, int flush) {
    using Real = int (*)(void*, int);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "deflate"));
    if (zvk::test::deflate_fails.load()) {
        zvk::test::deflate_failures.fetch_add(1);
        return -2;  // Z_STREAM_ERROR
    }
    return real(stream, flush);
}

namespace zvk::test {
namespace {

std::string file_options_config(const std::string& size, const std::string& options) {
    return "<log_dir>logs</log_dir><file_size_max>" + size +
           "</file_size_max><target name=\"f\"><type>file</type><file_name>app.log</file_name>"
           "<max_number_file>-1</max_number_file>" +
           options + "</target>" + logger_record("app", "f");
}

bool ends_with(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Waits until no rotated file in `dir` is left uncompressed (or a minute:
// the compressor yields to every busier thread, other tests' too).
void wait_for_compression(const std::string& dir, const std::string& suffix) {
    for (int i = 0; i < 1200; ++i) {
        bool pending = false;
        for (const std::string& name : list_dir(dir)) {
            pending = pending || (name != "app.log" && !ends_with(name, suffix));
        }
        if (!pending) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

TEST(FileCompression, EveryRecordOnceInOrderThroughCompressedFilesOfTheConfiguredMode) {
    for (const std::string kind : {"gzip", "zstd"}) {
        SCOPED_TRACE(kind);
        isolated([&kind] {
            const std::string suffix = kind == "gzip" ? ".gz" : ".zst";
            umask(077);  // the configured mode wins over it
            write_config("vorn_config.xml",
                         file_options_config("64K", "<compress>" + kind +
                                                        "</compress><file_mode>0640</file_mode>"));
            constexpr int Threads = 2;
            constexpr int PerThread = 20000;
            {
                Vorn handle("app", 0);
                std::vector<std::thread> producers;
                for (int t = 0; t < Threads; ++t) {
                    producers.emplace_back([t, &handle] {
                        for (int n = 0; n < PerThread; ++n) {
                            log_text(handle, "t" + std::to_string(t) + " n" + std::to_string(n) +
                                                 " padding to make the files rotate\n");
                        }
                    });
                }
                for (std::thread& producer : producers) {
                    producer.join();
                }
                ASSERT_EQ(handle.flush(), 0);
                wait_for_compression("logs", suffix);
            }
            VornInit::reset_vorn_state();
            std::vector<int> next(Threads, 0);
            int compressed = 0;
            for (const std::string& path : log_files_in_order("logs", "app.log")) {
                struct stat st {};
                ASSERT_EQ(stat(path.c_str(), &st), 0);
                EXPECT_EQ(st.st_mode & 0777, 0640u) << path;
                EXPECT_TRUE(path == "logs/app.log" || ends_with(path, suffix)) << path;
                compressed += ends_with(path, suffix) ? 1 : 0;
                for (const std::string& line : split_lines(read_log_file(path))) {
                    int t = -1;
                    int n = -1;
                    ASSERT_EQ(std::sscanf(line.c_str(), "t%d n%d", &t, &n), 2) << line;
                    ASSERT_TRUE(t >= 0 && t < Threads);
                    ASSERT_EQ(n, next[t]) << path;
                    ++next[t];
                }
            }
            EXPECT_GE(compressed, 10);
            EXPECT_EQ(next, std::vector<int>(Threads, PerThread));
        });
    }
}

// Incompressible records fill a file the disk has no room to compress:
// the original stays whole, no temporary is left, one line says why.
TEST(FileCompression, AFullDiskLeavesTheOriginalWhole) {
    std::string why = cannot_mount_tmpfs();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    isolated([] {
        ASSERT_NO_FATAL_FAILURE(mount_small_tmpfs("logs", "160k"));
        write_config("vorn_config.xml", file_options_config("96K", "<compress>gzip</compress>"));
        std::string expected;
        StdoutPipe out;
        {
            Vorn handle("app", 0);
            unsigned seed = 7;
            std::size_t logged = 0;
            for (int n = 0; logged < 96 * 1024 + 100; ++n) {
                std::string line = "r" + std::to_string(n) + " ";
                for (int i = 0; i < 60; ++i) {
                    line += static_cast<char>('!' + rand_r(&seed) % 90);
                }
                line += "\n";
                log_text(handle, line);
                logged += line.size();
                if (logged <= 96 * 1024) {
                    expected += line;
                }
            }
            ASSERT_EQ(handle.flush(), 0);
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        VornInit::reset_vorn_state();
        const std::vector<std::string> files = log_files_in_order("logs", "app.log");
        ASSERT_EQ(files.size(), 2u) << ::testing::PrintToString(list_dir("logs"));
        EXPECT_EQ(read_file(files[0]), expected);
        EXPECT_NE(out.text().find("Could not compress file: logs/" + files[0].substr(5) +
                                  " in target: f - No space left on device; it stays "
                                  "uncompressed"),
                  std::string::npos)
            << out.text();
    });
}

// deflate fails: the archive would be empty or truncated. The original
// stays, whole, no temporary is left, and one line says why.
TEST(FileCompression, AFailingCompressionLeavesTheOriginalAndSaysSo) {
    isolated([] {
        deflate_fails = true;
        write_config("vorn_config.xml", file_options_config("64K", "<compress>gzip</compress>"));
        std::string expected;
        StdoutPipe out;
        {
            Vorn handle("app", 0);
            for (int n = 0;; ++n) {
                const std::string line = "record " + std::to_string(n) + " to compress\n";
                log_text(handle, line);
                if (expected.size() + line.size() <= 64 * 1024) {
                    expected += line;
                } else {
                    break;
                }
            }
            ASSERT_EQ(handle.flush(), 0);
            // Tried and over: the temporary is gone again, renamed or removed.
            auto temporary_left = [] {
                for (const std::string& name : list_dir("logs")) {
                    if (ends_with(name, ".tmp")) {
                        return true;
                    }
                }
                return false;
            };
            for (int i = 0; i < 6000 && (deflate_failures == 0 || temporary_left()); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            }
            ASSERT_GT(deflate_failures.load(), 0);
        }
        VornInit::reset_vorn_state();
        const std::vector<std::string> files = log_files_in_order("logs", "app.log");
        ASSERT_EQ(files.size(), 2u) << ::testing::PrintToString(list_dir("logs"));
        EXPECT_TRUE(read_file(files[0]) == expected) << files[0];
        EXPECT_EQ(out.text(), "Could not compress file: logs/" + files[0].substr(5) +
                                  " in target: f - Input/output error; it stays uncompressed\n");
    });
}

#ifndef ZVK_TEST_TSAN  // a killed child of a forked process
// A process killed while it compresses leaves the original whole and no
// temporary (the archive is an unnamed file until it is complete); the next
// start compresses the original.
TEST(FileCompression, ACrashInTheMiddleLosesNothingAndLeavesNoTemporary) {
    isolated([] {
        write_config("vorn_config.xml", file_options_config("8M", "<compress>gzip</compress>"));
        ChildEnd end = run_child(
            [] {
                // Killed as soon as the compression has begun, which may be
                // while records are still logged: looked for all along.
                std::thread([] {
                    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(50);
                    while (std::chrono::steady_clock::now() < until) {
                        if (compressing_in("logs")) {
                            kill(getpid(), SIGKILL);
                        }
                    }
                }).detach();
                Vorn handle("app", 0);
                for (int n = 0; n < 350000; ++n) {
                    log_text(handle,
                             "record " + std::to_string(n) + " of a long file to compress\n");
                }
                handle.flush();
                std::this_thread::sleep_for(std::chrono::seconds(50));
            },
            60);
        ASSERT_TRUE(WIFSIGNALED(end.status) && WTERMSIG(end.status) == SIGKILL) << end.status;
        std::string rotated;
        for (const std::string& name : list_dir("logs")) {
            EXPECT_FALSE(ends_with(name, ".tmp") || ends_with(name, ".gz")) << name;
            if (name != "app.log" && ends_with(name, ".log")) {
                rotated = "logs/" + name;
            }
        }
        ASSERT_FALSE(rotated.empty());
        const std::string before = read_file(rotated);
        EXPECT_EQ(split_lines(before).front(), "record 0 of a long file to compress");
        {
            Vorn handle("app", 0);  // the next start
            for (int i = 0; i < 1200 && access((rotated + ".gz").c_str(), F_OK) != 0; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
        }
        VornInit::reset_vorn_state();
        EXPECT_EQ(read_log_file(rotated + ".gz"), before);
        EXPECT_NE(access(rotated.c_str(), F_OK), 0);
    });
}
#endif

// The stop at a normal exit lets a compression in progress finish or gives
// it up: no temporary stays, and every record is in the files once.
TEST(FileCompression, AnExitDuringACompressionLeavesNoTemporary) {
    isolated([] {
        write_config("vorn_config.xml", file_options_config("16M", "<compress>gzip</compress>"));
        // Little-compressible text, so that compressing takes a while.
        std::string logged;
        unsigned seed = 11;
        for (int n = 0; logged.size() < 16 * 1024 * 1024 + 4096; ++n) {
            std::string line = "r" + std::to_string(n) + " ";
            for (int i = 0; i < 60; ++i) {
                line += static_cast<char>('!' + rand_r(&seed) % 90);
            }
            logged += line + "\n";
        }
        ChildEnd end = run_child(
            [&logged] {
                {
                    Vorn handle("app");
                    for (const std::string& line : split_lines(logged)) {
                        log_text(handle, line + "\n");
                    }
                    handle.flush();
                }
                const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(50);
                while (std::chrono::steady_clock::now() < until) {
                    if (compressing_in("logs")) {
                        std::exit(0);
                    }
                    for (const std::string& name : list_dir("logs")) {
                        if (ends_with(name, ".gz")) {
                            std::exit(3);  // done before it could be caught at work
                        }
                    }
                    std::this_thread::sleep_for(std::chrono::milliseconds(1));
                }
                std::exit(4);
            },
            60);
        ASSERT_TRUE(WIFEXITED(end.status)) << end.status;
        if (WEXITSTATUS(end.status) == 3) {
            GTEST_SKIP() << "the compression ended before the exit";
        }
        ASSERT_EQ(WEXITSTATUS(end.status), 0);
        std::string rotated;
        for (const std::string& name : list_dir("logs")) {
            EXPECT_FALSE(ends_with(name, ".tmp")) << name;
            if (name != "app.log") {
                rotated = "logs/" + name;
            }
        }
        ASSERT_FALSE(rotated.empty());
        EXPECT_EQ(read_log_file(rotated) + read_file("logs/app.log"), logged);
    });
}

// With a period of a minute and nothing logged after the first records,
// the file rotates at the minute by the worker's own timer.
TEST(FileTimeRotation, RotatesAtARealBoundaryWithoutARecord) {
    isolated([] {
        write_config("vorn_config.xml",
                     file_options_config("1G", "<rotate_every>1m</rotate_every>"));
        Vorn handle("app", 0);
        log_text(handle, "before the minute\n");
        ASSERT_EQ(handle.flush(), 0);
        const std::time_t boundary = (std::time(nullptr) / 60 + 1) * 60;
        std::this_thread::sleep_until(std::chrono::system_clock::from_time_t(boundary) +
                                      std::chrono::milliseconds(1500));
        const std::vector<std::string> files = log_files_in_order("logs", "app.log");
        ASSERT_EQ(files.size(), 2u) << ::testing::PrintToString(list_dir("logs"));
        EXPECT_EQ(read_file(files[0]), "before the minute\n");
        EXPECT_EQ(read_file(files[1]), "");
        const long long stamp = rotation_seconds(files[0].substr(5));
        EXPECT_TRUE(stamp >= boundary && stamp <= boundary + 1) << stamp << " " << boundary;
        log_text(handle, "after\n");
        VornInit::reset_vorn_state();
        EXPECT_EQ(read_file("logs/app.log"), "after\n");
    });
}

// Records written all along: at most one sync a second, and none once
// nothing more is written.
TEST(FileSync, AnIntervalSyncsAtMostOncePerIntervalWhileRecordsAreWritten) {
    isolated([] {
        write_config("vorn_config.xml", file_options_config("1G", "<sync>1s</sync>"));
        Vorn handle("app", 0);
        auto* file = dynamic_cast<FileLog*>(handle.logger->target);
        ASSERT_NE(file, nullptr);
        const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(2500);
        for (int n = 0; std::chrono::steady_clock::now() < until; ++n) {
            log_text(handle, "r" + std::to_string(n) + "\n");
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        const std::uint64_t synced = detail::TargetAccess::syncs(*file);
        EXPECT_GE(synced, 2u);
        EXPECT_LE(synced, 4u);
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        EXPECT_EQ(detail::TargetAccess::syncs(*file), synced);
    });
}

// A reload that adds compression and a smaller size to a running file
// target: the records of before and after are all there, in order.
TEST(FileCompression, AReloadAppliesItWithoutLosingARecord) {
    isolated([] {
        write_config("vorn_config.xml", file_options_config("1G", ""));
        Vorn handle("app", 0);
        for (int n = 0; n < 30000; ++n) {
            log_text(handle, "r" + std::to_string(n) + " some text to fill the files\n");
            if (n == 10000) {
                write_config("vorn_config.xml",
                             file_options_config("64K", "<compress>zstd</compress>"));
                ASSERT_EQ(VornInit::reload(), 0);
            }
        }
        ASSERT_EQ(handle.flush(), 0);
        wait_for_compression("logs", ".zst");
        VornInit::reset_vorn_state();
        int next = 0;
        int compressed = 0;
        for (const std::string& path : log_files_in_order("logs", "app.log")) {
            compressed += ends_with(path, ".zst") ? 1 : 0;
            for (const std::string& line : split_lines(read_log_file(path))) {
                ASSERT_EQ(line.substr(0, line.find(' ')), "r" + std::to_string(next)) << path;
                ++next;
            }
        }
        EXPECT_EQ(next, 30000);
        EXPECT_GE(compressed, 5);
    });
}

}  // namespace
}  // namespace zvk::test
