// The checker's reading of a configuration: every problem the table's
// words give, one line each.
#include <unistd.h>

#include <filesystem>
#include <map>
#include <string>
#include <system_error>
#include <vector>

#include "Settings.h"
#include "zvk/Logger.h"

namespace zvk::detail {

namespace {

namespace fs = std::filesystem;

std::string q(const std::string& s) { return "\"" + s + "\""; }

std::string owner_prefix(Scope scope, const std::string& owner) {
    if (scope == Scope::top) {
        return {};
    }
    return (scope == Scope::target ? "target " : "logger ") + q(owner) + ": ";
}

// `why`: the system's words, when it gave any.
std::string refused(Setting setting, const std::string& owner, const std::string& text,
                    const char* why = nullptr) {
    const Element& row = element(setting);
    std::string line =
        owner_prefix(row.scope, owner) + row.name + " " + q(text) + " " + row.refusal;
    if (why != nullptr) {
        line += std::string(": ") + why;
    }
    if (!row.outcome.empty()) {
        line += "; " + row.outcome;
    }
    return line;
}

std::string absent(Setting setting, const std::string& owner) {
    const Element& row = element(setting);
    return owner_prefix(row.scope, owner) + "no " + row.name + "; " + row.missing;
}

// `writers`: file_name -> the first target writing it.
void target_problems(const std::string& name, const VornConfig::target_cf_t& record,
                     std::map<std::string, std::string>& writers,
                     std::vector<std::string>& problems) {
    if (record.type == kFileType) {
        const FileSettings file = file_settings(record);
        // Absent, it is no problem: the default applies.
        const std::string* max_text = last_param(record, Setting::max_number_file);
        if (!file.max_files_read && max_text != nullptr) {
            problems.push_back(refused(Setting::max_number_file, name, *max_text));
        }
        for (const auto& [setting, text] : file.refused) {
            problems.push_back(refused(setting, name, *text));
        }
        for (const auto& [setting, text] : file.ignored) {
            problems.push_back(refused(setting, name, *text));
        }
        const std::string file_name = file.file_name != nullptr ? *file.file_name : "";
        if (!file_name_usable(file_name)) {
            problems.push_back(refused(Setting::file_name, name, file_name));
        } else if (auto [first, added] = writers.emplace(file_name, name); !added) {
            problems.push_back("targets " + q(first->second) + " and " + q(name) + " both write " +
                               element(Setting::file_name).name + " " + q(file_name));
        }
    } else if (record.type == kSyslogType || record.type == kJournalType) {
        const SyslogSettings syslog = syslog_settings(record);
        if (syslog.facility_name != nullptr && syslog.facility < 0) {
            problems.push_back(refused(Setting::facility, name, *syslog.facility_name));
        }
        if (!syslog.ident_usable) {
            problems.push_back(refused(Setting::ident, name, *syslog.ident));
        }
    } else if (record.type != kStdoutType) {
        problems.push_back(refused(Setting::type, name, record.type));
    }
    const FormatSettings format = format_settings(record);
    if (format.refused) {
        problems.push_back(refused(Setting::format, name, *format.text));
    } else if (format.text != nullptr && record.type != kFileType && record.type != kStdoutType) {
        problems.push_back("target " + q(name) + ": " + element(Setting::format).name + " " +
                           q(*format.text) +
                           " is ignored: only file and stdout targets write lines");
    }
    const std::string* max_text = first_param(record, Setting::queue_max);
    if (max_text != nullptr && queue_max(*max_text) == 0 && *max_text != "0") {
        problems.push_back(refused(Setting::queue_max, name, *max_text));
    }
    const std::string* when_full = first_param(record, Setting::when_full);
    if (when_full != nullptr && !accepts(Setting::when_full, *when_full)) {
        problems.push_back(refused(Setting::when_full, name, *when_full));
    }
    if (queue_settings(record).memory_refused) {
        problems.push_back(refused(Setting::queue_memory_max, name,
                                   *first_param(record, Setting::queue_memory_max)));
    }
}

void logger_problems(const std::string& name, const VornConfig::logger_cf_t& record,
                     std::vector<std::string>& problems) {
    if (record.level.empty()) {
        problems.push_back(absent(Setting::accept_level, name));
    } else if (Logger::get_level(record.level) < 0) {
        problems.push_back(refused(Setting::accept_level, name, record.level));
    }
}

// What the service would meet making `log_dir` or writing in it.
void log_dir_problems(const std::string& log_dir, std::vector<std::string>& problems) {
    std::error_code ec;
    if (fs::exists(log_dir, ec)) {
        if (!fs::is_directory(log_dir, ec)) {
            problems.push_back("log directory " + q(log_dir) + " is not a directory");
        } else if (access(log_dir.c_str(), W_OK | X_OK) != 0) {
            problems.push_back("log directory " + q(log_dir) + " is not writable");
        }
        return;
    }
    fs::path parent = fs::path(log_dir).parent_path();
    if (parent.empty()) {
        parent = ".";
    }
    if (!fs::is_directory(parent, ec)) {
        problems.push_back("log directory " + q(log_dir) +
                           " cannot be created: its parent does not exist");
    } else if (access(parent.c_str(), W_OK | X_OK) != 0) {
        problems.push_back("log directory " + q(log_dir) +
                           " cannot be created: its parent is not writable");
    }
}

void service_problems(const VornConfig& model, std::vector<std::string>& problems) {
    bool size_refused = false;
    std::string locale_why;
    const ServiceSettings settings = read_service(model, size_refused, locale_why);
    log_dir_problems(settings.log_dir, problems);
    if (!settings.locale_known) {
        problems.push_back(
            refused(Setting::locale, "", value_of(model, Setting::locale), locale_why.c_str()));
    }
    if (size_refused) {
        problems.push_back(
            refused(Setting::file_size_max, "", value_of(model, Setting::file_size_max)));
    }
    const std::string& zone = value_of(model, Setting::time_zone);
    if (!zone.empty() && !accepts(Setting::time_zone, zone)) {
        problems.push_back(refused(Setting::time_zone, "", zone));
    }
    const std::string& crash = value_of(model, Setting::flush_on_crash);
    if (!crash.empty() && !accepts(Setting::flush_on_crash, crash)) {
        problems.push_back(refused(Setting::flush_on_crash, "", crash));
    }
    const std::string& watch = value_of(model, Setting::watch_seconds);
    if (!watch.empty() && settings.watch_seconds == 0) {
        problems.push_back(refused(Setting::watch_seconds, "", watch));
    }
    for (Setting setting : {Setting::process_locale, Setting::process_file_limit}) {
        const std::string& text = value_of(model, setting);
        if (!text.empty() && !accepts(setting, text)) {
            problems.push_back(refused(setting, "", text));
        }
    }
}

}  // namespace

std::vector<std::string> config_problems(const VornConfig& model) {
    std::vector<std::string> problems;
    // By name, so that the order does not depend on the hash tables.
    std::map<std::string, std::string> writers;
    for (const auto& [name, record] : std::map(model.targets.begin(), model.targets.end())) {
        target_problems(name, *record, writers, problems);
    }
    for (const auto& [name, record] : std::map(model.loggers.begin(), model.loggers.end())) {
        logger_problems(name, *record, problems);
    }
    service_problems(model, problems);
    return problems;
}

}  // namespace zvk::detail
