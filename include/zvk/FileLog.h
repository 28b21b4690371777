// A target that appends records to a log file and rotates it by size. The
// process's file-size limit marks the rotation point: a write past it
// fails with EFBIG (SIGXFSZ is caught by an empty handler), and the file is
// renamed to a stamped name and opened afresh. Only `max_files` files are
// kept, the active one included.
#pragma once

#include <dirent.h>
#include <signal.h>

#include <cstdint>
#include <set>
#include <string>
#include <string_view>

#include "zvk/Target.h"
#include "zvk/VornExport.h"

namespace zvk {

class Message;
class VornConfig;

class ZVK_VORN_API FileLog : public Target {
public:
    // Orders rotated paths by the epoch seconds in their stamp, then by
    // name, so that the oldest file comes first across a change of year.
    struct RotatedOrder {
        bool operator()(const std::string& a, const std::string& b) const;
    };

    static void handler(int, siginfo_t*, void*);

    explicit FileLog(const std::string& name);
    ~FileLog() override;

    void write_msg(Message* message) override;
    // 1 on success, -1 on failure; throws nothing.
    int init(const VornConfig* config) override;

    // MM-DD-YYYY_S: local date and epoch seconds; empty when the clock
    // cannot be read.
    std::string loc_time_us();
    int process_file_retention(DIR* dir);
    // 0, or the error code of the failed unlink (-1 if reporting it failed).
    int delete_file(const std::string& path);
    int rotate_file();

    int fd;
    std::int64_t max_files;
    std::set<std::string, RotatedOrder> rotated_files;  // oldest first
    std::uint64_t rotated_name_len;
    std::string file_path;
    std::string log_dir;
    std::string file_name;
    std::string rotated_prefix;
    std::string base_name;
    std::string file_ext;

private:
    // The trim: removes the oldest rotated files while the active file and
    // the retained ones would exceed `max_files`. 0, or -1 at the first file
    // that could not be removed, which stays in the set.
    int trim_rotated_files();
    // A stamped path that sorts after every retained file and names nothing
    // on disk, so that a rotation never replaces an earlier rotated file.
    std::string next_rotated_path();
    // Writes `text` as one record; on EFBIG rotates and writes it whole
    // into the new file.
    void write_record(std::string_view text);
};

}  // namespace zvk
