// The file target's rotated files: their stamped names, and the rotation
// itself.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <exception>
#include <iterator>
#include <memory>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>
#include <string_view>

#include "../config/Settings.h"
#include "../frontend/Report.h"
#include "Carrier.h"
#include "Compressor.h"
#include "FileLogShared.h"
#include "RotatedStamp.h"
#include "zvk/FileLog.h"

namespace zvk {

namespace {

using detail::decimal;
using detail::error_text;
using detail::stamp_at;
using detail::stamp_seconds;

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

}  // namespace

bool FileLog::RotatedOrder::operator()(const std::string& a, const std::string& b) const {
    long long sa = 0;
    long long sb = 0;
    bool ha = stamp_seconds(a, sa);
    bool hb = stamp_seconds(b, sb);
    // A matching name without a stamp is no rotation of ours: it goes first,
    // so the trim removes it before any real rotated file.
    if (ha != hb) {
        return !ha;
    }
    if (ha && sa != sb) {
        return sa < sb;
    }
    return a < b;
}

std::int64_t FileLog::max_files_from(std::string_view text, bool& converted) {
    return detail::max_files_from(text, converted);
}

int FileLog::scan_log_dir() {
    // A description of its own, so that listing moves no offset of dir_fd.
    int list_fd = openat(dir_fd, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    std::unique_ptr<DIR, DirCloser> dir(list_fd >= 0 ? fdopendir(list_fd) : nullptr);
    if (!dir) {
        int err = errno;
        if (list_fd >= 0) {
            close(list_fd);
        }
        detail::report("Could not open " + log_dir + error_text(err));
        return -1;
    }
    return process_file_retention(dir.get());
}

const char* FileLog::entry_name(const std::string& path, int& at) const {
    if (dir_fd >= 0 && !log_dir.empty() && path.size() > log_dir.size() + 1 &&
        path.compare(0, log_dir.size(), log_dir) == 0 && path[log_dir.size()] == '/') {
        at = dir_fd;
        return path.c_str() + log_dir.size() + 1;
    }
    at = AT_FDCWD;
    return path.c_str();
}

std::string FileLog::loc_time_us() {
    std::timespec now{};
    if (std::timespec_get(&now, TIME_UTC) == 0) {
        return {};
    }
    return stamp_at(now.tv_sec);
}

bool FileLog::is_rotated_name(std::string_view entry) const {
    std::size_t base = base_name.size();
    std::size_t ext = file_ext.size();
    if (entry.size() != rotated_name_len || entry.size() < base + 1 + ext ||
        entry.compare(0, base, base_name) != 0 || entry[base] != '_' ||
        entry.compare(entry.size() - ext, ext, file_ext) != 0) {
        return false;
    }
    return detail::is_stamp(entry.substr(base + 1, entry.size() - base - 1 - ext));
}

std::span<const std::string_view> FileLog::own_forms() const noexcept {
    // Compressed names are the target's own only while it compresses:
    // otherwise they are an administrator's or another program's.
    const auto& forms = detail::Compressor::kForms;
    return {forms, compression != 0 ? std::size(forms) : 1};
}

bool FileLog::is_own_rotated(std::string_view entry, std::string& path) const {
    for (std::string_view form : own_forms()) {
        if (entry.size() > form.size() && entry.substr(entry.size() - form.size()) == form &&
            is_rotated_name(entry.substr(0, entry.size() - form.size()))) {
            entry.remove_suffix(form.size());
            path = log_dir + "/" + std::string(entry);
            return true;
        }
    }
    return false;
}

void FileLog::compress_later(const std::string& path) {
    if (!compressor) {
        return;
    }
    int at = AT_FDCWD;
    if (!compressor->add(entry_name(path, at)) && !left_uncompressed) {
        // Rotations come faster than files compress: the backlog stays
        // bounded; this file waits on disk, uncompressed, until the
        // compressor is idle again (retention counts it meanwhile).
        left_uncompressed = true;
        detail::report("Compression falls behind in target: " + name +
                       " - rotated files wait uncompressed");
    }
}

void FileLog::catch_up_compression() {
    if (!compressor || !left_uncompressed || !compressor->idle()) {
        return;
    }
    left_uncompressed = false;
    for (const std::string& path : rotated_files) {
        int at = AT_FDCWD;
        const char* entry = entry_name(path, at);
        struct stat st {};
        if (fstatat(at, entry, &st, AT_SYMLINK_NOFOLLOW) == 0 && !compressor->add(entry)) {
            left_uncompressed = true;
            return;
        }
    }
}

std::string FileLog::next_rotated_path() {
    long long seconds = 0;
    if (!stamp_seconds(loc_time_us(), seconds)) {
        throw std::runtime_error("no rotation stamp for the current time");
    }
    // Stay after the newest retained file, even when the clock went back
    // or several rotations fall within one second.
    long long newest = 0;
    if (!rotated_files.empty() && stamp_seconds(*rotated_files.rbegin(), newest) &&
        newest >= seconds) {
        seconds = newest + 1;
    }
    for (;; ++seconds) {
        std::string path = rotated_prefix + stamp_at(static_cast<std::time_t>(seconds)) + file_ext;
        struct stat st {};
        int at = AT_FDCWD;
        const char* entry = entry_name(path, at);
        // A name fstatat cannot check is left to rename, which reports why.
        if (rotated_files.count(path) == 0 && fstatat(at, entry, &st, AT_SYMLINK_NOFOLLOW) != 0) {
            return path;
        }
    }
}

void FileLog::plan_crash_rotation() noexcept {
    detail::CrashRotation plan;
    try {
        // A derived type's write_msg may do more than append: the handler
        // writes nothing for it.
        if (!FileLog::takes_runs()) {
            detail::Carrier::of(*this).set_crash_rotation(plan);
            return;
        }
        const std::string path = next_rotated_path();
        int at = AT_FDCWD;
        const std::string_view entry = entry_name(path, at);
        // The seconds stand between the last "_" and the extension.
        const std::size_t seconds_end = entry.size() - file_ext.size();
        const std::size_t seconds_at = entry.rfind('_', seconds_end - 1) + 1;
        long long seconds = 0;
        if (at == dir_fd && dir_fd >= 0 && stamp_seconds(path, seconds) &&
            file_name.size() < sizeof plan.active && seconds_at < sizeof plan.head &&
            file_ext.size() < sizeof plan.ext) {
            plan.dir_fd = dir_fd;
            plan.mode = file_mode;
            plan.gid = file_gid;
            plan.seconds = seconds;
            std::memcpy(plan.active, file_name.c_str(), file_name.size() + 1);
            std::memcpy(plan.head, entry.data(), seconds_at);
            plan.head[seconds_at] = '\0';
            std::memcpy(plan.ext, file_ext.c_str(), file_ext.size() + 1);
        }
    } catch (...) {
        // No plan: the handler then stops at the limit.
        plan = detail::CrashRotation{};
    }
    detail::Carrier::of(*this).set_crash_rotation(plan);
}

int FileLog::rotate_file() {
    try {
        std::string new_path = next_rotated_path();
        // Counted before the rename, so that the name a fatal-signal handler
        // would rotate to from here on sorts after this one.
        const bool listed = rotated_files.insert(new_path).second;
        plan_crash_rotation();
        auto unlist = [&] {
            if (listed) {
                rotated_files.erase(new_path);
            }
        };
        // The name may hold another file by now: a fresh one that another
        // process using this directory rotated to, or a link. Only the file
        // written here is renamed; otherwise the name is opened afresh.
        // Or nothing: the file written here was moved away or removed, and
        // rotating means starting the fresh file, with nothing to report.
        struct stat mine {};
        struct stat named {};
        const bool have_mine = fd >= 0 && fstat(fd, &mine) == 0;
        const bool named_exists =
            fstatat(dir_fd, file_name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0;
        const bool gone = have_mine && !named_exists && errno == ENOENT;
        bool replaced = gone || (have_mine && named_exists &&
                                 (mine.st_dev != named.st_dev || mine.st_ino != named.st_ino));
        set_crash_fd(-1);
        if (fd >= 0) {
            if (sync_ms >= 0 && dirty) {
                // On disk before it is closed: a rotated file is complete.
                if (fdatasync(fd) == 0) {
                    syncs.fetch_add(1, std::memory_order_relaxed);
                }
                dirty = false;
            }
            close(fd);
        }
        fd = -1;
        int at = AT_FDCWD;
        const char* new_entry = entry_name(new_path, at);
        bool renamed = !replaced && renameat(dir_fd, file_name.c_str(), at, new_entry) == 0;
        if (!renamed) {
            unlist();
        }
        if (!renamed && !replaced) {
            int err = errno;
            detail::report("Could not rename file: " + file_path + " to new name: " + new_path +
                           "\n" + error_text(err));
            // ENOENT: the active file was removed behind our back, so there
            // is nothing to keep; a fresh file saves every later record.
            if (err != ENOENT) {
                return -1;
            }
        }
        fd = open_active_file();
        if (fd < 0) {
            int err = errno;
            detail::report("Could not re-open log file: " + file_path + " " + error_text(err));
            return -1;
        }
        publish_crash_fd();
        if (!renamed) {
            return 0;
        }
        compress_later(new_path);
        return trim_rotated_files();
    } catch (const std::exception& e) {
        detail::report(std::string("exception rotating file: ") + e.what());
    } catch (...) {
        detail::report("exception rotating file");
    }
    return -1;
}

}  // namespace zvk
