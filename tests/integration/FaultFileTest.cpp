#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "ConfigText.h"
#include "TestSupport.h"
#include "zvk/Vorn.h"
#include "zvk/VornInit.h"

namespace zvk::test {

namespace {

using Names = std::vector<std::string>;

// "<n>:" padded with a letter to `size` bytes, the last one a line end.
std::string numbered(int n, std::size_t size = 100) {
    std::string text = std::to_string(n) + ":";
    text.resize(size - 1, static_cast<char>('a' + n % 26));
    return text + "\n";
}

std::string numbered_range(int first, int end, std::size_t size = 100) {
    std::string text;
    for (int n = first; n < end; ++n) {
        text += numbered(n, size);
    }
    return text;
}

void log_range(const Vorn& handle, int first, int end, std::size_t size = 100) {
    for (int n = first; n < end; ++n) {
        log_text(handle, numbered(n, size));
    }
}

std::string joined(const std::vector<std::string>& paths) {
    std::string all;
    for (const std::string& path : paths) {
        all += read_file(path);
    }
    return all;
}

// Makes the working directory searchable and "logs" writable for uid
// 65534, whose process then loads the configuration.
void prepare_unprivileged(bool own_logs) {
    ASSERT_EQ(chmod(".", 0755), 0);
    ASSERT_EQ(chmod("vorn_config.xml", 0644), 0);
    ASSERT_EQ(mkdir(own_logs ? "logs" : "locked", 0755), 0);
    if (own_logs) {
        ASSERT_EQ(chown("logs", nobody, nobody), 0);
    }
    ASSERT_EQ(drop_privileges(), "");
}

// The three lines of a rename that failed with `error` (the record that
// triggered it dropped), then the `lost` records after it, which find no
// file: the first reported, the rest counted.
void expect_failed_rotation(const std::string& out, const std::string& error, int lost) {
    std::vector<std::string> lines = split_lines(out);
    ASSERT_GE(lines.size(), 5u) << out;
    EXPECT_EQ(lines[3], "Could not write msg in target: app_file - no log file open");
    // A line a second at most: a slow run may count in several.
    const std::regex more(R"(Could not write msg in target: app_file - (\d+) more records lost)");
    int counted = 1;
    for (std::size_t i = 4; i < lines.size(); ++i) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(lines[i], match, more)) << lines[i];
        counted += std::stoi(match[1]);
    }
    EXPECT_EQ(counted, lost);
    EXPECT_TRUE(std::regex_match(lines[0],
                                 std::regex(R"(Could not rename file: logs/app\.log to new name: )"
                                            R"(logs/app_\d\d-\d\d-\d{4}_\d+\.log)")))
        << lines[0];
    EXPECT_EQ(lines[1], error);
    EXPECT_EQ(lines[2], "Could not rotate file");
}

}  // namespace

TEST(VornFaultFiles, LogDirectoryThatIsAFileGivesNoLogger) {
    isolated([] {
        write_app_config("logs", "1M");
        write_file("logs", "a file\n");
        CaptureFd out(1);
        ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
        Vorn handle("app", 0);
        EXPECT_EQ(handle.logger, nullptr);
        VornInit::reset_vorn_state();
        EXPECT_EQ(out.text(), "Could not open logsNot a directory\n");
        EXPECT_EQ(read_file("logs"), "a file\n");
        EXPECT_EQ(list_dir("."), (Names{"logs", "vorn_config.xml"}));
    });
}

TEST(VornFaultFiles, UnwritableLogDirectoryGivesNoLoggerAndSaysWhy) {
    std::string why = cannot_drop_privileges();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    isolated([] {
        write_app_config("locked", "1M");
        prepare_unprivileged(false);
        StdoutPipe out;
        ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
        Vorn handle("app", 0);
        EXPECT_EQ(handle.logger, nullptr);
        VornInit::reset_vorn_state();
        EXPECT_EQ(out.text(), "Could not open log file: locked/app.log Permission denied\n");
        regain_root();
        EXPECT_EQ(list_dir("locked"), Names{});
        EXPECT_EQ(list_dir("."), (Names{"locked", "vorn_config.xml"}));
    });
}

TEST(VornFaultFiles, MissingLogDirectoryInUnwritableParentGivesNoLogger) {
    std::string why = cannot_drop_privileges();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    isolated([] {
        write_app_config("locked/logs", "1M");
        prepare_unprivileged(false);
        StdoutPipe out;
        ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
        Vorn handle("app", 0);
        EXPECT_EQ(handle.logger, nullptr);
        VornInit::reset_vorn_state();
        EXPECT_EQ(out.text(), "Could not create log dir: locked/logs - Permission denied\n");
        regain_root();
        EXPECT_EQ(list_dir("locked"), Names{});
    });
}

// The open descriptor still writes; the rotation renames the read-only
// file and opens a fresh one. Nothing is lost.
TEST(VornFaultFiles, LogFileMadeReadOnlyBetweenWritesLosesNothing) {
    std::string why = cannot_drop_privileges();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    isolated([] {
        write_app_config("logs", "4K");
        prepare_unprivileged(true);
        StdoutPipe out;
        ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
        {
            Vorn handle("app", 0);
            ASSERT_NE(handle.logger, nullptr);
            log_range(handle, 0, 10);
            ASSERT_EQ(wait_for_size("logs/app.log", 1000), 1000);
            ASSERT_EQ(chmod("logs/app.log", 0444), 0);
            log_range(handle, 10, 70);
        }
        VornInit::reset_vorn_state();
        EXPECT_EQ(out.text(), "");
        std::vector<std::string> files = log_files_in_order("logs", "app.log");
        ASSERT_EQ(files.size(), 2u);
        struct stat st {};
        ASSERT_EQ(stat(files[0].c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0444u);
        EXPECT_EQ(joined(files), numbered_range(0, 70));
        regain_root();
    });
}

// The rename at the size limit fails: reported, and from then on every
// record is dropped without a word until the service is re-initialised.
TEST(VornFaultFiles, LogDirectoryMadeUnwritableStopsAtTheNextRotation) {
    std::string why = cannot_drop_privileges();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    isolated([] {
        write_app_config("logs", "4K");
        prepare_unprivileged(true);
        StdoutPipe out;
        ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
        {
            Vorn handle("app", 0);
            ASSERT_NE(handle.logger, nullptr);
            log_range(handle, 0, 10);
            ASSERT_EQ(wait_for_size("logs/app.log", 1000), 1000);
            ASSERT_EQ(chmod("logs", 0555), 0);
            log_range(handle, 10, 70);
        }
        VornInit::reset_vorn_state();
        expect_failed_rotation(out.text(), "Permission denied", 29);
        EXPECT_EQ(list_dir("logs"), Names{"app.log"});
        EXPECT_EQ(read_file("logs/app.log"), numbered_range(0, 40));
        regain_root();
    });
}

// The active file moved away or removed by someone else: within a second
// of the next record a fresh file under the configured name takes the
// records; until then they go to the moved (or deleted) file.
TEST(VornFaultFiles, MovedOrDeletedActiveFileIsFollowedWithinASecond) {
    for (bool moved : {true, false}) {
        SCOPED_TRACE(moved ? "moved" : "deleted");
        isolated([moved] {
            write_app_config("logs", "1M");
            StdoutPipe out;
            ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
            Vorn handle("app", 0);
            log_range(handle, 0, 10);
            ASSERT_EQ(handle.flush(), 0);
            ASSERT_EQ(moved ? rename("logs/app.log", "logs/moved.log") : unlink("logs/app.log"), 0);
            log_range(handle, 10, 20);
            ASSERT_EQ(handle.flush(), 0);
            std::this_thread::sleep_for(std::chrono::milliseconds(1100));
            log_range(handle, 20, 30);
            VornInit::reset_vorn_state();
            EXPECT_EQ(out.text(), "");
            // The fresh file holds every record from the check on.
            std::string fresh = read_file("logs/app.log");
            ASSERT_FALSE(fresh.empty());
            const int first = std::stoi(fresh);
            EXPECT_GE(first, 10);
            EXPECT_LE(first, 20);
            EXPECT_EQ(fresh, numbered_range(first, 30));
            if (moved) {
                EXPECT_EQ(read_file("logs/moved.log"), numbered_range(0, first));
                EXPECT_EQ(list_dir("logs"), (Names{"app.log", "moved.log"}));
            } else {
                EXPECT_EQ(list_dir("logs"), Names{"app.log"});
            }
        });
    }
}

TEST(VornFaultFiles, FullDiskKeepsWholeRecordsAndCountsTheRest) {
    std::string why = cannot_mount_tmpfs();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    isolated([] {
        ASSERT_NO_FATAL_FAILURE(mount_small_tmpfs("logs"));
        write_app_config("logs", "1M");
        StdoutPipe out;
        ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
        {
            Vorn handle("app", 0);
            ASSERT_NE(handle.logger, nullptr);
            log_range(handle, 0, 200, 1000);
        }
        VornInit::reset_vorn_state();
        const std::string text = out.text();
        std::string content = read_file("logs/app.log");
        std::size_t kept = content.size() / 1000;
        EXPECT_GT(kept, 0u);
        EXPECT_LT(kept, 200u);
        EXPECT_EQ(split_lines(text).at(0),
                  "Could not write msg in target: app_file - No space left on device");
        EXPECT_EQ(counted_losses(text, "app_file"), 200 - static_cast<long>(kept)) << text;
        EXPECT_EQ(content, numbered_range(0, static_cast<int>(kept), 1000));
        EXPECT_EQ(list_dir("logs"), Names{"app.log"});
        EXPECT_EQ(umount2("logs", MNT_DETACH), 0);
    });
}

// Every record is longer than the limit: each is cut to its first byte,
// reported, and opens a file of its own; retention still applies.
TEST(VornFaultFiles, OneByteLimitCutsEveryRecordAndSaysSo) {
    isolated([] {
        write_app_config("logs", "1B", "3");
        // Standard output through a pipe: a capture file could not grow.
        StdoutPipe out;
        ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
        {
            Vorn handle("app", 0);
            ASSERT_NE(handle.logger, nullptr);
            for (const char* text : {"a1\n", "b2\n", "c3\n", "d4\n", "e5\n"}) {
                log_text(handle, text);
            }
        }
        VornInit::reset_vorn_state();
        // Said once, then at most once a second with the count since.
        const std::vector<std::string> lines = split_lines(out.text());
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines[0], "Record longer than file size limit, truncated in target: app_file");
        const std::regex more(
            "Record longer than file size limit, truncated in target: app_file - (\\d+) more "
            "records truncated");
        long truncated = 1;
        for (std::size_t i = 1; i < lines.size(); ++i) {
            std::smatch match;
            ASSERT_TRUE(std::regex_match(lines[i], match, more)) << lines[i];
            truncated += std::stol(match[1]);
        }
        EXPECT_EQ(truncated, 5);
        EXPECT_LT(lines.size(), 5u);
        std::vector<std::string> files = log_files_in_order("logs", "app.log");
        ASSERT_EQ(files.size(), 3u);
        EXPECT_EQ(joined(files), "cde");
    });
}

TEST(VornFaultFiles, BinaryRecordIsWrittenUnchanged) {
    isolated([] {
        write_app_config("logs", "1M");
        const char raw[] = "nul\0byte \xff\xfe\x80 cr\r\n\x01";
        const std::string binary(raw, sizeof raw - 1);
        CaptureFd out(1);
        ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
        {
            Vorn handle("app", 0);
            ASSERT_NE(handle.logger, nullptr);
            log_text(handle, binary);
        }
        VornInit::reset_vorn_state();
        EXPECT_EQ(out.text(), "");
        EXPECT_EQ(read_file("logs/app.log"), binary);
    });
}

// A file that the trim may not remove is reported once and left alone;
// the trim goes on with the next file, and the record that needed the
// rotation still reaches the fresh file.
TEST(VornFaultFiles, UnremovableRotatedFileKeepsTheRotatingRecord) {
    std::string why = cannot_drop_privileges();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    isolated([] {
        write_app_config("logs", "4K", "2");
        ASSERT_EQ(chmod(".", 0755), 0);
        ASSERT_EQ(chmod("vorn_config.xml", 0644), 0);
        // Sticky and writable for all: only its owner may remove a file.
        ASSERT_EQ(mkdir("logs", 0755), 0);
        ASSERT_EQ(chmod("logs", 01777), 0);
        const std::string old = "logs/app_01-01-2026_1700000000.log";
        write_file(old, "old\n");
        ASSERT_EQ(drop_privileges(), "");
        StdoutPipe out;
        ASSERT_EQ(VornInit::load_config("vorn_config.xml"), 0);
        {
            Vorn handle("app", 0);
            ASSERT_NE(handle.logger, nullptr);
            log_range(handle, 0, 120);
        }
        VornInit::reset_vorn_state();
        std::string lines = "Could not remove file: " + old +
                            "\nerror: 1 - Operation not permitted\n" + "Could not rotate file\n";
        EXPECT_EQ(out.text(), lines);
        std::vector<std::string> files = log_files_in_order("logs", "app.log");
        ASSERT_EQ(files.size(), 3u);
        EXPECT_EQ(files[0], old);
        EXPECT_EQ(read_file(files[1]), numbered_range(40, 80));
        EXPECT_EQ(read_file(files[2]), numbered_range(80, 120));
        regain_root();
    });
}

}  // namespace zvk::test
