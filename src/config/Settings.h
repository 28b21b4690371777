// What each element of a configuration means: one table of every element
// with what applies without it, the texts it takes and the words of a
// problem with it, and the typed readings that the service, the targets
// and the checker all go through, so that they cannot read a value
// differently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "zvk/VornConfig.h"

namespace zvk::detail {

inline constexpr std::uint64_t kDefaultFileSize = 10485760;
inline constexpr const char* kDefaultLogDir = "logs";

// The <type> names of the targets there are.
inline constexpr std::string_view kStdoutType = "stdout";
inline constexpr std::string_view kFileType = "file";
inline constexpr std::string_view kSyslogType = "syslog";
inline constexpr std::string_view kJournalType = "journal";
// journald's own socket: a journal target without <socket> sends there.
inline constexpr const char* kJournalSocket = "/run/systemd/journal/socket";

enum class Scope { top, target, logger };

enum class Setting {
    log_dir,
    file_size_max,
    time_zone,
    locale,
    flush_on_crash,
    watch_seconds,
    process_locale,
    process_file_limit,
    type,
    file_name,
    max_number_file,
    queue_max,
    when_full,
    queue_memory_max,
    socket,
    facility,
    ident,
    format,
    rotate_every,
    compress,
    file_mode,
    file_group,
    sync,
    max_age,
    max_total_size,
    logger_target,
    accept_level,
};

// A problem with a text the element refuses reads
// `<name> "<text>" <refusal>; <outcome>` (without "; " when there is no
// outcome), after "target "<name>": " or "logger "<name>": ".
struct Element {
    Scope scope = Scope::top;
    std::string name{};
    std::string fallback{};               // what applies without it; empty: nothing
    std::vector<std::string> accepted{};  // the only texts it takes; empty: a rule reads it
    std::string refusal{};
    std::string outcome{};
    std::string missing{};  // of a required element: what an absent one means
};

const Element& element(Setting setting);
// Every row, in the order of Setting.
std::span<const Element> all_elements();
// The text of the last child `setting` of a target record (a target reads
// its children in order); null when it has none.
const std::string* last_param(const VornConfig::target_cf_t& record, Setting setting);
// Of the first child `setting` (the elements a target reads once).
const std::string* first_param(const VornConfig::target_cf_t& record, Setting setting);
// The text of the top-level `setting` in `model`; empty when absent.
const std::string& value_of(const VornConfig& model, Setting setting);
// Whether `text` is one of the texts `setting` takes.
bool accepts(Setting setting, const std::string& text);

// Where the configuration is looked for, in order.
const std::vector<std::string>& config_search_paths();

// A positive decimal number of at most `max_digits` characters, digits
// only (no sign, space or other character); 0 for anything else, overflow
// included.
std::uint64_t positive_number(const std::string& text, std::size_t max_digits = std::string::npos);
// The queue bound a <queue_max> text asks for; 0: no bound.
std::size_t queue_max(const std::string& text);
// The seconds between looks at the file a <watch_seconds> text asks for;
// 0: the file is not watched.
unsigned watch_seconds(const std::string& text);

struct QueueSettings {
    std::size_t max_records = 0;   // 0: unbounded
    bool drop_when_full = false;   // false: the caller waits for room
    std::uint64_t memory_max = 0;  // 0: the default
    bool memory_refused = false;   // the text given is not a size
};
QueueSettings queue_settings(const VornConfig::target_cf_t& record);

enum class Compression { none, gzip, zstd };
enum class SyncPolicy { never, rotation, interval };

// A file target reads its children in order, so the last of each counts.
// An optional element given and unusable is in `refused` when the target
// then does not start (file_mode), else in `ignored`: its default applies.
struct FileSettings {
    const std::string* file_name = nullptr;  // into the record; null when absent
    std::int64_t max_files = 0;              // -1: every file is kept
    bool max_files_read = false;             // false: max_files is the default
    std::int64_t rotate_every = 0;           // seconds; 0: by size only
    Compression compress = Compression::none;
    int file_mode = -1;                       // -1: as the umask gives
    const std::string* file_group = nullptr;  // a group name; null: the default group
    SyncPolicy sync = SyncPolicy::never;
    std::int64_t sync_ms = 0;          // for SyncPolicy::interval
    std::int64_t max_age = 0;          // seconds; 0: no limit
    std::uint64_t max_total_size = 0;  // bytes; 0: no limit
    std::vector<std::pair<Setting, const std::string*>> refused{};
    std::vector<std::pair<Setting, const std::string*>> ignored{};
};
FileSettings file_settings(const VornConfig::target_cf_t& record);
// The <max_number_file> a file target applies: the number; -1 (every file
// kept) for an integer beyond int; the default 5 for any other text, with
// `converted` false.
std::int64_t max_files_from(std::string_view text, bool& converted);
// Whether a <file_name> names an entry of the log directory itself: not
// empty, "." or "..", and without "/".
bool file_name_usable(std::string_view file_name);

// Pointers into the record, null when the element is absent: the target
// then keeps what it has.
struct SyslogSettings {
    const std::string* socket = nullptr;
    const std::string* facility_name = nullptr;
    int facility = 0;  // of facility_name, or of the fallback; -1: refused
    const std::string* ident = nullptr;
    bool ident_usable = true;  // false: a space or a colon, where receivers end the tag
};
SyslogSettings syslog_settings(const VornConfig::target_cf_t& record);
// The code of a <facility>: "user" 1, "daemon" 3, "local0" ... "local7"
// 16 ... 23; -1 for any other text.
int syslog_facility(std::string_view name);

// How a file or console target writes a record: its text as given, or as
// one JSON object a line. `refused`: a <format> it does not know.
struct FormatSettings {
    const std::string* text = nullptr;  // into the record; null when absent
    bool json = false;
    bool refused = false;
};
FormatSettings format_settings(const VornConfig::target_cf_t& record);

// The seconds of a <rotate_every> text: N minutes ("15m") that divide an
// hour, N hours ("6h") that divide a day, or "1d"; 0 for anything else.
std::int64_t rotate_every_seconds(const std::string& text);
// The seconds of a duration "N" followed by s, m, h or d; 0 for anything
// else (zero, a sign, no unit, overflow).
std::int64_t duration_seconds(const std::string& text);

// The table rows and the readings of a file target's optional elements
// (FileSettings.cpp).
void add_file_rows(const std::function<void(Setting, Element)>& set);
void read_file_options(const VornConfig::target_cf_t& record, FileSettings& file);

struct ServiceSettings {
    std::string log_dir;
    std::uint64_t file_size = kDefaultFileSize;  // read under `locale`, or the global one
    bool local_time = false;                     // false: GMT
    std::string locale;                          // empty: the environment's preferred locale
    bool locale_known = true;                    // false: the system lacks `locale`
    bool flush_on_crash = false;
    unsigned watch_seconds = 0;  // 0: not watched
    // false: the global C++ and C locales stay as the program has them.
    bool process_locale = true;
    // false: RLIMIT_FSIZE and SIGXFSZ stay as the program has them, and
    // file targets count what they write to rotate at file_size.
    bool process_file_limit = true;
};
// With the defaults applied; writes nothing.
ServiceSettings service_settings(const VornConfig& model);
// The same; `size_refused`: a size was given and cannot be used;
// `locale_why`: the system's words when it lacks the locale.
ServiceSettings read_service(const VornConfig& model, bool& size_refused, std::string& locale_why);
// ServiceSettings::process_file_limit alone, without reading the locale.
bool sets_file_limit(const VornConfig& model);

// The checker's view: every problem line the table's words give for the
// loaded `model`, in a fixed order (targets and loggers by name).
std::vector<std::string> config_problems(const VornConfig& model);

}  // namespace zvk::detail
