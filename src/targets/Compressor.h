// Compresses a file target's rotated files on a thread of its own, at low
// priority, so that neither the producers nor the worker ever wait for it.
// Each file goes to "NAME.gz" or "NAME.zst" through an unnamed file in the
// log directory (O_TMPFILE) that is synced, checked and linked into place before the original is
// removed: a crash, a kill, the process's end, a full disk or a failing compression in between
// leaves the original whole and no temporary behind. Where the file system has no unnamed files, a
// temporary "NAME.gz.tmp" made with O_EXCL takes its place; one left by a run cut short stays, and
// so does its original.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>

#include "../config/Settings.h"

namespace zvk::detail {

class Compressor {
public:
    // At most this many files wait; a rotation beyond leaves its file
    // uncompressed, and says so.
    static constexpr std::size_t kBacklog = 16;

    // The forms of a rotated file: plain, then each compression's suffix,
    // in the order of Compression.
    static constexpr std::string_view kForms[] = {"", ".gz", ".zst"};
    // ".gz" or ".zst".
    static std::string_view suffix(Compression kind) noexcept {
        return kForms[kind == Compression::zstd ? 2 : 1];
    }
    // The temporary's suffix, after the compressed one.
    static constexpr std::string_view kTemporary = ".tmp";

    // `dir_fd` is the target's log directory, held by the target for
    // longer than this lives; `dir` its name, for reports. Starts the
    // thread; throws what starting it throws.
    Compressor(std::string target, std::string dir, int dir_fd, Compression kind);
    // The file in progress is given up (its temporary removed, the
    // original kept); what waits stays uncompressed until a next start.
    ~Compressor();
    // For the stop at process exit, which would cut the thread off in the
    // middle of a file: goes on with the file in progress and those
    // waiting until `bound` has passed, then gives up what is left as the
    // destructor does, and returns once the thread has ended. Files
    // rotated later wait uncompressed for the next start.
    void finish(std::chrono::milliseconds bound);
    Compressor(const Compressor&) = delete;
    Compressor& operator=(const Compressor&) = delete;

    // Queues the rotated file `entry` (a name in the directory); false when
    // the backlog is full.
    bool add(const std::string& entry);
    // Whether nothing waits or is in progress.
    bool idle();
    // The bytes of the files compressed so far (`in`) and of what they
    // became (`out`); false while none is.
    bool compressed(std::uint64_t& in, std::uint64_t& out);
    // Held by whoever removes a rotated file in any form, so that a
    // compression that finishes never brings back a file the retention
    // removed.
    std::mutex& names() noexcept { return names_mutex; }
    Compression kind() const noexcept { return type; }

private:
    // Bytes read from the original and written to the archive.
    struct Streamed {
        std::uint64_t in = 0;
        std::uint64_t out = 0;
    };

    void run() noexcept;
    // One file; false when it stays as it was. The original goes only once
    // its archive is complete, synced and checked; any failure leaves it
    // and says so.
    bool compress(const std::string& entry);
    // Streams `in` into `out`; false with `err` set on a failure (the
    // compressor's own: EIO), or when stopping.
    bool gzip(int in, int out, int& err, Streamed& streamed);
    bool zstd(int in, int out, int& err, Streamed& streamed);
    // Whether the synced archive `out` holds all that was streamed, of the
    // whole `original`, with its mode; else false with `err` set.
    static bool archive_complete(int out, const struct stat& original, const Streamed& streamed,
                                 int& err);
    // The archive being written, unnamed where the file system allows
    // (`temporary` left empty), else under `packed` + kTemporary.
    int open_archive(mode_t mode, const std::string& packed, std::string& temporary);
    // Gives the synced archive `out` its name `packed`, never replacing a
    // file of that name; false with errno set.
    bool publish_archive(int out, const std::string& temporary, const std::string& packed);
    // "Could not compress file: ...; it stays uncompressed".
    void report_failure(const std::string& entry, int err);
    bool stop_asked();
    // Whether the thread gives up the file in progress; `mutex` held.
    bool give_up() const;

    const std::string target;
    const std::string dir;
    const int dir_fd;
    const Compression type;
    const pid_t pid;  // a forked child's copy has no thread to wait for

    std::mutex mutex;
    std::condition_variable cond;  // work came, or stop; and work done
    std::deque<std::string> waiting;
    bool busy = false;
    bool stopping = false;
    bool finishing = false;  // at exit: until finish_by, then as stopping
    std::chrono::steady_clock::time_point finish_by;
    bool running = true;
    std::uint64_t bytes_in = 0;
    std::uint64_t bytes_out = 0;
    std::mutex names_mutex;
};

}  // namespace zvk::detail
