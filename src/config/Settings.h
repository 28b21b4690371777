// What each element of a configuration means: one table of every element
// with what applies without it, the texts it takes and the words of a
// problem with it, and the typed readings that the service, the targets
// and the checker all go through, so that they cannot read a value
// differently.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
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
    type,
    file_name,
    max_number_file,
    queue_max,
    when_full,
    socket,
    facility,
    ident,
    format,
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
    std::size_t max_records = 0;  // 0: unbounded
    bool drop_when_full = false;  // false: the caller waits for room
};
QueueSettings queue_settings(const VornConfig::target_cf_t& record);

// A file target reads its children in order, so the last of each counts.
struct FileSettings {
    const std::string* file_name = nullptr;  // into the record; null when absent
    std::int64_t max_files = 0;              // -1: every file is kept
    bool max_files_read = false;             // false: max_files is the default
};
FileSettings file_settings(const VornConfig::target_cf_t& record);

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

// How a file or console target writes a record: its text as given, or as
// one JSON object a line. `refused`: a <format> it does not know.
struct FormatSettings {
    const std::string* text = nullptr;  // into the record; null when absent
    bool json = false;
    bool refused = false;
};
FormatSettings format_settings(const VornConfig::target_cf_t& record);

struct ServiceSettings {
    std::string log_dir;
    std::uint64_t file_size = kDefaultFileSize;  // read under `locale`, or the global one
    bool local_time = false;                     // false: GMT
    std::string locale;                          // empty: the environment's preferred locale
    bool locale_known = true;                    // false: the system lacks `locale`
    bool flush_on_crash = false;
    unsigned watch_seconds = 0;  // 0: not watched
};
// With the defaults applied; writes nothing.
ServiceSettings service_settings(const VornConfig& model);

// The checker's view: every problem line the table's words give for
// `model`, in a fixed order (targets and loggers by name). Of a model that
// did not load, only what its target elements show: the load stopped
// before the rest.
std::vector<std::string> config_problems(const VornConfig& model, bool loaded);

}  // namespace zvk::detail
