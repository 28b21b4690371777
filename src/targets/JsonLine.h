// One record as one line of JSON, for collectors that read files:
//   {"time":"2026-12-08T05:44:14.123456Z","level":"INFO","logger":"db",
//    "thread":4711,"message":"...","file":"a.cpp","line":12,"func":"f"}
// The message is the caller's text without its final line end, with
// whatever bytes it holds made valid: invalid UTF-8 becomes U+FFFD and
// control characters are escaped, so that the object stays on its line.
// Nothing here allocates but the output's own appends, and the time is
// computed without the C library's time functions, so that a fatal-signal
// handler can render into a fixed buffer.
#pragma once

#include <charconv>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "../frontend/Calendar.h"
#include "zvk/Origin.h"
#include "zvk/Vorn.h"

namespace zvk::detail {

namespace json {

// `Out` has append(const char*, std::size_t) and push_back(char).
template <class Out>
void put(Out& out, std::string_view text) {
    out.append(text.data(), text.size());
}

template <class Out>
void put_number(Out& out, std::int64_t value) {
    char digits[24];
    const char* end = std::to_chars(digits, digits + sizeof digits, value).ptr;
    out.append(digits, static_cast<std::size_t>(end - digits));
}

template <class Out>
void put_digits(Out& out, std::int64_t value, int width) {
    char digits[20];
    for (int i = width - 1; i >= 0; --i) {
        digits[i] = static_cast<char>('0' + value % 10);
        value /= 10;
    }
    out.append(digits, static_cast<std::size_t>(width));
}

// The length of the well-formed UTF-8 sequence at the start of `text`, 0
// when it does not start with one (overlong forms, surrogates and code
// points above U+10FFFF are not well formed).
inline std::size_t utf8_sequence(std::string_view text) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(0);
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return 0;
    }
    if (text.size() < length || byte(1) < low || byte(1) > high) {
        return 0;
    }
    for (std::size_t i = 2; i < length; ++i) {
        if (byte(i) < 0x80 || byte(i) > 0xBF) {
            return 0;
        }
    }
    return length;
}

template <class Out>
void put_string(Out& out, std::string_view text) {
    static constexpr char kHex[] = "0123456789abcdef";
    out.push_back('"');
    std::size_t plain = 0;  // start of the bytes that go out as they are
    std::size_t i = 0;
    const auto flush_plain = [&] { out.append(text.data() + plain, i - plain); };
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x80 && c != '"' && c != '\\') {
            ++i;
            continue;
        }
        if (c >= 0x80) {
            const std::size_t length = utf8_sequence(text.substr(i));
            if (length != 0) {
                i += length;
                continue;
            }
        }
        flush_plain();
        switch (c) {
            case '"':
                put(out, "\\\"");
                break;
            case '\\':
                put(out, "\\\\");
                break;
            case '\n':
                put(out, "\\n");
                break;
            case '\r':
                put(out, "\\r");
                break;
            case '\t':
                put(out, "\\t");
                break;
            default:
                if (c < 0x20) {
                    put(out, "\\u00");
                    out.push_back(kHex[c >> 4]);
                    out.push_back(kHex[c & 0xF]);
                } else {
                    put(out, "\xEF\xBF\xBD");  // U+FFFD for a byte of no character
                }
        }
        plain = ++i;
    }
    flush_plain();
    out.push_back('"');
}

// RFC 3339 in UTC with microseconds, from µs since 1970.
template <class Out>
void put_time(Out& out, std::int64_t time_us) {
    std::int64_t seconds = time_us / 1'000'000;
    std::int64_t micros = time_us % 1'000'000;
    if (micros < 0) {
        micros += 1'000'000;
        --seconds;
    }
    std::int64_t of_day = 0;
    const CivilDate date = civil_from_days(days_of(seconds, of_day));
    out.push_back('"');
    put_digits(out, date.year, 4);
    out.push_back('-');
    put_digits(out, date.month, 2);
    out.push_back('-');
    put_digits(out, date.day, 2);
    out.push_back('T');
    put_digits(out, of_day / 3600, 2);
    out.push_back(':');
    put_digits(out, of_day / 60 % 60, 2);
    out.push_back(':');
    put_digits(out, of_day % 60, 2);
    out.push_back('.');
    put_digits(out, micros, 6);
    put(out, "Z\"");
}

}  // namespace json

// Appends the record's line, line end included, to `out`.
template <class Out>
void append_json_line(Out& out, std::string_view text, int level, const Origin& origin) {
    if (!text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
    }
    json::put(out, "{\"time\":");
    json::put_time(out, origin.time_us);
    json::put(out, ",\"level\":");
    const std::string_view name = Vorn::level_name(level);
    if (name.empty()) {
        json::put_number(out, level);
    } else {
        json::put_string(out, name);
    }
    json::put(out, ",\"logger\":");
    if (origin.logger != nullptr) {
        json::put_string(out, origin.logger);
    } else {
        json::put(out, "null");
    }
    json::put(out, ",\"thread\":");
    json::put_number(out, origin.thread);
    json::put(out, ",\"message\":");
    json::put_string(out, text);
    if (origin.file != nullptr) {
        json::put(out, ",\"file\":");
        json::put_string(out, origin.file);
        json::put(out, ",\"line\":");
        json::put_number(out, origin.line);
    }
    if (origin.func != nullptr) {
        json::put(out, ",\"func\":");
        json::put_string(out, origin.func);
    }
    json::put(out, "}\n");
}

// What ends a message shortened so that its line fits the file-size limit.
inline constexpr std::string_view kShortenedMark = " [cut at the file size limit]";

// `line`, as append_json_line made it, with its message shortened after a
// whole character or escape and ended by kShortenedMark, so that the line
// (still valid JSON, still ending with its line end) is at most `max`
// bytes; into `out`. False when even an empty message would not fit.
inline bool shorten_json_line(std::string_view line, std::size_t max, std::string& out) {
    constexpr std::string_view kKey = ",\"message\":\"";
    // The first such key is the message's: inside a string every quote is
    // escaped.
    const std::size_t at = line.find(kKey);
    if (at == std::string_view::npos) {
        return false;
    }
    const std::size_t begin = at + kKey.size();
    std::size_t end = begin;
    while (end < line.size() && line[end] != '"') {
        end += line[end] == '\\' ? 2 : 1;
    }
    const std::size_t fixed = line.size() - (end - begin) + kShortenedMark.size();
    if (end >= line.size() || fixed > max) {
        return false;
    }
    const std::size_t room = max - fixed;
    std::size_t keep = 0;
    while (begin + keep < end) {
        const unsigned char c = static_cast<unsigned char>(line[begin + keep]);
        std::size_t step = 1;
        if (c == '\\') {
            step = line[begin + keep + 1] == 'u' ? 6 : 2;
        } else if (c >= 0xF0) {
            step = 4;
        } else if (c >= 0xE0) {
            step = 3;
        } else if (c >= 0xC0) {
            step = 2;
        }
        if (keep + step > room) {
            break;
        }
        keep += step;
    }
    out.assign(line.substr(0, begin + keep));
    out.append(kShortenedMark);
    out.append(line.substr(end));
    return true;
}

}  // namespace zvk::detail
