#include <charconv>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <string>

#include "Calendar.h"
#include "StampCache.h"
#include "zvk/Vorn.h"

namespace zvk {

namespace {

// The proleptic Gregorian calendar of `seconds`, as gmtime_r gives it.
// gmtime_r takes the C library's time-zone lock: a child forked while
// another thread held it would wait forever in every UTC stamp. false
// where gmtime_r fails too (tm_year out of int).
bool to_utc_calendar(std::time_t seconds, std::tm& calendar) {
    std::int64_t second_of_day = 0;
    const std::int64_t days = detail::days_of(seconds, second_of_day);
    const detail::CivilDate date = detail::civil_from_days(days);
    if (date.year - 1900 < INT_MIN || date.year - 1900 > INT_MAX) {
        return false;
    }
    calendar.tm_year = static_cast<int>(date.year - 1900);
    calendar.tm_mon = date.month - 1;
    calendar.tm_mday = date.day;
    calendar.tm_yday = date.day_of_year;
    calendar.tm_wday = static_cast<int>((days % 7 + 11) % 7);  // 1970-01-01 was a Thursday
    calendar.tm_hour = static_cast<int>(second_of_day / 3600);
    calendar.tm_min = static_cast<int>(second_of_day / 60 % 60);
    calendar.tm_sec = static_cast<int>(second_of_day % 60);
    calendar.tm_isdst = 0;
    // strftime's %Z reads tm_zone; left empty it would call tzset, which
    // takes the same lock.
    calendar.tm_gmtoff = 0;
    calendar.tm_zone = "GMT";
    return true;
}

// strftime takes no lock for a calendar that names its zone, except for %s,
// which glibc computes through mktime.
std::string format_calendar(const std::tm& calendar, const char* format) {
    char buffer[128];
    // 0 means the text did not fit (or is empty): either way the result is empty.
    std::size_t length = std::strftime(buffer, sizeof buffer, format, &calendar);
    return std::string(buffer, length);
}

std::string format_gmt(std::time_t seconds, const char* format) {
    std::tm calendar{};
    if (!to_utc_calendar(seconds, calendar)) {
        return {};
    }
    return format_calendar(calendar, format);
}

std::string format_local_now(const char* format) {
    std::timespec now{};
    std::tm calendar{};
    if (std::timespec_get(&now, TIME_UTC) != TIME_UTC ||
        localtime_r(&now.tv_sec, &calendar) == nullptr) {
        return {};
    }
    return format_calendar(calendar, format);
}

std::string format_gmt_now(const char* format) {
    std::timespec now{};
    if (std::timespec_get(&now, TIME_UTC) != TIME_UTC) {
        return {};
    }
    return format_gmt(now.tv_sec, format);
}

char* put_two_digits(char* out, int value) {
    out[0] = static_cast<char>('0' + value / 10);
    out[1] = static_cast<char>('0' + value % 10);
    return out + 2;
}

// "MM-DD-YYYY HH:MM:SS.uuuuuu GMT", digit by digit: a stream would pick up
// the global locale, whose grouping the service may have switched on, and
// take its mutex. The year is written as strftime's %Y writes it.
std::string gmt_stamp(const std::timespec& instant) {
    std::tm calendar{};
    if (instant.tv_nsec < 0 || instant.tv_nsec >= 1000000000 ||
        !to_utc_calendar(instant.tv_sec, calendar)) {
        return {};
    }
    char buffer[48];
    char* out = put_two_digits(buffer, calendar.tm_mon + 1);
    *out++ = '-';
    out = put_two_digits(out, calendar.tm_mday);
    *out++ = '-';
    out = std::to_chars(out, buffer + sizeof buffer, std::int64_t{calendar.tm_year} + 1900).ptr;
    *out++ = ' ';
    out = put_two_digits(out, calendar.tm_hour);
    *out++ = ':';
    out = put_two_digits(out, calendar.tm_min);
    *out++ = ':';
    out = put_two_digits(out, calendar.tm_sec);
    *out++ = '.';
    long micros = instant.tv_nsec / 1000;
    for (int i = 5; i >= 0; --i) {
        out[i] = static_cast<char>('0' + micros % 10);
        micros /= 10;
    }
    std::memcpy(out + 6, " GMT", 4);
    return std::string(buffer, out + 10);
}

}  // namespace

std::string Vorn::time_gmt() {
    char stamp[detail::kStampRoom];
    return std::string(stamp, detail::stamp_now(false, stamp));
}

std::string Vorn::time_gmt_at(const std::timespec& instant) { return gmt_stamp(instant); }

std::string Vorn::time_local() {
    char stamp[detail::kStampRoom];
    return std::string(stamp, detail::stamp_now(true, stamp));
}

std::string Vorn::http_gmt_time() { return format_gmt_now("%a, %d %b %Y %T %Z"); }

std::string Vorn::time_gmt_format() { return format_gmt_now("%c"); }

std::string Vorn::time_local_format() { return format_local_now("%c"); }

std::string Vorn::time_gmt_format(const std::string& format) {
    return format_gmt_now(format.c_str());
}

std::string Vorn::time_gmt_format(const std::string& format, std::time_t seconds) {
    return format_gmt(seconds, format.c_str());
}

std::string Vorn::time_local_format(const std::string& format) {
    return format_local_now(format.c_str());
}

}  // namespace zvk
