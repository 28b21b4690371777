#include "zvk/VornConfig.h"

#include <exception>
#include <limits>
#include <memory>

#include "../frontend/Report.h"
#include "zvk/XMLDoc.h"
#include "zvk/XMLElement.h"

namespace zvk {

namespace {

// The shift of each unit letter; -1: not a unit. Y and Z shift by 64,
// beyond any 64-bit size, so that the caller refuses them.
int unit_shift(char unit) {
    switch (unit) {
        case 'B':
            return 0;
        case 'K':
            return 10;
        case 'M':
            return 20;
        case 'G':
            return 30;
        case 'T':
            return 40;
        case 'P':
            return 50;
        case 'E':
            return 60;
        case 'Y':
        case 'Z':
            return 64;
        default:
            return -1;
    }
}

}  // namespace

const std::string* VornConfig::target_param(const target_cf_t& record, const std::string& key) {
    for (const auto& [name, value] : record.params) {
        if (name == key) {
            return &value;
        }
    }
    return nullptr;
}

bool VornConfig::file_size_bytes(const std::string& text, std::uint64_t& bytes,
                                 const std::locale& loc) {
    std::istringstream in(text);
    in.imbue(loc);
    in >> std::ws;
    // Extraction into an unsigned type would wrap a negative number into a
    // huge limit; a sign is no more usable than a missing number.
    if (in.peek() == '-') {
        return false;
    }
    std::uint64_t number = 0;
    // Fails on a missing number and on one beyond 64 bits.
    if (!(in >> number) || number == 0) {
        return false;
    }
    char unit = '\0';
    if (!(in >> unit)) {
        return false;
    }
    int shift = unit_shift(unit);
    // A size that does not fit in 64 bits (Y and Z never do) is refused:
    // shifted, it would become a limit of 0 and fail every later write.
    if (shift < 0 || shift >= 64 || number > (std::numeric_limits<std::uint64_t>::max() >> shift)) {
        return false;
    }
    bytes = number << shift;
    return true;
}

VornConfig::VornConfig()
    : key_name("name"),
      key_type("type"),
      key_locale("locale"),
      key_logger("logger"),
      key_target("target"),
      key_logging("logging"),
      key_blank(""),
      key_log_dir("log_dir"),
      key_file("file"),
      key_stdout("stdout"),
      key_network("network"),
      key_file_name("file_name"),
      key_time_zone("time_zone"),
      key_text_alert("text_alert"),
      key_email_alert("email_alert"),
      key_logger_name("logger_name"),
      key_accept_level("accept_level"),
      key_file_size_max("file_size_max"),
      key_max_number_file("max_number_file"),
      xml_doc(nullptr) {}

VornConfig::~VornConfig() {
    for (auto& entry : targets) {
        delete entry.second;
    }
    for (auto& entry : loggers) {
        delete entry.second;
    }
    delete xml_doc;
}

namespace {

// A document loaded from `source`; null when it does not load.
template <class Source>
XMLDoc* loaded_doc(Source& source) {
    auto doc = std::make_unique<XMLDoc>();
    return doc->load(source) == -1 ? nullptr : doc.release();
}

}  // namespace

// Each overload starts from a fresh document; the one held before is
// released first, since the tables keep copies and never point into it.
int VornConfig::load_config(std::ifstream& in) {
    unload_xml_doc();
    xml_doc = loaded_doc(in);
    return xml_doc != nullptr ? init() : -1;
}

int VornConfig::load_config(std::istream& in) {
    unload_xml_doc();
    xml_doc = loaded_doc(in);
    return xml_doc != nullptr ? init() : -1;
}

int VornConfig::load_config(std::string&& source) {
    return load_config(static_cast<const std::string&>(source));
}

int VornConfig::load_config(std::istringstream& in) {
    unload_xml_doc();
    xml_doc = loaded_doc(in);
    return xml_doc != nullptr ? init() : -1;
}

int VornConfig::load_config(const std::string& source) {
    unload_xml_doc();
    xml_doc = loaded_doc(source);
    return xml_doc != nullptr ? init() : -1;
}

void VornConfig::unload_xml_doc() {
    delete xml_doc;
    xml_doc = nullptr;
}

std::locale VornConfig::get_locale() const {
    std::string name;
    auto found = elements.find(key_locale);
    if (found != elements.end()) {
        name = found->second;
    }
    if (name == "\"\"") {
        name.clear();
    }
    return std::locale(name);
}

// An exception here can only come from memory exhaustion while recording a
// value; the tables are then incomplete, so the load is reported as failed.
int VornConfig::init() {
    if (xml_doc == nullptr || xml_doc->root() == nullptr) {
        return -1;
    }
    try {
        for (const auto& child : xml_doc->root()->children) {
            if (child->name == key_target) {
                if (create_target(child.get()) == -1) {
                    return -1;
                }
            } else if (child->name == key_logger) {
                if (create_logger(child.get()) == -1) {
                    return -1;
                }
            } else {
                elements.emplace(child->name, child->text);
            }
        }
    } catch (...) {
        detail::report("exception occurred while getting logger from config");
        return -1;
    }
    return 0;
}

int VornConfig::create_target(const XMLElement* element) {
    std::string name;
    try {
        name = element->get_attribute(key_name);
        if (targets.count(name) != 0) {
            return 1;
        }
        if (element->children.empty()) {
            return -1;
        }
        auto record = std::make_unique<target_cf_t>();
        for (const auto& child : element->children) {
            if (child->name == key_type) {
                record->type = child->text;
            } else {
                record->params.emplace_back(child->name, child->text);
            }
        }
        record->name = name;
        targets.emplace(name, record.get());
        record.release();
        return 1;
    } catch (const std::exception& e) {
        detail::report("exception occurred while loading target: " + name + " from config - " +
                       e.what());
    } catch (...) {
        detail::report("unknown exception occurred while loading target: " + name + " from config");
    }
    return -1;
}

int VornConfig::create_target(const std::string& name) {
    if (xml_doc == nullptr || xml_doc->root() == nullptr) {
        return -1;
    }
    const XMLElement* element = xml_doc->root()->get_child(key_target, key_name, name);
    if (element == nullptr) {
        return -1;
    }
    return create_target(element);
}

int VornConfig::create_logger(const XMLElement* element) {
    std::string name;
    try {
        name = element->get_attribute(key_name);
        if (loggers.count(name) != 0 || element->children.empty()) {
            return 0;
        }
        auto record = std::make_unique<logger_cf_t>();
        record->name = name;
        record->target = nullptr;
        for (const auto& child : element->children) {
            if (child->name == key_target) {
                auto known = targets.find(child->text);
                if (known != targets.end()) {
                    record->target = known->second;
                } else if (create_target(child->text) == 1) {
                    record->target = targets.at(child->text);
                }
            } else if (child->name == key_accept_level) {
                record->level = child->text;
            } else {
                record->params.emplace_back(child->name, child->text);
            }
        }
        if (record->target == nullptr) {
            return 0;
        }
        loggers.emplace(name, record.get());
        record.release();
        return 0;
    } catch (const std::exception& e) {
        detail::report("exception occurred while loading logger: " + name + " from config - " +
                       e.what());
    } catch (...) {
        detail::report("unknown exception occurred while loading logger: " + name + " from config");
    }
    return -1;
}

VornConfig::target_cf_t* VornConfig::get_target(const std::string& name) const {
    auto found = targets.find(name);
    return found == targets.end() ? nullptr : found->second;
}

VornConfig::logger_cf_t* VornConfig::get_logger(const std::string& name) const {
    auto found = loggers.find(name);
    return found == loggers.end() ? nullptr : found->second;
}

const std::string& VornConfig::get_element(const std::string& name) const {
    auto found = elements.find(name);
    return found == elements.end() ? empty_value : found->second;
}

const std::string& VornConfig::log_dir() const { return get_element(key_log_dir); }

const std::string& VornConfig::file_size_litmit() const { return get_element(key_file_size_max); }

std::string VornConfig::to_string() const {
    return xml_doc == nullptr ? std::string() : xml_doc->to_string();
}

}  // namespace zvk
