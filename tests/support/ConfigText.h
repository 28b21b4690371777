// Configurations for the tests: documents for those that start the service,
// parsed records for targets made without it. Every test that writes a
// document runs inside zvk::test::isolated, in a fresh working directory.
#pragma once

#include <memory>
#include <string>
#include <utility>

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

// A configuration with the misspellings a user makes, and the line the
// library and the checker both give for each: its line number and words.
inline const char* const misspelled_config = R"(<vorn>
  <log_dirr>logs</log_dirr>
  <file_size_maximum>1M</file_size_maximum>
  <target name="f">
    <type>file</type>
    <file_name>app.log</file_name>
    <compres>gzip</compres>
    <rotate_evry>1h</rotate_evry>
    <max_number_files>3</max_number_files>
  </target>
  <loger name="x"><target>f</target><accept_level>INFO</accept_level></loger>
  <logger name="app"><target>f</target><accept_level>INFO</accept_level></logger>
  <logger name="typo">
    <target>ff</target>
    <accept_level>INFO</accept_level>
  </logger>
</vorn>
)";

inline const std::pair<int, const char*> misspelled_lines[] = {
    {2, "unknown element <log_dirr> (did you mean <log_dir>?)"},
    {3, "unknown element <file_size_maximum> (did you mean <file_size_max>?)"},
    {7, "unknown element <compres> in target \"f\" (did you mean <compress>?)"},
    {8, "unknown element <rotate_evry> in target \"f\" (did you mean <rotate_every>?)"},
    {9, "unknown element <max_number_files> in target \"f\" (did you mean <max_number_file>?)"},
    {11, "unknown element <loger> (did you mean <logger>?)"},
    {14, "logger \"typo\" dropped: its target \"ff\" is not defined"},
};

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
