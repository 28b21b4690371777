#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <locale>
#include <memory>
#include <numeric>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ConfigText.h"
#include "RecordingTarget.h"
#include "TestSupport.h"
#include "targets/TargetAccess.h"
#include "zvk/FileLog.h"
#include "zvk/Message.h"
#include "zvk/VornConfig.h"
#include "zvk/VornService.h"

namespace zvk::test {
namespace {

// Lowers the file-size limit of this process; RLIM_INFINITY keeps the one
// the service applied when it started (raising it needs a privilege that
// containers often lack).
void limit_files(rlim_t bytes) {
    VornService::get_service();
    if (bytes == RLIM_INFINITY) {
        return;
    }
    rlimit limit{bytes, bytes};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
}

// A started-up target "file" writing `file_name` in the working directory.
std::unique_ptr<FileLog> open_log(const std::string& file_name, const std::string& max,
                                  rlim_t limit) {
    limit_files(limit);
    VornService::get_service()->log_dir = cwd();
    auto config = file_config(file_name, max);
    auto log = std::make_unique<FileLog>("file");
    EXPECT_EQ(log->init(config.get()), 1);
    return log;
}

// "<n>:" padded with letters to `size` bytes, the last one a line end.
std::string numbered(int n, std::size_t size) {
    std::string text = std::to_string(n) + ":";
    text.resize(size - 1, static_cast<char>('a' + n % 26));
    return text + "\n";
}

// Rotated files oldest first, then the active file.
std::vector<std::string> files_in_order(const FileLog& log) {
    std::vector<std::string> files(log.rotated_files.begin(), log.rotated_files.end());
    files.push_back(log.file_path);
    return files;
}

// How records reach the file: a write_msg each, or queued before the
// worker starts, so that it takes them all and writes them in runs.
enum class Path { EACH, RUNS };

// A target "file" writing app.log in `dir`, stopped after `texts` went
// through `path`.
std::unique_ptr<FileLog> written_log(const std::vector<std::string>& texts, Path path, rlim_t limit,
                                     const std::string& dir) {
    limit_files(limit);
    VornService::get_service()->log_dir = dir;
    auto config = file_config("app.log", "-1");
    auto log = std::make_unique<FileLog>("file");
    if (path == Path::EACH) {
        EXPECT_EQ(log->init(config.get()), 1);
        for (const std::string& text : texts) {
            log->write_msg(record(text));
        }
        return log;
    }
    for (const std::string& text : texts) {
        log->log(record(text));
    }
    EXPECT_EQ(log->start(config.get()), 0);
    log->stop();
    return log;
}

TEST(FileLogRotation, FullFilesOfWholeRecords) {
    isolated([] {
        auto log = open_log("app.log", "-1", 1024);
        for (int i = 0; i < 50; ++i) {
            log->write_msg(record(numbered(i, 100)));
        }
        ASSERT_EQ(log->rotated_files.size(), 4u);
        std::vector<std::string> files = files_in_order(*log);
        EXPECT_EQ(list_dir(cwd()).size(), 5u);
        for (std::size_t f = 0; f < files.size(); ++f) {
            std::string expected;
            for (int i = 0; i < 10; ++i) {
                expected += numbered(static_cast<int>(f) * 10 + i, 100);
            }
            EXPECT_EQ(read_file(files[f]), expected) << files[f];
            EXPECT_EQ(std::filesystem::path(files[f]).filename().string().size(),
                      f + 1 < files.size() ? log->rotated_name_len : 7u);
        }
    });
}

TEST(FileLogRotation, RecordsOfMixedSizesEndEveryFile) {
    for (Path path : {Path::EACH, Path::RUNS}) {
        SCOPED_TRACE(path == Path::EACH ? "one write_msg each" : "runs");
        isolated([path] {
            std::vector<std::string> records;
            for (int i = 0; i < 300; ++i) {
                records.push_back(numbered(i, 20 + (i * 37) % 180));
            }
            auto log = written_log(records, path, 1024, cwd());
            std::string all = std::accumulate(records.begin(), records.end(), std::string());
            std::set<std::size_t> boundaries;
            for (std::size_t end = 0, i = 0; i < records.size(); ++i) {
                end += records[i].size();
                boundaries.insert(end);
            }
            std::string joined;
            std::vector<std::string> files = files_in_order(*log);
            ASSERT_GT(files.size(), 10u);
            for (std::size_t f = 0; f < files.size(); ++f) {
                std::string content = read_file(files[f]);
                EXPECT_LE(content.size(), 1024u);
                joined += content;
                EXPECT_EQ(boundaries.count(joined.size()), 1u)
                    << "torn record at end of " << files[f];
                if (f + 1 < files.size()) {
                    // The record that opens the next file did not fit here.
                    std::size_t next = all.find('\n', joined.size()) + 1 - joined.size();
                    EXPECT_GT(content.size() + next, 1024u) << files[f];
                }
            }
            EXPECT_EQ(joined, all);
        });
    }
}

TEST(FileLogRotation, RecordLongerThanLimitIsCutOnceAndReported) {
    for (Path path : {Path::EACH, Path::RUNS}) {
        SCOPED_TRACE(path == Path::EACH ? "one write_msg each" : "runs");
        isolated([path] {
            std::string big(3000, 'B');
            VornService::get_service();  // its start-up lines are not this test's
            CaptureFd out(1);
            auto log = written_log({numbered(1, 100), big, numbered(2, 100)}, path, 1024, cwd());
            EXPECT_EQ(out.text(),
                      "Record longer than file size limit, truncated in target: file\n");
            std::vector<std::string> files = files_in_order(*log);
            ASSERT_EQ(files.size(), 3u);
            EXPECT_EQ(read_file(files[0]), numbered(1, 100));
            EXPECT_EQ(read_file(files[1]), big.substr(0, 1024));
            EXPECT_EQ(read_file(files[2]), numbered(2, 100));
        });
    }
}

TEST(FileLogRotation, LongRecordInEmptyFileStaysWithoutRotation) {
    isolated([] {
        auto log = open_log("app.log", "-1", 1024);
        CaptureFd out(1);
        log->write_msg(record(std::string(2000, 'L')));
        EXPECT_EQ(out.text(), "Record longer than file size limit, truncated in target: file\n");
        EXPECT_TRUE(log->rotated_files.empty());
        EXPECT_EQ(read_file(log->file_path), std::string(1024, 'L'));
    });
}

TEST(FileLogRotation, FullFileFromEarlierRunRotatesOnFirstWrite) {
    isolated([] {
        write_file(cwd() + "/app.log", std::string(1024, 'o'));
        auto log = open_log("app.log", "-1", 1024);
        CaptureFd out(1);
        log->write_msg(record("first\n"));
        EXPECT_EQ(out.text(), "");
        ASSERT_EQ(log->rotated_files.size(), 1u);
        EXPECT_EQ(read_file(*log->rotated_files.begin()), std::string(1024, 'o'));
        EXPECT_EQ(read_file(log->file_path), "first\n");
    });
}

TEST(FileLogRotation, TwoRotationsInOneSecondKeepBoth) {
    isolated([] {
        auto log = open_log("app.log", "-1", RLIM_INFINITY);
        for (const char* text : {"one\n", "two\n", "three\n"}) {
            log->write_msg(record(text));
            ASSERT_EQ(log->rotate_file(), 0);
        }
        std::vector<std::string> files = files_in_order(*log);
        ASSERT_EQ(files.size(), 4u);
        EXPECT_EQ(read_file(files[0]), "one\n");
        EXPECT_EQ(read_file(files[1]), "two\n");
        EXPECT_EQ(read_file(files[2]), "three\n");
        EXPECT_EQ(read_file(files[3]), "");
        for (std::size_t f = 0; f < 3; ++f) {
            EXPECT_EQ(std::filesystem::path(files[f]).filename().string().size(),
                      log->rotated_name_len);
        }
    });
}

TEST(FileLogRotation, NeverReplacesAFileOnDisk) {
    isolated([] {
        auto log = open_log("app.log", "-1", RLIM_INFINITY);
        // Files of this target's form for the next seconds, unknown to it.
        std::time_t now = std::time(nullptr);
        std::vector<std::string> taken;
        for (std::time_t s = now; s < now + 4; ++s) {
            std::tm local{};
            localtime_r(&s, &local);
            char date[16];
            std::strftime(date, sizeof date, "%m-%d-%Y", &local);
            taken.push_back(log->rotated_prefix + date + "_" + std::to_string(s) + ".log");
            write_file(taken.back(), "taken");
        }
        log->write_msg(record("mine\n"));
        ASSERT_EQ(log->rotate_file(), 0);
        for (const auto& path : taken) {
            EXPECT_EQ(read_file(path), "taken") << path;
        }
        ASSERT_EQ(log->rotated_files.size(), 1u);
        EXPECT_EQ(read_file(*log->rotated_files.begin()), "mine\n");
    });
}

TEST(FileLogRotation, NewNameSortsAfterNewestRetainedFile) {
    isolated([] {
        std::time_t later = std::time(nullptr) + 100;
        std::tm local{};
        localtime_r(&later, &local);
        char date[16];
        std::strftime(date, sizeof date, "%m-%d-%Y", &local);
        std::string future = cwd() + "/app_" + date + "_" + std::to_string(later) + ".log";
        write_file(future, "future");
        auto log = open_log("app.log", "2", RLIM_INFINITY);
        ASSERT_EQ(log->rotated_files.size(), 1u);
        log->write_msg(record("now\n"));
        ASSERT_EQ(log->rotate_file(), 0);
        // The trim removes the older one: the file from "the future".
        ASSERT_EQ(log->rotated_files.size(), 1u);
        std::string kept = *log->rotated_files.begin();
        EXPECT_EQ(read_file(kept), "now\n");
        EXPECT_NE(kept.find("_" + std::to_string(later + 1) + ".log"), std::string::npos) << kept;
        EXPECT_FALSE(std::filesystem::exists(future));
    });
}

TEST(FileLogRotation, MaxFilesOneOrZeroKeepsOnlyTheActiveFile) {
    isolated([] {
        for (const char* max : {"1", "0"}) {
            std::filesystem::remove(cwd() + "/app.log");
            auto log = open_log("app.log", max, 1024);
            for (int i = 0; i < 30; ++i) {
                log->write_msg(record(numbered(i, 100)));
            }
            EXPECT_TRUE(log->rotated_files.empty()) << max;
            EXPECT_EQ(list_dir(cwd()), std::vector<std::string>{"app.log"}) << max;
            std::string expected;
            for (int i = 20; i < 30; ++i) {
                expected += numbered(i, 100);
            }
            EXPECT_EQ(read_file(log->file_path), expected);
        }
    });
}

TEST(FileLogRotation, VanishedActiveFileIsStartedAfresh) {
    isolated([] {
        auto log = open_log("app.log", "-1", 64);
        ASSERT_EQ(unlink(log->file_path.c_str()), 0);
        StdoutPipe out;
        log->write_msg(record(numbered(1, 50)));
        log->write_msg(record(numbered(2, 50)));
        // The first record finds the file gone and opens a fresh one; the
        // next no longer fits and rotates that file normally.
        EXPECT_EQ(out.text(), "");
        ASSERT_EQ(log->rotated_files.size(), 1u);
        EXPECT_EQ(read_file(*log->rotated_files.begin()), numbered(1, 50));
        EXPECT_EQ(read_file(log->file_path), numbered(2, 50));
    });
}

TEST(FileLogRotation, WriteFailingAfterRotationIsReported) {
    isolated([] {
        auto log = open_log("app.log", "-1", RLIM_INFINITY);
        log->write_msg(record("x\n"));
        // With no room at all, the fresh file refuses the record too.
        rlimit none{0, 0};
        StdoutPipe out;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &none), 0);
        log->write_msg(record("y\n"));
        std::string text = out.text();
        EXPECT_EQ(text, "write file error: File too large\n");
        ASSERT_EQ(log->rotated_files.size(), 1u);
        EXPECT_EQ(read_file(*log->rotated_files.begin()), "x\n");
        EXPECT_EQ(read_file(log->file_path), "");
    });
}

// The records a full disk loses are reported once and counted: in runs
// the whole count, by the time the worker ends; one write_msg at a time,
// the first line at once.
TEST(FileLogRotation, FullDiskCountsTheRecordsItLoses) {
    std::string why = cannot_mount_tmpfs();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    for (Path path : {Path::EACH, Path::RUNS}) {
        SCOPED_TRACE(path == Path::EACH ? "one write_msg each" : "runs");
        isolated([path] {
            std::string dir = cwd() + "/small";
            ASSERT_NO_FATAL_FAILURE(mount_small_tmpfs(dir));
            {
                std::vector<std::string> records;
                for (int i = 0; i < 100; ++i) {
                    records.push_back(numbered(i, 1000));
                }
                VornService::get_service();
                CaptureFd out(1);
                auto log = written_log(records, path, RLIM_INFINITY, dir);
                const std::string text = out.text();
                EXPECT_TRUE(log->rotated_files.empty());
                std::string content = read_file(log->file_path);
                EXPECT_GT(content.size(), 0u);
                EXPECT_LT(content.size(), 100000u);
                EXPECT_EQ(content.size() % 1000, 0u) << "torn record at the end";
                const long lost = 100 - static_cast<long>(content.size() / 1000);
                EXPECT_EQ(split_lines(text).at(0),
                          "Could not write msg in target: file - No space left on device");
                if (path == Path::RUNS) {
                    EXPECT_EQ(counted_losses(text, "file"), lost) << text;
                }
                std::string expected;
                for (std::size_t i = 0; i < content.size() / 1000; ++i) {
                    expected += records[i];
                }
                EXPECT_EQ(content, expected);
            }
            EXPECT_EQ(umount2(dir.c_str(), MNT_DETACH), 0);
        });
    }
}

// A global locale that groups digits, as a user's locale may.
std::locale grouping_locale() {
    try {
        return std::locale("en_US.UTF-8");
    } catch (const std::runtime_error&) {
        struct Grouping : std::numpunct<char> {
            char do_thousands_sep() const override { return ','; }
            std::string do_grouping() const override { return "\3"; }
        };
        return std::locale(std::locale::classic(), new Grouping);
    }
}

TEST(FileLogLocale, GroupingLocaleLeavesNamesPlain) {
    isolated([] {
        std::locale::global(grouping_locale());
        std::ostringstream grouped;
        grouped << 1773576000;
        ASSERT_EQ(grouped.str(), "1,773,576,000");
        {
            auto log = open_log("app.log", "-1", 1024);
            std::string stamp = log->loc_time_us();
            ASSERT_EQ(stamp.size(), 21u) << stamp;
            EXPECT_EQ(stamp.find(','), std::string::npos) << stamp;
            EXPECT_EQ(log->rotated_name_len, 29u);
            for (int i = 0; i < 12; ++i) {
                log->write_msg(record(numbered(i, 100)));
            }
            ASSERT_EQ(log->rotated_files.size(), 1u);
            std::string name =
                std::filesystem::path(*log->rotated_files.begin()).filename().string();
            EXPECT_EQ(name.size(), 29u) << name;
            EXPECT_EQ(name.find(','), std::string::npos) << name;
        }
        // A restart finds the rotated file again and trims it.
        auto config = file_config("app.log", "1");
        FileLog again("file");
        ASSERT_EQ(again.init(config.get()), 1);
        EXPECT_EQ(list_dir(cwd()), std::vector<std::string>{"app.log"});
    });
}

TEST(FileLogWorker, ProducersThroughTheWorkerLoseNothing) {
    isolated([] {
        limit_files(1024);
        VornService::get_service()->log_dir = cwd();
        auto config = file_config("app.log", "-1");
        auto* log = new FileLog("file");
        ASSERT_EQ(log->start(config.get()), 0);
        std::vector<std::thread> producers;
        for (int t = 0; t < 2; ++t) {
            producers.emplace_back([log, t] {
                for (int i = 0; i < 200; ++i) {
                    log->log(record(numbered(t * 1000 + i, 30 + (i * 7) % 40)));
                }
            });
        }
        for (auto& p : producers) {
            p.join();
        }
        // Destruction lets the worker write everything queued first.
        delete log;
        std::set<std::string, detail::TargetAccess::RotatedOrder> rotated;
        for (const auto& name : list_dir(cwd())) {
            if (name != "app.log") {
                rotated.insert(cwd() + "/" + name);
            }
        }
        std::vector<std::string> files(rotated.begin(), rotated.end());
        files.push_back(cwd() + "/app.log");
        std::string joined;
        for (const auto& path : files) {
            std::string content = read_file(path);
            EXPECT_LE(content.size(), 1024u);
            EXPECT_TRUE(content.empty() || content.back() == '\n') << path;
            joined += content;
        }
        // Each producer's records arrive complete and in the order logged.
        int next[2] = {0, 1000};
        std::size_t count = 0;
        for (const auto& line : split_lines(joined)) {
            int n = std::stoi(line);
            ASSERT_TRUE(n == next[0] || n == next[1]) << line;
            ++next[n / 1000];
            ++count;
            EXPECT_EQ(line + "\n", numbered(n, 30 + ((n % 1000) * 7) % 40));
        }
        EXPECT_EQ(count, 400u);
    });
}

TEST(FileLogWorker, DerivedTypeGetsOneWriteMsgPerRecord) {
    isolated([] {
        struct Counting : FileLog {
            using FileLog::FileLog;
            void write_msg(Message* message) override {
                ++calls;
                FileLog::write_msg(message);
            }
            int calls = 0;
        };
        limit_files(RLIM_INFINITY);
        VornService::get_service()->log_dir = cwd();
        auto config = file_config("app.log", "-1");
        Counting log("file");
        std::string all;
        for (int i = 0; i < 200; ++i) {
            all += numbered(i, 50);
            log.log(record(numbered(i, 50)));
        }
        ASSERT_EQ(log.start(config.get()), 0);
        log.stop();
        EXPECT_EQ(log.calls, 200);
        EXPECT_EQ(read_file(log.file_path), all);
    });
}

}  // namespace
}  // namespace zvk::test
