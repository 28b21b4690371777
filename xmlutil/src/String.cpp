#include "zvk/String.h"

#include <algorithm>
#include <charconv>

namespace zvk {

bool String::str_to_int(std::string_view text, int& value) {
    // from_chars takes a '-' but not a '+': the '+' is dropped here. One
    // sign at most, then digits only, so "+-1" and a lone sign are refused.
    std::string_view number = text;
    std::string_view digits = text;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        digits.remove_prefix(1);
        if (text.front() == '+') {
            number.remove_prefix(1);
        }
    }
    if (digits.empty() ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    int parsed = 0;
    const char* end = number.data() + number.size();
    auto [ptr, ec] = std::from_chars(number.data(), end, parsed);
    if (ec != std::errc() || ptr != end) {
        return false;
    }
    value = parsed;
    return true;
}

}  // namespace zvk
