#!/usr/bin/env bash
# kq5trace.exe --record under Wine (not a test): the CPU the real recorder spends per captured line,
# the channel's handshake, the time stamp and the file writing included. A service of COUNT lines
# (bench/wine/debug_lines.exe, which waits 1.5 s after its start so that the recorder knows its
# process, then writes them as fast as the recorder takes them) is recorded; then the same number
# of lines of another program (the same exe from a console), which the recorder lets go. CPU time is
# the recorder's threads' run time (/proc/PID/task/*/schedstat), less what it spends idle (it asks
# the service manager once a second) over the same time.
# Usage: bench/record_bench_wine.sh [COUNT]   (default 20000; about a minute)
# Needs the Windows build (./test.sh makes it in build/win).
set -euo pipefail
cd "$(dirname "$0")/.."
count=${1:-20000}
windir=$PWD/build/win
work=$PWD/build/record-bench
for program in kq5trace.exe bench/wine/debug_lines.exe; do
    [ -f "$windir/$program" ] || { echo "missing $windir/$program: run ./test.sh first" >&2; exit 2; }
done

source bench/wine/prefix.sh
finish() { wineserver -k 2>/dev/null || true; }
trap finish EXIT

fresh_prefix
cp "$windir/kq5trace.exe" "$windir/bench/wine/debug_lines.exe" "$drive/"
w sc create lines binPath= "C:\\debug_lines.exe $count" >/dev/null

# The Wine processes of a program (as bench/wine_bench.sh finds them), all of them counted.
process_pids() { # PATTERN
    local pid
    for pid in $(pgrep -f "$1"); do
        readlink "/proc/$pid/exe" 2>/dev/null | grep -q wine || continue
        tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && echo "$pid"
    done
}
cpu_ns() { # PIDS
    local pid
    for pid in $1; do cat /proc/"$pid"/task/*/schedstat; done | awk '{ t += $1 } END { printf "%d", t }'
}
now_ns() { date +%s%N; }
day_file() { ls "$drive"/rec/kq5trace-*.txt 2>/dev/null | tail -n1; }
lines_in() { # PATTERN
    local file n
    file=$(day_file)
    [ -n "$file" ] || { echo 0; return; }
    n=$(grep -cF -- "$1" "$file" || true)
    echo "${n:-0}"
}
wait_for() { # PATTERN COUNT
    for _ in $(seq 1200); do
        [ "$(lines_in "$1")" -ge "$2" ] && return 0
        sleep 0.1
    done
    echo "timed out waiting for $2 lines '$1'" >&2
    exit 1
}
# CPU ns per line between two points, less the idle rate over their time.
per_line() { # CPU0 CPU1 T0 T1 IDLE-NS-PER-NS LINES
    awk -v c="$(($2 - $1))" -v t="$(($4 - $3))" -v r="$5" -v n="$6" \
        'BEGIN { printf "%.1f", (c - r * t) / n / 1000 }'
}

timeout 900 wine 'C:\kq5trace.exe' --record 'C:\rec' --session --service lines </dev/null \
    >"$work/record.log" 2>&1 &
wait_for 'service lines is not running' 1
pid=$(process_pids 'kq5trace\.exe' | tr '\n' ' ')
[ -n "$pid" ] || { echo "no kq5trace.exe process" >&2; exit 1; }

# Idle for 5 s: the once-a-second question to the service manager.
c0=$(cpu_ns "$pid") t0=$(now_ns)
sleep 5
c1=$(cpu_ns "$pid") t1=$(now_ns)
idle=$(awk -v c="$((c1 - c0))" -v t="$((t1 - t0))" 'BEGIN { printf "%.9f", c / t }')

# The service's lines, recorded.
c0=$(cpu_ns "$pid") t0=$(now_ns)
w net start lines >/dev/null
wait_for 'KQ5 STATUS:32' "$count"
wait_for 'debug_lines:' 1
c1=$(cpu_ns "$pid") t1=$(now_ns)
recorded=$(per_line "$c0" "$c1" "$t0" "$t1" "$idle" "$count")
waited=$(grep -o 'debug_lines: [0-9.]* us per line' "$(day_file)" | cut -d' ' -f2)

# Lines of another program, let go.
c0=$(cpu_ns "$pid") t0=$(now_ns)
w 'C:\debug_lines.exe' "$count" >/dev/null 2>&1
sleep 1.5 # the held lines let go at the next answer
c1=$(cpu_ns "$pid") t1=$(now_ns)
other_raw="$(((c1 - c0) / 1000000)) ms CPU in $(((t1 - t0) / 1000000)) ms"
other=$(per_line "$c0" "$c1" "$t0" "$t1" "$idle" "$count")

echo "kq5trace.exe --record under $(wine --version), $count lines each (load average $(cut -d' ' -f1-3 /proc/loadavg))"
echo "  idle                        $(awk -v r="$idle" 'BEGIN { printf "%.2f", r * 1000 }') ms CPU per second"
echo "  a line of the service       $recorded us CPU (recorded); the writer waited $waited us per line"
echo "  a line of another program   $other us CPU (let go; $other_raw)"
echo "  file                        $(basename "$(day_file)"), $(stat -c %s "$(day_file)") bytes"
