#include "Compressor.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "../frontend/Report.h"
#include "../platform/LibraryThread.h"
#include "FileLogShared.h"

namespace zvk::detail {

namespace {

constexpr std::size_t kChunk = 64 * 1024;

bool write_all(int fd, const char* data, std::size_t size, int& err) {
    while (size != 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            err = n < 0 ? errno : EIO;
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

// -1 with `err` set on a failure, else the bytes read (0 at the end).
ssize_t read_some(int fd, char* data, std::size_t size, int& err) {
    for (;;) {
        const ssize_t n = ::read(fd, data, size);
        if (n >= 0 || errno != EINTR) {
            if (n < 0) {
                err = errno;
            }
            return n;
        }
    }
}

struct ZstdFree {
    void operator()(ZSTD_CCtx* context) const { ZSTD_freeCCtx(context); }
};

}  // namespace

Compressor::Compressor(std::string target, std::string dir, int dir_fd, Compression kind)
    : target(std::move(target)), dir(std::move(dir)), dir_fd(dir_fd), type(kind), pid(getpid()) {
    // Detached: the destructor waits for `running` instead, which a forked
    // child's copy, without the thread, must not.
    library_thread([this] { run(); }).detach();
}

Compressor::~Compressor() {
    if (getpid() != pid) {
        return;  // a forked child: the thread, and whoever held the mutex, stayed behind
    }
    std::unique_lock lock(mutex);
    stopping = true;
    cond.notify_all();
    cond.wait(lock, [this] { return !running; });
}

void Compressor::finish(std::chrono::milliseconds bound) {
    if (getpid() != pid) {
        return;  // a forked child: no thread to finish
    }
    std::unique_lock lock(mutex);
    finish_by = std::chrono::steady_clock::now() + bound;
    finishing = true;
    cond.notify_all();
    // The thread looks at the time between blocks of 64 KiB and ends once
    // it is past or nothing waits.
    cond.wait(lock, [this] { return !running; });
}

bool Compressor::add(const std::string& entry) {
    std::lock_guard lock(mutex);
    if (!running) {
        return true;  // after finish: the file waits on disk for the next start
    }
    if (waiting.size() >= kBacklog) {
        return false;
    }
    waiting.push_back(entry);
    cond.notify_all();
    return true;
}

bool Compressor::idle() {
    std::lock_guard lock(mutex);
    return waiting.empty() && !busy;
}

bool Compressor::compressed(std::uint64_t& in, std::uint64_t& out) {
    std::lock_guard lock(mutex);
    in = bytes_in;
    out = bytes_out;
    return in != 0;
}

bool Compressor::stop_asked() {
    std::lock_guard lock(mutex);
    return give_up();
}

bool Compressor::give_up() const {
    return stopping || (finishing && std::chrono::steady_clock::now() >= finish_by);
}

void Compressor::run() noexcept {
    // Below the application's threads: compressing is never urgent.
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), 19);
    std::unique_lock lock(mutex);
    for (;;) {
        cond.wait(lock, [this] { return stopping || finishing || !waiting.empty(); });
        if (give_up() || waiting.empty()) {
            break;
        }
        std::string entry = std::move(waiting.front());
        waiting.pop_front();
        busy = true;
        lock.unlock();
        try {
            compress(entry);
        } catch (...) {
            // No memory for a buffer: the file stays as it is.
        }
        lock.lock();
        busy = false;
        cond.notify_all();
    }
    running = false;
    cond.notify_all();
}

bool Compressor::compress(const std::string& entry) {
    const int in = openat(dir_fd, entry.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (in < 0) {
        return false;  // removed meanwhile (retention, an administrator)
    }
    struct stat original {};
    if (fstat(in, &original) != 0) {
        // Without its mode and size the archive could be neither made nor
        // checked.
        const int err = errno;
        close(in);
        report_failure(entry, err);
        return false;
    }
    const std::string packed = entry + std::string(suffix(type));
    std::string temporary;
    const int out = open_archive(original.st_mode, packed, temporary);
    int err = out < 0 ? errno : 0;
    bool done = out >= 0;
    Streamed streamed;
    if (done) {
        // The original's mode and group, whatever the umask. The group is
        // kept only where the process may set it.
        done = fchmod(out, original.st_mode & 0777) == 0 || (err = errno, false);
        [[maybe_unused]] int rc = fchown(out, static_cast<uid_t>(-1), original.st_gid);
        done = done &&
               (type == Compression::zstd ? zstd(in, out, err, streamed)
                                          : gzip(in, out, err, streamed)) &&
               (fsync(out) == 0 || (err = errno, false)) &&
               archive_complete(out, original, streamed, err);
    }
    close(in);
    {
        std::lock_guard names_lock(names_mutex);
        struct stat now {};
        const bool still_there = fstatat(dir_fd, entry.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                                 now.st_ino == original.st_ino && now.st_dev == original.st_dev;
        if (done && still_there) {
            if (publish_archive(out, temporary, packed)) {
                unlinkat(dir_fd, entry.c_str(), 0);
            } else {
                err = errno;
                done = false;
            }
        } else {
            done = false;
        }
        if (!done && out >= 0 && !temporary.empty()) {
            unlinkat(dir_fd, temporary.c_str(), 0);
        }
    }
    if (out >= 0 && close(out) != 0 && done) {
        // Synced before it was published: a late error of close changes
        // nothing on disk.
        err = 0;
    }
    if (done) {
        // Not under names_mutex: the compressor's two locks are never held together.
        std::lock_guard lock(mutex);
        bytes_in += static_cast<std::uint64_t>(original.st_size);
        bytes_out += streamed.out;
        return true;
    }
    // Without an error the file was given up for a stop, on purpose.
    if (err != 0) {
        report_failure(entry, err);
    }
    return false;
}

int Compressor::open_archive(mode_t mode, const std::string& packed, std::string& temporary) {
    // An unnamed file in the log directory: a run cut short (a crash, a
    // kill, the end of the process) leaves nothing behind, and nothing of
    // anyone else's is ever overwritten or removed.
    const int unnamed =
        openat(dir_fd, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, static_cast<mode_t>(mode & 0777));
    if (unnamed >= 0 || (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)) {
        return unnamed;
    }
    // A file system without unnamed files: a temporary name of our own.
    // O_EXCL: one already there was not made by this compressor (an earlier
    // run cut short, another process, an administrator), and is neither
    // overwritten nor removed; the file then stays as it is.
    temporary = packed + std::string(kTemporary);
    return openat(dir_fd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
                  static_cast<mode_t>(mode & 0777));
}

bool Compressor::publish_archive(int out, const std::string& temporary, const std::string& packed) {
    if (!temporary.empty()) {
        return renameat(dir_fd, temporary.c_str(), dir_fd, packed.c_str()) == 0;
    }
    // linkat never replaces: an archive of that name already there stays,
    // and so does the original. AT_EMPTY_PATH needs a capability most
    // processes lack; /proc names the same file for anyone.
    if (linkat(out, "", dir_fd, packed.c_str(), AT_EMPTY_PATH) == 0) {
        return true;
    }
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", out);
    return linkat(AT_FDCWD, path, dir_fd, packed.c_str(), AT_SYMLINK_FOLLOW) == 0;
}

bool Compressor::archive_complete(int out, const struct stat& original, const Streamed& streamed,
                                  int& err) {
    struct stat archive {};
    if (fstat(out, &archive) != 0) {
        err = errno;
        return false;
    }
    // The whole original went in (a rotated file no longer grows), all
    // that came out is in the archive, with the original's mode.
    if (streamed.in != static_cast<std::uint64_t>(original.st_size) ||
        static_cast<std::uint64_t>(archive.st_size) != streamed.out || streamed.out == 0 ||
        (archive.st_mode & 0777) != (original.st_mode & 0777)) {
        err = EIO;
        return false;
    }
    return true;
}

void Compressor::report_failure(const std::string& entry, int err) {
    report("Could not compress file: " + dir + "/" + entry + " in target: " + target + " - " +
           error_text(err) + "; it stays uncompressed");
}

bool Compressor::gzip(int in, int out, int& err, Streamed& streamed) {
    z_stream stream{};
    // 15 + 16: a gzip header and trailer around the deflate stream.
    if (deflateInit2(&stream, 6, Z_DEFLATED, 15 + 16, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        err = ENOMEM;
        return false;
    }
    std::vector<char> input(kChunk);
    std::vector<char> output(kChunk);
    bool ok = true;
    int flush = Z_NO_FLUSH;
    int result = Z_OK;
    while (ok && flush != Z_FINISH) {
        const ssize_t n = read_some(in, input.data(), input.size(), err);
        if (n < 0 || stop_asked()) {
            ok = false;
            break;
        }
        streamed.in += static_cast<std::uint64_t>(n);
        flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
        stream.next_in = reinterpret_cast<Bytef*>(input.data());
        stream.avail_in = static_cast<uInt>(n);
        do {
            stream.next_out = reinterpret_cast<Bytef*>(output.data());
            stream.avail_out = static_cast<uInt>(output.size());
            result = deflate(&stream, flush);
            // Z_BUF_ERROR only says that this call could make no progress.
            if (result != Z_OK && result != Z_STREAM_END && result != Z_BUF_ERROR) {
                err = EIO;
                ok = false;
                break;
            }
            const std::size_t made = output.size() - stream.avail_out;
            ok = write_all(out, output.data(), made, err);
            streamed.out += made;
        } while (ok && stream.avail_out == 0);
    }
    deflateEnd(&stream);
    // Only a stream that deflate ended has its trailer: anything else is a
    // truncated archive.
    if (ok && result != Z_STREAM_END) {
        err = EIO;
        ok = false;
    }
    return ok;
}

bool Compressor::zstd(int in, int out, int& err, Streamed& streamed) {
    std::unique_ptr<ZSTD_CCtx, ZstdFree> context(ZSTD_createCCtx());
    if (!context) {
        err = ENOMEM;
        return false;
    }
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_compressionLevel, 3);
    ZSTD_CCtx_setParameter(context.get(), ZSTD_c_checksumFlag, 1);
    std::vector<char> input(ZSTD_CStreamInSize());
    std::vector<char> output(ZSTD_CStreamOutSize());
    for (;;) {
        const ssize_t n = read_some(in, input.data(), input.size(), err);
        if (n < 0 || stop_asked()) {
            return false;
        }
        streamed.in += static_cast<std::uint64_t>(n);
        const ZSTD_EndDirective mode = n == 0 ? ZSTD_e_end : ZSTD_e_continue;
        ZSTD_inBuffer from{input.data(), static_cast<std::size_t>(n), 0};
        bool finished = false;
        do {
            ZSTD_outBuffer to{output.data(), output.size(), 0};
            const std::size_t left = ZSTD_compressStream2(context.get(), &to, &from, mode);
            if (ZSTD_isError(left)) {
                err = EIO;
                return false;
            }
            if (!write_all(out, output.data(), to.pos, err)) {
                return false;
            }
            streamed.out += to.pos;
            finished = mode == ZSTD_e_end ? left == 0 : from.pos == from.size;
        } while (!finished);
        if (mode == ZSTD_e_end) {
            return true;
        }
    }
}

}  // namespace zvk::detail
