#include "Compressor.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <zlib.h>
#include <zstd.h>

#include <cerrno>
#include <memory>
#include <vector>

#include "../frontend/Report.h"
#include "../service/LibraryThread.h"
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

std::string_view Compressor::suffix(Compression kind) noexcept {
    return kind == Compression::zstd ? ".zst" : ".gz";
}

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
    fstat(in, &original);
    const std::string packed = entry + std::string(suffix(type));
    std::uint64_t packed_size = 0;
    const std::string temporary = packed + std::string(kTemporary);
    // O_EXCL: a temporary already there was not made by this compressor
    // (an earlier run cut short, another process, an administrator), and
    // is neither overwritten nor removed; the file then stays as it is.
    const int out =
        openat(dir_fd, temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW,
               static_cast<mode_t>(original.st_mode & 0777));
    int err = out < 0 ? errno : 0;
    bool done = out >= 0;
    if (done) {
        // The original's mode and group, whatever the umask.
        [[maybe_unused]] int rc = fchmod(out, original.st_mode & 0777);
        rc = fchown(out, static_cast<uid_t>(-1), original.st_gid);
        done = (type == Compression::zstd ? zstd(in, out, err) : gzip(in, out, err)) &&
               (fsync(out) == 0 || (err = errno, false));
        struct stat written {};
        if (done && fstat(out, &written) == 0) {
            packed_size = static_cast<std::uint64_t>(written.st_size);
        }
        if (close(out) != 0 && done) {
            err = errno;
            done = false;
        }
    }
    close(in);
    {
        std::lock_guard names_lock(names_mutex);
        struct stat now {};
        const bool still_there = fstatat(dir_fd, entry.c_str(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                                 now.st_ino == original.st_ino && now.st_dev == original.st_dev;
        if (done && still_there &&
            renameat(dir_fd, temporary.c_str(), dir_fd, packed.c_str()) == 0) {
            unlinkat(dir_fd, entry.c_str(), 0);
        } else {
            done = false;
            if (out >= 0) {
                unlinkat(dir_fd, temporary.c_str(), 0);
            }
        }
    }
    if (done) {
        // Not under names_mutex: the compressor's two locks are never held together.
        std::lock_guard lock(mutex);
        bytes_in += static_cast<std::uint64_t>(original.st_size);
        bytes_out += packed_size;
        return true;
    }
    if (err != 0 && !stop_asked()) {
        report("Could not compress file: " + dir + "/" + entry + " in target: " + target + " - " +
               error_text(err) + "; it stays uncompressed");
    }
    return false;
}

bool Compressor::gzip(int in, int out, int& err) {
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
    while (ok && flush != Z_FINISH) {
        const ssize_t n = read_some(in, input.data(), input.size(), err);
        if (n < 0 || stop_asked()) {
            ok = false;
            break;
        }
        flush = n == 0 ? Z_FINISH : Z_NO_FLUSH;
        stream.next_in = reinterpret_cast<Bytef*>(input.data());
        stream.avail_in = static_cast<uInt>(n);
        do {
            stream.next_out = reinterpret_cast<Bytef*>(output.data());
            stream.avail_out = static_cast<uInt>(output.size());
            deflate(&stream, flush);
            ok = write_all(out, output.data(), output.size() - stream.avail_out, err);
        } while (ok && stream.avail_out == 0);
    }
    deflateEnd(&stream);
    return ok;
}

bool Compressor::zstd(int in, int out, int& err) {
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
            finished = mode == ZSTD_e_end ? left == 0 : from.pos == from.size;
        } while (!finished);
        if (mode == ZSTD_e_end) {
            return true;
        }
    }
}

}  // namespace zvk::detail
