#include <ctime>
#include <string>

#include "zvk/Vorn.h"

namespace zvk {

namespace {

// The reentrant conversions: targets' workers stamp concurrently with the
// application's threads.
bool to_calendar(std::time_t seconds, bool utc, std::tm& calendar) {
    return utc ? gmtime_r(&seconds, &calendar) != nullptr
               : localtime_r(&seconds, &calendar) != nullptr;
}

std::string format_now(bool utc, const char* format) {
    std::timespec now{};
    std::tm calendar{};
    if (std::timespec_get(&now, TIME_UTC) != TIME_UTC || !to_calendar(now.tv_sec, utc, calendar)) {
        return {};
    }
    char buffer[128];
    // 0 means the text did not fit (or is empty): either way the result is empty.
    std::size_t length = std::strftime(buffer, sizeof buffer, format, &calendar);
    return std::string(buffer, length);
}

// "MM-DD-YYYY HH:MM:SS.uuuuuu ZONE". The microseconds are written digit by
// digit: a stream would pick up the global locale, whose grouping the
// service may have switched on.
std::string stamp_now(bool utc) {
    constexpr std::size_t DateTimeLength = 19;
    std::timespec now{};
    std::tm calendar{};
    if (std::timespec_get(&now, TIME_UTC) != TIME_UTC || !to_calendar(now.tv_sec, utc, calendar)) {
        return {};
    }
    // Large enough for zone abbreviations far longer than three letters, so
    // that local summer-time names and numeric offsets come out whole.
    char buffer[96];
    std::size_t length = std::strftime(buffer, sizeof buffer, "%m-%d-%Y %H:%M:%S %Z", &calendar);
    if (length < DateTimeLength) {
        return {};
    }
    char micros[6];
    long value = now.tv_nsec / 1000;
    for (int i = 5; i >= 0; --i) {
        micros[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    std::string result;
    result.reserve(31);
    result.append(buffer, DateTimeLength);
    result.push_back('.');
    result.append(micros, sizeof micros);
    result.append(buffer + DateTimeLength, length - DateTimeLength);
    return result;
}

}  // namespace

std::string Vorn::time_gmt() { return stamp_now(true); }

std::string Vorn::time_local() { return stamp_now(false); }

std::string Vorn::http_gmt_time() { return format_now(true, "%a, %d %b %Y %T %Z"); }

std::string Vorn::time_gmt_format() { return format_now(true, "%c"); }

std::string Vorn::time_local_format() { return format_now(false, "%c"); }

std::string Vorn::time_gmt_format(const std::string& format) {
    return format_now(true, format.c_str());
}

std::string Vorn::time_local_format(const std::string& format) {
    return format_now(false, format.c_str());
}

}  // namespace zvk
