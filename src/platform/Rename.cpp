#include "Rename.h"

#include <fcntl.h>
#include <stdio.h>

#include <cerrno>

namespace zvk::detail {

int rename_no_replace(int from_dir, const char* from, int to_dir, const char* to) noexcept {
#if defined(RENAME_NOREPLACE)
    return renameat2(from_dir, from, to_dir, to, RENAME_NOREPLACE);
#else
    (void)from_dir;
    (void)from;
    (void)to_dir;
    (void)to;
    errno = ENOSYS;
    return -1;
#endif
}

}  // namespace zvk::detail
