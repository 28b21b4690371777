// The file target's retention: which rotated files it finds, and which of
// them go to keep within `max_files`, `max_age` and `max_total_size`.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <mutex>
#include <string>
#include <string_view>

#include "../frontend/Report.h"
#include "Compressor.h"
#include "FileLogShared.h"
#include "RotatedStamp.h"
#include "zvk/FileLog.h"

namespace zvk {

using detail::decimal;
using detail::error_text;
using detail::stamp_seconds;

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

}  // namespace zvk
