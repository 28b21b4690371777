// A file target touches only its own files: its directory as set up at
// start, no links, only names of its own rotated form.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "ConfigText.h"
#include "RecordingTarget.h"
#include "TestSupport.h"
#include "zvk/FileLog.h"
#include "zvk/Message.h"
#include "zvk/VornConfig.h"
#include "zvk/VornService.h"

namespace zvk::test {
namespace {

using Names = std::vector<std::string>;

TEST(FileLogPlacement, WorkingDirectoryChangeChangesNothing) {
    isolated([] {
        VornService::get_service()->log_dir = "logs";
        ASSERT_EQ(mkdir("other", 0755), 0);
        ASSERT_EQ(mkdir("other/logs", 0755), 0);
        write_file("other/logs/app.log", "theirs\n");
        write_file("other/logs/app_01-01-2026_1700000000.log", "theirs\n");
        auto config = file_config("app.log", "2");
        FileLog log("file");
        ASSERT_EQ(log.init(config.get()), 1);
        ASSERT_EQ(chdir("other"), 0);
        CaptureFd out(1);
        for (const char* text : {"one\n", "two\n", "three\n"}) {
            log.write_msg(record(text));
            ASSERT_EQ(log.rotate_file(), 0);
        }
        EXPECT_EQ(out.text(), "");
        EXPECT_EQ(list_dir("logs"), (Names{"app.log", "app_01-01-2026_1700000000.log"}));
        EXPECT_EQ(read_file("logs/app.log"), "theirs\n");
        // The retained set keeps the configured names.
        ASSERT_EQ(log.rotated_files.size(), 1u);
        const std::string kept = *log.rotated_files.begin();
        ASSERT_EQ(chdir(".."), 0);
        EXPECT_EQ(kept.rfind("logs/app_", 0), 0u) << kept;
        EXPECT_EQ(read_file(kept), "three\n");
    });
}

TEST(FileLogPlacement, RefusesNamesOutsideTheDirectory) {
    isolated([] {
        VornService::get_service()->log_dir = cwd() + "/logs";
        for (const std::string name :
             {"", ".", "..", "../app.log", "/app.log", "v1.2/app", "sub/", "a/../b.log"}) {
            SCOPED_TRACE(name);
            auto config = file_config(name, "2");
            FileLog log("file");
            CaptureFd out(1);
            EXPECT_EQ(log.init(config.get()), -1);
            EXPECT_EQ(out.text(), "Invalid file_name in target: file - \"" + name + "\"\n");
            EXPECT_EQ(log.fd, -1);
        }
        EXPECT_EQ(list_dir(cwd()), Names{});
    });
}

TEST(FileLogLinks, LogDirectoryMayBeALink) {
    isolated([] {
        ASSERT_EQ(mkdir("real", 0755), 0);
        ASSERT_EQ(symlink("real", "link"), 0);
        VornService::get_service()->log_dir = "link";
        auto config = file_config("app.log", "-1");
        FileLog log("file");
        ASSERT_EQ(log.init(config.get()), 1);
        log.write_msg(record("one\n"));
        EXPECT_EQ(read_file("real/app.log"), "one\n");
    });
}

// Two writers of one file name in one directory, as two processes would
// be: a rotation renames only the file that its own target wrote.
TEST(FileLogSharing, RotationLeavesAnotherWritersFreshFileInPlace) {
    isolated([] {
        VornService::get_service()->log_dir = "logs";
        auto config = file_config("app.log", "-1");
        FileLog first("file");
        FileLog second("file");
        ASSERT_EQ(first.init(config.get()), 1);
        ASSERT_EQ(second.init(config.get()), 1);
        first.write_msg(record("a1\n"));
        second.write_msg(record("b1\n"));
        ASSERT_EQ(first.rotate_file(), 0);
        CaptureFd out(1);
        ASSERT_EQ(second.rotate_file(), 0);
        EXPECT_EQ(out.text(), "");
        first.write_msg(record("a2\n"));
        second.write_msg(record("b2\n"));
        EXPECT_TRUE(second.rotated_files.empty());
        ASSERT_EQ(first.rotated_files.size(), 1u);
        EXPECT_EQ(read_file(*first.rotated_files.begin()), "a1\nb1\n");
        EXPECT_EQ(read_file("logs/app.log"), "a2\nb2\n");
        EXPECT_EQ(list_dir("logs").size(), 2u);
    });
}

// Starts `target` in "logs", writes "before\n" and moves its active file
// away to "logs/moved.log", as someone else might.
void write_then_move_away(FileLog& target, const VornConfig& config) {
    VornService::get_service()->log_dir = "logs";
    ASSERT_EQ(target.init(&config), 1);
    target.write_msg(record("before\n"));
    ASSERT_EQ(rename("logs/app.log", "logs/moved.log"), 0);
}

// The active file moved away just before its rotation: the fresh file is
// started, the moved one left as it is, and nothing is reported.
TEST(FileLogSharing, RotationAfterTheActiveFileWasMovedStartsTheFreshFileSilently) {
    isolated([] {
        auto config = file_config("app.log", "-1");
        FileLog target("file");
        ASSERT_NO_FATAL_FAILURE(write_then_move_away(target, *config));
        CaptureFd out(1);
        ASSERT_EQ(target.rotate_file(), 0);
        EXPECT_EQ(out.text(), "");
        target.write_msg(record("after\n"));
        EXPECT_EQ(read_file("logs/moved.log"), "before\n");
        EXPECT_EQ(read_file("logs/app.log"), "after\n");
        EXPECT_EQ(list_dir("logs"), (std::vector<std::string>{"app.log", "moved.log"}));
    });
}

// A rotation that cannot open a fresh file leaves the target without one:
// the records lost meanwhile are reported and counted, and the file is
// opened again once it can be.
TEST(FileLogSharing, TargetWithoutAFileReportsItsLossesAndOpensItAgain) {
    isolated([] {
        auto config = file_config("app.log", "-1");
        FileLog target("file");
        ASSERT_NO_FATAL_FAILURE(write_then_move_away(target, *config));
        ASSERT_EQ(mkdir("logs/app.log", 0755), 0);  // no file can open under the name
        StdoutPipe out;
        EXPECT_EQ(target.rotate_file(), -1);
        target.write_msg(record("lost 1\n"));
        target.write_msg(record("lost 2\n"));
        ASSERT_EQ(rmdir("logs/app.log"), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(1100));
        target.write_msg(record("back\n"));
        const std::vector<std::string> lines = split_lines(out.text());
        ASSERT_EQ(lines.size(), 3u) << out.text();
        EXPECT_EQ(lines[0].rfind("Could not re-open log file: logs/app.log", 0), 0u);
        EXPECT_EQ(lines[1], "Could not write msg in target: file - no log file open");
        EXPECT_EQ(lines[2], "Could not write msg in target: file - 1 more records lost");
        EXPECT_EQ(read_file("logs/app.log"), "back\n");
    });
}

// Names of the length of app.log's rotated files that contain "app" and
// ".log" but are not of its form; kept by a target that keeps one file.
TEST(FileLogRetention, NearMissesOfTheRotatedFormAreKept) {
    isolated([] {
        VornService::get_service()->log_dir = cwd();
        const Names near_misses = {
            "app-notes-from-march-2026.log", "app.03-15-2026_1773576000.log",
            "app_03-15-2026-1773576000.log", "app_13-15-2026_1773576000.log",
            "app_00-15-2026_1773576000.log", "app_02-29-2026_1773576000.log",
            "app_04-31-2026_1773576000.log", "app_03-00-2026_1773576000.log",
            "app_03-15-2026_0773576000.log", "app_03-15-2026_17735760x0.log",
            "app_03-15-2026_1773576000.lox", "bapp03-15-2026_1773576000.log",
        };
        for (const auto& name : near_misses) {
            write_file(name, "not mine");
        }
        write_file("app_03-15-2026_1773576000.log", "mine");
        write_file("app_02-29-2024_1709164800.log", "mine");
        auto config = file_config("app.log", "1");
        FileLog log("file");
        ASSERT_EQ(log.init(config.get()), 1);
        Names expected = near_misses;
        expected.push_back("app.log");
        std::sort(expected.begin(), expected.end());
        EXPECT_EQ(list_dir(cwd()), expected);
    });
}

// Compressed names are the target's only while it compresses; a
// temporary it did not make stays whatever it is configured with.
TEST(FileLogRetention, CompressedNamesAreOwnOnlyWhenCompressing) {
    const Names foreign = {"app_03-15-2026_1773576000.log.gz.tmp",
                           "app_03-15-2026_1773576001.log.zst.tmp"};
    const Names compressed = {"app_03-15-2026_1773576000.log.gz",
                              "app_03-15-2026_1773576001.log.zst"};
    for (const bool compressing : {false, true}) {
        SCOPED_TRACE(compressing ? "gzip" : "none");
        isolated([&] {
            VornService::get_service()->log_dir = cwd();
            for (const auto& name : foreign) {
                write_file(name, "theirs");
            }
            for (const auto& name : compressed) {
                write_file(name, "compressed");
            }
            auto config = file_config("app.log", "2");
            if (compressing) {
                config->targets["file"]->params.emplace_back("compress", "gzip");
            }
            {
                FileLog log("file");
                ASSERT_EQ(log.init(config.get()), 1);
                log.write_msg(record("one\n"));
                ASSERT_EQ(log.rotate_file(), 0);
            }
            Names expected = foreign;
            if (!compressing) {
                expected.insert(expected.end(), compressed.begin(), compressed.end());
            }
            Names left;
            for (const auto& name : list_dir(cwd())) {
                if (name.find("1773576") != std::string::npos) {
                    left.push_back(name);
                }
            }
            std::sort(expected.begin(), expected.end());
            EXPECT_EQ(left, expected);
            for (const auto& name : foreign) {
                EXPECT_EQ(read_file(name), "theirs");
            }
        });
    }
}

TEST(FileLogRetention, TargetsOfOneDirectoryTrimOnlyTheirOwnFiles) {
    isolated([] {
        VornService::get_service()->log_dir = cwd();
        write_file("1_03-15-2026_1773576001.log", "1");
        write_file("2_03-15-2026_1773576001.log", "2");
        auto config = file_config("1.log", "1");
        FileLog log("file");
        ASSERT_EQ(log.init(config.get()), 1);
        EXPECT_EQ(list_dir(cwd()), (Names{"1.log", "2_03-15-2026_1773576001.log"}));
    });
}

TEST(FileLogRetention, FileAlreadyGoneCountsAsRemoved) {
    isolated([] {
        VornService::get_service()->log_dir = cwd();
        auto config = file_config("app.log", "2");
        FileLog log("file");
        ASSERT_EQ(log.init(config.get()), 1);
        // Known from the start-up scan, then removed by someone else.
        log.rotated_files.insert(cwd() + "/app_01-01-2026_1700000000.log");
        CaptureFd out(1);
        for (const char* text : {"one\n", "two\n"}) {
            log.write_msg(record(text));
            ASSERT_EQ(log.rotate_file(), 0);
        }
        EXPECT_EQ(out.text(), "");
        ASSERT_EQ(log.rotated_files.size(), 1u);
        EXPECT_EQ(read_file(*log.rotated_files.begin()), "two\n");
        EXPECT_EQ(list_dir(cwd()).size(), 2u);
    });
}

}  // namespace
}  // namespace zvk::test
