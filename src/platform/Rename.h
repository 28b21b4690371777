// Renaming without replacing: renameat2(2) with RENAME_NOREPLACE.
#pragma once

namespace zvk::detail {

// renameat(2) that fails with EEXIST rather than replace `to`; -1 with
// errno EINVAL or ENOSYS where the C library, kernel or file system lacks
// the flag (the caller then checks the name itself).
int rename_no_replace(int from_dir, const char* from, int to_dir, const char* to) noexcept;

}  // namespace zvk::detail
