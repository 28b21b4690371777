// The parsed configuration: target records, logger records and plain
// top-level values, read from one XML document. The first definition of a
// name wins; records stay valid for the object's lifetime.
#pragma once

#include <cstdint>
#include <fstream>
#include <istream>
#include <locale>
#include <sstream>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "zvk/VornExport.h"

namespace zvk {

class XMLDoc;
class XMLElement;

class ZVK_VORN_API VornConfig {
public:
    using param_list = std::vector<std::pair<std::string, std::string>>;

    struct target_cf_t {
        std::string name;
        std::string type;
        param_list params;  // every child but "type", document order
    };

    struct logger_cf_t {
        std::string name;
        std::string level;
        target_cf_t* target;  // never null in a stored record; owned by targets
        param_list params;
    };

    // The bytes of a "file_size_max" text as the service applies it: a
    // number read with `loc` (the service uses the global locale, so a
    // grouping locale takes "1,024"), then a unit B K M G T P or E, powers
    // of 1024. False for anything else, for 0, a "-" sign or more than 64
    // bits: the service then applies its default.
    static bool file_size_bytes(const std::string& text, std::uint64_t& bytes,
                                const std::locale& loc = std::locale());
    // The text of the first child `key` of a target record; null when the
    // record has none.
    static const std::string* target_param(const target_cf_t& record, const std::string& key);

    VornConfig();
    virtual ~VornConfig();
    VornConfig(const VornConfig&) = delete;
    VornConfig& operator=(const VornConfig&) = delete;

    // 0: parsed and the model built; -1 otherwise. A further load releases
    // the document held before and adds to the same tables.
    int load_config(std::ifstream& in);
    int load_config(std::istream& in);
    int load_config(std::string&& source);
    int load_config(std::istringstream& in);
    int load_config(const std::string& source);  // XML text
    void unload_xml_doc();
    // Empty text or "" mean the environment's preferred locale; an unknown
    // name throws std::runtime_error.
    std::locale get_locale() const;

    int init();
    int create_target(const XMLElement* element);
    int create_target(const std::string& name);
    int create_logger(const XMLElement* element);
    target_cf_t* get_target(const std::string& name) const;
    logger_cf_t* get_logger(const std::string& name) const;
    const std::string& get_element(const std::string& name) const;
    const std::string& log_dir() const;
    const std::string& file_size_litmit() const;
    std::string to_string() const;

    const std::string key_name;
    const std::string key_type;
    const std::string key_locale;
    const std::string key_logger;
    const std::string key_target;
    const std::string key_logging;
    const std::string key_blank;
    const std::string key_log_dir;
    const std::string key_file;
    const std::string key_stdout;
    const std::string key_network;
    const std::string key_file_name;
    const std::string key_time_zone;
    const std::string key_text_alert;
    const std::string key_email_alert;
    const std::string key_logger_name;
    const std::string key_accept_level;
    const std::string key_file_size_max;
    const std::string key_max_number_file;

    XMLDoc* xml_doc;                                        // owned; null when no document is held
    std::unordered_map<std::string, target_cf_t*> targets;  // owns the records
    std::unordered_map<std::string, logger_cf_t*> loggers;  // owns the records
    std::unordered_map<std::string, std::string> elements;
    const std::string empty_value;
};

}  // namespace zvk
