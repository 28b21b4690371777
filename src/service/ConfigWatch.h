// Watching the configuration file: one background thread for the service,
// present only while the running configuration asks for it.
#pragma once

#include <cstdint>
#include <string>

namespace zvk::detail {

// What tells one version of a file from another: identity, size and
// modification time (an editor's write-to-temporary-then-rename changes
// the identity). `exists` false for a file that cannot be read.
struct FileVersion {
    bool exists = false;
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t mtime_ns = 0;
    bool operator==(const FileVersion&) const = default;
};
FileVersion version_of(const std::string& path);

// The caller holds the service's registry mutex. Every `seconds` (0: the
// watch ends) the thread compares `path` with `loaded` and calls the
// service's reload when it differs.
void watch_config(std::uint64_t seconds, const std::string& path, const FileVersion& loaded);
// Ends the watch (at a stop and at exit); the caller holds the registry
// mutex.
void end_config_watch();
// In a forked child, which has no such thread.
void forget_config_watch();

}  // namespace zvk::detail
