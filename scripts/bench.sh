#!/usr/bin/env bash
# Installs what is missing (spdlog included, for the side-by-side run),
# builds the benchmarks in a Release build in build-bench and runs them all:
# the calling thread's costs, end-to-end throughput, memory per queued
# record, and the comparison with spdlog. A few minutes on two cores.
# Usage: scripts/bench.sh            (everything)
#        scripts/bench.sh quick      (short runs, to check that it works)
# Scratch files go to TMPDIR (default /tmp); put it on the file system
# whose figures you want.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh libspdlog-dev

mode=${1:-full}
dir=build-bench
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DZVK_BUILD_TESTS=OFF -DZVK_BUILD_EXAMPLES=OFF \
    >/dev/null
cmake --build "$dir" -j"$(nproc)" --target handover_bench throughput_bench memory_bench \
    compare_spdlog

gbench_args=(--benchmark_counters_tabular=true)
if [ "$mode" = quick ]; then
    gbench_args+=(--benchmark_min_time=0.01)
fi

echo "== machine"
echo "$(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//')," \
    "$(free -g | awk '/^Mem:/ {print $2}') GiB; scratch on $(df -T "${TMPDIR:-/tmp}" |
    awk 'NR == 2 {print $2}')"

echo "== calling thread: filtered-out check, hand-over, VORN_LOG (ns per call)"
"$dir"/bench/handover_bench "${gbench_args[@]}"

echo "== end to end: records/s until the target is stopped and everything is written"
"$dir"/bench/throughput_bench "${gbench_args[@]}"

echo "== a burst of 1,000,000 records against a stalled worker"
"$dir"/bench/memory_bench "${gbench_args[@]}"

echo "== side by side with spdlog"
if [ "$mode" = quick ]; then
    "$dir"/bench/compare_spdlog quick
else
    "$dir"/bench/compare_spdlog
fi
