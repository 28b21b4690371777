#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <limits>
#include <locale>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TestSupport.h"
#include "zvk/Vorn.h"

namespace zvk::test {
namespace {

struct Stamp {
    std::tm calendar{};
    std::string zone;
};

std::optional<Stamp> parse_stamp(const std::string& text) {
    static const std::regex layout(
        R"((\d{2})-(\d{2})-(\d{4}) (\d{2}):(\d{2}):(\d{2})\.(\d{6}) ([^ ]+))");
    std::smatch m;
    if (!std::regex_match(text, m, layout)) {
        return std::nullopt;
    }
    Stamp stamp;
    stamp.calendar.tm_mon = std::stoi(m[1]) - 1;
    stamp.calendar.tm_mday = std::stoi(m[2]);
    stamp.calendar.tm_year = std::stoi(m[3]) - 1900;
    stamp.calendar.tm_hour = std::stoi(m[4]);
    stamp.calendar.tm_min = std::stoi(m[5]);
    stamp.calendar.tm_sec = std::stoi(m[6]);
    stamp.zone = m[8];
    return stamp;
}

std::time_t now_seconds() {
    std::timespec now{};
    std::timespec_get(&now, TIME_UTC);
    return now.tv_sec;
}

// Checks that `stamp` shows a wall-clock time between `before` and `after`
// in a zone `offset` seconds east of UTC.
void expect_between(const std::string& stamp, std::time_t before, std::time_t after, long offset,
                    const std::string& zone) {
    std::optional<Stamp> parsed = parse_stamp(stamp);
    ASSERT_TRUE(parsed) << stamp;
    EXPECT_EQ(parsed->zone, zone) << stamp;
    std::time_t shown = timegm(&parsed->calendar) - offset;
    EXPECT_GE(shown, before) << stamp;
    EXPECT_LE(shown, after) << stamp;
}

void use_zone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
}

// Groups digits in threes with a comma, like the usual English locales.
struct GroupingPunct : std::numpunct<char> {
    char do_thousands_sep() const override { return ','; }
    std::string do_grouping() const override { return "\3"; }
};

void expect_plain_stamps() {
    for (int i = 0; i < 2000; ++i) {
        std::string gmt = Vorn::time_gmt();
        ASSERT_TRUE(parse_stamp(gmt)) << gmt;
        std::string local = Vorn::time_local();
        ASSERT_TRUE(parse_stamp(local)) << local;
    }
}

TEST(VornTimeStamp, GmtHasThirtyCharacterLayout) {
    for (int i = 0; i < 200; ++i) {
        std::string stamp = Vorn::time_gmt();
        ASSERT_EQ(stamp.size(), 30u) << stamp;
        ASSERT_TRUE(parse_stamp(stamp)) << stamp;
        ASSERT_EQ(stamp.substr(26), " GMT");
    }
}

TEST(VornTimeStamp, GmtShowsUtcDateMonthFirst) {
    std::time_t before = now_seconds();
    std::string stamp = Vorn::time_gmt();
    std::time_t after = now_seconds();
    expect_between(stamp, before, after, 0, "GMT");
}

TEST(VornTimeStamp, GmtStaysUtcWhenLocalZoneIsElsewhere) {
    isolated([] {
        use_zone("XYZ-5:30");
        std::time_t before = now_seconds();
        std::string stamp = Vorn::time_gmt();
        std::time_t after = now_seconds();
        expect_between(stamp, before, after, 0, "GMT");
    });
}

TEST(VornTimeStamp, LocalShowsLocalZone) {
    isolated([] {
        use_zone("XYZ-5:30");
        std::time_t before = now_seconds();
        std::string stamp = Vorn::time_local();
        std::time_t after = now_seconds();
        EXPECT_EQ(stamp.size(), 30u) << stamp;
        expect_between(stamp, before, after, 5 * 3600 + 30 * 60, "XYZ");
    });
}

TEST(VornTimeStamp, LongLocalZoneAbbreviationIsAppendedWhole) {
    isolated([] {
        use_zone("<+0530>-5:30");
        std::string offset = Vorn::time_local();
        EXPECT_EQ(offset.size(), 32u) << offset;
        EXPECT_TRUE(parse_stamp(offset)) << offset;
        EXPECT_EQ(offset.substr(26), " +0530");

        use_zone("LONGZONENAME-1");
        std::time_t before = now_seconds();
        std::string named = Vorn::time_local();
        std::time_t after = now_seconds();
        expect_between(named, before, after, 3600, "LONGZONENAME");
    });
}

TEST(VornTimeStamp, MicrosecondsStayPlainUnderGroupingGlobalLocale) {
    isolated([] {
        std::locale::global(std::locale(std::locale::classic(), new GroupingPunct));
        std::ostringstream probe;
        probe << 123456;
        ASSERT_EQ(probe.str(), "123,456");
        expect_plain_stamps();
    });
}

TEST(VornTimeStamp, MicrosecondsStayPlainUnderSystemEnglishLocale) {
    try {
        std::locale probe("en_US.UTF-8");
    } catch (const std::runtime_error&) {
        GTEST_SKIP() << "locale en_US.UTF-8 is not installed";
    }
    isolated([] {
        std::locale::global(std::locale("en_US.UTF-8"));
        expect_plain_stamps();
    });
}

TEST(VornTimeStamp, ConcurrentCallsAreAllWellFormed) {
    std::vector<std::thread> threads;
    std::vector<int> bad(4, 0);
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &bad] {
            for (int i = 0; i < 1000; ++i) {
                if (!parse_stamp(Vorn::time_gmt()) || !parse_stamp(Vorn::time_local())) {
                    ++bad[t];
                }
            }
        });
    }
    for (std::thread& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(bad, std::vector<int>(4, 0));
}

std::time_t utc(int year, int month, int day, int hour, int minute, int second) {
    std::tm calendar{};
    calendar.tm_year = year - 1900;
    calendar.tm_mon = month - 1;
    calendar.tm_mday = day;
    calendar.tm_hour = hour;
    calendar.tm_min = minute;
    calendar.tm_sec = second;
    return timegm(&calendar);
}

// What gmtime_r and strftime make of `seconds`; "" where gmtime_r fails.
std::string c_library_gmt(std::time_t seconds, const char* format) {
    std::tm calendar{};
    char buffer[128];
    if (gmtime_r(&seconds, &calendar) == nullptr) {
        return {};
    }
    return std::string(buffer, std::strftime(buffer, sizeof buffer, format, &calendar));
}

TEST(VornTimeStamp, GmtMatchesCLibraryAcrossCalendar) {
    using Limits = std::numeric_limits<std::time_t>;
    std::vector<std::pair<std::string, std::time_t>> instants = {
        {"epoch", 0},
        {"last second before epoch", -1},
        {"leap day 2024", utc(2024, 2, 29, 23, 59, 59)},
        {"leap day 2000", utc(2000, 2, 29, 12, 0, 0)},
        {"no leap day 2100", utc(2100, 2, 28, 23, 59, 59)},
        {"no leap day 1900", utc(1900, 3, 1, 0, 0, 0)},
        {"leap day 1968", utc(1968, 2, 29, 6, 30, 0)},
        {"year end 2025", utc(2025, 12, 31, 23, 59, 59)},
        {"year start 2026", utc(2026, 1, 1, 0, 0, 0)},
        {"last 32-bit second", 2147483647},
        {"first second past 32 bits", 2147483648},
        {"year 1", utc(1, 1, 1, 0, 0, 0)},
        {"year 0", utc(0, 2, 29, 0, 0, 0)},
        {"year -1", utc(-1, 12, 31, 23, 59, 59)},
        {"year 9999", utc(9999, 12, 31, 23, 59, 59)},
        {"year 10000", utc(10000, 1, 1, 0, 0, 0)},
        {"largest tm_year", utc(2147483647, 12, 31, 23, 59, 59)},
        {"smallest tm_year", utc(-2147481748, 1, 1, 0, 0, 0)},
        {"before smallest tm_year", utc(-2147481748, 1, 1, 0, 0, 0) - 1},
        {"time_t max", Limits::max()},
        {"time_t min", Limits::min()},
    };
    for (std::time_t t = utc(1890, 1, 1, 0, 0, 0); t < utc(2410, 1, 1, 0, 0, 0);
         t += 37 * 86400 + 3917) {
        instants.emplace_back("sweep", t);
    }
    const char* formats[] = {"%a, %d %b %Y %T %Z", "%c",
                             "%C %y %G %g %j %U %W %V %u %w %e %D %z %Z"};
    long nanos = 0;
    for (const auto& [name, seconds] : instants) {
        SCOPED_TRACE(name + " " + std::to_string(seconds));
        nanos = (nanos + 123456789) % 1000000000;
        std::string expected = c_library_gmt(seconds, "%m-%d-%Y %H:%M:%S");
        if (!expected.empty()) {
            std::string micros = std::to_string(1000000 + nanos / 1000).substr(1);
            expected += "." + micros + " GMT";
        }
        ASSERT_EQ(Vorn::time_gmt_at(std::timespec{seconds, nanos}), expected);
        for (const char* format : formats) {
            ASSERT_EQ(Vorn::time_gmt_format(format, seconds), c_library_gmt(seconds, format))
                << format;
        }
    }
    EXPECT_EQ(Vorn::time_gmt_at(std::timespec{0, 1000000000}), "");
    EXPECT_EQ(Vorn::time_gmt_at(std::timespec{0, -1}), "");
}

// glibc's gmtime_r and localtime_r share one lock; a child forked while
// another thread holds it could never take it again.
TEST(VornTimeStamp, GmtStampsInChildForkedDuringLocalTimeConversion) {
    isolated([] {
        std::atomic<bool> stop = false;
        std::thread converter([&stop] {
            std::tm calendar{};
            for (std::time_t t = 0; !stop.load(std::memory_order_relaxed); ++t) {
                localtime_r(&t, &calendar);
            }
        });
        int failed = 0;
        for (int i = 0; i < 200 && failed == 0; ++i) {
            pid_t child = fork();
            if (child == -1) {
                ADD_FAILURE() << "fork failed";
                break;
            }
            if (child == 0) {
                alarm(2);  // SIGALRM ends a child that hangs
                bool stamped = Vorn::time_gmt().size() == 30 && !Vorn::http_gmt_time().empty() &&
                               !Vorn::time_gmt_format().empty();
                _exit(stamped ? 0 : 1);
            }
            int status = 0;
            waitpid(child, &status, 0);
            failed += !WIFEXITED(status) || WEXITSTATUS(status) != 0;
        }
        stop = true;
        converter.join();
        EXPECT_EQ(failed, 0);
    });
}

TEST(VornTimeFormat, HttpDateLayout) {
    std::string date = Vorn::http_gmt_time();
    EXPECT_TRUE(std::regex_match(
        date, std::regex(R"((Mon|Tue|Wed|Thu|Fri|Sat|Sun), \d{2} )"
                         R"((Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) \d{4} )"
                         R"(\d{2}:\d{2}:\d{2} GMT)")))
        << date;
}

TEST(VornTimeFormat, DefaultFormatInCLocale) {
    const std::regex c_layout(R"([A-Z][a-z]{2} [A-Z][a-z]{2} [ 1-3]\d \d{2}:\d{2}:\d{2} \d{4})");
    std::string gmt = Vorn::time_gmt_format();
    EXPECT_TRUE(std::regex_match(gmt, c_layout)) << gmt;
    std::string local = Vorn::time_local_format();
    EXPECT_TRUE(std::regex_match(local, c_layout)) << local;
}

TEST(VornTimeFormat, GmtYear) {
    std::time_t before = now_seconds();
    std::string year = Vorn::time_gmt_format("%Y");
    std::time_t after = now_seconds();
    std::tm first{};
    std::tm last{};
    gmtime_r(&before, &first);
    gmtime_r(&after, &last);
    EXPECT_TRUE(year == std::to_string(first.tm_year + 1900) ||
                year == std::to_string(last.tm_year + 1900))
        << year;
}

TEST(VornTimeFormat, EmptyFormatGivesEmptyText) {
    EXPECT_EQ(Vorn::time_local_format(""), "");
    EXPECT_EQ(Vorn::time_gmt_format(""), "");
}

TEST(VornTimeFormat, TextOfUpTo127CharactersIsKept) {
    std::string longest(127, 'x');
    EXPECT_EQ(Vorn::time_gmt_format(longest), longest);
    EXPECT_EQ(Vorn::time_local_format(longest), longest);
}

TEST(VornTimeFormat, OverLongTextGivesEmptyText) {
    EXPECT_EQ(Vorn::time_gmt_format(std::string(128, 'x')), "");
    EXPECT_EQ(Vorn::time_local_format("%Y" + std::string(124, 'x')), "");
    EXPECT_EQ(Vorn::time_gmt_format(std::string(1000, 'y')), "");
}

TEST(VornTimeFormat, LocalFormatFollowsLocalZone) {
    isolated([] {
        use_zone("XYZ-5:30");
        EXPECT_EQ(Vorn::time_local_format("%Z"), "XYZ");
        EXPECT_EQ(Vorn::time_gmt_format("%Z"), "GMT");
    });
}

}  // namespace
}  // namespace zvk::test
