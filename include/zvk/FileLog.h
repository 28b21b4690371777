#pragma once

#include <dirent.h>
#include <signal.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <set>
#include <span>
#include <string>
#include <string_view>

#include "zvk/Target.h"
#include "zvk/VornExport.h"

namespace zvk {

class Message;
class VornConfig;

namespace detail {
class Compressor;
struct TargetAccess;
}  // namespace detail

/// A target that appends records to a log file and rotates it by size. The
/// process's file-size limit marks the rotation point: a write past it
/// fails with EFBIG (SIGXFSZ is caught by an empty handler), and the file is
/// renamed to a stamped name and opened afresh. Where the configuration
/// leaves the process's limit alone, the target counts what it writes and
/// rotates at the same point. Only `max_files` files are
/// kept, the active one included. Every file operation after start-up is
/// made relative to the log directory held open since `init`, so a later
/// change of the working directory changes nothing.
/// Optionally (each off unless configured): rotation at boundaries of the
/// clock by the worker's own timer, compression of rotated files on a
/// thread of the target's own, the mode and group of new files, syncing at
/// rotation or at an interval, and retention by age and total size.
class ZVK_VORN_API FileLog : public Target {
public:
    /// The "max_number_file" setting as a target applies it: the number; -1
    /// (every file kept) for an integer beyond int; the default 5 for any
    /// other text, with `converted` false.
    static std::int64_t max_files_from(std::string_view text, bool& converted);
    /// Whether `file_name` names an entry of the log directory itself: not
    /// empty, "." or "..", and without "/". A target refuses any other.
    static bool file_name_usable(std::string_view file_name);
    /// The empty SIGXFSZ handler (`sa_sigaction`): a write past the
    /// file-size limit then fails with EFBIG instead of ending the process.
    static void handler(int, siginfo_t*, void*);

    /// A stopped file target for the record `name`; init reads the rest.
    explicit FileLog(const std::string& name);
    /// Writes what was accepted, then closes the file and the directory.
    ~FileLog() override;

    /// Appends the record's text, rotating first when a boundary of the
    /// clock has passed; a record the file-size limit stops goes whole into
    /// the file opened afresh.
    void write_msg(Message* message) override;
    /// Opens the log directory and the active file, and lists and trims the
    /// rotated files. 1 on success, -1 on failure; throws nothing.
    int init(const VornConfig* config) override;

    /// MM-DD-YYYY_S: local date and epoch seconds; empty when the clock
    /// cannot be read.
    std::string loc_time_us();
    /// Takes this target's rotated files listed in `dir` (the log
    /// directory) into `rotated_files` (compressed forms only when it
    /// compresses), trims to the limits and hands files not yet compressed
    /// to the compressor. 0, or -1 after reporting a failure.
    int process_file_retention(DIR* dir);
    /// 0, also for a file that is already gone; else the error code of the
    /// failed unlink (-1 if reporting it failed).
    int delete_file(const std::string& path);
    /// Renames the active file to the next stamped name, opens a fresh one,
    /// hands the rotated one to the compressor and trims the rotated files.
    /// 0, or -1 after reporting a failure.
    int rotate_file();

private:
    // Orders rotated paths by the epoch seconds in their stamp, then by
    // name, so that the oldest file comes first across a change of year.
    struct RotatedOrder {
        // Whether `a` sorts before `b`; a path without a stamp sorts first.
        bool operator()(const std::string& a, const std::string& b) const;
    };

public:
    /// \name The file and its names
    /// init sets these and the worker then changes them (rotation,
    /// retention) without a lock: read them only while no worker runs,
    /// before start or after stop.
    ///@{
    int fd;  ///< The active file; -1 while none is open.
    /// How many files are kept, the active one included; negative: all.
    std::int64_t max_files;
    std::set<std::string, RotatedOrder> rotated_files;  ///< The rotated files kept, oldest first.
    /// The length of a rotated file's name: base_name, "_", stamp, file_ext.
    std::uint64_t rotated_name_len;
    std::string file_path;       ///< `log_dir/file_name`: the active file.
    std::string log_dir;         ///< The service's log directory at init.
    std::string file_name;       ///< The active file's name in the log directory.
    std::string rotated_prefix;  ///< `log_dir/base_name_`: how rotated paths begin.
    std::string base_name;       ///< file_name without file_ext.
    std::string file_ext;        ///< file_name from its last ".", empty without one.
    ///@}

private:
    friend struct detail::TargetAccess;

    // The first boundary after `now` (epoch seconds) of periods of `every`
    // seconds on the clock of the local time zone or of UTC: a period of a
    // day ends at midnight (so a day has 23 or 25 hours where the clock
    // changes), shorter ones where the clock shows a multiple of them.
    static std::int64_t next_boundary(std::int64_t now, std::int64_t every, bool local_time);

    // Read by init: 0 or -1 where not configured.
    std::int64_t rotate_every = 0;     // seconds between rotations by the clock
    bool local_time = false;           // boundaries on the local clock
    int file_mode = -1;                // exact mode of new files
    long file_gid = -1;                // group of new files
    std::int64_t sync_ms = -1;         // 0: at rotation; > 0: at most once per interval
    std::int64_t max_age = 0;          // seconds a rotated file is kept
    std::uint64_t max_total_size = 0;  // bytes of the active and rotated files together
    // How often the file was synced (fdatasync) because of `<sync>`; read
    // by other threads.
    std::atomic<std::uint64_t> syncs{0};
    int dir_fd = -1;  // the log directory, held open from init on; -1 while none

    // Opens (creating it one level deep if missing) and holds `log_dir`.
    // 0, or -1 after reporting why.
    int open_log_dir();
    // Whether the whole of a directory entry's name is this target's
    // rotated form: base_name, "_", a stamp with a valid date, file_ext.
    // Nothing else in the directory is ever renamed or removed.
    bool is_rotated_name(std::string_view entry) const;
    // Lists the held directory into `rotated_files` and trims; -1 on failure.
    int scan_log_dir();
    // The name under which `path` is reached with *at calls: relative to
    // `at`, which is `dir_fd` for a path inside the log directory.
    const char* entry_name(const std::string& path, int& at) const;
    // The trim: removes the oldest rotated files while the active file and
    // the retained ones would exceed `max_files`. 0, or -1 when a file could
    // not be removed; that file leaves the set all the same.
    int trim_rotated_files();
    // A stamped path that sorts after every retained file and names nothing
    // on disk, so that a rotation never replaces an earlier rotated file.
    std::string next_rotated_path();
    // Offers the open file to the fatal-signal handler, with the name to
    // rotate it to should the handler reach the size limit.
    void publish_crash_fd();
    void plan_crash_rotation() noexcept;
    // This type's write_msg appends the text and nothing else: runs, and
    // the open file for the fatal-signal handler.
    bool takes_runs() const noexcept override;
    int crash_descriptor() const noexcept override;
    bool ticks() const noexcept override;
    // Rotates at a boundary, syncs at the interval, ages files out; then
    // the milliseconds until the next of these is due.
    std::int64_t tick() noexcept override;
    // Lets the compressor finish within kCompressionAtExit, or give up
    // cleanly: the process's end would leave a temporary behind.
    void exiting() noexcept override;
    // Reads the optional elements; -1 after reporting one that is refused.
    int read_options(const VornConfig* config);
    // Opens the active file as configured; -1 with errno.
    int open_active_file();
    // Rotates when the clock passed the boundary and the file holds
    // anything; then the next boundary.
    void rotate_on_time();
    // After records were written: syncs when the interval has passed.
    void sync_written() noexcept;
    // The size of a rotated file in whichever of its own forms it is, 0
    // when it is gone; `waiting`: in the plain form while the target
    // compresses.
    std::uint64_t rotated_size(const std::string& path, bool& waiting) const;
    // Its size for the trim by total size: a file waiting for compression
    // (`waiting`) at the size the files compressed so far (`in` bytes
    // became `out`) suggest; as it is while `in` is 0.
    std::uint64_t counted_size(const std::string& path, bool& waiting, std::uint64_t in,
                               std::uint64_t out) const;
    // The trim by size waits for the first compressed file to tell what
    // the waiting ones will be.
    bool trim_waits = false;
    // Writes `text` as one record; on EFBIG rotates and writes it whole
    // into the new file. `run_index`: its place in the run being written.
    // 0 when the record is in the file (cut at the size limit where it is
    // longer), else the error that lost it (reported or counted).
    static constexpr std::size_t kNotInRun = ~std::size_t{0};
    int write_record(std::string_view text, std::size_t run_index = kNotInRun);
    // Counts `lost` records of a run that `err` kept from the file.
    void lose_rest(std::size_t lost, int err);
    // A record of which a fresh file took only `fitted` bytes: left cut
    // there, or as a JSON line written again with its message shortened;
    // 0 (what it loses is reported or counted).
    template <class InFlight>
    int write_too_long(std::string_view text, std::size_t fitted, InFlight in_flight);
    bool json_lines = false;  // <format>json</format>: a line is never cut
    // A run of records in one writev per IOV_MAX records. What a short
    // write leaves (the file-size limit or the disk reached inside the run)
    // is cut back to the last whole record, and the next record goes the
    // way of write_record, which rotates or reports as for a single one;
    // when that loses it, the rest of the run is counted as lost.
    void write_texts(const std::string_view* texts, std::size_t count) noexcept override;

    // The length of the open file as this target's writes have left it,
    // for the crash handler to tell whether a write in flight took place;
    // -1 until known again (a new file, a write cut short).
    std::int64_t file_end = -1;
    // At most once a second (from `next_look` on, monotonic seconds): when
    // the active file was moved away or removed by someone else, a fresh
    // one is opened under the configured name.
    void follow_file();
    std::int64_t next_look = 0;

    std::int64_t boundary = 0;  // the next rotation time (epoch seconds); 0: none
    bool dirty = false;         // written since the last sync
    std::int64_t last_sync_ms = 0;
    std::int64_t next_age_check = 0;
    bool group_reported = false;
    // Compresses what rotates; null without <compress>. Owns its thread.
    int compression = 0;  // as configured: 0 none, 1 gzip, 2 zstd
    std::unique_ptr<detail::Compressor> compressor;
    // Hands a file just rotated to the compressor, or says why not.
    void compress_later(const std::string& path);
    // Rotated files the compressor had no room for wait for it to be idle.
    bool left_uncompressed = false;
    void catch_up_compression();
    // The suffixes of the forms a rotated file of this target may have on
    // disk: only the plain one, unless it compresses.
    std::span<const std::string_view> own_forms() const noexcept;
    // Whether a directory entry is one of this target's rotated files, in
    // one of its own forms; `path` is then its plain form.
    bool is_own_rotated(std::string_view entry, std::string& path) const;
};

}  // namespace zvk
