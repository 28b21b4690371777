// Configuration documents for the tests that start the service. Every test
// that writes one runs inside zvk::test::isolated, in a fresh working
// directory.
#pragma once

#include <string>

#include "TestSupport.h"

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

}  // namespace zvk::test
