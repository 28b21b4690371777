#!/usr/bin/env bash
# Installs what is missing (spdlog included, for the side-by-side run),
# builds the benchmarks in a Release build in build-bench and runs them all:
# the calling thread's costs, end-to-end throughput, memory per queued
# record, and the comparisons with spdlog. A few minutes on two cores.
# Draws docs/performance.svg from this run's own realistic-pattern figures
# (kept in build-bench/realistic.txt; compare_spdlog's in compare.txt), with
# the date and machine in its title.
# Usage: scripts/bench.sh            (everything)
#        scripts/bench.sh quick      (short runs, to check that it works)
# Scratch files go to TMPDIR (default /tmp); put it on the file system
# whose figures you want.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/deps.sh libspdlog-dev gnuplot-nox

mode=${1:-full}
dir=build-bench
cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release -DZVK_BUILD_TESTS=OFF -DZVK_BUILD_EXAMPLES=OFF \
    >/dev/null
cmake --build "$dir" -j"$(nproc)" --target handover_bench throughput_bench memory_bench \
    compare_spdlog realistic_spdlog

gbench_args=(--benchmark_counters_tabular=true)
if [ "$mode" = quick ]; then
    gbench_args+=(--benchmark_min_time=0.01)
fi

machine="$(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ *//'),\
 $(free -g | awk '/^Mem:/ {print $2}') GiB; scratch on $(df -T "${TMPDIR:-/tmp}" |
    awk 'NR == 2 {print $2}')"
echo "== machine"
echo "$machine"

echo "== calling thread: filtered-out check, hand-over, VORN_LOG (ns per call)"
"$dir"/bench/handover_bench "${gbench_args[@]}"

echo "== end to end: records/s until the target is stopped and everything is written"
"$dir"/bench/throughput_bench "${gbench_args[@]}"

echo "== a burst of 1,000,000 records against a stalled worker"
"$dir"/bench/memory_bench "${gbench_args[@]}"

echo "== side by side with spdlog"
if [ "$mode" = quick ]; then
    "$dir"/bench/compare_spdlog quick | tee "$dir"/compare.txt
    "$dir"/bench/realistic_spdlog 100000 | tee "$dir"/realistic.txt
else
    "$dir"/bench/compare_spdlog | tee "$dir"/compare.txt
    "$dir"/bench/realistic_spdlog | tee "$dir"/realistic.txt
fi

scripts/chart.sh "$dir"/realistic.txt docs/performance.svg "$(date -u +%Y-%m-%d), $machine"
echo "== chart: docs/performance.svg"
