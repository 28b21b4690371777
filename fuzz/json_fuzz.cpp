// Arbitrary bytes as a record's text and logger name through the JSON
// lines format: every output is one line that a real JSON parser reads,
// with the fields as given wherever they were valid UTF-8.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>

#include "targets/JsonLine.h"

namespace {

bool valid_utf8(const std::string& text) {
    try {
        (void)nlohmann::json(text).dump();
        return true;
    } catch (const nlohmann::json::type_error&) {
        return false;
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 9) {
        return 0;
    }
    // The level, the time, then the logger's name up to a NUL, then the text.
    const int level = static_cast<std::int8_t>(data[0]);
    std::int64_t time_us = 0;
    for (int i = 1; i < 9; ++i) {
        time_us = (time_us << 8) | data[i];
    }
    time_us %= 253402300800000000;  // within years 0000-9999 either way
    const std::string_view rest(reinterpret_cast<const char*>(data + 9), size - 9);
    const std::size_t nul = rest.find('\0');
    const std::string logger(rest.substr(0, nul == std::string_view::npos ? 0 : nul));
    const std::string text(nul == std::string_view::npos ? rest : rest.substr(nul + 1));
    zvk::Origin origin;
    origin.logger = logger.c_str();
    origin.thread = 4711;
    origin.time_us = time_us < 0 ? -time_us : time_us;
    origin.file = "f.cpp";
    origin.line = 12;
    origin.func = "f";
    std::string line;
    zvk::detail::append_json_line(line, text, level, origin);
    if (line.empty() || line.back() != '\n' || line.find('\n') != line.size() - 1) {
        __builtin_trap();
    }
    nlohmann::json parsed;
    try {
        parsed = nlohmann::json::parse(line);
    } catch (const nlohmann::json::exception&) {
        __builtin_trap();
    }
    std::string message = text;
    if (!message.empty() && message.back() == '\n') {
        message.pop_back();
    }
    if (!parsed.is_object() || parsed["thread"] != 4711 || parsed["line"] != 12 ||
        !parsed["time"].is_string() || parsed["time"].get<std::string>().size() != 27) {
        __builtin_trap();
    }
    if (valid_utf8(message) && parsed["message"] != message) {
        __builtin_trap();
    }
    if (valid_utf8(logger) && parsed["logger"] != logger) {
        __builtin_trap();
    }
    return 0;
}
