#!/usr/bin/env bash
# Installs what is missing, builds with warnings as errors and runs the
# whole test suite. Usage: scripts/test.sh
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh

jobs=$(nproc)
run_suite() {  # build-dir, extra cmake args...
    local dir=$1
    shift
    cmake -S . -B "$dir" -DZVK_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
    ctest --test-dir "$dir" --output-on-failure -j"$jobs"
}

echo "== build and test (gcc, RelWithDebInfo)"
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
