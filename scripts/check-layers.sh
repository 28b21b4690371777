#!/usr/bin/env bash
# The library's layers point one way: a file under src/<folder> includes
# headers of its own folder and of the folders below it only (and the
# public zvk/ headers shared by all; those of one layer's classes count as
# that layer's), and only src/platform uses processor- or standard-
# library-specific tricks. Lists every line that breaks either rule and
# fails when there is one.
# Usage: scripts/check-layers.sh [source-root]
set -euo pipefail
root=${1:-"$(dirname "$0")/.."}
cd "$root"

# Highest first.
layers="service targets config frontend platform"

mapfile -t files < <(find src -type f \( -name '*.h' -o -name '*.cpp' \) | LC_ALL=C sort)
awk -v layers="$layers" '
BEGIN {
    n = split(layers, names, " ")
    for (i = 1; i <= n; i++) rank[names[i]] = n - i
    # Public headers of one layer'"'"'s classes; the others (Target, Logger,
    # Message, Vorn, Origin, VornConfig, ...) are shared by all.
    public["zvk/VornService.h"] = "service"
    public["zvk/VornInit.h"] = "service"
    public["zvk/FileLog.h"] = "targets"
    public["zvk/SyslogLog.h"] = "targets"
    public["zvk/JournalLog.h"] = "targets"
    # Inline assembly, intrinsics, the raw system calls and flags of
    # membarrier and renameat2, the TLS model, and a standard library'"'"'s
    # private names.
    tricks = "(^|[^A-Za-z0-9_])(asm|__asm__?)[ \t]*[(a-z]|__rdtsc|_mm_[a-z]|__builtin_ia32|" \
             "cpuid|membarrier\\.h|__NR_membarrier|SYS_membarrier|renameat2|RENAME_[A-Z]|" \
             "tls_model|(^|[^A-Za-z0-9_])_M_[a-z]|__gnu_cxx|std::__|__GLIBCXX__|_LIBCPP_"
    bad = 0
}
function folder(path,    parts) {
    split(path, parts, "/")
    return parts[2]
}
# "src/a/b/../c.h" -> "src/a/c.h"
function normal(path,    parts, out, k, i, m) {
    m = split(path, parts, "/")
    k = 0
    for (i = 1; i <= m; i++) {
        if (parts[i] == "." || parts[i] == "") continue
        if (parts[i] == ".." && k > 0) { k--; continue }
        out[++k] = parts[i]
    }
    path = out[1]
    for (i = 2; i <= k; i++) path = path "/" out[i]
    return path
}
FNR == 1 {
    file = FILENAME
    own = folder(file)
    dir = file
    sub(/\/[^\/]*$/, "", dir)
    if (!(own in rank)) {
        printf "%s: folder src/%s is in no layer (%s)\n", file, own, layers
        bad = 1
    }
}
/^[ \t]*#[ \t]*include[ \t]*"/ {
    header = $0
    sub(/^[^"]*"/, "", header)
    sub(/".*$/, "", header)
    if (header ~ /^zvk\//) {
        if (!(header in public)) next
        other = public[header]
    } else {
        target = normal(dir "/" header)
        if (target !~ /^src\//) next
        other = folder(target)
    }
    if (other in rank && own in rank && rank[other] > rank[own]) {
        printf "%s:%d: src/%s includes a header of the higher %s: %s\n", file, FNR, own, other, $0
        bad = 1
    }
    next
}
own != "platform" {
    code = $0
    if (code ~ /^[ \t]*(\/\/|\/\*|\*)/) next
    sub(/\/\/.*$/, "", code)
    if (code ~ tricks) {
        printf "%s:%d: platform-specific code outside src/platform: %s\n", file, FNR, $0
        bad = 1
    }
}
END { exit bad }
' "${files[@]}"
