#!/usr/bin/env bash
# Checks of the real kq5svc.exe under Wine, an independent implementation of the Win32 API.
# ctest runs the stages one at a time, in this order, on one throw-away Wine prefix:
#   setup       a fresh prefix in WORK/prefix, booted, with the programs copied in
#   console     kq5svc.exe started from a console
#   service     kq5svc.exe installed with sc and run by the service manager
#   components  the component tests (kq5_wine_tests.exe) against Wine's registry, spooler and SCM
#   cleanup     ends every Wine process it started
# Usage: wine.sh STAGE WINDOWS-BUILD-DIR WORK-DIR
set -euo pipefail
stage=$1
windir=$2
work=$3

export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
drive="$WINEPREFIX/drive_c"
pids="$work/pids"

fail() {
    echo "FAIL: $*"
    exit 1
}

# Every Wine command is bounded, so a hang fails the run instead of stalling it.
w() {
    timeout "${WINE_TIMEOUT:-60}" wine "$@" </dev/null
}

wait_for_file() {
    for _ in $(seq 200); do
        [ -e "$1" ] && return 0
        sleep 0.05
    done
    fail "timed out waiting for $1"
}

# Starts dbwin_capture.exe in the background; its lines go to $drive/NAME.txt.
start_capture() {
    rm -f "$drive/$1.txt" "$drive/$1.txt.ready" "$drive/$1.txt.done" "$drive/$1.stop"
    timeout 300 wine 'C:\dbwin_capture.exe' "C:\\$1.txt" "C:\\$1.stop" </dev/null >"$work/$1.log" 2>&1 &
    echo $! >>"$pids"
    wait_for_file "$drive/$1.txt.ready"
}

stop_capture() {
    touch "$drive/$1.stop"
    wait_for_file "$drive/$1.txt.done"
}

# The debug lines of the process that wrote a line matching PATTERN, as `"text"` lines.
lines_of_writer() {
    local file=$1 pattern=$2 pid
    pid=$(grep -F -- "$pattern" "$file" | head -n1 | cut -d' ' -f1)
    [ -n "$pid" ] || fail "no debug line matching $pattern in $file: $(cat "$file")"
    grep "^$pid " "$file" | cut -d' ' -f2-
}

service_state() {
    w 'C:\service_status.exe' "$1" | tr -d '\r'
}

wait_for_state() {
    local name=$1 state=$2
    for _ in $(seq 100); do
        service_state "$name" | grep -q "state=$state " && return 0
        sleep 0.1
    done
    fail "$name never reached state $state: $(service_state "$name")"
}

printer_key='HKLM\System\CurrentControlSet\Control\Print\Printers\Korvane-Q5'

make_queue() {
    w reg add "$printer_key" /v Name /t REG_SZ /d Korvane-Q5 /f >/dev/null
    w reg add "$printer_key" /v Port /t REG_SZ /d 'LPT1:' /f >/dev/null
    w reg add "$printer_key" /v 'Printer Driver' /t REG_SZ /d 'Generic / Text Only' /f >/dev/null
    w reg add "$printer_key" /v 'Print Processor' /t REG_SZ /d winprint /f >/dev/null
    w reg add "$printer_key" /v Datatype /t REG_SZ /d RAW /f >/dev/null
    w reg add "$printer_key" /v Attributes /t REG_DWORD /d 0 /f >/dev/null
}

case "$stage" in
setup)
    rm -rf "$work"
    mkdir -p "$work"
    WINE_TIMEOUT=120 w wineboot --init >"$work/boot.log" 2>&1 || fail "wineboot failed: $(tail "$work/boot.log")"
    # The first boot leaves two service managers behind; start over with one.
    wineserver -k || true
    wineserver -w
    # The session's background processes inherit this command's output: send it to files.
    w cmd /c exit >"$work/session.out" 2>"$work/session.err"
    for program in kq5svc.exe tests/wine/dbwin_capture.exe tests/wine/service_status.exe \
        tests/wine/kq5_wine_tests.exe; do
        cp "$windir/$program" "$drive/"
    done
    echo "Wine prefix ready: $(wine --version)"
    ;;

console)
    start_capture console
    code=0
    w 'C:\kq5svc.exe' >"$work/console.out" 2>"$work/console.err" || code=$?
    stop_capture console
    [ "$code" -eq 0 ] || fail "exit code $code"
    [ ! -s "$work/console.out" ] || fail "standard output is not empty: $(od -c "$work/console.out" | head)"
    got=$(lines_of_writer "$drive/console.txt" MainError)
    [ "$got" = '" MainError:1063\n"' ] || fail "debug lines: $got"
    echo "console start: one line \" MainError:1063\\n\", nothing on standard output, exit 0"
    ;;

service)
    w reg delete "$printer_key" /f >/dev/null 2>&1 || true
    w sc create kq5check binPath= 'C:\kq5svc.exe' >/dev/null
    # Without the queue: the open failures, in the order start-up makes them.
    start_capture service1
    w net start kq5check >/dev/null
    wait_for_state kq5check 4
    status=$(service_state kq5check)
    [ "$status" = "type=0x10 state=4 controls=5 exit=0/0 checkpoint=0 waithint=60000" ] ||
        fail "service status: $status"
    w net stop kq5check >/dev/null
    wait_for_state kq5check 1
    stop_capture service1
    got=$(lines_of_writer "$drive/service1.txt" GetPrinterHandle)
    expected=$(printf '%s\n' '" Open Printer Error :GetLastError() returns: 0x709\n"' '"GetPrinterHandle"' \
        '" Open Printer Error :GetLastError() returns: 0x709\n"')
    [ "$(echo "$got" | head -n3)" = "$expected" ] || fail "debug lines without the queue: $got"
    echo "$got" | sed -n 4p | grep -qE '^" MainError:[0-9-]+\\n"$' || fail "no MainError line after stop: $got"
    [ "$(echo "$got" | wc -l)" -eq 4 ] || fail "extra debug lines: $got"
    echo "service without queue: running ($status), open failures 0x709, stopped with $(echo "$got" | sed -n 4p)"

    # With a queue made in the registry: no failure line at all.
    make_queue
    start_capture service2
    w net start kq5check >/dev/null
    wait_for_state kq5check 4
    w net stop kq5check >/dev/null
    wait_for_state kq5check 1
    stop_capture service2
    got=$(lines_of_writer "$drive/service2.txt" GetPrinterHandle)
    [ "$(echo "$got" | head -n1)" = '"GetPrinterHandle"' ] || fail "debug lines with the queue: $got"
    [ "$(echo "$got" | wc -l)" -eq 2 ] || fail "debug lines with the queue: $got"
    w sc delete kq5check >/dev/null
    w reg delete "$printer_key" /f >/dev/null
    echo "service with queue: \"GetPrinterHandle\" and the MainError line only"
    ;;

components)
    WINE_TIMEOUT=180 w 'C:\kq5_wine_tests.exe' 2>&1 | tr -d '\r'
    exit "${PIPESTATUS[0]}"
    ;;

cleanup)
    if [ -f "$pids" ]; then
        while read -r pid; do
            kill "$pid" 2>/dev/null || true
        done <"$pids"
    fi
    wineserver -k 2>/dev/null || true
    timeout 30 wineserver -w 2>/dev/null || true
    rm -rf "$work"
    ;;

*)
    fail "unknown stage $stage"
    ;;
esac
