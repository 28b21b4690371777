// Arbitrary bytes through configuration loading, then every lookup.
#include <zvk/Logger.h>
#include <zvk/VornConfig.h>

#include <cstddef>
#include <cstdint>
#include <exception>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    zvk::VornConfig config;
    int loaded = config.load_config(text);
    for (const auto& [name, target] : config.targets) {
        if (config.get_target(name) != target || target->name != name) {
            __builtin_trap();
        }
    }
    for (const auto& [name, logger] : config.loggers) {
        if (config.get_logger(name) != logger || logger->target == nullptr ||
            config.get_target(logger->target->name) != logger->target) {
            __builtin_trap();
        }
        zvk::Logger::get_level(logger->level);
    }
    for (const auto& [name, value] : config.elements) {
        if (&config.get_element(name) == &config.empty_value && !value.empty()) {
            __builtin_trap();
        }
    }
    config.log_dir();
    config.file_size_litmit();
    std::string again = config.to_string();
    if (!again.empty()) {
        // What the document prints must load again.
        zvk::VornConfig reread;
        if (reread.load_config(again) != 0 && loaded == 0) {
            __builtin_trap();
        }
    }
    if (loaded == 0) {
        try {
            config.get_locale();
        } catch (const std::exception&) {
        }
    }
    config.unload_xml_doc();
    return 0;
}
