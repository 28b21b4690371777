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

/// The parsed configuration: target records, logger records and plain
/// top-level values, read from one XML document. The first definition of a
/// name wins; records stay valid for the object's lifetime.
class ZVK_VORN_API VornConfig {
public:
    /// A record's child elements as (name, text) pairs, in document order.
    using param_list = std::vector<std::pair<std::string, std::string>>;

    /// A `<target>` record.
    struct target_cf_t {
        std::string name;   ///< Its "name" attribute.
        std::string type;   ///< The text of its `<type>` child.
        param_list params;  ///< Every child but "type", document order.
    };

    /// A `<logger>` record.
    struct logger_cf_t {
        std::string name;     ///< Its "name" attribute.
        std::string level;    ///< The text of its `<accept_level>` child.
        target_cf_t* target;  ///< Never null in a stored record; owned by targets.
        param_list params;    ///< Every other child, document order.
    };

    /// The bytes of a "file_size_max" text as the service applies it: a
    /// number read with `loc` (the service uses the global locale, so a
    /// grouping locale takes "1,024"), then a unit B K M G T P or E, powers
    /// of 1024. False for anything else, for 0, a "-" sign or more than 64
    /// bits: the service then applies its default.
    static bool file_size_bytes(const std::string& text, std::uint64_t& bytes,
                                const std::locale& loc = std::locale());
    /// The text of the first child `key` of a target record; null when the
    /// record has none.
    static const std::string* target_param(const target_cf_t& record, const std::string& key);

    /// An empty configuration; load_config reads one.
    VornConfig();
    virtual ~VornConfig();
    VornConfig(const VornConfig&) = delete;
    VornConfig& operator=(const VornConfig&) = delete;

    /// 0: parsed and the model built; -1 otherwise (also for a file that is
    /// not open). A further load releases the document held before and adds
    /// to the same tables.
    int load_config(std::ifstream& in);
    /// The same from any stream, read to its end.
    int load_config(std::istream& in);
    /// The same from XML text.
    int load_config(std::string&& source);
    /// The same from a string stream.
    int load_config(std::istringstream& in);
    /// The same from XML text, not a path.
    int load_config(const std::string& source);
    /// Releases the document held, if any; the tables stay.
    void unload_xml_doc();
    /// The locale the `<locale>` element names. Empty text or "" mean the
    /// environment's preferred locale; an unknown name throws
    /// std::runtime_error.
    std::locale get_locale() const;

    /// Builds the tables from the document held: each `<target>` and
    /// `<logger>` child of the root, and the text of every other child as a
    /// plain value. 0; -1 without a document or when a record fails.
    int init();
    /// Adds the target record `element` describes, unless its name is known
    /// already (the first wins). 1, also for a known name; -1 for a record
    /// without children, or after reporting an error.
    int create_target(const XMLElement* element);
    /// Adds the record of the root's `<target>` child named `name`; -1 when
    /// there is none.
    int create_target(const std::string& name);
    /// Adds the logger record `element` describes, with the target record it
    /// names even where that comes later in the document. A known name, a
    /// record without children or without a target is skipped: 0 all the
    /// same; -1 after reporting an error.
    int create_logger(const XMLElement* element);
    /// The target record `name`; null when there is none.
    target_cf_t* get_target(const std::string& name) const;
    /// The logger record `name`; null when there is none.
    logger_cf_t* get_logger(const std::string& name) const;
    /// The text of the top-level element `name`; empty when there is none.
    const std::string& get_element(const std::string& name) const;
    /// The `<log_dir>` text; empty when not given.
    const std::string& log_dir() const;
    /// The `<file_size_max>` text; empty when not given.
    const std::string& file_size_litmit() const;
    /// The document held, as XMLDoc::to_string writes it; empty without one.
    std::string to_string() const;

    /// \name Names in the document
    /// Each holds the text its name ends in ("name", "type", "locale" and so
    /// on; key_blank the empty text). The library reads nothing by
    /// key_logging, key_blank, key_network, key_text_alert, key_email_alert
    /// and key_logger_name.
    ///@{
    const std::string key_name;             ///< The attribute naming a target or logger.
    const std::string key_type;             ///< A target's type element.
    const std::string key_locale;           ///< The global locale's element.
    const std::string key_logger;           ///< A logger record's element.
    const std::string key_target;           ///< A target record's, and a logger's target.
    const std::string key_logging;          ///< "logging".
    const std::string key_blank;            ///< The empty text.
    const std::string key_log_dir;          ///< The log directory's element.
    const std::string key_file;             ///< The file target's type.
    const std::string key_stdout;           ///< The console target's type.
    const std::string key_network;          ///< "network".
    const std::string key_file_name;        ///< A file target's file name.
    const std::string key_time_zone;        ///< The stamps' time zone.
    const std::string key_text_alert;       ///< "text_alert".
    const std::string key_email_alert;      ///< "email_alert".
    const std::string key_logger_name;      ///< "logger_name".
    const std::string key_accept_level;     ///< A logger's level.
    const std::string key_file_size_max;    ///< The file-size limit's element.
    const std::string key_max_number_file;  ///< How many files a file target keeps.
    ///@}

    XMLDoc* xml_doc;  ///< Owned; null when no document is held.
    std::unordered_map<std::string, target_cf_t*> targets;  ///< Owns the records.
    std::unordered_map<std::string, logger_cf_t*> loggers;  ///< Owns the records.
    /// The plain top-level values by element name; the first wins.
    std::unordered_map<std::string, std::string> elements;
    const std::string empty_value;  ///< What get_element answers for a name it lacks.
};

}  // namespace zvk
