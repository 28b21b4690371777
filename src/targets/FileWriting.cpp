// The file target's writes: a run of records in as few calls as the
// system takes, a record on its own, and what happens when the file size
// limit or the disk stops one part-way.
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <exception>

#include "../frontend/Report.h"
#include "FileLogShared.h"
#include "JsonLine.h"
#include "zvk/FileLog.h"

namespace zvk {

namespace {

using detail::decimal;
using detail::error_text;

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

}  // namespace

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

}  // namespace zvk
