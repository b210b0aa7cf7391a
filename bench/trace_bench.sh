#!/usr/bin/env bash
# The trace reader on a week of trace (not a test): 756,000 status lines in kq5trace's layout
# (bench/week_trace.sh), read, summarised and drawn by kq5sim --trace, then by the shipped
# kq5trace.exe --read with its HTML report under Wine: wall time and peak memory (GNU time), and
# the picture's and the report's sizes. The Wine prefix is made first and not measured.
#   bench/trace_bench.sh [KQ5SIM [KQ5TRACE-EXE]]
#   (defaults build/bench/kq5sim, a Release build, and build/win/kq5trace.exe; a missing program
#   is skipped; the week is written by kq5weektrace from KQ5SIM's build folder, built there when
#   missing)
set -euo pipefail
cd "$(dirname "$0")/.."
sim=${1:-build/bench/kq5sim}
exe=${2:-build/win/kq5trace.exe}
work=$PWD/build/trace-bench
mkdir -p "$work"
bash bench/week_trace.sh "$(dirname "$sim")" >"$work/week.txt"
echo "trace: $(wc -l <"$work/week.txt") lines, $(($(stat -c %s "$work/week.txt") / 1048576)) MiB"
if [ -x "$sim" ]; then
    /usr/bin/time -f "wall %e s, peak RSS %M KiB" "$sim" --trace "$work/week.txt" --svg "$work/week.svg" \
        >"$work/week.out" 2>"$work/time.txt" || { cat "$work/time.txt"; exit 1; }
    echo "kq5sim --trace: $(tail -n1 "$work/time.txt"); picture $(($(stat -c %s "$work/week.svg") / 1024)) KiB; report $(wc -l <"$work/week.out") lines"
    xmllint --noout "$work/week.svg"
fi
if [ -f "$exe" ] && command -v wine >/dev/null; then
    export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY
    [ -d "$WINEPREFIX" ] || timeout 300 wine wineboot --init >/dev/null 2>&1
    cp "$exe" "$WINEPREFIX/drive_c/kq5trace.exe"
    timeout 60 wine 'C:\kq5trace.exe' --help >/dev/null 2>&1 || true  # the session up, not measured
    rm -f "$work/week.html"
    /usr/bin/time -f "wall %e s, peak RSS %M KiB (Wine's own processes not counted)" \
        timeout 120 wine 'C:\kq5trace.exe' --read "Z:${work//\//\\}\\week.txt" \
        --html "Z:${work//\//\\}\\week.html" >"$work/week.exe.out" 2>"$work/time.exe.txt" </dev/null ||
        { cat "$work/time.exe.txt"; exit 1; }
    echo "kq5trace.exe --read --html under Wine: $(tail -n1 "$work/time.exe.txt"); report $(($(stat -c %s "$work/week.html") / 1024)) KiB"
fi
