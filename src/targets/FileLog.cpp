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
// Records handed to one writev: as many as the system takes in one call.
constexpr std::size_t kRunCalls = IOV_MAX;

// Writes until all of `text` is in the file or a call fails; `err` is 0
// when everything was written, else the failing call's error code.
std::size_t write_all(int fd, std::string_view text, int& err) {
    std::size_t done = 0;
    err = 0;
    const std::uint64_t limit = detail::counted_file_limit.load(std::memory_order_relaxed);
    while (done < text.size()) {
        ssize_t n = detail::write_below(fd, text.data() + done, text.size() - done, limit);
        if (n < 0) {
            err = errno;
            break;
        }
        if (n == 0) {
            err = EIO;
            break;
        }
        done += static_cast<std::size_t>(n);
    }
    return done;
}

// writev(2) under the counted limit (0: none), cut where write_below would
// cut: the records after the limit are left out, the one at it in part.
ssize_t writev_below(int fd, iovec* iov, std::size_t count, std::size_t total) {
    const std::uint64_t limit = detail::counted_file_limit.load(std::memory_order_relaxed);
    const ssize_t room = detail::room_below(fd, limit, total);
    if (room < 0) {
        return -1;
    }
    std::size_t left = static_cast<std::size_t>(room);
    std::size_t used = 0;
    while (used < count && left > 0) {
        iov[used].iov_len = std::min(iov[used].iov_len, left);
        left -= iov[used].iov_len;
        ++used;
    }
    return ::writev(fd, iov, static_cast<int>(used));
}

std::string truncated_words(const std::string& target, std::uint64_t count, bool first) {
    std::string line = "Record longer than file size limit, truncated in target: " + target;
    return first ? line : line + " - " + decimal(count) + " more records truncated";
}

// Offset at which the last `written` bytes of the file begin. The worker is
// the only writer of this descriptor, so the end of the file is where its
// last O_APPEND write ended.
off_t record_start(int fd, std::size_t written) {
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        return -1;
    }
    return st.st_size - static_cast<off_t>(written);
}

// Cuts the file back to `start`, dropping a torn record. If the cut fails
// the partial record stays: there is no better place for it.
void cut_file(int fd, off_t start) {
    if (start >= 0) {
        [[maybe_unused]] int rc = ftruncate(fd, start);
    }
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
            file_path = log_dir + "/" + file_name;
            // Without a ".", a rotated file is "<file_name>_<stamp>" and the
            // whole name serves as base_name.
            auto dot = file_name.rfind('.');
            base_name = file_name.substr(0, dot);
            if (dot != std::string::npos) {
                file_ext = file_name.substr(dot);
            }
            rotated_prefix = log_dir + "/" + base_name + "_";
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

void FileLog::write_texts(const std::string_view* texts, std::size_t count) noexcept {
    try {
        follow_file();
        rotate_on_time();
        dirty = true;
        iovec iov[kRunCalls];
        std::size_t next = 0;
        while (next < count) {
            const std::size_t batch = std::min(count - next, kRunCalls);
            std::size_t total = 0;
            for (std::size_t i = 0; i < batch; ++i) {
                iov[i].iov_base = const_cast<char*>(texts[next + i].data());
                iov[i].iov_len = texts[next + i].size();
                total += iov[i].iov_len;
            }
            if (file_end < 0 && fd >= 0) {
                struct stat st {};
                file_end = fstat(fd, &st) == 0 ? st.st_size : -1;
            }
            run_progress(next, batch, file_end);
            ssize_t n = fd >= 0 ? writev_below(fd, iov, batch, total) : -1;
            std::size_t left = n > 0 ? static_cast<std::size_t>(n) : 0;
            if (left == total) {
                if (file_end >= 0) {
                    file_end += static_cast<std::int64_t>(total);
                }
                next += batch;
                continue;
            }
            // The limit or the disk was reached inside the batch: whole
            // records before the one the write ended in stay.
            file_end = -1;
            while (next < count && left >= texts[next].size()) {
                left -= texts[next].size();
                ++next;
            }
            if (left > 0) {
                // The file must end with whole records.
                cut_file(fd, record_start(fd, left));
            }
            if (next < count) {
                // Rotates, or reports, as for a record on its own.
                const int err = write_record(texts[next], next);
                ++next;
                if (err != 0) {
                    // A full disk or a failing device takes none of the
                    // rest either: counted at once, not tried one by one.
                    lose_rest(count - next, err);
                    return;
                }
            }
        }
        write_succeeded();
    } catch (const std::exception& e) {
        report_write_exception(&e);
    } catch (...) {
        report_write_exception(nullptr);
    }
}

void FileLog::lose_rest(std::size_t lost, int err) {
    const std::string reason = fd < 0 ? std::string("no log file open") : error_text(err);
    for (std::size_t i = 0; i < lost; ++i) {
        console_write_failed(reason);
    }
}

int FileLog::write_record(std::string_view text, std::size_t run_index) {
    // In a run, a fatal-signal handler on this thread learns before each
    // write which file length tells whether the record went out.
    auto in_flight = [&] {
        if (run_index != kNotInRun) {
            struct stat st {};
            run_progress(run_index, 1, fstat(fd, &st) == 0 ? st.st_size : -1);
        }
    };
    if (fd < 0) {
        // No file since a rotation could not open a fresh one: counted as
        // every write failure is, while follow_file tries again each second.
        console_write_failed("no log file open");
        return EBADF;
    }
    int err = 0;
    in_flight();
    std::size_t written = write_all(fd, text, err);
    if (err == 0) {
        write_succeeded();
        return 0;
    }
    if (written > 0) {
        // The limit (or the disk) was reached inside this record.
        off_t start = record_start(fd, written);
        if (err == EFBIG && start == 0) {
            // Even a fresh file cannot hold the whole record.
            return write_too_long(text, written, in_flight);
        }
        // The file must end with whole records.
        cut_file(fd, start);
    }
    if (err != EFBIG) {
        // ENOSPC, EIO and the like: lost, and counted as the console's.
        console_write_failed(error_text(err));
        return err;
    }
    if (rotate_file() != 0) {
        detail::report("Could not rotate file");
        // A trim that failed has still left a fresh file open, which the
        // record fits into; only without an open file is it lost.
        if (fd < 0) {
            return EBADF;
        }
    }
    in_flight();
    written = write_all(fd, text, err);
    if (err == 0) {
        write_succeeded();
        return 0;
    }
    if (err == EFBIG && written > 0) {
        return write_too_long(text, written, in_flight);
    }
    if (written > 0) {
        cut_file(fd, record_start(fd, written));
    }
    detail::report("write file error: " + error_text(err));
    return err;
}

template <class InFlight>
int FileLog::write_too_long(std::string_view text, std::size_t fitted, InFlight in_flight) {
    if (!json_lines) {
        // Cut where the limit fell: the file holds the record's beginning.
        detail::report_repeated(name, truncated_words);
        return 0;
    }
    // A JSON line cut anywhere would not parse: it goes again, whole, with
    // its message shortened to what the file holds.
    cut_file(fd, 0);
    std::string shortened;
    if (!detail::shorten_json_line(text, fitted, shortened)) {
        console_write_failed("record longer than the file size limit");
        return 0;
    }
    int err = 0;
    in_flight();
    const std::size_t written = write_all(fd, shortened, err);
    if (err != 0) {
        cut_file(fd, record_start(fd, written));
        console_write_failed(error_text(err));
        return 0;
    }
    detail::report("Record longer than file size limit, message shortened in target: " + name);
    return 0;
}

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
