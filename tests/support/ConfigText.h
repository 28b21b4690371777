// Configurations for the tests: documents for those that start the service,
// parsed records for targets made without it. Every test that writes a
// document runs inside zvk::test::isolated, in a fresh working directory.
#pragma once

#include <memory>
#include <string>

#include "TestSupport.h"
#include "zvk/VornConfig.h"
#include "zvk/VornService.h"

namespace zvk::test {

// A complete configuration document around `body`.
inline std::string vorn_xml(const std::string& body) {
    return "<?xml version=\"1.0\"?>\n<vorn>\n" + body + "</vorn>\n";
}

inline void write_config(const std::string& path, const std::string& body) {
    write_file(path, vorn_xml(body));
}

inline std::string stdout_target(const std::string& name) {
    return "<target name=\"" + name + "\"><type>stdout</type></target>\n";
}

inline std::string file_target(const std::string& name, const std::string& file_name,
                               const std::string& max_files = "5") {
    return "<target name=\"" + name + "\"><type>file</type><file_name>" + file_name +
           "</file_name><max_number_file>" + max_files + "</max_number_file></target>\n";
}

inline std::string logger_record(const std::string& name, const std::string& target,
                                 const std::string& level = "DEBUG") {
    return "<logger name=\"" + name + "\"><target>" + target + "</target><accept_level>" + level +
           "</accept_level></logger>\n";
}

// "vorn_config.xml": the logger "app" writes to "app.log" in `log_dir`.
inline void write_app_config(const std::string& log_dir, const std::string& size,
                             const std::string& max_files = "-1") {
    write_config("vorn_config.xml", "<log_dir>" + log_dir + "</log_dir><file_size_max>" + size +
                                        "</file_size_max>\n" +
                                        file_target("app_file", "app.log", max_files) +
                                        logger_record("app", "app_file"));
}

// A parsed configuration holding one target record "file", for a target
// made without the service; an empty `max` leaves "max_number_file" out.
inline std::unique_ptr<VornConfig> file_config(const std::string& file_name,
                                               const std::string& max = "-1") {
    auto config = std::make_unique<VornConfig>();
    auto* record = new VornConfig::target_cf_t{"file", "file", {{"file_name", file_name}}};
    if (!max.empty()) {
        record->params.emplace_back("max_number_file", max);
    }
    config->targets["file"] = record;
    return config;
}

// Log files go to `dir`; the service is set up first so that it cannot
// replace the directory later.
inline void use_log_dir(const std::string& dir) { VornService::get_service()->log_dir = dir; }

}  // namespace zvk::test
