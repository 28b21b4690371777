#include "zvk/FileLog.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <climits>
#include <cstring>
#include <ctime>
#include <exception>
#include <memory>
#include <stdexcept>
#include <typeinfo>

#include "../frontend/Report.h"
#include "../service/FileSizeSignal.h"
#include "zvk/Message.h"
#include "zvk/String.h"
#include "zvk/VornConfig.h"
#include "zvk/VornService.h"

namespace zvk {

namespace {

// O_NOFOLLOW: whoever may write the log directory could put a link to any
// file there; the open fails with ELOOP instead of appending to that file.
constexpr int kOpenFlags = O_WRONLY | O_CREAT | O_APPEND | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW;
constexpr mode_t kFileMode = 0664;
constexpr mode_t kDirMode = 0760;
constexpr int kDefaultMaxFiles = 5;
// Records handed to one writev: as many as the system takes in one call.
constexpr std::size_t kRunCalls = IOV_MAX;

// strerror_r, because several workers may report errors at once.
std::string error_text(int err) {
    char buf[256];
    return strerror_r(err, buf, sizeof buf);
}

// Digits built without any locale: a grouping global locale must not turn
// the seconds of a stamp into "1,773,576,000".
template <class Int>
std::string decimal(Int value) {
    char buf[24];
    auto result = std::to_chars(buf, buf + sizeof buf, value);
    return std::string(buf, result.ptr);
}

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

// Writes until all of `text` is in the file or a call fails; `err` is 0
// when everything was written, else the failing call's error code.
std::size_t write_all(int fd, std::string_view text, int& err) {
    std::size_t done = 0;
    err = 0;
    while (done < text.size()) {
        ssize_t n = ::write(fd, text.data() + done, text.size() - done);
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
    converted = true;
    int value = 0;
    if (String::str_to_int(text, value)) {
        return value;
    }
    // A number too large for int asks for more files than anyone keeps:
    // keep them all, as a negative number does, rather than fall back to 5
    // and delete.
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) {
        digits.remove_prefix(1);
    }
    if (!digits.empty() &&
        std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return -1;
    }
    converted = false;
    return kDefaultMaxFiles;
}

bool FileLog::file_name_usable(std::string_view file_name) {
    return !file_name.empty() && file_name != "." && file_name != ".." &&
           file_name.find('/') == std::string_view::npos;
}

void FileLog::handler(int, siginfo_t*, void*) {}

FileLog::FileLog(const std::string& name)
    : Target(name, FILE_TARGET), fd(-1), dir_fd(-1), max_files(0), rotated_name_len(0) {}

FileLog::~FileLog() {
    // The worker may be inside write_msg, which uses fd, dir_fd and the names.
    shutdown();
    set_crash_fd(-1);
    if (fd >= 0) {
        close(fd);
    }
    if (dir_fd >= 0) {
        close(dir_fd);
    }
}

int FileLog::init(const VornConfig* config) {
    try {
        // Started again after a stop: the file and directory are looked up
        // afresh, as at the first start.
        set_crash_fd(-1);
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
        if (dir_fd >= 0) {
            close(dir_fd);
            dir_fd = -1;
        }
        rotated_files.clear();
        log_dir = VornService::get_service()->log_dir;
        const VornConfig::target_cf_t* record =
            config != nullptr ? config->get_target(name) : nullptr;
        if (record != nullptr) {
            std::string max_text;
            for (const auto& [key, value] : record->params) {
                if (key == config->key_file_name) {
                    file_name = value;
                } else if (key == config->key_max_number_file) {
                    max_text = value;
                }
            }
            bool converted = false;
            max_files = max_files_from(max_text, converted);
            if (!converted) {
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

            if (open_log_dir() != 0) {
                return -1;
            }
            rotated_name_len = base_name.size() + 1 + loc_time_us().size() + file_ext.size();
            if (scan_log_dir() != 0) {
                return -1;
            }

            fd = openat(dir_fd, file_name.c_str(), kOpenFlags, kFileMode);
            if (fd < 0) {
                // Without this line a logger whose file cannot be opened
                // would vanish with all its records and no word why.
                int err = errno;
                detail::report("Could not open log file: " + file_path + " " + error_text(err));
                return -1;
            }
            publish_crash_fd();
        }
        // Whoever set the limit, reaching it must rotate the file, not end
        // the process.
        detail::guard_file_size_signal();
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
    // EEXIST: another process starting at the same moment made it first.
    if (mkdir(log_dir.c_str(), kDirMode) != 0 && errno != EEXIST) {
        err = errno;
        detail::report("Could not create log dir: " + log_dir + " - " + error_text(err));
        return -1;
    }
    dir_fd = open(log_dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir_fd < 0) {
        detail::report("Could not open " + log_dir);
        return -1;
    }
    return 0;
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
        std::string_view entry = found->d_name;
        if (found->d_type == DT_REG && is_rotated_name(entry)) {
            rotated_files.insert(log_dir + "/" + std::string(entry));
        }
    }
    if (err != 0) {
        detail::report("Read directory error: " + decimal(err) + " - " + error_text(err));
        return -1;
    }
    return trim_rotated_files();
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
    if (unlinkat(at, entry, 0) == 0) {
        return 0;
    }
    int err = errno;
    // Already gone (a log shipper, an administrator or another process
    // using this directory removed it): that is what was wanted.
    if (err == ENOENT) {
        return 0;
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

int FileLog::trim_rotated_files() {
    int result = 0;
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

int FileLog::rotate_file() {
    try {
        std::string new_path = next_rotated_path();
        // The name may hold another file by now: a fresh one that another
        // process using this directory rotated to, or a link. Only the file
        // written here is renamed; otherwise the name is opened afresh.
        struct stat mine {};
        struct stat named {};
        bool replaced = fd >= 0 && fstat(fd, &mine) == 0 &&
                        fstatat(dir_fd, file_name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
                        (mine.st_dev != named.st_dev || mine.st_ino != named.st_ino);
        set_crash_fd(-1);
        if (fd >= 0) {
            close(fd);
        }
        fd = -1;
        int at = AT_FDCWD;
        const char* new_entry = entry_name(new_path, at);
        bool renamed = !replaced && renameat(dir_fd, file_name.c_str(), at, new_entry) == 0;
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
        fd = openat(dir_fd, file_name.c_str(), kOpenFlags, kFileMode);
        if (fd < 0) {
            int err = errno;
            detail::report("Could not re-open log file: " + file_path + " " + error_text(err));
            return -1;
        }
        publish_crash_fd();
        if (!renamed) {
            return 0;
        }
        rotated_files.insert(new_path);
        return trim_rotated_files();
    } catch (const std::exception& e) {
        detail::report(std::string("exception rotating file: ") + e.what());
    } catch (...) {
        detail::report("exception rotating file");
    }
    return -1;
}

void FileLog::publish_crash_fd() {
    file_end = -1;
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
            ssize_t n = fd >= 0 ? ::writev(fd, iov, static_cast<int>(batch)) : -1;
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
                run_progress(next, 1, -1);
                write_record(texts[next]);
                ++next;
            }
        }
    } catch (const std::exception& e) {
        report_write_exception(&e);
    } catch (...) {
        report_write_exception(nullptr);
    }
}

void FileLog::write_record(std::string_view text) {
    int err = 0;
    std::size_t written = write_all(fd, text, err);
    if (err == 0) {
        return;
    }
    if (written > 0) {
        // The limit (or the disk) was reached inside this record.
        off_t start = record_start(fd, written);
        if (err == EFBIG && start == 0) {
            // Even a fresh file cannot hold the whole record.
            detail::report("Record longer than file size limit, truncated in target: " + name);
            return;
        }
        // The file must end with whole records.
        cut_file(fd, start);
    }
    // ENOSPC, EBADF and the like: the record is dropped without a word.
    if (err != EFBIG) {
        return;
    }
    if (rotate_file() != 0) {
        detail::report("Could not rotate file");
        // A trim that failed has still left a fresh file open, which the
        // record fits into; only without an open file is it lost.
        if (fd < 0) {
            return;
        }
    }
    written = write_all(fd, text, err);
    if (err == 0) {
        return;
    }
    if (err == EFBIG && written > 0) {
        detail::report("Record longer than file size limit, truncated in target: " + name);
        return;
    }
    if (written > 0) {
        cut_file(fd, record_start(fd, written));
    }
    detail::report("write file error: " + error_text(err));
}

void FileLog::follow_file() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC_COARSE, &now);
    if (now.tv_sec < next_look || fd < 0 || dir_fd < 0) {
        return;
    }
    next_look = now.tv_sec + 1;
    struct stat mine {};
    struct stat named {};
    if (fstat(fd, &mine) != 0) {
        return;
    }
    if (fstatat(dir_fd, file_name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0) {
        // Still ours; or a link put in its place, which is never followed
        // (the rotation reports it).
        if (S_ISLNK(named.st_mode) ||
            (named.st_dev == mine.st_dev && named.st_ino == mine.st_ino)) {
            return;
        }
    } else if (errno != ENOENT) {
        return;
    }
    // Moved away or removed (a fresh file may stand in its place already):
    // the records go under the configured name again. Where that cannot be
    // opened they go on into the file held.
    int fresh = openat(dir_fd, file_name.c_str(), kOpenFlags, kFileMode);
    if (fresh < 0) {
        return;
    }
    set_crash_fd(-1);
    close(fd);
    fd = fresh;
    publish_crash_fd();
}

void FileLog::write_msg(Message* message) {
    try {
        follow_file();
        write_record(message->text.view());
    } catch (const std::exception& e) {
        report_write_exception(&e);
    } catch (...) {
        report_write_exception(nullptr);
    }
    retire(message);
}

}  // namespace zvk
