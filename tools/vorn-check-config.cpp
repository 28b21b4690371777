// Checks a configuration file before an application runs into it: prints
// what it defines and every problem the library would otherwise report
// only at run time (or silently work around).
// Exit status: 0 clean, 1 problems found, 2 the file does not load (see
// --help).
#include <unistd.h>
#include <zvk/FileLog.h>
#include <zvk/Logger.h>
#include <zvk/SyslogLog.h>
#include <zvk/Target.h>
#include <zvk/VornConfig.h>
#include <zvk/XMLDoc.h>
#include <zvk/XMLElement.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <locale>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kDefaultFileSize = 10485760;

std::vector<std::string> problems;

void problem(const std::string& text) { problems.push_back(text); }

std::string q(const std::string& s) { return "\"" + s + "\""; }

std::string find_config() {
    for (const char* candidate : {"config/vorn_config.xml", "vorn_config.xml"}) {
        std::error_code ec;
        if (fs::exists(candidate, ec)) {
            return candidate;
        }
    }
    return {};
}

// Prints the bound and what happens at it, as the target will apply them.
void check_queue_bound(const std::string& name, const zvk::VornConfig::target_cf_t& record) {
    const std::string* max_text = zvk::VornConfig::target_param(record, "queue_max");
    const std::string* when_full = zvk::VornConfig::target_param(record, "when_full");
    std::size_t bound = max_text != nullptr ? zvk::Target::queue_max_from(*max_text) : 0;
    bool drop = when_full != nullptr && *when_full == "drop";
    if (bound == 0) {
        std::cout << ", queue unbounded";
    } else {
        std::cout << ", queue at most " << bound << " records, then "
                  << (drop ? "drops new ones" : "blocks the caller");
    }
    if (max_text != nullptr && bound == 0 && *max_text != "0") {
        problem("target " + q(name) + ": queue_max " + q(*max_text) +
                " is not a positive number; the queue is unbounded");
    }
    if (when_full != nullptr && *when_full != "drop" && *when_full != "block") {
        problem("target " + q(name) + ": when_full " + q(*when_full) +
                " is neither \"drop\" nor \"block\"; block applies");
    }
}

void check_targets(const zvk::VornConfig& config) {
    std::vector<std::string> names;
    for (const auto& [name, record] : config.targets) {
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    std::map<std::string, std::string> writers;  // file_name -> first target writing it
    std::cout << "targets:\n";
    for (const auto& name : names) {
        const auto* record = config.targets.at(name);
        std::cout << "  " << q(name) << " type " << q(record->type);
        if (record->type == config.key_file) {
            std::string file_name;
            std::string max_text;
            for (const auto& [key, value] : record->params) {
                if (key == config.key_file_name) {
                    file_name = value;
                } else if (key == config.key_max_number_file) {
                    max_text = value;
                }
            }
            bool converted = false;
            std::int64_t max_files = zvk::FileLog::max_files_from(max_text, converted);
            if (!converted) {
                problem("target " + q(name) + ": max_number_file " + q(max_text) +
                        " is not a number; " + std::to_string(max_files) + " files are kept");
            }
            std::cout << ", file " << q(file_name) << ", keeps ";
            if (max_files < 0) {
                std::cout << "every file";
            } else {
                std::cout << std::max<std::int64_t>(max_files, 1)
                          << " file(s) including the active one";
            }
            if (!zvk::FileLog::file_name_usable(file_name)) {
                problem("target " + q(name) + ": file_name " + q(file_name) +
                        " is refused (empty, \".\", \"..\" or with \"/\"); the target "
                        "cannot start");
            } else if (auto [first, added] = writers.emplace(file_name, name); !added) {
                problem("targets " + q(first->second) + " and " + q(name) +
                        " both write file_name " + q(file_name));
            }
        } else if (record->type == "syslog") {
            const std::string* socket = zvk::VornConfig::target_param(*record, "socket");
            const std::string* facility = zvk::VornConfig::target_param(*record, "facility");
            const std::string* ident = zvk::VornConfig::target_param(*record, "ident");
            std::cout << ", socket " << q(socket != nullptr ? *socket : "/dev/log") << ", facility "
                      << q(facility != nullptr ? *facility : "user") << ", ident "
                      << (ident != nullptr ? q(*ident) : std::string("(the program's name)"));
            if (facility != nullptr && zvk::SyslogLog::facility_from(*facility) < 0) {
                problem("target " + q(name) + ": facility " + q(*facility) +
                        " is not user, daemon or local0 ... local7; the target cannot start");
            }
        } else if (record->type != config.key_stdout) {
            problem("target " + q(name) + ": type " + q(record->type) +
                    " is not \"stdout\", \"file\" or \"syslog\"; its loggers get no target");
        }
        check_queue_bound(name, *record);
        std::cout << "\n";
    }
}

void check_loggers(const zvk::VornConfig& config) {
    std::vector<std::string> names;
    for (const auto& [name, record] : config.loggers) {
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    std::cout << "loggers:\n";
    for (const auto& name : names) {
        const auto* record = config.loggers.at(name);
        std::cout << "  " << q(name) << " -> target " << q(record->target->name) << ", level "
                  << q(record->level) << "\n";
        if (record->level.empty()) {
            problem("logger " + q(name) + ": no accept_level; handles get no logger");
        } else if (zvk::Logger::get_level(record->level) < 0) {
            problem("logger " + q(name) + ": accept_level " + q(record->level) +
                    " is not one of OUT FATAL ERROR WARN AUDIT INFO TRACE DEBUG");
        }
    }
}

// A logger element that loading skipped: why, with the names it gave.
void report_dropped_logger(const zvk::VornConfig& config, const zvk::XMLElement& logger,
                           const std::string& name) {
    if (logger.children.empty()) {
        problem("logger " + q(name) + " dropped: it has no child elements");
        return;
    }
    bool names_target = false;
    for (const auto& child : logger.children) {
        if (child->name == config.key_target) {
            names_target = true;
            problem("logger " + q(name) + " dropped: its target " + q(child->text) +
                    " is not defined");
        }
    }
    if (!names_target) {
        problem("logger " + q(name) + " dropped: it names no target");
    }
}

// Elements that loading skips without a word. Loggers only of a file
// that loaded: a failed load stops before the loggers that follow.
void check_dropped(const zvk::VornConfig& config, bool loaded) {
    const zvk::XMLElement* root = config.xml_doc != nullptr ? config.xml_doc->root() : nullptr;
    if (root == nullptr) {
        return;
    }
    std::set<std::string> seen_targets;
    for (const auto& child : root->children) {
        std::string name(child->get_attribute(config.key_name));
        if (child->name == config.key_target) {
            if (child->children.empty()) {
                problem("target " + q(name) + " has no child elements");
            } else if (!seen_targets.insert(name).second) {
                problem("target " + q(name) + " is defined again; the later one is ignored");
            }
        } else if (loaded && child->name == config.key_logger && config.loggers.count(name) == 0) {
            report_dropped_logger(config, *child, name);
        }
    }
}

void check_settings(const zvk::VornConfig& config) {
    std::string log_dir = config.log_dir().empty() ? "logs" : config.log_dir();
    std::cout << "log directory: " << q(log_dir) << "\n";
    std::error_code ec;
    if (fs::exists(log_dir, ec)) {
        if (!fs::is_directory(log_dir, ec)) {
            problem("log directory " + q(log_dir) + " is not a directory");
        } else if (access(log_dir.c_str(), W_OK | X_OK) != 0) {
            problem("log directory " + q(log_dir) + " is not writable");
        }
    } else {
        fs::path parent = fs::path(log_dir).parent_path();
        if (parent.empty()) {
            parent = ".";
        }
        if (!fs::is_directory(parent, ec)) {
            problem("log directory " + q(log_dir) +
                    " cannot be created: its parent does not exist");
        } else if (access(parent.c_str(), W_OK | X_OK) != 0) {
            problem("log directory " + q(log_dir) +
                    " cannot be created: its parent is not writable");
        }
    }

    // The service reads the size under the configured locale; when that
    // locale fails, the service applies none of these settings.
    const std::string& locale = config.get_element(config.key_locale);
    std::locale loc;
    bool locale_ok = true;
    try {
        loc = config.get_locale();
    } catch (const std::exception& e) {
        locale_ok = false;
        problem("locale " + q(locale) + " is not available on this system: " + e.what() +
                "; log directory, file size and time zone are not applied");
    }

    const std::string& size_text = config.file_size_litmit();
    std::uint64_t bytes = kDefaultFileSize;
    if (!size_text.empty() && !zvk::VornConfig::file_size_bytes(size_text, bytes, loc)) {
        bytes = kDefaultFileSize;
        problem("file_size_max " + q(size_text) + " is not usable; the default " +
                std::to_string(kDefaultFileSize) + " applies");
    }
    std::cout << "maximum file size: " << bytes << " bytes (limits every file of the process)\n";

    const std::string& zone = config.get_element(config.key_time_zone);
    std::cout << "time zone: " << (zone == "LOCAL" ? "local" : "GMT") << "\n";
    if (!zone.empty() && zone != "LOCAL" && zone != "GMT") {
        problem("time_zone " + q(zone) + " means GMT; only \"LOCAL\" selects local time");
    }

    std::cout << "locale: "
              << (locale.empty() || locale == "\"\"" ? "(the environment's)" : q(locale))
              << (locale_ok ? "" : " (not available)") << "\n";

    const std::string& crash = config.get_element("flush_on_crash");
    std::cout << "flush on crash: "
              << (crash == "true" ? "on (fatal signals write every queued record first)" : "off")
              << "\n";
    if (!crash.empty() && crash != "true") {
        problem("flush_on_crash " + q(crash) + " means off; only \"true\" turns it on");
    }

    // As the service reads it: digits only, more than zero, at most nine.
    const std::string& watch = config.get_element("watch_seconds");
    const std::uint64_t every = watch.size() <= 9 ? zvk::Target::queue_max_from(watch) : 0;
    std::cout << "watch: "
              << (every != 0 ? "every " + std::to_string(every) +
                                   " s (the file is reloaded when it changes)"
                             : std::string("off"))
              << "\n";
    if (!watch.empty() && every == 0) {
        problem("watch_seconds " + q(watch) + " is not a positive number; the file is not watched");
    }
}

constexpr const char* kUsage =
    "usage: vorn-check-config [config.xml]\n"
    "       vorn-check-config --help\n"
    "Without a path, looks for config/vorn_config.xml, then vorn_config.xml, in the working\n"
    "directory, as the library does. Loads the file with the library's own loader and\n"
    "reading of every value, prints the targets, loggers and settings it defines, then\n"
    "each problem that the library would meet only at run time or silently work around:\n"
    "  - a target type other than stdout, file or syslog, and a syslog facility other\n"
    "    than user, daemon or local0 ... local7;\n"
    "  - a file_name that is refused (empty, \".\", \"..\" or containing \"/\"), and two\n"
    "    targets that write the same file_name;\n"
    "  - a max_number_file that is not a number (5 files are kept);\n"
    "  - a logger without a level name, or one dropped because its target is not defined;\n"
    "  - a target defined twice or without child elements;\n"
    "  - a log directory that is not a directory, or cannot be written or created;\n"
    "  - a file_size_max that is not usable (the default 10M applies);\n"
    "  - a time_zone other than LOCAL or GMT, and a locale the system lacks;\n"
    "  - a queue_max that is not a positive number (no bound), a when_full other than\n"
    "    drop or block (block applies);\n"
    "  - a flush_on_crash other than true (it means off);\n"
    "  - a watch_seconds that is not a positive number (the file is not watched).\n"
    "Exit status: 0 no problems found; 1 problems found; 2 the file was not found,\n"
    "cannot be opened or does not load, or the arguments are wrong.\n";

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 || (argc == 2 && std::string(argv[1]) == "--help")) {
        std::cout << kUsage;
        return argc == 2 ? 0 : 2;
    }
    std::string path = argc == 2 ? argv[1] : find_config();
    if (path.empty()) {
        std::cout << "no configuration file: neither config/vorn_config.xml nor vorn_config.xml\n";
        return 2;
    }
    std::ifstream in(path);
    if (!in.is_open()) {
        std::cout << path << ": cannot be opened\n";
        return 2;
    }
    zvk::VornConfig config;
    int loaded = config.load_config(in);
    std::cout << "configuration: " << path << "\n";
    if (loaded != 0) {
        check_dropped(config, false);
        std::cout << path << ": does not load ("
                  << (config.xml_doc == nullptr ? "not well-formed XML" : "invalid content")
                  << ")\n";
        for (const auto& p : problems) {
            std::cout << "problem: " << p << "\n";
        }
        return 2;
    }
    check_targets(config);
    check_loggers(config);
    check_dropped(config, true);
    check_settings(config);
    for (const auto& p : problems) {
        std::cout << "problem: " << p << "\n";
    }
    std::cout << (problems.empty() ? "no problems found\n"
                                   : std::to_string(problems.size()) + " problem(s) found\n");
    return problems.empty() ? 0 : 1;
}
