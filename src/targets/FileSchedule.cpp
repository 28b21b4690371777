// The file target's optional behaviour in time and on disk: rotation at
// boundaries of the clock, syncing, the mode and group of new files, and
// the compressor that takes what rotates.
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <vector>

#include "../config/Settings.h"
#include "../frontend/Clock.h"
#include "../frontend/Report.h"
#include "Compressor.h"
#include "FileLogShared.h"
#include "ServiceHooks.h"
#include "zvk/FileLog.h"
#include "zvk/VornConfig.h"

namespace zvk {

namespace {

using detail::error_text;

std::int64_t utc_offset(std::int64_t at, bool local_time) {
    if (!local_time) {
        return 0;
    }
    const std::time_t t = static_cast<std::time_t>(at);
    std::tm parts{};
    return localtime_r(&t, &parts) != nullptr ? parts.tm_gmtoff : 0;
}

std::int64_t floor_div(std::int64_t a, std::int64_t b) {
    return a / b - ((a % b != 0 && (a < 0) != (b < 0)) ? 1 : 0);
}

// The group id of `name`, or -1 with `err`.
long group_id(const std::string& name, int& err) {
    std::vector<char> buffer(16384);
    group entry{};
    group* found = nullptr;
    err = getgrnam_r(name.c_str(), &entry, buffer.data(), buffer.size(), &found);
    if (found == nullptr) {
        err = err != 0 ? err : ENOENT;
        return -1;
    }
    return static_cast<long>(found->gr_gid);
}

}  // namespace

std::int64_t FileLog::next_boundary(std::int64_t now, std::int64_t every, bool local_time) {
    if (every >= 86400) {
        // The next midnight as the calendar has it: 23 or 25 hours away on
        // a day the clock changes.
        const std::time_t t = static_cast<std::time_t>(now);
        std::tm parts{};
        if ((local_time ? localtime_r(&t, &parts) : gmtime_r(&t, &parts)) == nullptr) {
            return now + every;
        }
        parts.tm_mday += 1;
        parts.tm_hour = 0;
        parts.tm_min = 0;
        parts.tm_sec = 0;
        parts.tm_isdst = -1;
        const std::time_t next = local_time ? std::mktime(&parts) : timegm(&parts);
        return next > t ? static_cast<std::int64_t>(next) : now + every;
    }
    // Where the clock shows a multiple of the period: under the offset of
    // now, or of that moment if the offset changes before it.
    auto after = [&](std::int64_t offset) {
        return (floor_div(now + offset, every) + 1) * every - offset;
    };
    const std::int64_t first = after(utc_offset(now, local_time));
    const std::int64_t offset_then = utc_offset(first, local_time);
    const std::int64_t second = after(offset_then);
    if (second > now && second < first && (second + utc_offset(second, local_time)) % every == 0) {
        return second;
    }
    return first;
}

int FileLog::read_options(const VornConfig* config) {
    rotate_every = 0;
    file_mode = -1;
    file_gid = -1;
    sync_ms = -1;
    max_age = 0;
    max_total_size = 0;
    compressor.reset();
    compression = 0;
    const VornConfig::target_cf_t* record = config != nullptr ? config->get_target(name) : nullptr;
    if (record == nullptr) {
        return 0;
    }
    const detail::FileSettings settings = detail::file_settings(*record);
    for (const auto& [setting, text] : settings.refused) {
        detail::report("Invalid " + detail::element(setting).name + " in target: " + name +
                       " - \"" + *text + "\"");
    }
    if (!settings.refused.empty()) {
        return -1;
    }
    for (const auto& [setting, text] : settings.ignored) {
        detail::report("Invalid " + detail::element(setting).name + " in target: " + name +
                       " - \"" + *text + "\"; " + detail::element(setting).outcome);
    }
    rotate_every = settings.rotate_every;
    local_time = detail::service_hooks().local_time();
    file_mode = settings.file_mode;
    if (settings.file_group != nullptr) {
        int err = 0;
        file_gid = group_id(*settings.file_group, err);
        if (file_gid < 0) {
            detail::report("Could not use group " + *settings.file_group + " in target: " + name +
                           " - " + error_text(err) + "; new files get the default group");
        }
    }
    if (settings.sync == detail::SyncPolicy::rotation) {
        sync_ms = 0;
    } else if (settings.sync == detail::SyncPolicy::interval) {
        sync_ms = settings.sync_ms;
    }
    max_age = settings.max_age;
    max_total_size = settings.max_total_size;
    compression = static_cast<int>(settings.compress);
    return 0;
}

int FileLog::open_active_file() {
    int group_err = 0;
    const int opened =
        detail::open_active(dir_fd, file_name.c_str(), file_mode, file_gid, group_err);
    if (group_err != 0 && !group_reported) {
        // Said once: every rotation would say it again.
        group_reported = true;
        detail::report("Could not set the group of " + file_path + " - " + error_text(group_err) +
                       "; new files get the default group");
    }
    return opened;
}

bool FileLog::ticks() const noexcept {
    return rotate_every != 0 || sync_ms > 0 || max_age != 0 || compression != 0;
}

std::int64_t FileLog::tick() noexcept {
    // A clock stepped forward is seen within a minute, when a rotation by
    // the clock is due earlier than the wait said.
    constexpr std::int64_t kLongestWait = 60'000;
    // Compression to hand over, or a trim that waits for it: looked at
    // again as often as while records are written.
    constexpr std::int64_t kCompressionLook = 100;
    try {
        rotate_on_time();
        sync_written();
        catch_up_compression();
        if (trim_waits) {
            trim_rotated_files();
        }
        const std::int64_t now = detail::monotonic_ms();
        if (max_age != 0 && now >= next_age_check) {
            // Files age by the minute: a look a minute is enough.
            next_age_check = now + 60'000;
            trim_rotated_files();
        }
        std::int64_t wait = -1;
        auto due_in = [&wait](std::int64_t ms) {
            ms = std::max<std::int64_t>(ms, 1);
            wait = wait < 0 ? ms : std::min(wait, ms);
        };
        if (rotate_every != 0 && boundary != 0) {
            const std::int64_t seconds = boundary - static_cast<std::int64_t>(std::time(nullptr));
            due_in(std::min(seconds * 1000, kLongestWait));
        }
        if (dirty && sync_ms > 0 && fd >= 0) {
            due_in(last_sync_ms + sync_ms - now);
        }
        if (max_age != 0) {
            due_in(next_age_check - now);
        }
        if (left_uncompressed || trim_waits) {
            due_in(kCompressionLook);
        }
        return wait;
    } catch (...) {
        // No memory for a name: the next tick tries again.
        return kCompressionLook;
    }
}

void FileLog::rotate_on_time() {
    if (rotate_every == 0 || boundary == 0) {
        return;
    }
    const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
    if (boundary - now > 2 * rotate_every) {
        // The clock went back by more than a period: the boundary comes
        // from the time it shows now, or the file would span the step.
        boundary = next_boundary(now, rotate_every, local_time);
    }
    if (now < boundary) {
        return;
    }
    const std::int64_t passed = boundary;
    struct stat st {};
    // An empty file has nothing of the period that ended: no rotated file
    // for it.
    if (fd >= 0 && fstat(fd, &st) == 0 && st.st_size > 0 && rotate_file() != 0) {
        detail::report("Could not rotate file");
    }
    // After the boundary just passed, also when the clock was stepped back
    // meanwhile: no period rotates twice.
    boundary = next_boundary(now > passed ? now : passed, rotate_every, local_time);
}

void FileLog::sync_written() noexcept {
    if (!dirty || sync_ms <= 0 || fd < 0) {
        return;
    }
    const std::int64_t now = detail::monotonic_ms();
    if (now - last_sync_ms < sync_ms) {
        return;
    }
    if (fdatasync(fd) == 0) {
        syncs.fetch_add(1, std::memory_order_relaxed);
    }
    dirty = false;
    last_sync_ms = now;
}

}  // namespace zvk
