// The process's file-size limit and SIGXFSZ, as the library changes them.
#pragma once

namespace zvk::detail {

// Unless the application chose a disposition for SIGXFSZ, catches it with
// an empty handler, so that a write past the file-size limit fails with
// EFBIG instead of ending the process: for a console target on a
// redirected standard error and for the application's own files too. Kept
// until the service stops.
void guard_file_size_signal();
// Puts back the soft limit the process had before the service lowered it,
// and SIGXFSZ's default disposition when the handler is still ours.
void restore_file_size_settings();

}  // namespace zvk::detail
