#!/usr/bin/env bash
# Figures of the real kq5svc.exe under Wine (not a test): the service run by Wine's service
# manager against the virtual USB printer, once acting (door open: every cycle reads a frame and
# pauses the queue) and once idle (the printer unplugged while the service holds its device);
# beside it the floor, the same read and six spooler calls made in a loop by a bare probe.
# Usage: bench/wine_bench.sh [CYCLES]   (default 150; about 2 x CYCLES x 0.8 s)
# Needs the Windows build (./test.sh makes it in build/win).
set -euo pipefail
cd "$(dirname "$0")/.."
cycles=${1:-150}
windir=$PWD/build/win
work=$PWD/build/wine-bench
for program in kq5svc.exe tools/wine/virtual_printer.exe bench/wine/spooler_floor.exe; do
    [ -f "$windir/$program" ] || { echo "missing $windir/$program: run ./test.sh first" >&2; exit 2; }
done

export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
drive="$WINEPREFIX/drive_c"
vusb="$drive/vusb"
w() { timeout 120 wine "$@" </dev/null; }

finish() {
    touch "$vusb/stop" 2>/dev/null || true
    wineserver -k 2>/dev/null || true
}
trap finish EXIT

rm -rf "$work"
mkdir -p "$work"
timeout 120 wine wineboot --init >"$work/boot.log" 2>&1
wineserver -k || true
wineserver -w
w cmd /c exit >"$work/session.out" 2>&1
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

frames() { grep -c '^frame ' "$vusb/A1B2C3/log" || true; }
wait_for_frames() {
    while [ "$(frames)" -lt "$1" ]; do sleep 0.2; done
}
# Figures of the service's process, read from Linux: under Wine 8 GetProcessTimes of another
# process and GetProcessHandleCount cannot be trusted (the latter answers 0). Each Wine process is
# a Linux process; Wine keeps a Linux file descriptor for each open file, pipe or device handle, so
# their count stands in for the handle count.
service_pid() {
    local pid
    for pid in $(pgrep -f 'kq5svc\.exe'); do
        tr '\0' '\n' <"/proc/$pid/environ" 2>/dev/null | grep -qx "WINEPREFIX=$WINEPREFIX" && echo "$pid"
    done | head -n1
}
figures() { # "cpu_ms rss_kib fds" of the service's process
    local pid
    pid=$(service_pid)
    [ -n "$pid" ] || { echo "no kq5svc.exe process" >&2; exit 1; }
    echo "$(awk '{ print ($14 + $15) * 10 }' "/proc/$pid/stat") \
$(awk '/^VmRSS:/ { print $2 }' "/proc/$pid/status") $(ls "/proc/$pid/fd" | wc -l)"
}

report() { # NAME CYCLES FIGURES-AT-CYCLE-10 FIGURES-AT-END
    local -a a b
    read -ra a <<<"$3"
    read -ra b <<<"$4"
    printf '  %-8s %4d cycles  CPU %5.2f ms/cycle  resident %d KiB -> %d KiB (%+d KiB)  descriptors %d -> %d\n' \
        "$1" "$2" "$(awk -v a="${a[0]}" -v b="${b[0]}" -v n="$2" 'BEGIN { print (b - a) / n }')" \
        "${a[1]}" "${b[1]}" "$((b[1] - a[1]))" "${a[2]}" "${b[2]}"
}

# CPU milliseconds of a whole Wine program run (the process and what it waits for).
cpu_of_run() {
    local TIMEFORMAT='%3U %3S'
    { time w "$@" >/dev/null; } 2>&1 | tail -n1 | awk '{ print ($1 + $2) * 1000 }'
}

echo "kq5svc.exe under $(wine --version) with the virtual USB printer (CPU and memory from /proc)"

# Acting: status door open, each cycle one read and six spooler calls.
w net start kq5bench >/dev/null
wait_for_frames 10
start=$(figures)
wait_for_frames $((10 + cycles))
end=$(figures)
report acting "$cycles" "$start" "$end"
w net stop kq5bench >/dev/null

# Idle: the printer unplugged under the running service; each cycle a read that fails at once.
# Cycles are counted by time here (800 ms each), as no frame marks them.
: >"$vusb/A1B2C3/log"
w net start kq5bench >/dev/null
wait_for_frames 10
touch "$vusb/A1B2C3/unplugged"
while ! grep -qx closed "$vusb/A1B2C3/log"; do sleep 0.05; done
start=$(figures)
sleep "$(awk -v n="$cycles" 'BEGIN { print n * 0.8 }')"
end=$(figures)
report idle "$cycles" "$start" "$end"
w net stop kq5bench >/dev/null
rm "$vusb/A1B2C3/unplugged"
while ! grep -qx plugged "$vusb/A1B2C3/log"; do sleep 0.05; done

# The floor: the same calls in a bare loop; a run of 0 loops takes off the program's start.
printer_path='\\?\usb#vid_0483&pid_5741#a1b2c3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}'
loops=$((cycles * 4))
base=$(cpu_of_run 'C:\spooler_floor.exe' "$printer_path" 0)
full=$(cpu_of_run 'C:\spooler_floor.exe' "$printer_path" "$loops")
printf '  floor    %4d loops   CPU %5.2f ms/loop (one read and six spooler calls in a bare loop)\n' \
    "$loops" "$(awk -v a="$base" -v b="$full" -v n="$loops" 'BEGIN { print (b - a) / n }')"
