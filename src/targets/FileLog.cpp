#include "zvk/FileLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <ctime>
#include <exception>
#include <typeinfo>

#include "../config/Settings.h"
#include "../frontend/Report.h"
#include "Compressor.h"
#include "FileLogShared.h"
#include "JsonLine.h"
#include "ServiceHooks.h"
#include "zvk/Message.h"
#include "zvk/VornConfig.h"

namespace zvk {

namespace {

using detail::decimal;
using detail::error_text;

constexpr mode_t kDirMode = 0760;
// A directory made for the files of a <file_group>: that group may enter
// and list it, as it may read the files, but not add or remove any.
constexpr mode_t kSharedDirMode = 0750;
// How long the stop at exit lets compressions go on before it gives them
// up (each then ends within one block of 64 KiB).
constexpr std::chrono::milliseconds kCompressionAtExit{1000};

// The names the target's files take, from its file_name and log_dir.
void name_files(FileLog& target) {
    target.file_path = target.log_dir + "/" + target.file_name;
    // Without a ".", a rotated file is "<file_name>_<stamp>" and the whole
    // name serves as base_name.
    auto dot = target.file_name.rfind('.');
    target.base_name = target.file_name.substr(0, dot);
    if (dot != std::string::npos) {
        target.file_ext = target.file_name.substr(dot);
    }
    target.rotated_prefix = target.log_dir + "/" + target.base_name + "_";
}

// Whether `name` in `dir_fd` still leads to the file open as `fd`; also
// true where that cannot be told, and for a link put in its place, which
// is never followed (the rotation reports it).
bool still_named(int dir_fd, const std::string& name, int fd) {
    struct stat mine {};
    struct stat named {};
    if (fstat(fd, &mine) != 0) {
        return true;
    }
    if (fstatat(dir_fd, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0) {
        return errno != ENOENT;
    }
    return S_ISLNK(named.st_mode) || (named.st_dev == mine.st_dev && named.st_ino == mine.st_ino);
}

}  // namespace

bool FileLog::file_name_usable(std::string_view file_name) {
    return detail::file_name_usable(file_name);
}

void FileLog::handler(int, siginfo_t*, void*) {}

FileLog::FileLog(const std::string& name)
    : Target(name, FILE_TARGET), fd(-1), max_files(0), rotated_name_len(0) {}

FileLog::~FileLog() {
    // The worker may be inside write_msg, which uses fd, dir_fd and the names.
    shutdown();
    // Before the directory goes: the compressor works in it.
    compressor.reset();
    set_crash_fd(-1);
    if (fd >= 0) {
        close(fd);
    }
    if (dir_fd >= 0) {
        close(dir_fd);
    }
}

void FileLog::exiting() noexcept {
    if (!compressor) {
        return;
    }
    try {
        compressor->finish(kCompressionAtExit);
    } catch (...) {
        // A wait that failed: the next start removes what is left.
    }
}

int FileLog::init(const VornConfig* config) {
    try {
        // Started again after a stop: the file and directory are looked up
        // afresh, as at the first start.
        set_crash_fd(-1);
        compressor.reset();
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
        if (dir_fd >= 0) {
            close(dir_fd);
            dir_fd = -1;
        }
        rotated_files.clear();
        log_dir = detail::service_hooks().log_dir();
        const VornConfig::target_cf_t* record =
            config != nullptr ? config->get_target(name) : nullptr;
        if (record != nullptr) {
            const detail::FileSettings settings = detail::file_settings(*record);
            if (settings.file_name != nullptr) {
                file_name = *settings.file_name;
            }
            max_files = settings.max_files;
            if (!settings.max_files_read) {
                detail::report("Could not convert max number of file\nUse default number: " +
                               decimal(max_files));
            }
            if (!file_name_usable(file_name)) {
                detail::report("Invalid file_name in target: " + name + " - \"" + file_name + "\"");
                return -1;
            }
            name_files(*this);
            json_lines = detail::format_settings(*record).json;
            if (read_options(config) != 0) {
                return -1;
            }

            if (open_log_dir() != 0) {
                return -1;
            }
            if (compression != 0) {
                compressor = std::make_unique<detail::Compressor>(
                    name, log_dir, dir_fd, static_cast<detail::Compression>(compression));
            }
            rotated_name_len = base_name.size() + 1 + loc_time_us().size() + file_ext.size();
            if (scan_log_dir() != 0) {
                return -1;
            }

            fd = open_active_file();
            if (fd < 0) {
                // Without this line a logger whose file cannot be opened
                // would vanish with all its records and no word why.
                int err = errno;
                detail::report("Could not open log file: " + file_path + " " + error_text(err));
                return -1;
            }
            publish_crash_fd();
            if (rotate_every != 0) {
                // A file left from an earlier period (the process was down at
                // its boundary) rotates at the first look.
                struct stat st {};
                const std::int64_t now = static_cast<std::int64_t>(std::time(nullptr));
                const std::int64_t since =
                    fstat(fd, &st) == 0 && st.st_size > 0 && st.st_mtime < now ? st.st_mtime : now;
                boundary = next_boundary(since, rotate_every, local_time);
            }
        }
        // Whoever set the limit, reaching it must rotate the file, not end
        // the process; unless the process's limit is to be left alone.
        if (detail::counted_file_limit.load(std::memory_order_relaxed) == 0) {
            detail::service_hooks().guard_file_size_signal();
        }
        return 1;
    } catch (...) {
        return -1;
    }
}

int FileLog::open_log_dir() {
    // Resolved once, here: log_dir may be relative or a link (both on
    // purpose), and later calls must reach this directory whatever the
    // working directory or that link have become.
    dir_fd = open(log_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd >= 0) {
        return 0;
    }
    int err = errno;
    if (err != ENOENT) {
        detail::report("Could not open " + log_dir + error_text(err));
        return -1;
    }
    // EEXIST: another process starting at the same moment made it first,
    // and chose its group and mode.
    const bool made = mkdir(log_dir.c_str(), kDirMode) == 0;
    if (!made && errno != EEXIST) {
        err = errno;
        detail::report("Could not create log dir: " + log_dir + " - " + error_text(err));
        return -1;
    }
    dir_fd = open(log_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) {
        detail::report("Could not open " + log_dir);
        return -1;
    }
    if (made && file_gid >= 0) {
        // Through dir_fd: the name may lead elsewhere by now. The mode
        // only once the group is set, so that no other group gets in.
        if (fchown(dir_fd, static_cast<uid_t>(-1), static_cast<gid_t>(file_gid)) != 0) {
            err = errno;
            detail::report("Could not set the group of " + log_dir + " - " + error_text(err) +
                           "; the group cannot enter it");
        } else if (fchmod(dir_fd, kSharedDirMode) != 0) {
            err = errno;
            detail::report("Could not set the mode of " + log_dir + " - " + error_text(err) +
                           "; the group cannot enter it");
        }
    }
    return 0;
}

void FileLog::publish_crash_fd() {
    file_end = -1;
    plan_crash_rotation();
    set_crash_fd(crash_descriptor());
}

bool FileLog::takes_runs() const noexcept {
    // A derived type's write_msg may do more than append the text.
    return typeid(*this) == typeid(FileLog);
}

int FileLog::crash_descriptor() const noexcept { return FileLog::takes_runs() ? fd : -1; }

void FileLog::follow_file() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    if (now.tv_sec < next_look || dir_fd < 0) {
        return;
    }
    next_look = now.tv_sec + 1;
    // Without a file (a rotation could not open one) it is tried again.
    if (fd >= 0 && still_named(dir_fd, file_name, fd)) {
        return;
    }
    // Moved away or removed (a fresh file may stand in its place already):
    // the records go under the configured name again. Where that cannot be
    // opened they go on into the file held.
    int fresh = open_active_file();
    if (fresh < 0) {
        return;
    }
    if (fd >= 0) {
        set_crash_fd(-1);
        close(fd);
    }
    fd = fresh;
    publish_crash_fd();
    write_succeeded();  // after a time without a file: the line with its losses
}

void FileLog::write_msg(Message* message) {
    try {
        follow_file();
        rotate_on_time();
        dirty = true;
        write_record(message->text.view());
    } catch (const std::exception& e) {
        report_write_exception(&e);
    } catch (...) {
        report_write_exception(nullptr);
    }
    retire(message);
}

}  // namespace zvk
