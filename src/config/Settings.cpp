#include "Settings.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <exception>
#include <locale>
#include <utility>

namespace zvk::detail {

namespace {

constexpr const char* kLocalTime = "LOCAL";
constexpr const char* kGmt = "GMT";
constexpr const char* kOn = "true";
constexpr const char* kDrop = "drop";
constexpr const char* kBlock = "block";
constexpr const char* kText = "text";
constexpr const char* kJson = "json";
constexpr const char* kYes = "yes";
constexpr const char* kNo = "no";
// So that the end of a wait for that many seconds stays within the
// clock's range.
constexpr std::size_t kWatchDigits = 9;
constexpr std::size_t kSettings = static_cast<std::size_t>(Setting::accept_level) + 1;

using Table = std::array<Element, kSettings>;

// What a file target keeps for a max_number_file it cannot read.
std::int64_t default_max_files() {
    bool read = false;
    return max_files_from("", read);
}

Table make_table() {
    Table rows;
    auto set = [&rows](Setting setting, Element row) {
        rows[static_cast<std::size_t>(setting)] = std::move(row);
    };
    const std::string size = std::to_string(kDefaultFileSize);
    const std::string kept = std::to_string(default_max_files());
    set(Setting::log_dir, {.scope = Scope::top, .name = "log_dir", .fallback = kDefaultLogDir});
    set(Setting::file_size_max, {.scope = Scope::top,
                                 .name = "file_size_max",
                                 .fallback = size,
                                 .refusal = "is not usable",
                                 .outcome = "the default " + size + " applies"});
    set(Setting::time_zone, {.scope = Scope::top,
                             .name = "time_zone",
                             .fallback = kGmt,
                             .accepted = {kLocalTime, kGmt},
                             .refusal = "means GMT",
                             .outcome = "only \"LOCAL\" selects local time"});
    set(Setting::locale, {.scope = Scope::top,
                          .name = "locale",
                          .refusal = "is not available on this system",
                          .outcome = "log directory, file size and time zone are not applied"});
    set(Setting::flush_on_crash, {.scope = Scope::top,
                                  .name = "flush_on_crash",
                                  .accepted = {kOn},
                                  .refusal = "means off",
                                  .outcome = "only \"true\" turns it on"});
    set(Setting::watch_seconds, {.scope = Scope::top,
                                 .name = "watch_seconds",
                                 .refusal = "is not a positive number",
                                 .outcome = "the file is not watched"});
    set(Setting::process_locale, {.scope = Scope::top,
                                  .name = "process_locale",
                                  .fallback = kYes,
                                  .accepted = {kYes, kNo},
                                  .refusal = "is neither \"yes\" nor \"no\"",
                                  .outcome = "yes applies"});
    set(Setting::process_file_limit, {.scope = Scope::top,
                                      .name = "process_file_limit",
                                      .fallback = kYes,
                                      .accepted = {kYes, kNo},
                                      .refusal = "is neither \"yes\" nor \"no\"",
                                      .outcome = "yes applies"});
    set(Setting::type, {.scope = Scope::target,
                        .name = "type",
                        .accepted = {std::string(kStdoutType), std::string(kFileType),
                                     std::string(kSyslogType), std::string(kJournalType)},
                        .refusal = "is not \"stdout\", \"file\", \"syslog\" or \"journal\"",
                        .outcome = "its loggers get no target"});
    set(Setting::file_name, {.scope = Scope::target,
                             .name = "file_name",
                             .refusal = "is refused (empty, \".\", \"..\" or with \"/\")",
                             .outcome = "the target cannot start"});
    set(Setting::max_number_file, {.scope = Scope::target,
                                   .name = "max_number_file",
                                   .fallback = kept,
                                   .refusal = "is not a number",
                                   .outcome = kept + " files are kept"});
    set(Setting::queue_max, {.scope = Scope::target,
                             .name = "queue_max",
                             .refusal = "is not a positive number",
                             .outcome = "the queue is unbounded"});
    set(Setting::when_full, {.scope = Scope::target,
                             .name = "when_full",
                             .fallback = kBlock,
                             .accepted = {kDrop, kBlock},
                             .refusal = "is neither \"drop\" nor \"block\"",
                             .outcome = "block applies"});
    set(Setting::queue_memory_max, {.scope = Scope::target,
                                    .name = "queue_memory_max",
                                    .refusal = "is not a size",
                                    .outcome = "an eighth of the physical memory applies"});
    set(Setting::socket, {.scope = Scope::target, .name = "socket", .fallback = "/dev/log"});
    set(Setting::facility, {.scope = Scope::target,
                            .name = "facility",
                            .fallback = "user",
                            .refusal = "is not user, daemon or local0 ... local7",
                            .outcome = "the target cannot start"});
    // Without it, the program's name: no text. Receivers read the tag up to
    // the first space or colon, so an ident with one would arrive cut.
    set(Setting::ident, {.scope = Scope::target,
                         .name = "ident",
                         .refusal = "has a space or a colon",
                         .outcome = "the target cannot start"});
    // Only file and console targets write lines; the others have fields.
    set(Setting::format, {.scope = Scope::target,
                          .name = "format",
                          .fallback = kText,
                          .accepted = {kText, kJson},
                          .refusal = "is neither \"text\" nor \"json\"",
                          .outcome = "the target cannot start"});
    add_file_rows(set);
    set(Setting::logger_target,
        {.scope = Scope::logger, .name = "target", .refusal = "is not defined"});
    set(Setting::accept_level,
        {.scope = Scope::logger,
         .name = "accept_level",
         .refusal = "is not one of OUT FATAL ERROR WARN AUDIT INFO TRACE DEBUG",
         .missing = "handles get no logger"});
    return rows;
}

const Table& table() {
    static const Table& rows = *new Table(make_table());  // outlives every static
    return rows;
}

// Digits only and all of them: "-5", "+5", " 5", "5x" and overflow are 0.
template <class Number>
Number digits_only(const std::string& text) {
    Number value = 0;
    const char* first = text.data();
    const char* last = first + text.size();
    auto [end, ec] = std::from_chars(first, last, value);
    if (first == last || *first < '0' || *first > '9' || ec != std::errc() || end != last) {
        return 0;
    }
    return value;
}

}  // namespace

bool accepts(Setting setting, const std::string& text) {
    const std::vector<std::string>& accepted = element(setting).accepted;
    return std::find(accepted.begin(), accepted.end(), text) != accepted.end();
}

const std::string& value_of(const VornConfig& model, Setting setting) {
    return model.get_element(element(setting).name);
}

const std::string* first_param(const VornConfig::target_cf_t& record, Setting setting) {
    return VornConfig::target_param(record, element(setting).name);
}

ServiceSettings read_service(const VornConfig& model, bool& size_refused, std::string& locale_why) {
    ServiceSettings settings;
    const std::string& log_dir = value_of(model, Setting::log_dir);
    settings.log_dir = log_dir.empty() ? std::string(kDefaultLogDir) : log_dir;

    const std::string& locale = value_of(model, Setting::locale);
    settings.locale = locale == "\"\"" ? std::string() : locale;
    // The service reads the size after it made the configured locale the
    // global one; when it cannot, it applies none of these settings.
    std::locale loc;
    settings.locale_known = true;
    try {
        loc = model.get_locale();
    } catch (const std::exception& e) {
        settings.locale_known = false;
        locale_why = e.what();
    }

    const std::string& size = value_of(model, Setting::file_size_max);
    settings.file_size = kDefaultFileSize;
    size_refused = !size.empty() && !VornConfig::file_size_bytes(size, settings.file_size, loc);
    if (size_refused) {
        settings.file_size = kDefaultFileSize;
    }
    settings.local_time = value_of(model, Setting::time_zone) == kLocalTime;
    settings.flush_on_crash = value_of(model, Setting::flush_on_crash) == kOn;
    settings.watch_seconds = watch_seconds(value_of(model, Setting::watch_seconds));
    // Anything but "no" keeps what the library has always done.
    settings.process_locale = value_of(model, Setting::process_locale) != kNo;
    settings.process_file_limit = sets_file_limit(model);
    return settings;
}

const std::string* last_param(const VornConfig::target_cf_t& record, Setting setting) {
    const std::string* found = nullptr;
    for (const auto& [key, value] : record.params) {
        if (key == element(setting).name) {
            found = &value;
        }
    }
    return found;
}

const Element& element(Setting setting) { return table()[static_cast<std::size_t>(setting)]; }

std::span<const Element> all_elements() { return table(); }

const std::vector<std::string>& config_search_paths() {
    static const auto& paths =
        *new std::vector<std::string>{"config/vorn_config.xml", "vorn_config.xml"};
    return paths;
}

std::uint64_t positive_number(const std::string& text, std::size_t max_digits) {
    return text.size() <= max_digits ? digits_only<std::uint64_t>(text) : 0;
}

std::size_t queue_max(const std::string& text) { return digits_only<std::size_t>(text); }

unsigned watch_seconds(const std::string& text) {
    return static_cast<unsigned>(positive_number(text, kWatchDigits));
}

QueueSettings queue_settings(const VornConfig::target_cf_t& record) {
    QueueSettings queue;
    const std::string* max_text = first_param(record, Setting::queue_max);
    const std::string* when_full = first_param(record, Setting::when_full);
    queue.max_records = max_text != nullptr ? queue_max(*max_text) : 0;
    queue.drop_when_full = when_full != nullptr && *when_full == kDrop;
    if (const std::string* memory = first_param(record, Setting::queue_memory_max)) {
        queue.memory_refused =
            !VornConfig::file_size_bytes(*memory, queue.memory_max, std::locale::classic());
        if (queue.memory_refused) {
            queue.memory_max = 0;
        }
    }
    return queue;
}

FormatSettings format_settings(const VornConfig::target_cf_t& record) {
    FormatSettings format;
    format.text = first_param(record, Setting::format);
    if (format.text != nullptr) {
        format.json = *format.text == kJson;
        format.refused = !accepts(Setting::format, *format.text);
    }
    return format;
}

int syslog_facility(std::string_view name) {
    if (name == "user") {
        return 1;
    }
    if (name == "daemon") {
        return 3;
    }
    if (name.size() == 6 && name.substr(0, 5) == "local" && name[5] >= '0' && name[5] <= '7') {
        return 16 + (name[5] - '0');
    }
    return -1;
}

SyslogSettings syslog_settings(const VornConfig::target_cf_t& record) {
    SyslogSettings syslog;
    syslog.socket = first_param(record, Setting::socket);
    syslog.facility_name = first_param(record, Setting::facility);
    syslog.facility =
        syslog_facility(syslog.facility_name != nullptr ? *syslog.facility_name
                                                        : element(Setting::facility).fallback);
    syslog.ident = first_param(record, Setting::ident);
    syslog.ident_usable =
        syslog.ident == nullptr || syslog.ident->find_first_of(" :") == std::string::npos;
    return syslog;
}

bool sets_file_limit(const VornConfig& model) {
    return value_of(model, Setting::process_file_limit) != kNo;
}

ServiceSettings service_settings(const VornConfig& model) {
    bool size_refused = false;
    std::string locale_why;
    return read_service(model, size_refused, locale_why);
}

}  // namespace zvk::detail
