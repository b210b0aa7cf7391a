#!/usr/bin/env bash
# Figures of the real kq5svc.exe under Wine (not a test): the service run by Wine's service
# manager against the virtual USB printer, acting (door open: every cycle reads a frame and pauses
# the queue), in turn with the floor, a bare probe that makes the same calls the same way
# (bench/wine/spooler_floor.cpp), ROUNDS times each; then once idle (the printer unplugged while
# the service holds its device). CPU time is each thread's run time in nanoseconds
# (/proc/PID/task/*/schedstat), summed over the process, from cycle 3 to cycle 3 + CYCLES.
# Usage: bench/wine_bench.sh [ROUNDS [CYCLES [WINDOWS-BUILD-DIR]]]   (default 6 15 build/win;
#   about 4 minutes)
# Needs the Windows build (./test.sh makes it in build/win). The cost of Control Flow Guard's
# checks: the same figures of a build configured with -DKQ5_CONTROL_FLOW_GUARD=OFF beside them.
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=${1:-6}
cycles=${2:-15}
warm=3  # the first cycles open the device and fault in the spooler's code
windir=$(cd "${3:-build/win}" && pwd)
work=$PWD/build/wine-bench-$(basename "$windir")
for program in kq5svc.exe tools/wine/virtual_printer.exe bench/wine/spooler_floor.exe; do
    [ -f "$windir/$program" ] || { echo "missing $windir/$program: run ./test.sh first" >&2; exit 2; }
done

source bench/wine/prefix.sh
vusb="$drive/vusb"

finish() {
    touch "$vusb/stop" 2>/dev/null || true
    wineserver -k 2>/dev/null || true
}
trap finish EXIT

fresh_prefix
for program in kq5svc.exe tools/wine/virtual_printer.exe bench/wine/spooler_floor.exe; do
    cp "$windir/$program" "$drive/"
done
key='HKLM\System\CurrentControlSet\Control\Print\Printers\Korvane-Q5'
w reg add "$key" /v Name /t REG_SZ /d Korvane-Q5 /f >/dev/null
w reg add "$key" /v Port /t REG_SZ /d 'LPT1:' /f >/dev/null
w reg add "$key" /v 'Printer Driver' /t REG_SZ /d 'Generic / Text Only' /f >/dev/null
w reg add "$key" /v 'Print Processor' /t REG_SZ /d winprint /f >/dev/null
w reg add "$key" /v Datatype /t REG_SZ /d RAW /f >/dev/null
mkdir -p "$vusb/A1B2C3"
echo 4 >"$vusb/A1B2C3/status"
wine 'C:\virtual_printer.exe' 'C:\vusb' A1B2C3:0483:5741:KorvaneQ5:USB005 </dev/null >"$work/printer.log" 2>&1 &
for _ in $(seq 200); do [ -e "$vusb/ready" ] && break; sleep 0.05; done
w sc create kq5bench binPath= 'C:\kq5svc.exe' >/dev/null

log="$vusb/A1B2C3/log"
frames() { grep -c '^frame ' "$log" || true; }
wait_for_frames() {
    while [ "$(frames)" -lt "$1" ]; do sleep 0.05; done
}
wait_for_line() {
    while ! grep -qx "$1" "$log"; do sleep 0.05; done
}
# The Wine process of a program, told apart from wrappers (timeout, the shell) by its executable.
# Under Wine 8 GetProcessTimes of another process and GetProcessHandleCount cannot be trusted (the
# latter answers 0); each Wine process is a Linux process, read from /proc.
process_pid() { # PATTERN
    local pid
    for pid in $(pgrep -f "$1"); do
        readlink "/proc/$pid/exe" 2>/dev/null | grep -q wine || continue
        tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && echo "$pid"
    done | head -n1
}
# "cpu_ns rss_kib fds frames" of a process, at a cycle boundary: the frame count is read before
# and after, and the figures are taken again if a frame came in between. A cycle's calls take a
# millisecond or two after its frame; the next frame is 800 ms away.
figures() { # PID
    local before after cpu
    while :; do
        sleep 0.1
        before=$(frames)
        cpu=$(cat /proc/"$1"/task/*/schedstat 2>/dev/null | awk '{ t += $1 } END { printf "%d", t }')
        after=$(frames)
        [ "$before" = "$after" ] && break
    done
    echo "$cpu $(awk '/^VmRSS:/ { print $2 }' "/proc/$1/status") $(ls "/proc/$1/fd" | wc -l) $after"
}
# Milliseconds of CPU per cycle between two figures.
per_cycle() { # START END
    local -a a b
    read -ra a <<<"$1"
    read -ra b <<<"$2"
    awk -v a="${a[0]}" -v b="${b[0]}" -v n="$((b[3] - a[3]))" 'BEGIN { printf "%.4f", (b - a) / n / 1e6 }'
}
# The figures of a process from cycle `warm` to cycle `warm + cycles`: "START|END".
measure() { # PATTERN
    local pid start
    wait_for_frames "$warm"
    pid=$(process_pid "$1")
    [ -n "$pid" ] || { echo "no process matching $1" >&2; exit 1; }
    start=$(figures "$pid")
    wait_for_frames $((warm + cycles))
    echo "$start|$(figures "$pid")"
}
# "median min max" of numbers, one a line.
summary() {
    sort -g | awk '{ v[NR] = $1 } END { m = NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
        printf "%.2f %.2f %.2f", m, v[1], v[NR] }'
}

echo "kq5svc.exe of $windir under $(wine --version) with the virtual USB printer" \
    "(CPU: the threads' run time from /proc schedstat, in ns; load average $(cut -d' ' -f1-3 /proc/loadavg))"
printer_path='\\?\usb#vid_0483&pid_5741#a1b2c3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}'
acting=() floor=() ratio=()
for round in $(seq "$rounds"); do
    # Acting: status door open, each cycle one read, the queue's calls, a debugger line.
    : >"$log"
    w net start kq5bench >/dev/null
    IFS='|' read -r a b <<<"$(measure 'kq5svc\.exe')"
    w net stop kq5bench >/dev/null
    wait_for_line closed
    service=$(per_cycle "$a" "$b")
    # The floor: the same calls, made the same way, by a bare program.
    : >"$log"
    wine 'C:\spooler_floor.exe' "$printer_path" $((warm + cycles + 1)) </dev/null >/dev/null 2>&1 &
    floor_job=$!
    IFS='|' read -r fa fb <<<"$(measure 'spooler_floor\.exe')"
    wait "$floor_job"
    wait_for_line closed
    probe=$(per_cycle "$fa" "$fb")
    acting+=("$service") floor+=("$probe")
    ratio+=("$(awk -v s="$service" -v f="$probe" 'BEGIN { printf "%.4f", s / f }')")
    printf '  round %d   acting %.3f ms/cycle   floor %.3f ms/loop   ratio %.2f\n' \
        "$round" "$service" "$probe" "${ratio[-1]}"
done
read -ra rss_a <<<"$a"
read -ra rss_b <<<"$b"
read -r m lo hi <<<"$(printf '%s\n' "${acting[@]}" | summary)"
printf '  acting   %d x %d cycles  CPU %s ms/cycle (%s to %s)  resident %d KiB -> %d KiB  descriptors %d -> %d\n' \
    "$rounds" "$cycles" "$m" "$lo" "$hi" "${rss_a[1]}" "${rss_b[1]}" "${rss_a[2]}" "${rss_b[2]}"
read -r m lo hi <<<"$(printf '%s\n' "${floor[@]}" | summary)"
printf '  floor    %d x %d loops   CPU %s ms/loop  (%s to %s)\n' "$rounds" "$cycles" "$m" "$lo" "$hi"
read -r m lo hi <<<"$(printf '%s\n' "${ratio[@]}" | summary)"
printf '  ratio    acting / floor  %s (%s to %s over the rounds)\n' "$m" "$lo" "$hi"

# Idle: the printer unplugged under the running service; each cycle a read that fails at once.
# Cycles are counted by time here (800 ms each), as no frame marks them.
: >"$log"
w net start kq5bench >/dev/null
wait_for_frames "$warm"
touch "$vusb/A1B2C3/unplugged"
wait_for_line closed
pid=$(process_pid 'kq5svc\.exe')
read -ra a <<<"$(figures "$pid")"
sleep "$(awk -v n="$cycles" 'BEGIN { print n * 0.8 }')"
read -ra b <<<"$(figures "$pid")"
printf '  idle     %d cycles      CPU %.2f ms/cycle  resident %d KiB -> %d KiB  descriptors %d -> %d\n' \
    "$cycles" "$(awk -v a="${a[0]}" -v b="${b[0]}" -v n="$cycles" 'BEGIN { print (b - a) / n / 1e6 }')" \
    "${a[1]}" "${b[1]}" "${a[2]}" "${b[2]}"
w net stop kq5bench >/dev/null
echo "  load average at the end $(cut -d' ' -f1-3 /proc/loadavg)"
