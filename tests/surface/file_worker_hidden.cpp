// The file target's worker fields, schedule and compression state: the
// worker's own, out of an application's reach.
#include "zvk/FileLog.h"

namespace {

[[maybe_unused]] void reach(zvk::FileLog& file) {
    (void)file.trim_waits;                            // hidden
    (void)file.left_uncompressed;                     // hidden
    (void)file.compressor;                            // hidden
    (void)file.compression;                           // hidden
    (void)file.dir_fd;                                // hidden
    (void)file.rotate_every;                          // hidden
    (void)file.local_time;                            // hidden
    (void)file.file_mode;                             // hidden
    (void)file.file_gid;                              // hidden
    (void)file.sync_ms;                               // hidden
    (void)file.max_age;                               // hidden
    (void)file.max_total_size;                        // hidden
    (void)file.syncs;                                 // hidden
    (void)file.boundary;                              // hidden
    (void)file.dirty;                                 // hidden
    (void)file.file_end;                              // hidden
    (void)file.json_lines;                            // hidden
    (void)zvk::FileLog::next_boundary(0, 60, false);  // hidden
    zvk::FileLog::RotatedOrder order;                 // hidden
    (void)order;
}

}  // namespace
