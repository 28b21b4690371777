// Configuration texts and probes shared by the service tests. Every test
// that uses them runs inside zvk::test::isolated, in a fresh working
// directory.
#pragma once

#include <sys/resource.h>

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

inline std::string file_target(const std::string& name, const std::string& file_name) {
    return "<target name=\"" + name + "\"><type>file</type><file_name>" + file_name +
           "</file_name><max_number_file>5</max_number_file></target>\n";
}

inline std::string logger_record(const std::string& name, const std::string& target,
                                 const std::string& level) {
    return "<logger name=\"" + name + "\"><target>" + target + "</target><accept_level>" + level +
           "</accept_level></logger>\n";
}

// The soft limit; the tests also check that hard == soft.
inline rlim_t file_size_limit(rlim_t* hard = nullptr) {
    rlimit limit{};
    getrlimit(RLIMIT_FSIZE, &limit);
    if (hard != nullptr) {
        *hard = limit.rlim_max;
    }
    return limit.rlim_cur;
}

}  // namespace zvk::test
