// Set-up shared by the file target tests.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "RecordingTarget.h"
#include "zvk/VornConfig.h"

namespace zvk::test {

// A configuration holding one target record "file"; an empty `max` leaves
// "max_number_file" out.
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

inline std::string cwd() { return std::filesystem::current_path().string(); }

}  // namespace zvk::test
