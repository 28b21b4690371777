// What the installed target headers keep private, for the library's other
// layers (the service's fork and exit hooks) and for the tests. Not
// installed: an application reaches none of it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "zvk/FileLog.h"
#include "zvk/JournalLog.h"
#include "zvk/SyslogLog.h"
#include "zvk/Target.h"

namespace zvk::detail {

struct TargetAccess {
    // The caller holds `target.mutex`.
    static void drop_after_fork(Target& target) { target.drop_after_fork(); }
    static void stop_for_exit(Target& target) { target.stop_for_exit(); }
    static std::size_t queue_max_from(const std::string& text) {
        return Target::queue_max_from(text);
    }

    // The order of FileLog::rotated_files: oldest stamp first.
    using RotatedOrder = FileLog::RotatedOrder;
    static std::int64_t next_boundary(std::int64_t now, std::int64_t every, bool local_time) {
        return FileLog::next_boundary(now, every, local_time);
    }
    // The optional settings as init read them; the worker's own once it runs.
    struct FileOptions {
        std::int64_t rotate_every;
        std::int64_t sync_ms;
        std::int64_t max_age;
        std::uint64_t max_total_size;
    };
    static FileOptions file_options(const FileLog& file) {
        return {file.rotate_every, file.sync_ms, file.max_age, file.max_total_size};
    }
    static std::uint64_t syncs(const FileLog& file) { return file.syncs.load(); }

    static int severity_of(int level) { return SyslogLog::severity_of(level); }
    static const std::string& socket_path(const SyslogLog& target) { return target.socket_path; }
    static bool syslog_fallback(const JournalLog& target) { return target.syslog_fallback; }
};

}  // namespace zvk::detail
