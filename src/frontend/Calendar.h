// Calendar fields of a count of days, in integer arithmetic only: no
// lock and no allocation, so that a forked child and a fatal-signal
// handler can stamp records, and for every year an int64_t of days holds
// (std::chrono::year stops at 32767).
#pragma once

#include <cstdint>

namespace zvk::detail {

struct CivilDate {
    std::int64_t year;
    int month;        // 1 to 12
    int day;          // 1 to 31
    int day_of_year;  // 0 to 365, from January 1
};

// The proleptic Gregorian date `days` after 1970-01-01 (before it when
// negative).
constexpr CivilDate civil_from_days(std::int64_t days) noexcept {
    constexpr std::int64_t kDaysPerEra = 146097;  // 400 Gregorian years
    // Years counted from March, so that a leap day ends its year.
    const std::int64_t from_march_0000 = days + 719468;
    const std::int64_t era =
        (from_march_0000 >= 0 ? from_march_0000 : from_march_0000 - (kDaysPerEra - 1)) /
        kDaysPerEra;
    const int day_of_era = static_cast<int>(from_march_0000 - era * kDaysPerEra);
    const int year_of_era =
        (day_of_era - day_of_era / 1460 + day_of_era / 36524 - day_of_era / 146096) / 365;
    const int day_of_march_year =
        day_of_era - (365 * year_of_era + year_of_era / 4 - year_of_era / 100);
    const int month_from_march = (5 * day_of_march_year + 2) / 153;
    const int month = month_from_march < 10 ? month_from_march + 3 : month_from_march - 9;
    const std::int64_t year = era * 400 + year_of_era + (month <= 2 ? 1 : 0);
    const bool leap = year % 4 == 0 && (year % 100 != 0 || year % 400 == 0);
    // 306 days from March 1 to January 1; 59 (60) from January 1 to March 1.
    return {year, month, day_of_march_year - (153 * month_from_march + 2) / 5 + 1,
            month <= 2 ? day_of_march_year - 306 : day_of_march_year + 59 + (leap ? 1 : 0)};
}

// Whole days since 1970-01-01 of `seconds` since then, and the seconds
// into that day (0 to 86399, also before 1970).
constexpr std::int64_t days_of(std::int64_t seconds, std::int64_t& second_of_day) noexcept {
    constexpr std::int64_t kSecondsPerDay = 86400;
    std::int64_t days = seconds / kSecondsPerDay;
    second_of_day = seconds % kSecondsPerDay;
    if (second_of_day < 0) {
        second_of_day += kSecondsPerDay;
        --days;
    }
    return days;
}

static_assert(civil_from_days(0).year == 1970 && civil_from_days(0).day_of_year == 0);
static_assert(civil_from_days(11016).month == 2 && civil_from_days(11016).day == 29);  // 2000
static_assert(civil_from_days(-1).year == 1969 && civil_from_days(-1).day_of_year == 364);

}  // namespace zvk::detail
