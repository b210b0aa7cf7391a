#!/usr/bin/env bash
# kq5sim --trace on a week of trace (not a test): generates 756,000 status lines in kq5trace's
# layout (one every 800 ms; the door opened for a minute every hour; the Spooler away for 30 s
# and a port read with a DevicePath line once a day), then measures reading, summarising and
# drawing it: wall time and peak memory (GNU time), and the picture's size.
#   bench/trace_bench.sh [KQ5SIM]   (default build/bench/kq5sim, a Release build)
set -euo pipefail
cd "$(dirname "$0")/.."
sim=${1:-build/bench/kq5sim}
work=build/trace-bench
mkdir -p "$work"
bash bench/week_trace.sh >"$work/week.txt"
echo "trace: $(wc -l <"$work/week.txt") lines, $(($(stat -c %s "$work/week.txt") / 1048576)) MiB"
/usr/bin/time -f "wall %e s, peak RSS %M KiB" "$sim" --trace "$work/week.txt" --svg "$work/week.svg" \
    >"$work/week.out" 2>"$work/time.txt" || { cat "$work/time.txt"; exit 1; }
echo "kq5sim --trace: $(tail -n1 "$work/time.txt"); picture $(($(stat -c %s "$work/week.svg") / 1024)) KiB; report $(wc -l <"$work/week.out") lines"
xmllint --noout "$work/week.svg"
