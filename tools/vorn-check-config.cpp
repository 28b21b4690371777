// Checks a configuration file before an application runs into it: prints
// what it defines and every problem the library would otherwise report
// only at run time (or silently work around).
// Exit status: 0 clean, 1 problems found, 2 the file does not load.
#include <unistd.h>
#include <zvk/Logger.h>
#include <zvk/String.h>
#include <zvk/VornConfig.h>
#include <zvk/XMLDoc.h>
#include <zvk/XMLElement.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <set>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kDefaultFileSize = 10485760;
constexpr int kDefaultMaxFiles = 5;

std::vector<std::string> problems;

void problem(const std::string& text) { problems.push_back(text); }

// Mirrors the service's reading of a size text: a number, then one unit
// letter; anything else, a zero or a value beyond 64 bits falls back.
bool size_bytes(const std::string& text, std::uint64_t& bytes) {
    std::size_t i = 0;
    auto skip_blanks = [&] {
        while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i]))) {
            ++i;
        }
    };
    skip_blanks();
    std::uint64_t number = 0;
    std::size_t digits = 0;
    for (; i < text.size() && std::isdigit(static_cast<unsigned char>(text[i])); ++i, ++digits) {
        unsigned d = static_cast<unsigned>(text[i] - '0');
        if (number > (UINT64_MAX - d) / 10) {
            return false;
        }
        number = number * 10 + d;
    }
    skip_blanks();
    if (digits == 0 || number == 0 || i >= text.size()) {
        return false;
    }
    const std::string units = "BKMGTPE";
    auto unit = units.find(text[i]);
    if (unit == std::string::npos) {
        return false;
    }
    unsigned shift = static_cast<unsigned>(unit) * 10;
    if (shift > 0 && number > (UINT64_MAX >> shift)) {
        return false;
    }
    bytes = number << shift;
    return true;
}

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

void check_targets(const zvk::VornConfig& config) {
    std::vector<std::string> names;
    for (const auto& [name, record] : config.targets) {
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
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
            int max_files = 0;
            if (!zvk::String::str_to_int(max_text, max_files)) {
                problem("target " + q(name) + ": max_number_file " + q(max_text) +
                        " is not a number; " + std::to_string(kDefaultMaxFiles) +
                        " files are kept");
                max_files = kDefaultMaxFiles;
            }
            std::cout << ", file " << q(file_name) << ", keeps ";
            if (max_files < 0) {
                std::cout << "every file";
            } else {
                std::cout << std::max(max_files, 1) << " file(s) including the active one";
            }
            if (file_name.empty()) {
                problem("target " + q(name) + ": no file_name; the target cannot start");
            }
        } else if (record->type != config.key_stdout) {
            problem("target " + q(name) + ": type " + q(record->type) +
                    " is neither \"stdout\" nor \"file\"; its loggers get no target");
        }
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

// Elements that loading skips without a word.
void check_dropped(const zvk::VornConfig& config) {
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
        } else if (child->name == config.key_logger) {
            if (config.loggers.count(name) == 0) {
                problem("logger " + q(name) +
                        " dropped: it names no defined target (or has no children)");
            }
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

    const std::string& size_text = config.file_size_litmit();
    std::uint64_t bytes = kDefaultFileSize;
    if (!size_text.empty() && !size_bytes(size_text, bytes)) {
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

    const std::string& locale = config.get_element(config.key_locale);
    std::cout << "locale: "
              << (locale.empty() || locale == "\"\"" ? "(the environment's)" : q(locale)) << "\n";
    try {
        config.get_locale();
    } catch (const std::exception& e) {
        problem("locale " + q(locale) + " is not available on this system: " + e.what());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2 || (argc == 2 && std::string(argv[1]) == "--help")) {
        std::cout << "usage: vorn-check-config [config.xml]\n"
                     "Without a path, looks for config/vorn_config.xml, then vorn_config.xml.\n";
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
        check_dropped(config);
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
    check_dropped(config);
    check_settings(config);
    for (const auto& p : problems) {
        std::cout << "problem: " << p << "\n";
    }
    std::cout << (problems.empty() ? "no problems found\n"
                                   : std::to_string(problems.size()) + " problem(s) found\n");
    return problems.empty() ? 0 : 1;
}
