#include "RotatedStamp.h"

#include <algorithm>
#include <charconv>
#include <chrono>

#include "FileLogShared.h"

namespace zvk::detail {

namespace {

// MM-DD-YYYY in digits, whatever the values.
bool is_date(std::string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        bool dash = i == 2 || i == 5;
        if (dash ? s[i] != '-' : (s[i] < '0' || s[i] > '9')) {
            return false;
        }
    }
    return s.size() == 10;
}

bool is_valid_date(std::string_view s) {
    if (!is_date(s)) {
        return false;
    }
    auto two = [&](std::size_t at) { return (s[at] - '0') * 10 + (s[at + 1] - '0'); };
    const std::chrono::year_month_day date{std::chrono::year(two(6) * 100 + two(8)),
                                           std::chrono::month(static_cast<unsigned>(two(0))),
                                           std::chrono::day(static_cast<unsigned>(two(3)))};
    return date.ok();
}

}  // namespace

std::string stamp_at(std::time_t seconds) {
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        return {};
    }
    char date[64];
    std::size_t len = std::strftime(date, sizeof date, "%m-%d-%Y", &local);
    return std::string(date, len < 10 ? len : 10) + "_" + decimal(seconds);
}

bool is_stamp(std::string_view s) {
    if (s.size() < 12 || s[10] != '_' || !is_valid_date(s.substr(0, 10))) {
        return false;
    }
    std::string_view seconds = s.substr(11);
    if (seconds.front() == '-') {
        seconds.remove_prefix(1);
    }
    return !seconds.empty() && (seconds.size() == 1 || seconds.front() != '0') &&
           std::all_of(seconds.begin(), seconds.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool stamp_seconds(std::string_view path, long long& seconds) {
    for (auto pos = path.rfind('_'); pos != std::string_view::npos && pos >= 10;
         pos = path.rfind('_', pos - 1)) {
        if (!is_date(path.substr(pos - 10, 10))) {
            continue;
        }
        const char* first = path.data() + pos + 1;
        const char* last = path.data() + path.size();
        const char* digits = first != last && *first == '-' ? first + 1 : first;
        if (digits == last || *digits < '0' || *digits > '9') {
            continue;
        }
        if (std::from_chars(first, last, seconds).ec == std::errc()) {
            return true;
        }
    }
    return false;
}

}  // namespace zvk::detail
