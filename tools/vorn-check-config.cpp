// Checks a configuration file before an application runs into it: prints
// what it defines and every problem the library would otherwise report
// only at run time (or silently work around).
// Exit status: 0 clean, 1 problems found, 2 the file does not load (see
// --help).
#include <sys/resource.h>
#include <zvk/VornConfig.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <locale>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "../src/config/ConfigNotes.h"
#include "../src/config/Settings.h"

namespace {

namespace fs = std::filesystem;

using zvk::detail::Setting;

std::string q(const std::string& s) { return "\"" + s + "\""; }

std::string find_config() {
    for (const std::string& candidate : zvk::detail::config_search_paths()) {
        std::error_code ec;
        if (fs::exists(candidate, ec)) {
            return candidate;
        }
    }
    return {};
}

// The bound and what happens at it, as the target will apply them.
void print_queue_bound(const zvk::VornConfig::target_cf_t& record) {
    const zvk::detail::QueueSettings queue = zvk::detail::queue_settings(record);
    if (queue.max_records == 0) {
        std::cout << ", queue unbounded";
    } else {
        std::cout << ", queue at most " << queue.max_records << " records, then "
                  << (queue.drop_when_full ? "drops new ones" : "blocks the caller");
    }
}

// A duration in the largest unit that divides it.
std::string duration(std::int64_t seconds) {
    for (const auto& [unit, size] :
         {std::pair<const char*, std::int64_t>{"d", 86400}, {"h", 3600}, {"m", 60}}) {
        if (seconds % size == 0) {
            return std::to_string(seconds / size) + unit;
        }
    }
    return std::to_string(seconds) + "s";
}

// The optional file elements that are set, as the target will apply them.
void print_file_options(const zvk::detail::FileSettings& file) {
    using zvk::detail::Compression;
    using zvk::detail::SyncPolicy;
    if (file.rotate_every != 0) {
        std::cout << ", rotates every " << duration(file.rotate_every)
                  << " on the clock of time_zone";
    }
    if (file.compress != Compression::none) {
        std::cout << ", compresses rotated files with "
                  << (file.compress == Compression::gzip ? "gzip" : "zstd");
    }
    if (file.file_mode >= 0) {
        char mode[16];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(file.file_mode));
        std::cout << ", new files mode " << mode;
    }
    if (file.file_group != nullptr) {
        std::cout << ", group " << q(*file.file_group);
    }
    if (file.sync == SyncPolicy::rotation) {
        std::cout << ", synced before each rotation";
    } else if (file.sync == SyncPolicy::interval) {
        std::cout << ", synced at most every " << duration(file.sync_ms / 1000);
    }
    if (file.max_age != 0) {
        std::cout << ", removes rotated files older than " << duration(file.max_age);
    }
    if (file.max_total_size != 0) {
        std::cout << ", keeps its files within " << file.max_total_size << " bytes";
    }
}

void print_file_target(const zvk::VornConfig::target_cf_t& record) {
    const zvk::detail::FileSettings file = zvk::detail::file_settings(record);
    std::cout << ", file " << q(file.file_name != nullptr ? *file.file_name : "") << ", keeps ";
    if (file.max_files < 0) {
        std::cout << "every file";
    } else {
        std::cout << std::max<std::int64_t>(file.max_files, 1)
                  << " file(s) including the active one";
    }
    if (zvk::detail::last_param(record, Setting::max_number_file) == nullptr) {
        std::cout << " (the default)";
    }
    print_file_options(file);
}

// A journal target without <socket> uses journald's, or /dev/log in the
// syslog format where journald's is missing when it starts.
void print_syslog_target(const zvk::VornConfig::target_cf_t& record, bool journal) {
    const zvk::detail::SyslogSettings syslog = zvk::detail::syslog_settings(record);
    const std::string fallback =
        journal ? std::string(zvk::detail::kJournalSocket) + " (else /dev/log, syslog format)"
                : zvk::detail::element(Setting::socket).fallback;
    const std::string socket = syslog.socket != nullptr ? q(*syslog.socket) : q(fallback);
    const std::string& facility = syslog.facility_name != nullptr
                                      ? *syslog.facility_name
                                      : zvk::detail::element(Setting::facility).fallback;
    std::cout << ", socket " << socket << ", facility " << q(facility) << ", ident "
              << (syslog.ident != nullptr ? q(*syslog.ident) : std::string("(the program's name)"));
}

void print_targets(const zvk::VornConfig& config) {
    std::cout << "targets:\n";
    for (const auto& [name, record] : std::map(config.targets.begin(), config.targets.end())) {
        std::cout << "  " << q(name) << " type " << q(record->type);
        if (record->type == zvk::detail::kFileType) {
            print_file_target(*record);
        } else if (record->type == zvk::detail::kSyslogType ||
                   record->type == zvk::detail::kJournalType) {
            print_syslog_target(*record, record->type == zvk::detail::kJournalType);
        }
        if (record->type == zvk::detail::kFileType || record->type == zvk::detail::kStdoutType) {
            const zvk::detail::FormatSettings format = zvk::detail::format_settings(*record);
            std::cout << ", format "
                      << (format.json      ? "json (one JSON object a line)"
                          : format.refused ? q(*format.text) + " (unknown)"
                                           : std::string("text"));
        }
        print_queue_bound(*record);
        std::cout << "\n";
    }
}

void print_loggers(const zvk::VornConfig& config) {
    std::cout << "loggers:\n";
    for (const auto& [name, record] : std::map(config.loggers.begin(), config.loggers.end())) {
        std::cout << "  " << q(name) << " -> target " << q(record->target->name) << ", level "
                  << q(record->level) << "\n";
    }
}

// The soft RLIMIT_FSIZE this checker runs under, as the program would
// have it before the library starts (when started the same way).
std::string current_file_limit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_FSIZE, &limit) != 0) {
        return "unknown";
    }
    return limit.rlim_cur == RLIM_INFINITY ? std::string("unlimited")
                                           : std::to_string(limit.rlim_cur) + " bytes";
}

// What the library changes of the process it runs in: its global locale
// and file-size limit.
void print_process_changes(const zvk::detail::ServiceSettings& settings) {
    std::cout << "process locale: ";
    if (!settings.process_locale) {
        std::cout << "left as the program sets it (process_locale no)\n";
    } else if (!settings.locale_known) {
        std::cout << "unchanged: the configured locale is not available\n";
    } else {
        std::string name;
        try {
            name = std::locale(settings.locale.c_str()).name();
        } catch (const std::exception&) {
            name = "(not available)";
        }
        std::cout << q(name)
                  << " becomes the global C++ and C locale of the whole program"
                     " (process_locale no leaves them)\n";
    }
    std::cout << "process file-size limit: ";
    if (settings.process_file_limit) {
        std::cout << settings.file_size
                  << " bytes for every file of the program and of the programs it starts;"
                     " SIGXFSZ is caught (process_file_limit no leaves both)\n";
    } else {
        std::cout << "left as it is (" << current_file_limit() << " here; process_file_limit no)\n";
    }
}

void print_settings(const zvk::VornConfig& config) {
    const zvk::detail::ServiceSettings settings = zvk::detail::service_settings(config);
    std::cout << "log directory: " << q(settings.log_dir) << "\n";
    std::cout << "maximum file size: " << settings.file_size
              << (settings.process_file_limit ? " bytes (limits every file of the process)\n"
                                              : " bytes (counted by each file target)\n");
    std::cout << "time zone: " << (settings.local_time ? "local" : "GMT") << "\n";
    std::cout << "locale: "
              << (settings.locale.empty() ? "(the environment's)" : q(settings.locale))
              << (settings.locale_known ? "" : " (not available)") << "\n";
    print_process_changes(settings);
    std::cout << "flush on crash: "
              << (settings.flush_on_crash ? "on (fatal signals write every queued record first)"
                                          : "off")
              << "\n";
    std::cout << "watch: "
              << (settings.watch_seconds != 0 ? "every " + std::to_string(settings.watch_seconds) +
                                                    " s (the file is reloaded when it changes)"
                                              : std::string("off"))
              << "\n";
}

// The search paths as one phrase: "a<between>b".
std::string search_paths(const std::string& between) {
    std::string text;
    for (const std::string& path : zvk::detail::config_search_paths()) {
        text += (text.empty() ? "" : between) + path;
    }
    return text;
}

// The default size in the unit the file gives it in.
static_assert(zvk::detail::kDefaultFileSize % (1 << 20) == 0);

std::string usage() {
    return "usage: vorn-check-config [config.xml]\n"
           "       vorn-check-config --elements\n"
           "       vorn-check-config --help\n"
           "Without a path, looks for " +
           search_paths(", then ") +
           ", in the working\n"
           "directory, as the library does. Loads the file with the library's own loader and\n"
           "reading of every value, prints the targets, loggers and settings it defines, then\n"
           "each problem that the library would meet only at run time or silently work around:\n"
           "  - a target type other than stdout, file, syslog or journal, and a syslog or\n"
           "    journal facility other than user, daemon or local0 ... local7;\n"
           "  - a format other than text or json, and a format on a target that ignores it;\n"
           "  - a file target's file_mode that it cannot use (the target does not start), and\n"
           "    a rotate_every, compress, sync, max_age or max_total_size that it cannot use\n"
           "    (the default applies);\n"
           "  - a file_name that is refused (empty, \".\", \"..\" or containing \"/\"), and two\n"
           "    targets that write the same file_name;\n"
           "  - a max_number_file that is not a number (" +
           zvk::detail::element(Setting::max_number_file).outcome +
           ");\n"
           "  - every element and attribute it does not know, as FILE:LINE, with the nearest\n"
           "    known name (\"did you mean <compress>?\");\n"
           "  - a logger without a level name, or one dropped because it names no defined\n"
           "    target (not defined), with its line;\n"
           "  - a target defined twice or without child elements;\n"
           "  - a log directory that is not a directory, or cannot be written or created;\n"
           "  - a file_size_max that is not usable (the default " +
           std::to_string(zvk::detail::kDefaultFileSize >> 20) +
           "M applies);\n"
           "  - a time_zone other than LOCAL or GMT, and a locale the system lacks;\n"
           "  - a queue_max that is not a positive number (no bound), a when_full other than\n"
           "    drop or block (block applies), a queue_memory_max that is not a size (an\n"
           "    eighth of the physical memory applies);\n"
           "  - a flush_on_crash other than true (it means off);\n"
           "  - a process_locale or process_file_limit other than yes or no (yes applies);\n"
           "  - a watch_seconds that is not a positive number (the file is not watched).\n"
           "--elements lists every element it knows, as the configuration reference names\n"
           "them (target/type, logger/accept_level, log_dir).\n"
           "Absent optional elements are no problem: the default applies.\n"
           "A file that does not load is named with the line and column and the reason.\n"
           "Exit status: 0 no problems found; 1 problems found; 2 the file was not found,\n"
           "cannot be opened or does not load, or the arguments are wrong.\n";
}

void print_problems(const std::vector<std::string>& problems) {
    for (const auto& p : problems) {
        std::cout << "problem: " << p << "\n";
    }
}

}  // namespace

// Every element of the settings table, one a line.
void print_elements() {
    for (const zvk::detail::Element& row : zvk::detail::all_elements()) {
        const char* owner = row.scope == zvk::detail::Scope::target   ? "target/"
                            : row.scope == zvk::detail::Scope::logger ? "logger/"
                                                                      : "";
        std::cout << owner << row.name << "\n";
    }
}

// "PATH:LINE: ..." for each, as compilers place their messages.
void print_notes(const std::string& path, const std::vector<zvk::detail::Note>& notes) {
    for (const zvk::detail::Note& note : notes) {
        std::cout << path << ":" << note.line << ": " << note.text << "\n";
    }
}

// "PATH:LINE:COLUMN: does not load: REASON", without the place it lacks.
void print_load_failure(const std::string& path, const zvk::VornConfig& config) {
    const zvk::detail::LoadFailure failure = zvk::detail::load_failure(config, path);
    std::cout << path;
    if (failure.line != 0) {
        std::cout << ":" << failure.line;
        if (failure.column != 0) {
            std::cout << ":" << failure.column;
        }
    }
    std::cout << ": does not load"
              << (failure.reason.empty() ? std::string() : ": " + failure.reason) << "\n";
}

int main(int argc, char** argv) {
    if (argc == 2 && std::string(argv[1]) == "--elements") {
        print_elements();
        return 0;
    }
    if (argc > 2 || (argc == 2 && std::string(argv[1]) == "--help")) {
        std::cout << usage();
        return argc == 2 ? 0 : 2;
    }
    std::string path = argc == 2 ? argv[1] : find_config();
    if (path.empty()) {
        std::cout << "no configuration file: neither " << search_paths(" nor ") << "\n";
        return 2;
    }
    std::ifstream in(path);
    if (!in.is_open()) {
        std::cout << path << ": cannot be opened\n";
        return 2;
    }
    zvk::VornConfig config;
    const bool loaded = config.load_config(in) == 0;
    std::cout << "configuration: " << path << "\n";
    const std::vector<zvk::detail::Note> notes = zvk::detail::config_notes(config, loaded);
    if (!loaded) {
        print_load_failure(path, config);
        print_notes(path, notes);
        return 2;
    }
    print_targets(config);
    print_loggers(config);
    print_settings(config);
    print_notes(path, notes);
    const std::vector<std::string> problems = zvk::detail::config_problems(config);
    print_problems(problems);
    const std::size_t count = notes.size() + problems.size();
    std::cout << (count == 0 ? "no problems found\n"
                             : std::to_string(count) + " problem(s) found\n");
    return count == 0 ? 0 : 1;
}
