// Stamps rendered from the per-thread cache of seconds are the text the
// calendar gives for every instant: across seconds, zones and clock steps.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "frontend/StampCache.h"
#include "zvk/Vorn.h"

namespace zvk::test {
namespace {

// Zone "ZST" two hours east, "ZDT" from 29 March 2026 00:00:00 UTC.
constexpr const char* Zone = "ZST-2ZDT,M3.5.0/2,M10.5.0/3";
constexpr std::time_t SummerBegins = 1774742400;

std::string rendered(bool local, std::time_t second, long nanos) {
    char out[detail::kStampRoom];
    return std::string(out, detail::stamp_at(local, std::timespec{second, nanos}, out));
}

// The stamp as the calendar gives it, without the cache.
std::string expected(bool local, std::time_t second, long nanos) {
    if (!local) {
        return Vorn::time_gmt_at(std::timespec{second, nanos});
    }
    std::tm calendar{};
    localtime_r(&second, &calendar);
    char date[32];
    char zone[32];
    std::strftime(date, sizeof date, "%m-%d-%Y %H:%M:%S", &calendar);
    std::strftime(zone, sizeof zone, "%Z", &calendar);
    char whole[96];
    std::snprintf(whole, sizeof whole, "%s.%06ld %s", date, nanos / 1000, zone);
    return whole;
}

TEST(StampCache, EveryInstantAsTheCalendarGivesIt) {
    isolated([] {
        setenv("TZ", Zone, 1);
        tzset();
        struct Step {
            bool local;
            std::time_t second;
            long nanos;
        };
        const std::time_t t = SummerBegins;
        const std::vector<Step> steps = {
            {true, t - 1, 999999999},  // the last second of winter time
            {true, t, 1000},           // the next second: summer time
            {true, t, 42000},          // the same second
            {false, t, 42000},         // the same second in the other zone
            {true, t, 43000},          // and back
            {true, t + 1, 0},          // the next second
            {false, t + 2, 0},
            {true, t - 3600, 0},              // the clock stepped back an hour
            {true, t + 86400 * 400, 250000},  // and forward a year
            {false, t + 86400 * 400, 250000},
            {false, t, 999999000},  // back again
        };
        for (const Step& step : steps) {
            SCOPED_TRACE(std::to_string(step.second) + (step.local ? " local" : " UTC"));
            EXPECT_EQ(rendered(step.local, step.second, step.nanos),
                      expected(step.local, step.second, step.nanos));
        }
        EXPECT_EQ(rendered(true, t, 1000), "03-29-2026 03:00:00.000001 ZDT");
        EXPECT_EQ(rendered(false, t, 0), "03-29-2026 00:00:00.000000 GMT");
        EXPECT_EQ(rendered(false, t, 1000000000), "");
    });
}

// time_gmt across a few second boundaries of the real clock.
TEST(StampCache, NowAcrossSecondBoundaries) {
    std::vector<std::time_t> seconds;
    while (seconds.size() < 3) {
        std::timespec before{};
        std::timespec after{};
        std::timespec_get(&before, TIME_UTC);
        const std::string stamp = Vorn::time_gmt();
        std::timespec_get(&after, TIME_UTC);
        if (before.tv_sec != after.tv_sec) {
            continue;
        }
        const std::string whole = Vorn::time_gmt_at(before);
        ASSERT_EQ(stamp.size(), whole.size());
        EXPECT_EQ(stamp.substr(0, 20), whole.substr(0, 20));
        EXPECT_EQ(stamp.substr(26), " GMT");
        EXPECT_GE(stamp.substr(20, 6), whole.substr(20, 6));
        if (seconds.empty() || seconds.back() != before.tv_sec) {
            seconds.push_back(before.tv_sec);
        }
    }
}

}  // namespace
}  // namespace zvk::test
