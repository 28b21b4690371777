// A file target's optional elements: time rotation, compression, the mode
// and group of its files, syncing and retention by age and size. Each is
// read here once, for the target, the service and the checker alike.
#include <algorithm>
#include <charconv>
#include <limits>
#include <locale>

#include "Settings.h"
#include "zvk/String.h"

namespace zvk::detail {

namespace {

// What a file target keeps without a usable max_number_file.
constexpr int kDefaultMaxFiles = 5;

constexpr const char* kGzip = "gzip";
constexpr const char* kZstd = "zstd";
constexpr const char* kNever = "never";
constexpr const char* kAtRotation = "rotation";

// "N" and a unit letter: N and the letter; false for anything else.
bool number_and_unit(const std::string& text, std::int64_t& number, char& unit) {
    if (text.size() < 2 || text.front() < '0' || text.front() > '9') {
        return false;
    }
    const char* first = text.data();
    const char* last = first + text.size() - 1;
    auto [end, ec] = std::from_chars(first, last, number);
    unit = text.back();
    return ec == std::errc() && end == last && number > 0;
}

std::int64_t unit_seconds(char unit) {
    switch (unit) {
        case 's':
            return 1;
        case 'm':
            return 60;
        case 'h':
            return 3600;
        case 'd':
            return 86400;
        default:
            return 0;
    }
}

}  // namespace

std::int64_t rotate_every_seconds(const std::string& text) {
    std::int64_t number = 0;
    char unit = '\0';
    if (!number_and_unit(text, number, unit)) {
        return 0;
    }
    // Periods that tile an hour or a day, so that every boundary falls on
    // the clock: "1h" on the hour, "1d" at midnight.
    if ((unit == 'm' && 60 % number == 0) || (unit == 'h' && 24 % number == 0) ||
        (unit == 'd' && number == 1)) {
        return number * unit_seconds(unit);
    }
    return 0;
}

std::int64_t duration_seconds(const std::string& text) {
    std::int64_t number = 0;
    char unit = '\0';
    const std::int64_t scale = number_and_unit(text, number, unit) ? unit_seconds(unit) : 0;
    if (scale == 0 || number > std::numeric_limits<std::int64_t>::max() / scale / 1000) {
        return 0;
    }
    return number * scale;
}

void add_file_rows(const std::function<void(Setting, Element)>& set) {
    // A mode the target cannot read could be wider than meant: the target
    // stops rather than expose its files. The others fall back to the
    // default, which loses no record.
    set(Setting::rotate_every, {.scope = Scope::target,
                                .name = "rotate_every",
                                .refusal = "is not 15m, 1h, 6h, 1d or another period that tiles "
                                           "an hour or a day",
                                .outcome = "the file rotates by size only"});
    set(Setting::compress, {.scope = Scope::target,
                            .name = "compress",
                            .accepted = {kGzip, kZstd},
                            .refusal = "is neither \"gzip\" nor \"zstd\"",
                            .outcome = "rotated files are not compressed"});
    set(Setting::file_mode, {.scope = Scope::target,
                             .name = "file_mode",
                             .refusal = "is not an octal mode such as 0640",
                             .outcome = "the target cannot start"});
    set(Setting::file_group, {.scope = Scope::target, .name = "file_group"});
    set(Setting::sync, {.scope = Scope::target,
                        .name = "sync",
                        .fallback = kNever,
                        .refusal = "is not never, rotation or an interval such as 1s",
                        .outcome = "never applies"});
    set(Setting::max_age, {.scope = Scope::target,
                           .name = "max_age",
                           .refusal = "is not a duration such as 7d",
                           .outcome = "no age limit applies"});
    set(Setting::max_total_size, {.scope = Scope::target,
                                  .name = "max_total_size",
                                  .refusal = "is not a size such as 1G",
                                  .outcome = "no size limit applies"});
}

void read_file_options(const VornConfig::target_cf_t& record, FileSettings& file) {
    auto refuse = [&file](Setting setting, const std::string* text) {
        file.refused.emplace_back(setting, text);
    };
    auto ignore = [&file](Setting setting, const std::string* text) {
        file.ignored.emplace_back(setting, text);
    };
    if (const std::string* text = last_param(record, Setting::rotate_every)) {
        file.rotate_every = rotate_every_seconds(*text);
        if (file.rotate_every == 0) {
            ignore(Setting::rotate_every, text);
        }
    }
    if (const std::string* text = last_param(record, Setting::compress)) {
        if (*text == kGzip) {
            file.compress = Compression::gzip;
        } else if (*text == kZstd) {
            file.compress = Compression::zstd;
        } else {
            ignore(Setting::compress, text);
        }
    }
    if (const std::string* text = last_param(record, Setting::file_mode)) {
        unsigned mode = 0;
        const char* first = text->data();
        const char* last = first + text->size();
        auto [end, ec] = std::from_chars(first, last, mode, 8);
        // Permission bits only: set-id and sticky bits on a log file would
        // be a mistake worth refusing.
        if (text->empty() || *first < '0' || *first > '7' || ec != std::errc() || end != last ||
            mode > 0777) {
            refuse(Setting::file_mode, text);
        } else {
            file.file_mode = static_cast<int>(mode);
        }
    }
    file.file_group = last_param(record, Setting::file_group);
    if (const std::string* text = last_param(record, Setting::sync)) {
        if (*text == kNever) {
            file.sync = SyncPolicy::never;
        } else if (*text == kAtRotation) {
            file.sync = SyncPolicy::rotation;
        } else if (const std::int64_t seconds = duration_seconds(*text); seconds != 0) {
            file.sync = SyncPolicy::interval;
            file.sync_ms = seconds * 1000;
        } else {
            ignore(Setting::sync, text);
        }
    }
    if (const std::string* text = last_param(record, Setting::max_age)) {
        file.max_age = duration_seconds(*text);
        if (file.max_age == 0) {
            ignore(Setting::max_age, text);
        }
    }
    if (const std::string* text = last_param(record, Setting::max_total_size)) {
        if (!VornConfig::file_size_bytes(*text, file.max_total_size, std::locale::classic())) {
            file.max_total_size = 0;
            ignore(Setting::max_total_size, text);
        }
    }
}

std::int64_t max_files_from(std::string_view text, bool& converted) {
    converted = true;
    int value = 0;
    if (String::str_to_int(text, value)) {
        return value;
    }
    // A number too large for int asks for more files than anyone keeps:
    // keep them all, as a negative number does, rather than fall back to 5
    // and delete.
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        digits.remove_prefix(1);
    }
    if (!digits.empty() &&
        std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return -1;
    }
    converted = false;
    return kDefaultMaxFiles;
}

bool file_name_usable(std::string_view file_name) {
    return !file_name.empty() && file_name != "." && file_name != ".." &&
           file_name.find('/') == std::string_view::npos;
}

FileSettings file_settings(const VornConfig::target_cf_t& record) {
    FileSettings file;
    file.file_name = last_param(record, Setting::file_name);
    const std::string* max_text = last_param(record, Setting::max_number_file);
    file.max_files = max_files_from(max_text != nullptr ? *max_text : "", file.max_files_read);
    read_file_options(record, file);
    return file;
}

}  // namespace zvk::detail
