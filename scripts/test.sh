#!/usr/bin/env bash
# Installs what is missing, then builds and runs the whole test suite:
# formatting, AddressSanitizer+UBSan, ThreadSanitizer, bounded fuzzing runs
# of the configuration loader and the JSON lines format, the normal build and the API reference
# (Doxygen), all with warnings as errors. Any sanitizer report fails the run.
# Usage: scripts/test.sh          (everything, as CI runs it)
#        ZVK_QUICK=1 scripts/test.sh   (normal build only)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh clang-format tzdata dpkg-dev file lintian rsyslog rsyslog-relp systemd python3 nlohmann-json3-dev \
    doxygen zstd logrotate
# The journald tests start a journald of their own; here they must not skip.
export ZVK_REQUIRE_JOURNALD=1

jobs=$(nproc)
build() {  # build-dir, cmake args...
    local dir=$1
    shift
    cmake -S . -B "$dir" -DZVK_WERROR=ON "$@" >/dev/null
    cmake --build "$dir" -j"$jobs"
}

if [ -z "${ZVK_QUICK:-}" ]; then
    echo "== formatting"
    git ls-files '*.h' '*.cpp' | xargs clang-format --dry-run --Werror
    scripts/check-sizes.sh
    echo "== the lock table against the code"
    scripts/check-locks.py
    echo "== layers"
    scripts/check-layers.sh

    echo "== AddressSanitizer + UndefinedBehaviorSanitizer (clang)"
    build build-asan --preset asan
    ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1 \
    LSAN_OPTIONS=suppressions=$PWD/scripts/lsan.supp \
    UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
        ctest --test-dir build-asan --output-on-failure -j"$jobs"

    echo "== ThreadSanitizer (clang)"
    build build-tsan --preset tsan
    TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 \
        ctest --test-dir build-tsan --output-on-failure -j"$jobs"

    echo "== fuzzing the configuration loader (60 s)"
    build build-fuzz --preset fuzz
    corpus=$(mktemp -d)
    cp fuzz/corpus/* "$corpus/"
    ASAN_OPTIONS=detect_leaks=1 build-fuzz/fuzz/config_fuzz -max_total_time=60 -max_len=65536 \
        -print_final_stats=1 "$corpus" 2>&1 | tail -n 12
    rm -rf "$corpus"

    echo "== fuzzing the JSON lines format (30 s)"
    corpus=$(mktemp -d)
    ASAN_OPTIONS=detect_leaks=1 build-fuzz/fuzz/json_fuzz -max_total_time=30 -max_len=4096 \
        -print_final_stats=1 "$corpus" 2>&1 | tail -n 12
    rm -rf "$corpus"
fi

echo "== build and test (gcc, RelWithDebInfo)"
build build -DCMAKE_BUILD_TYPE=RelWithDebInfo
echo "== API reference (Doxygen, warnings as errors)"
cmake --build build --target docs
# Time stamps once more away from UTC, where GMT and local time differ.
TZ=America/New_York ctest --test-dir build --output-on-failure -R 'Time'
ctest --test-dir build --output-on-failure -j"$jobs"
