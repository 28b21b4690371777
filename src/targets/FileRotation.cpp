// The file target's rotated files: their stamped names, the retention
// that keeps `max_files` of them, and the rotation itself.
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
#include "zvk/FileLog.h"

namespace zvk {

namespace {

using detail::decimal;
using detail::error_text;

// MM-DD-YYYY_S for `seconds`: the local date, then the epoch seconds.
std::string stamp_at(std::time_t seconds) {
    std::tm local{};
    if (localtime_r(&seconds, &local) == nullptr) {
        return {};
    }
    char date[64];
    std::size_t len = std::strftime(date, sizeof date, "%m-%d-%Y", &local);
    return std::string(date, len < 10 ? len : 10) + "_" + decimal(seconds);
}

bool is_date(std::string_view s) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        bool dash = i == 2 || i == 5;
        if (dash ? s[i] != '-' : (s[i] < '0' || s[i] > '9')) {
            return false;
        }
    }
    return s.size() == 10;
}

// A MM-DD-YYYY date with a month 01-12 and a day that this month has.
bool is_valid_date(std::string_view s) {
    if (!is_date(s)) {
        return false;
    }
    auto two = [&](std::size_t at) { return (s[at] - '0') * 10 + (s[at + 1] - '0'); };
    int month = two(0);
    int day = two(3);
    int year = two(6) * 100 + two(8);
    bool leap = (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
    const int days[] = {31, leap ? 29 : 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month >= 1 && month <= 12 && day >= 1 && day <= days[month - 1];
}

// A stamp as stamp_at writes it: the date, "_", and the epoch seconds in
// plain decimal (an optional "-", no leading zero).
bool is_stamp(std::string_view s) {
    if (s.size() < 12 || s[10] != '_' || !is_valid_date(s.substr(0, 10))) {
        return false;
    }
    std::string_view seconds = s.substr(11);
    if (seconds.front() == '-') {
        seconds.remove_prefix(1);
    }
    return !seconds.empty() && (seconds.size() == 1 || seconds.front() != '0') &&
           std::all_of(seconds.begin(), seconds.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Epoch seconds of the stamp in a rotated path, found as the last "_" that
// follows a MM-DD-YYYY date and precedes an optional "-" and digits. The
// extension after the digits may be empty or absent.
bool stamp_seconds(std::string_view path, long long& seconds) {
    for (auto pos = path.rfind('_'); pos != std::string_view::npos && pos >= 10;
         pos = path.rfind('_', pos - 1)) {
        if (!is_date(path.substr(pos - 10, 10))) {
            continue;
        }
        const char* first = path.data() + pos + 1;
        const char* last = path.data() + path.size();
        const char* digits = first != last && *first == '-' ? first + 1 : first;
        if (digits == last || *digits < '0' || *digits > '9') {
            continue;
        }
        if (std::from_chars(first, last, seconds).ec == std::errc()) {
            return true;
        }
    }
    return false;
}

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

int FileLog::process_file_retention(DIR* dir) {
    int err = 0;
    for (;;) {
        // errno is reset before each call: only readdir's own error counts.
        errno = 0;
        const dirent* found = readdir(dir);
        if (found == nullptr) {
            err = errno;
            break;
        }
        std::string path;
        if (found->d_type != DT_REG) {
            continue;
        }
        // A temporary of a compression cut short is left alone: nothing
        // tells it from someone else's file of that name, and the original
        // it was made from is still there.
        if (is_own_rotated(found->d_name, path)) {
            rotated_files.insert(path);
        }
    }
    if (err != 0) {
        detail::report("Read directory error: " + decimal(err) + " - " + error_text(err));
        return -1;
    }
    const int trimmed = trim_rotated_files();
    // What an earlier run rotated and did not compress: as much as the
    // compressor takes now, the rest once it is idle.
    left_uncompressed = compressor != nullptr;
    catch_up_compression();
    return trimmed;
}

bool FileLog::is_rotated_name(std::string_view entry) const {
    std::size_t base = base_name.size();
    std::size_t ext = file_ext.size();
    if (entry.size() != rotated_name_len || entry.size() < base + 1 + ext ||
        entry.compare(0, base, base_name) != 0 || entry[base] != '_' ||
        entry.compare(entry.size() - ext, ext, file_ext) != 0) {
        return false;
    }
    return is_stamp(entry.substr(base + 1, entry.size() - base - 1 - ext));
}

int FileLog::delete_file(const std::string& path) {
    int at = AT_FDCWD;
    const char* entry = entry_name(path, at);
    int err = 0;
    {
        // A rotated file may be compressed by now, or being compressed: each
        // form goes, and a compression that ends later finds it gone.
        std::unique_lock<std::mutex> names;
        if (compressor) {
            names = std::unique_lock(compressor->names());
        }
        for (std::string_view form : own_forms()) {
            const std::string name = std::string(entry) + std::string(form);
            if (unlinkat(at, name.c_str(), 0) != 0 && errno != ENOENT && err == 0) {
                err = errno;
            }
        }
        // Already gone (a log shipper, an administrator or another process
        // using this directory removed it): that is what was wanted.
        if (err == 0) {
            return 0;
        }
    }
    try {
        detail::report("Could not remove file: " + path + "\nerror: " + decimal(err) + " - " +
                       error_text(err));
    } catch (...) {
        try {
            detail::report("delete file error: ");
        } catch (...) {
        }
        return -1;
    }
    return err;
}

std::uint64_t FileLog::rotated_size(const std::string& path, bool& waiting) const {
    int at = AT_FDCWD;
    const std::string entry = entry_name(path, at);
    for (std::string_view form : own_forms()) {
        struct stat st {};
        if (fstatat(at, (entry + std::string(form)).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0) {
            waiting = compressor && form.empty();
            return static_cast<std::uint64_t>(st.st_size);
        }
    }
    waiting = false;
    return 0;
}

std::uint64_t FileLog::counted_size(const std::string& path, bool& waiting, std::uint64_t in,
                                    std::uint64_t out) const {
    const std::uint64_t size = rotated_size(path, waiting);
    if (!waiting || in == 0) {
        return size;
    }
    // A file waiting for the compressor counts as what it will be, as far
    // as the files compressed so far tell.
    return static_cast<std::uint64_t>(static_cast<double>(size) * static_cast<double>(out) /
                                      static_cast<double>(in));
}

std::span<const std::string_view> FileLog::own_forms() const noexcept {
    // Compressed names are the target's own only while it compresses:
    // otherwise they are an administrator's or another program's.
    static constexpr std::string_view kForms[] = {"", ".gz", ".zst"};
    return {kForms, compression != 0 ? std::size(kForms) : 1};
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

int FileLog::trim_rotated_files() {
    int result = 0;
    if (max_age != 0) {
        const long long oldest_kept = static_cast<long long>(std::time(nullptr)) - max_age;
        long long seconds = 0;
        while (!rotated_files.empty() && stamp_seconds(*rotated_files.begin(), seconds) &&
               seconds < oldest_kept) {
            if (delete_file(*rotated_files.begin()) != 0) {
                result = -1;
            }
            rotated_files.erase(rotated_files.begin());
        }
    }
    trim_waits = false;
    if (max_total_size != 0 && !rotated_files.empty()) {
        struct stat st {};
        // At start the active file is not open yet: it counts all the same.
        const bool active =
            fd >= 0 ? fstat(fd, &st) == 0 : fstatat(dir_fd, file_name.c_str(), &st, 0) == 0;
        std::uint64_t total = active ? static_cast<std::uint64_t>(st.st_size) : 0;
        // The compressor's figures once: a file it finishes meanwhile must
        // not make the sum and the decision disagree (a sum of plain sizes
        // trimmed as if they were compressed removes nearly every file).
        std::uint64_t in = 0;
        std::uint64_t out = 0;
        const bool known = compressor && compressor->compressed(in, out);
        bool waiting = false;
        bool plain = false;
        for (const std::string& path : rotated_files) {
            total += counted_size(path, plain, in, out);
            waiting = waiting || plain;
        }
        // Before any file is compressed nothing tells what the waiting ones
        // will be: the trim by size waits for the first (the worker's tick
        // runs it again).
        trim_waits = total > max_total_size && waiting && !known;
        while (!trim_waits && !rotated_files.empty() && total > max_total_size) {
            total -= std::min(total, counted_size(*rotated_files.begin(), plain, in, out));
            if (delete_file(*rotated_files.begin()) != 0) {
                result = -1;
            }
            rotated_files.erase(rotated_files.begin());
        }
    }
    // A negative max_files is huge as unsigned: nothing is ever removed.
    while (!rotated_files.empty() &&
           rotated_files.size() >= static_cast<std::uint64_t>(max_files)) {
        auto oldest = rotated_files.begin();
        // A file that cannot be removed is reported once and left alone
        // from then on: stopping at it would let the directory grow
        // without bound, and retrying it would remove newer files instead.
        if (delete_file(*oldest) != 0) {
            result = -1;
        }
        rotated_files.erase(oldest);
    }
    return result;
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
