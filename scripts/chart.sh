#!/usr/bin/env bash
# Draws the chart of docs/performance.md from realistic_spdlog's output: the
# call's median and p99.9 per producer count, ours beside spdlog's buffered
# and flushing loggers, and end-to-end records/s with 1, 2 and 4 producers
# against the raw loop and the one-thread ceiling.
# Usage: scripts/chart.sh realistic.txt out.svg "run and machine"
set -euo pipefail
in=$1
out=$2
label=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# One row per producer count, in the order of the run; the table's columns
# are records/s, compose ns, call ns, call p99.9, peak MB.
awk -v latency="$work/latency.dat" -v e2e="$work/e2e.dat" -v meta="$work/records" '
    /^realistic pattern:/ {
        n = $0
        sub(/ producer\(s\).*/, "", n)
        sub(/.* /, "", n)
        p = n
        order[++count] = p
        records = $0
        sub(/ records,.*/, "", records)
        sub(/.* /, "", records)
        next
    }
    p != "" && /^  [a-z0-9-]+ +[0-9]/ {
        rate[p, $1] = $2
        p50[p, $1] = $4
        p999[p, $1] = $5
    }
    END {
        split("vorn spd-buf spd-flush", timed)
        split("raw vorn spd-buf spd-flush ceiling", ends)
        for (i = 1; i <= count; ++i) {
            p = order[i]
            line = p
            for (j = 1; j <= 3; ++j) {
                if (!((p, timed[j]) in p50)) {
                    print "no " timed[j] " row for " p " producer(s)" >"/dev/stderr"
                    exit 1
                }
                line = line " " p50[p, timed[j]] " " p999[p, timed[j]]
            }
            print line >latency
            line = p
            for (j = 1; j <= 5; ++j) {
                if (!((p, ends[j]) in rate)) {
                    print "no " ends[j] " row for " p " producer(s)" >"/dev/stderr"
                    exit 1
                }
                line = line " " rate[p, ends[j]]
            }
            print line >e2e
        }
        if (count == 0) {
            print "no realistic pattern tables" >"/dev/stderr"
            exit 1
        }
        print records >meta
    }' "$in"
records=$(cat "$work/records")
rows=$(wc -l <"$work/e2e.dat")

# One colour per logger in both panels; its p99.9 in a lighter shade.
gnuplot <<GNUPLOT
set terminal svg size 1120,520 font "sans,12" background "white"
set output "$out"
set multiplot layout 1,2 title "zvk-vorn and spdlog 1.10 (async), records of about 100 bytes composed in a fresh stream, to a file\n{/*0.8 $label; $records records per run, medians of 5 runs}"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set key below font ",10" maxrows 2
set grid ytics
set xlabel "producers"
set xrange [-0.6:$rows - 0.4]
set title "Logging call (ns, log scale)"
set logscale y
set yrange [5:*]
set format y "%.0s%c"
plot "$work/latency.dat" using 2:xtic(1) title "vorn median" lc rgb "#1f5fa8", \
     '' using 3 title "vorn p99.9" lc rgb "#8fb5e0", \
     '' using 4 title "spd-buf median" lc rgb "#d9822b", \
     '' using 5 title "spd-buf p99.9" lc rgb "#f2c48f", \
     '' using 6 title "spd-flush median" lc rgb "#b8332e", \
     '' using 7 title "spd-flush p99.9" lc rgb "#e89a97"
unset logscale y
set yrange [0:*]
set title "End to end (records/s; the ceiling on one thread)"
set format y "%.1s%c"
plot "$work/e2e.dat" using 2:xtic(1) title "raw" lc rgb "#8c8c8c", \
     '' using 3 title "vorn" lc rgb "#1f5fa8", \
     '' using 4 title "spd-buf" lc rgb "#d9822b", \
     '' using 5 title "spd-flush" lc rgb "#b8332e", \
     '' using 6 title "ceiling" lc rgb "#3a8c3a"
unset multiplot
GNUPLOT
