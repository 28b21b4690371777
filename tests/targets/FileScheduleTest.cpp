// A file target's boundaries on the clock (with a fake clock: zones with
// and without daylight saving, a leap day, an offset of half an hour),
// its retention by age and by total size, and the options it refuses.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <string>
#include <thread>
#include <vector>

#include "ConfigText.h"
#include "RecordingTarget.h"
#include "TestSupport.h"
#include "targets/TargetAccess.h"
#include "zvk/FileLog.h"
#include "zvk/VornConfig.h"
#include "zvk/VornService.h"

namespace zvk::test {
namespace {

using Names = std::vector<std::string>;

}  // namespace

// Seconds added to the wall clock that time() gives, in a test that steps
// the clock; 0 everywhere else.
std::atomic<std::int64_t> clock_shift{0};

namespace {

TEST(FileBoundary, NextBoundaryFallsOnTheClock) {
    struct Case {
        const char* zone;
        bool local;
        std::int64_t every;
        std::int64_t now;
        std::int64_t expected;
        const char* what;
    };
    const Case cases[] = {
        {"UTC", false, 86400, 1796708654, 1796774400, "1d: midnight UTC"},
        {"UTC", false, 900, 1796708654, 1796708700, "15m: the next quarter"},
        {"America/New_York", false, 86400, 1796708654, 1796774400, "GMT ignores the zone"},
        {"America/New_York", true, 86400, 1772946000, 1773028800, "spring day: 23 hours"},
        {"America/New_York", true, 86400, 1793505600, 1793595600, "autumn day: 25 hours"},
        {"America/New_York", true, 3600, 1793511000, 1793512800, "01:30 EDT: 01:00 EST next"},
        {"America/New_York", true, 3600, 1793512800, 1793516400, "01:00 EST: 02:00 EST next"},
        {"America/New_York", true, 21600, 1772951400, 1772964000, "6h over the gap: 06:00 EDT"},
        {"UTC", false, 86400, 1835352000, 1835395200, "leap day begins"},
        {"UTC", false, 86400, 1835395200, 1835481600, "leap day ends"},
        {"Asia/Kolkata", true, 3600, 1796708654, 1796711400, "+05:30: on the local hour"},
    };
    isolated([&cases] {
        for (const Case& c : cases) {
            setenv("TZ", c.zone, 1);
            tzset();
            EXPECT_EQ(detail::TargetAccess::next_boundary(c.now, c.every, c.local), c.expected)
                << c.what;
        }
    });
}

// Rotated files of the target's form with stamps `days` ago, each
// `bytes` long; the one of 5 days compressed when `compressed`.
void rotated_files_aged(const std::vector<std::pair<int, std::size_t>>& files, bool compressed) {
    const std::time_t now = std::time(nullptr);
    for (const auto& [days, bytes] : files) {
        const std::time_t at = now - days * 86400L;
        std::tm local{};
        localtime_r(&at, &local);
        char date[16];
        std::strftime(date, sizeof date, "%m-%d-%Y", &local);
        const std::string name = "logs/app_" + std::string(date) + "_" + std::to_string(at) +
                                 ".log" + (days == 5 && compressed ? ".gz" : "");
        write_file(name, std::string(bytes, 'x'));
    }
}

TEST(FileRetention, ByAgeAndByTotalSizeOnlyTheOldestGo) {
    struct Case {
        std::vector<std::pair<std::string, std::string>> options;
        std::size_t kept;  // of the six rotated files, the newest this many
        const char* what;
    };
    const Case cases[] = {
        {{{"max_age", "7d"}}, 3, "older than a week"},
        {{{"max_age", "4d"}, {"compress", "gzip"}}, 2, "the compressed one goes by its stamp too"},
        {{{"max_total_size", "3K"}}, 2, "1 KiB each and the active file's 1 KiB"},
        {{{"max_age", "9d"}, {"max_total_size", "4K"}}, 3, "both apply"},
        {{{"max_age", "30d"}, {"max_number_file", "3"}}, 2, "and the count"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        isolated([&c] {
            VornService::get_service()->log_dir = "logs";
            ASSERT_EQ(mkdir("logs", 0755), 0);
            write_file("logs/app.log", std::string(1024, 'a'));
            const bool compressed = c.options.back().first == "compress";
            rotated_files_aged({{20, 1024}, {10, 1024}, {8, 1024}, {5, 1024}, {3, 1024}, {1, 1024}},
                               compressed);
            auto config = file_config("app.log", "-1");
            for (const auto& [key, value] : c.options) {
                config->targets["file"]->params.emplace_back(key, value);
            }
            {
                // Stopped before the listing: a file in compression is
                // then in one form or the other.
                FileLog log("file");
                ASSERT_EQ(log.init(config.get()), 1);
            }
            Names left = list_dir("logs");
            ASSERT_EQ(left.size(), c.kept + 1) << ::testing::PrintToString(left);
            // The newest stay: the oldest left is younger than every one gone.
            const std::int64_t oldest_left = std::time(nullptr) - (c.kept == 3 ? 6 : 4) * 86400L;
            for (const std::string& name : left) {
                if (name != "app.log") {
                    EXPECT_GT(rotation_seconds(name), oldest_left) << name;
                }
            }
        });
    }
}

// A mode it cannot read stops the target; any other value it cannot use
// falls back to the element's default, and the line says which.
TEST(FileOptions, AValueItCannotUseFallsBackOrStopsTheTarget) {
    struct Case {
        const char* key;
        const char* value;
        const char* outcome;  // null: the target does not start
    };
    const Case cases[] = {
        {"rotate_every", "7m", "the file rotates by size only"},
        {"rotate_every", "1w", "the file rotates by size only"},
        {"rotate_every", "2d", "the file rotates by size only"},
        {"rotate_every", "0h", "the file rotates by size only"},
        {"compress", "bzip2", "rotated files are not compressed"},
        {"file_mode", "0999", nullptr},
        {"file_mode", "rw-r--r--", nullptr},
        {"file_mode", "04755", nullptr},
        {"sync", "always", "never applies"},
        {"sync", "-1s", "never applies"},
        {"max_age", "7 days", "no age limit applies"},
        {"max_age", "week", "no age limit applies"},
        {"max_total_size", "lots", "no size limit applies"},
    };
    isolated([&cases] {
        VornService::get_service()->log_dir = "logs";
        for (const auto& [key, value, outcome] : cases) {
            SCOPED_TRACE(std::string(key) + " " + value);
            auto config = file_config("app.log", "-1");
            config->targets["file"]->params.emplace_back(key, value);
            FileLog log("file");
            CaptureFd out(1);
            const int started = log.init(config.get());
            const std::string line =
                "Invalid " + std::string(key) + " in target: file - \"" + value + "\"";
            if (outcome == nullptr) {
                EXPECT_EQ(started, -1);
                EXPECT_EQ(out.text(), line + "\n");
                continue;
            }
            EXPECT_EQ(started, 1);
            EXPECT_EQ(out.text(), line + "; " + outcome + "\n");
            const auto options = detail::TargetAccess::file_options(log);
            EXPECT_EQ(options.rotate_every, 0);
            EXPECT_EQ(options.sync_ms, -1);
            EXPECT_EQ(options.max_age, 0);
            EXPECT_EQ(options.max_total_size, 0u);
        }
    });
}

TEST(FileSync, ARotationSyncsTheFileItClosesWhenAsked) {
    const std::pair<const char*, std::uint64_t> cases[] = {
        {"never", 0}, {"rotation", 2}, {"1s", 2}};
    for (const auto& [policy, expected] : cases) {
        SCOPED_TRACE(policy);
        isolated([policy = policy, expected = expected] {
            VornService::get_service()->log_dir = "logs";
            auto config = file_config("app.log", "-1");
            config->targets["file"]->params.emplace_back("sync", policy);
            FileLog log("file");
            ASSERT_EQ(log.init(config.get()), 1);
            for (const char* text : {"a\n", "b\n"}) {
                log.write_msg(record(text));
                ASSERT_EQ(log.rotate_file(), 0);
            }
            ASSERT_EQ(log.rotate_file(), 0);  // nothing written since: nothing to sync
            EXPECT_EQ(detail::TargetAccess::syncs(log), expected);
        });
    }
}

// As root: the group of new files, or one line when it cannot be had.
TEST(FileGroup, NewFilesGetTheGroupOrOneLineSaysWhyNot) {
    const std::string why = cannot_drop_privileges();
    if (!why.empty()) {
        GTEST_SKIP() << why;
    }
    struct Case {
        const char* group;
        bool unprivileged;
        gid_t expected;
        const char* line;
    };
    const Case cases[] = {
        {"nogroup", false, 65534, ""},
        {"no-such-group-zvk", false, 0,
         "Could not use group no-such-group-zvk in target: file - No such file or directory; new "
         "files get the default group\n"},
        {"adm", true, 65534,
         "Could not set the group of logs/app.log - Operation not permitted; new files get the "
         "default group\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.group);
        isolated([&c] {
            VornService::get_service()->log_dir = "logs";
            ASSERT_EQ(mkdir("logs", 0755), 0);
            if (c.unprivileged) {
                ASSERT_EQ(chmod(".", 0755), 0);
                ASSERT_EQ(chown("logs", 65534, 65534), 0);
                ASSERT_EQ(drop_privileges(), "");
            }
            auto config = file_config("app.log", "-1");
            config->targets["file"]->params.emplace_back("file_group", c.group);
            FileLog log("file");
            CaptureFd out(1);
            ASSERT_EQ(log.init(config.get()), 1);
            for (int i = 0; i < 3; ++i) {
                log.write_msg(record("r\n"));
                ASSERT_EQ(log.rotate_file(), 0);
            }
            EXPECT_EQ(out.text(), c.line);  // once, whatever the rotations
            struct stat st {};
            ASSERT_EQ(stat("logs/app.log", &st), 0);
            EXPECT_EQ(st.st_gid, c.expected);
            if (c.unprivileged) {
                regain_root();
            }
        });
    }
}

// Rotated files in `dir` still in their plain form.
std::size_t uncompressed(const std::string& dir) {
    std::size_t count = 0;
    for (const std::string& name : list_dir(dir)) {
        count += name != "app.log" && name.size() > 4 && name.substr(name.size() - 4) == ".log";
    }
    return count;
}

// Waits until every rotated file in `dir` is compressed, or a minute: the
// compressor runs at the lowest priority.
void wait_until_compressed(const std::string& dir) {
    for (int i = 0; i < 1200 && uncompressed(dir) != 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
}

// More files than the compressor takes at once, left by an earlier run:
// the rest are handed over as it gets through them.
TEST(FileCompressionBacklog, FilesAnEarlierRunLeftAreAllCompressed) {
    isolated([] {
        VornService::get_service()->log_dir = "logs";
        ASSERT_EQ(mkdir("logs", 0755), 0);
        std::vector<std::pair<int, std::size_t>> files;
        for (int days = 1; days <= 24; ++days) {
            files.emplace_back(days, 4096);
        }
        rotated_files_aged(files, false);
        auto config = file_config("app.log", "-1");
        config->targets["file"]->params.emplace_back("compress", "gzip");
        FileLog log("file");
        ASSERT_EQ(log.start(config.get()), 0);
        wait_until_compressed("logs");
        EXPECT_EQ(uncompressed("logs"), 0u) << ::testing::PrintToString(list_dir("logs"));
        EXPECT_EQ(list_dir("logs").size(), 25u);
    });
}

// Files waiting for the compressor count as what they will be: a burst of
// well compressing files stays whole within a budget that holds them
// compressed.
TEST(FileRetention, FilesWaitingForCompressionCountAsWhatTheyWillBe) {
    isolated([] {
        VornService::get_service()->log_dir = "logs";
        auto config = file_config("app.log", "-1");
        config->targets["file"]->params.emplace_back("compress", "gzip");
        config->targets["file"]->params.emplace_back("max_total_size", "256K");
        FileLog log("file");
        ASSERT_EQ(log.init(config.get()), 1);
        std::string text;
        while (text.size() < 64 * 1024) {
            text += "a record of a burst that compresses well\n";
        }
        constexpr std::size_t kFiles = 16;  // as many as the compressor queues
        for (std::size_t i = 0; i < kFiles; ++i) {
            log.write_msg(record(text));
            ASSERT_EQ(log.rotate_file(), 0);
        }
        wait_until_compressed("logs");
        ASSERT_EQ(log.rotate_file(), 0);  // an empty file: the trim looks again
        EXPECT_EQ(log.rotated_files.size(), kFiles + 1);
        std::uint64_t total = 0;
        for (const std::string& name : list_dir("logs")) {
            struct stat st {};
            ASSERT_EQ(stat(("logs/" + name).c_str(), &st), 0);
            total += static_cast<std::uint64_t>(st.st_size);
        }
        EXPECT_LE(total, 256u * 1024);
    });
}

// The clock stepped back a day under an hourly rotation: the next
// boundary comes from the time the clock shows after the step.
TEST(FileBoundary, AClockSteppedBackADayRotatesAtTheNextHourItShows) {
    isolated([] {
        setenv("TZ", "UTC", 1);
        tzset();
        VornService::get_service()->log_dir = "logs";
        auto config = file_config("app.log", "-1");
        config->targets["file"]->params.emplace_back("rotate_every", "1h");
        FileLog log("file");
        ASSERT_EQ(log.init(config.get()), 1);
        log.write_msg(record("before the step\n"));
        clock_shift.store(-86400);
        log.write_msg(record("after the step\n"));
        EXPECT_TRUE(log.rotated_files.empty());
        clock_shift.store(-86400 + 3600);  // an hour on: past a boundary
        log.write_msg(record("an hour later\n"));
        ASSERT_EQ(log.rotated_files.size(), 1u);
        EXPECT_EQ(read_file(*log.rotated_files.begin()), "before the step\nafter the step\n");
        EXPECT_EQ(read_file("logs/app.log"), "an hour later\n");
    });
}

}  // namespace
}  // namespace zvk::test

// The wall clock as the library reads it, moved by clock_shift: defined
// here, it takes the place of the C library's for the whole executable.
extern "C" time_t time(time_t* out) noexcept {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    const time_t shifted = now.tv_sec + zvk::test::clock_shift.load();
    if (out != nullptr) {
        *out = shifted;
    }
    return shifted;
}
