#!/usr/bin/env bash
# Draws the chart of docs/performance.md from compare_spdlog's output: the
# hand-over latency percentiles at one thread, and end-to-end records/s
# with one and four producers, ours beside spdlog's.
# Usage: scripts/chart.sh compare.txt out.svg "run and machine"
set -euo pipefail
in=$1
out=$2
label=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Hand-over, 1 thread: the rows after its heading, until the ratio lines.
awk '/^hand-over, 100-byte records, 1 thread/ {on = 1; next}
     on && /^  (vorn|spd-buf|spd-flush) / {print $1, $2, $3, $4}
     on && /vorn \// {exit}' "$in" >"$work/latency.dat"
# End to end, 100-byte records, 1 and 4 producers.
for threads in 1 4; do
    awk -v t="$threads" '$0 ~ "^end to end, 100-byte records, " t " thread" {on = 1; next}
         on && /^  (raw|vorn|spd-buf|spd-flush) / {print $1, $2}
         on && /vorn \// {exit}' "$in" >"$work/e2e$threads.dat"
done
join "$work/e2e1.dat" "$work/e2e4.dat" >"$work/e2e.dat"

gnuplot <<GNUPLOT
set terminal svg size 960,420 font "sans,12" background "white"
set output "$out"
set multiplot layout 1,2 title "zvk-vorn and spdlog 1.10 (async), 100-byte records to a file\n{/*0.8 $label}"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set key top left
set grid ytics
set title "Hand-over latency, 1 thread (ns, log scale)"
set logscale y
set yrange [10:*]
plot "$work/latency.dat" using 2:xtic(1) title "median", '' using 3 title "p99", '' using 4 title "p99.9"
unset logscale y
set yrange [0:*]
set title "End to end (records/s)"
set format y "%.1s%c"
plot "$work/e2e.dat" using 2:xtic(1) title "1 producer", '' using 3 title "4 producers"
unset multiplot
GNUPLOT
