#!/usr/bin/env bash
# Checks of the real kq5svc.exe under Wine, an independent implementation of the Win32 API.
# ctest runs the stages one at a time, in this order, on one throw-away Wine prefix:
#   setup       a fresh prefix in WORK/prefix, booted, with the programs copied in
#   console     kq5svc.exe started from a console; with EXE-DIR, the kq5svc.exe of that build
#               (another compiler's) instead of the Windows build's
#   service     kq5svc.exe installed with sc and run by the service manager
#   printer     kq5svc.exe run by the service manager against a virtual USB printer
#   doctor      kq5doctor.exe with no queue, with the queue on another port than the printer's,
#               and with both on one port while kq5svc.exe runs as a service and holds the printer
#   trace       kq5svc.exe captured by kq5trace.exe while the virtual printer walks through its
#               statuses, and the capture read back by kq5sim --trace and by kq5trace.exe --read,
#               with the same findings (WINE.sh trace WIN WORK KQ5SIM); then kq5trace.exe --record
#               across a restart of the service, the folder read back by kq5trace.exe --read
#   read        kq5trace.exe --read and kq5sim --trace print the same timeline and findings, byte
#               for byte, for every sample trace, the Wine capture and a week of trace
#               (WINE.sh read WIN WORK KQ5SIM SOURCE-DIR)
#   components  the component tests (kq5_wine_tests.exe) against Wine's registry, spooler and SCM,
#               with the virtual USB printer plugged in
#   conformance kq5-conformance.exe, the suite as a volunteer runs it, with --lab and the virtual
#               printer plugged in: every fact held (Wine's known departures named); as JSON the
#               same; --lab --printer: the steps Wine cannot show not run, with the reason
#   events      kq5trace.exe's message table read back as the event log's readers read it, every
#               event of the message file formatted with its insertion strings; ReportEventW as
#               source "kq5" (WINEDEBUG=+eventlog shows each event's type and strings)
#   cleanup     ends every Wine process it started
# Usage: wine.sh STAGE WINDOWS-BUILD-DIR WORK-DIR [EXE-DIR]
set -euo pipefail
stage=$1
windir=$2
work=$3
exedir=${4:-}

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
pids="$work/pids"

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

# The virtual USB printer (virtual_printer.exe) with its devices, steered through files in
# C:\vusb\SERIAL\ (status, unplugged, fail) and logging each frame taken to C:\vusb\SERIAL\log.
# The printer itself; a decoy with the same digits and another port description; two devices
# with the printer's port description that have only the vendor or only the product digits.
# Their serials sort before the printer's, so discovery meets them first.
vusb="$drive/vusb"
devices=(A1B2C3:0483:5741:KorvaneQ5:USB005 0D3C0Y:0483:5741:OtherQ5 0ONLYV:0483:1234:KorvaneQ5
    0ONLYP:1234:5741:KorvaneQ5)

start_printer() {
    rm -rf "$vusb"
    for device in "${devices[@]}"; do
        mkdir -p "$vusb/${device%%:*}"
        : >"$vusb/${device%%:*}/log"
    done
    for arg in "$@"; do touch "$vusb/A1B2C3/$arg"; done
    timeout 300 wine 'C:\virtual_printer.exe' 'C:\vusb' "${devices[@]}" </dev/null >"$work/virtual_printer.log" 2>&1 &
    echo $! >>"$pids"
    wait_for_file "$vusb/ready"
}

stop_printer() {
    touch "$vusb/stop"
    for _ in $(seq 200); do
        [ -e "$vusb/ready" ] || return 0
        sleep 0.05
    done
    fail "the virtual printer did not stop"
}

# The signed value of a status byte, as the service prints it.
signed() {
    local value=$(($1))
    [ "$value" -lt 128 ] || value=$((value - 256))
    echo "$value"
}

# The service's "KQ5 STATUS" lines so far in capture NAME.
status_lines() {
    grep -F 'KQ5 STATUS:' "$drive/$1.txt" | cut -d' ' -f2- || true
}

# Sets the printer's status and waits for the service to report it: at most two lines of the old
# status may come first (the frame already offered and one cycle), whatever the machine's speed.
expect_status() {
    local capture=$1 code=$2 before line stale
    before=$(status_lines "$capture" | wc -l)
    echo "$code" >"$vusb/A1B2C3/status"
    line="\"KQ5 STATUS:$(signed "$code")\\r\\n\""
    for _ in $(seq 300); do
        stale=$(status_lines "$capture" | tail -n +"$((before + 1))" | grep -nxF -- "$line" | head -n1 | cut -d: -f1 || true)
        if [ -n "$stale" ]; then
            [ "$((stale - 1))" -le 2 ] || fail "status $code reported after $((stale - 1)) older lines"
            return 0
        fi
        sleep 0.05
    done
    fail "status $code never reported: $(status_lines "$capture" | tail -n 5)"
}

# same_findings NAME WINDOWS-PATH HOST-PATH: kq5trace.exe --read under Wine and kq5sim --trace
# print the same, byte for byte, after their first line (which names the program and the path).
# The exe writes "\n" (standard output in binary mode), so nothing is normalised.
same_findings() {
    local name=$1 exe_code=0 sim_code=0
    w 'C:\kq5trace.exe' --read "$2" >"$work/read-$name.exe.out" 2>"$work/read-$name.exe.err" || exe_code=$?
    "$kq5sim" --trace "$3" >"$work/read-$name.sim.out" 2>"$work/read-$name.sim.err" || sim_code=$?
    [ "$exe_code" = "$sim_code" ] ||
        fail "$name: kq5trace.exe --read exits with $exe_code, kq5sim --trace with $sim_code: $(cat "$work/read-$name.exe.err")"
    [ "$sim_code" != 0 ] || grep -q '^Findings:$' "$work/read-$name.sim.out" ||
        fail "$name: kq5sim --trace prints no findings"
    cmp -s <(tail -n +2 "$work/read-$name.exe.out") <(tail -n +2 "$work/read-$name.sim.out") ||
        fail "$name: the findings differ: $(diff <(tail -n +2 "$work/read-$name.exe.out") <(tail -n +2 "$work/read-$name.sim.out") | head -n 20 | cat -A)"
}

# The Windows path of a file of this machine (Wine's drive Z: is its root).
windows_path() {
    echo "Z:${1//\//\\}"
}

# options_answer EXE NAME: /?, -h and --help print the usage with exit 0, --version the version.
options_answer() {
    local exe=$1 name=$2 option code
    for option in '/?' -h --help; do
        code=0
        w "$exe" "$option" >"$work/options.out" 2>&1 || code=$?
        [ "$code" = 0 ] && grep -q "^usage: $name" "$work/options.out" ||
            fail "$name $option: exit $code, $(head -n 3 "$work/options.out")"
    done
    code=0
    w "$exe" --version >"$work/options.out" 2>&1 || code=$?
    [ "$code" = 0 ] && [ "$(tr -d '\r' <"$work/options.out")" = "$name 1.0.0" ] ||
        fail "$name --version: exit $code, $(cat "$work/options.out")"
}

# The 8.3 short name Wine gave NAME in the folder FOLDER (both Windows paths), from dir /x.
short_name() {
    local line rest
    w cmd /c dir /x "$1" 2>/dev/null | tr -d '\r' | while IFS= read -r line; do
        if [[ "$line" == *" $2" ]]; then
            rest=${line% "$2"}
            rest=${rest%"${rest##*[! ]}"}
            echo "${rest##* }"
        fi
    done
}

# refused NAME ARGS...: kq5trace.exe refuses ARGS with exit 2 and says why.
refused() {
    local name=$1 code=0
    shift
    w 'C:\kq5trace.exe' "$@" >"$work/refused-$name.out" 2>"$work/refused-$name.err" || code=$?
    [ "$code" = 2 ] || fail "$name: kq5trace.exe $* exits with $code: $(cat "$work/refused-$name.err")"
    [ ! -s "$work/refused-$name.out" ] || fail "$name: printed before the refusal: $(head -n 3 "$work/refused-$name.out")"
}

# An output over what is read is refused, by any spelling of its name, and nothing changes: the
# trace itself (letter case, "..", a relative path, a short name) and a file in the record folder
# being read, with the two paths swapped as an administrator might.
overwrite_refusals() {
    local data="$drive/kq5 trace data" day short_dir short_day form
    rm -rf "$data" && mkdir -p "$data"
    cp "$source/docs/trace-wine.txt" "$data/kq5trace-2026-12-07.txt"
    cp "$source/docs/trace-wine.txt" "$drive/t.log"
    day=$(sha256sum <"$data/kq5trace-2026-12-07.txt")
    short_dir=$(short_name 'C:\.' 'kq5 trace data')
    short_day=$(short_name 'C:\kq5 trace data' 'kq5trace-2026-12-07.txt')
    [ -n "$short_dir" ] && [ -n "$short_day" ] || fail "no short names from dir /x"
    for form in 'C:\T.LOG' 'C:\kq5 trace data\..\t.log' "C:\\$short_dir\\..\\t.log"; do
        refused trace-self --read 'C:\t.log' --html "$form"
        grep -q 'is the trace "C:\\t.log" itself: nothing is written over what is read' "$work/refused-trace-self.err" ||
            fail "the trace as $form: $(cat "$work/refused-trace-self.err")"
        refused trace-self-svg --read 'C:\t.log' --svg "$form"
    done
    (cd "$drive" && refused relative --read 't.log' --html 't.log')
    for form in 'C:\kq5 trace data\kq5trace-2026-12-07.txt' 'c:\KQ5 TRACE DATA\report.html' \
        "C:\\$short_dir\\$short_day" "C:\\$short_dir\\report.html"; do
        refused folder --read 'C:\kq5 trace data' --html "$form"
        grep -q 'is in the folder being read' "$work/refused-folder.err" ||
            fail "the record folder's $form: $(cat "$work/refused-folder.err")"
    done
    (cd "$data" && refused folder-relative --read . --svg 'report.svg')
    refused recorder-name --read 'C:\t.log' --html "C:\\$short_dir\\$short_day"
    grep -q 'a day file of kq5trace --record' "$work/refused-recorder-name.err" ||
        fail "a day file by its short name: $(cat "$work/refused-recorder-name.err")"
    [ "$(sha256sum <"$data/kq5trace-2026-12-07.txt")" = "$day" ] && [ "$(ls "$data")" = kq5trace-2026-12-07.txt ] &&
        cmp -s "$drive/t.log" "$source/docs/trace-wine.txt" || fail "an input was changed: $(ls -l "$data")"
    # A report that cannot be written takes the picture with it: nothing left as if written.
    rm -f "$drive/p.svg"
    code=0
    w 'C:\kq5trace.exe' --read 'C:\t.log' --svg 'C:\p.svg' --html 'C:\no-such-folder\r.html' >/dev/null 2>"$work/unwritten.err" || code=$?
    [ "$code" = 1 ] && [ ! -e "$drive/p.svg" ] && grep -q 'cannot write the report to C:\\no-such-folder\\r.html: .*(error 3)' "$work/unwritten.err" ||
        fail "a report that cannot be written: exit $code, $(cat "$work/unwritten.err"), $(ls "$drive"/p.svg* 2>&1)"
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
    for program in kq5svc.exe kq5doctor.exe kq5trace.exe tools/wine/dbwin_capture.exe tools/wine/service_status.exe \
        tools/wine/virtual_printer.exe tools/wine/message_table.exe kq5-conformance.exe tests/wine/kq5_wine_tests.exe; do
        cp "$windir/$program" "$drive/"
    done
    echo "Wine prefix ready: $(wine --version)"
    ;;

console)
    name=console exe='C:\kq5svc.exe'
    if [ -n "$exedir" ]; then
        # Another build's exe, in a folder of its own named after the build's.
        name=console-$(basename "$exedir") exe="C:\\$(basename "$exedir")\\kq5svc.exe"
        mkdir -p "$drive/$(basename "$exedir")"
        cp "$exedir/kq5svc.exe" "$drive/$(basename "$exedir")/"
    fi
    start_capture "$name"
    code=0
    w "$exe" >"$work/$name.out" 2>"$work/$name.err" || code=$?
    stop_capture "$name"
    [ "$code" -eq 0 ] || fail "exit code $code"
    [ ! -s "$work/$name.out" ] || fail "standard output is not empty: $(od -c "$work/$name.out" | head)"
    got=$(lines_of_writer "$drive/$name.txt" MainError)
    [ "$got" = '" MainError:1063\n"' ] || fail "debug lines: $got"
    echo "console start of $exe: one line \" MainError:1063\\n\", nothing on standard output, exit 0"
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

printer)
    make_queue
    w sc create kq5check binPath= 'C:\kq5svc.exe' >/dev/null
    # Present at start: every status code is mirrored within two cycles, a short frame writes no
    # line, an unplugged printer no line at all.
    start_printer
    echo 4 >"$vusb/A1B2C3/status"
    start_capture printer1
    w net start kq5check >/dev/null
    wait_for_state kq5check 4
    for code in 4 12 0 8 0x80 32 40 0xA0 0x84; do
        expect_status printer1 "$code"
    done
    touch "$vusb/A1B2C3/fail"
    for _ in $(seq 100); do grep -qx short "$vusb/A1B2C3/log" && break; sleep 0.05; done
    expect_status printer1 0x20
    touch "$vusb/A1B2C3/unplugged"
    for _ in $(seq 100); do grep -qx closed "$vusb/A1B2C3/log" && break; sleep 0.05; done
    sleep 2.5 # three cycles of a running service with its printer gone
    service_state kq5check | grep -q "state=4 " || fail "the service did not keep running: $(service_state kq5check)"
    w net stop kq5check >/dev/null
    wait_for_state kq5check 1
    stop_capture printer1
    stop_printer
    got=$(lines_of_writer "$drive/printer1.txt" GetPrinterHandle)
    # One status line for every whole frame the printer handed out, in order; none for the short one.
    frames=$(grep '^frame ' "$vusb/A1B2C3/log" | sed 's/^frame \(.*\)$/"KQ5 STATUS:\1\\r\\n"/')
    [ "$(status_lines printer1)" = "$frames" ] || fail "status lines differ from the frames read: $(status_lines printer1 | tr '\n' ' ') / $(echo $frames)"
    grep -qx short "$vusb/A1B2C3/log" || fail "the short frame was never read"
    paths=$(echo "$got" | grep -F DevicePath)
    expected=$(printf '%s\n' '" DevicePath:\\\\?\\usb#vid_0483&pid_5741#0d3c0y#{a5dcbf10-6530-11d2-901f-00c04fb951ed}\n"' \
        '" DevicePath:\\\\?\\usb#vid_0483&pid_5741#a1b2c3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}\n"')
    [ "$paths" = "$expected" ] || fail "devices listed: $paths"
    for serial in 0D3C0Y 0ONLYV 0ONLYP; do
        [ ! -s "$vusb/$serial/log" ] || fail "$serial was opened: $(cat "$vusb/$serial/log")"
    done
    [ "$(grep -c '^open$' "$vusb/A1B2C3/log")" -eq 1 ] || fail "printer opened more than once"
    echo "$got" | tail -n1 | grep -qE '^" MainError:[0-9-]+\\n"$' || fail "no MainError line after stop: $got"
    echo "printer present: $(grep -c '^frame ' "$vusb/A1B2C3/log") frames, one status line each; decoy listed, not opened; one-digit-group devices not listed; unplugged: no lines, still running"

    # Started with no printer: no read and no line, and none when the printer comes later, since
    # only a device event makes the service look again.
    start_printer unplugged
    start_capture printer2
    w net start kq5check >/dev/null
    wait_for_state kq5check 4
    sleep 1.7 # two cycles
    rm "$vusb/A1B2C3/unplugged"
    sleep 1.7
    w net stop kq5check >/dev/null
    wait_for_state kq5check 1
    stop_capture printer2
    stop_printer
    got=$(lines_of_writer "$drive/printer2.txt" GetPrinterHandle)
    [ -z "$(status_lines printer2)" ] || fail "status lines without a printer: $(status_lines printer2)"
    [ -z "$(echo "$got" | grep -F a1b2c3)" ] || fail "the unplugged printer was listed: $got"
    grep -q '^open$' "$vusb/A1B2C3/log" && fail "the printer was opened without a device event"
    w sc delete kq5check >/dev/null
    w reg delete "$printer_key" /f >/dev/null
    echo "no printer at start: no reads, no status lines"
    ;;

doctor)
    # The doctor's report in $work/doctor-NAME.txt; its exit code is checked against EXPECTED.
    doctor() {
        local name=$1 expected=$2 code=0
        shift 2
        w 'C:\kq5doctor.exe' "$@" 2>&1 | tr -d '\r' >"$work/doctor-$name.txt" || code=$?
        [ "$code" -eq "$expected" ] || fail "doctor ($name) exit $code, not $expected: $(cat "$work/doctor-$name.txt")"
    }
    report_has() {
        grep -qF -- "$2" "$work/doctor-$1.txt" || fail "doctor ($1) does not say '$2': $(cat "$work/doctor-$1.txt")"
    }
    w reg delete "$printer_key" /f >/dev/null 2>&1 || true
    start_printer
    doctor no-queue 1
    report_has no-queue 'PROBLEM  queue Korvane-Q5 does not exist (0x709: no such queue)'
    report_has no-queue 'ok       Windows gave the printer port USB005'
    report_has no-queue 'PROBLEM  kq5 is not installed'
    report_has no-queue 'PROBLEM  Spooler service: stopped'

    # The queue on LPT1:, the printer on USB005; the doctor writes no debugger line.
    make_queue
    start_capture doctor
    doctor other-port 1
    doctor other-port-json 1 --json
    stop_capture doctor
    report_has other-port 'PROBLEM  the queue prints to LPT1: but the printer is on USB005'
    report_has other-port 'not the printer: port description "OtherQ5" is not KorvaneQ5'
    report_has other-port-json '"port_match":false'
    grep -q . "$drive/doctor.txt" && fail "the doctor wrote debugger lines: $(cat "$drive/doctor.txt")"
    grep -q '^open$' "$vusb/A1B2C3/log" || fail "the doctor did not try the printer's device"

    # Both on USB005, kq5svc.exe running as a service with the printer open: nothing wrong.
    w reg add "$printer_key" /v Port /t REG_SZ /d USB005 /f >/dev/null
    w sc create kq5check binPath= 'C:\kq5svc.exe' start= auto >/dev/null
    w net start kq5check >/dev/null
    wait_for_state kq5check 4
    # The service holds the printer once it reads frames (the doctor only opens and closes it).
    for _ in $(seq 100); do grep -q '^frame ' "$vusb/A1B2C3/log" && break; sleep 0.05; done
    # Wine's winspool works without the Spooler service, which Wine does not start by itself;
    # Windows runs it, and the doctor reports it stopped (as in the two runs above).
    w net start Spooler >/dev/null 2>&1 || true
    # Wine's QueryServiceConfig2W answers ERROR_INVALID_LEVEL for the recovery actions and the
    # required privileges: the doctor could not look at them, and says so (exit 2); nothing else.
    doctor held 2
    doctor held-json 2 --json
    report_has held-json '"problems":["kq5_recovery_unknown","kq5_privileges_unknown"]'
    report_has held 'CANNOT   kq5 (service "kq5check"): its recovery actions cannot be read (0x7c'
    report_has held 'ok       the printer'"'"'s device is held by kq5, as expected while it runs'
    report_has held 'ok       the queue prints to USB005, the printer'"'"'s port'
    report_has held 'ok       kq5 (service "kq5check"): running'
    report_has held-json '"device":"held"'
    w net stop kq5check >/dev/null
    wait_for_state kq5check 1
    w sc delete kq5check >/dev/null
    stop_printer
    w reg delete "$printer_key" /f >/dev/null
    doctor usage 2 --bogus
    report_has usage 'kq5doctor: unknown option --bogus'
    report_has usage 'usage: kq5doctor [--json]'
    report_has held 'kq5svc.exe version 1.0.0.0'
    report_has held-json '"program":"C:\\kq5svc.exe","version":"1.0.0.0"'
    # With --json, standard output carries JSON or nothing: a complaint goes to standard error.
    code=0
    w 'C:\kq5doctor.exe' --json --bogus >"$work/doctor-json-bogus.out" 2>"$work/doctor-json-bogus.err" || code=$?
    [ "$code" = 2 ] && [ ! -s "$work/doctor-json-bogus.out" ] &&
        grep -q 'kq5doctor: unknown option --bogus' "$work/doctor-json-bogus.err" ||
        fail "kq5doctor --json --bogus: exit $code, standard output: $(cat "$work/doctor-json-bogus.out")"
    options_answer 'C:\kq5doctor.exe' kq5doctor
    for name in no-queue other-port held; do
        echo "== kq5doctor ($name)"
        cat "$work/doctor-$name.txt"
    done
    ;;

trace)
    # A trace is a test: the real service captured with the shipped kq5trace.exe, and kq5sim's
    # reading of the capture must give exactly the statuses the printer handed out, in order.
    kq5sim=$4
    make_queue
    w sc create kq5check binPath= 'C:\kq5svc.exe' >/dev/null
    start_printer
    echo 32 >"$vusb/A1B2C3/status"
    rm -f "$drive/trace.txt"
    # The service's lines go to the session's channel under Wine (it has no session 0).
    timeout 200 wine 'C:\kq5trace.exe' --session --service kq5check --wait --until-stop --for 150 \
        --out 'C:\trace.txt' </dev/null >"$work/kq5trace.log" 2>&1 &
    tracer=$!
    echo "$tracer" >>"$pids"
    wait_for_file "$drive/trace.txt"
    w net start kq5check >/dev/null
    wait_for_state kq5check 4
    for code in 32 4 12 0 8 0x80 32 40 0xA0 0x84 32; do
        line="KQ5 STATUS:$(signed "$code")\\r\\n"
        before=$(grep -cF -- "] $line" "$drive/trace.txt" || true)
        echo "$code" >"$vusb/A1B2C3/status"
        # Two lines of it, so that every status lasts a while, before the next one.
        for _ in $(seq 200); do
            [ "$(grep -cF -- "] $line" "$drive/trace.txt" || true)" -ge "$((before + 2))" ] && break
            sleep 0.05
        done
    done
    w net stop kq5check >/dev/null
    wait_for_state kq5check 1
    wait "$tracer" || fail "kq5trace.exe exited with $?: $(cat "$work/kq5trace.log")"
    # Refusals, each with exit code 2 and its reason: the service not running, and the channel
    # held by another viewer.
    code=0
    w 'C:\kq5trace.exe' --session --service kq5check --for 1 >/dev/null 2>"$work/refused.txt" || code=$?
    [ "$code" -eq 2 ] && grep -q 'is not running' "$work/refused.txt" ||
        fail "kq5trace without the service: exit $code, $(cat "$work/refused.txt")"
    start_capture viewer
    code=0
    w 'C:\kq5trace.exe' --session --service kq5check --for 1 >/dev/null 2>"$work/refused.txt" || code=$?
    stop_capture viewer
    [ "$code" -eq 2 ] && grep -q 'another debug-output viewer' "$work/refused.txt" ||
        fail "kq5trace beside another viewer: exit $code, $(cat "$work/refused.txt")"
    # Options a recording refuses, each with exit code 2 and its reason, before it touches anything.
    for options in "--record C:\\refused --out C:\\refused.txt" "--record C:\\refused --keep-days 0" \
        "--record C:\\refused --max-mib x" "--keep-days 3"; do
        code=0
        # shellcheck disable=SC2086 # the options are words
        w 'C:\kq5trace.exe' $options >/dev/null 2>"$work/refused.txt" || code=$?
        [ "$code" -eq 2 ] && grep -q -- '--' "$work/refused.txt" ||
            fail "kq5trace $options: exit $code, $(cat "$work/refused.txt")"
    done
    [ ! -e "$drive/refused" ] || fail "a refused recording made its folder"
    # A full disk: today's file on a device that is always full (a link to /dev/full). The recorder
    # says so and exits 1; the day before stays as it was.
    rm -rf "$drive/full"
    mkdir -p "$drive/full"
    echo '# kq5trace 1.0.0: yesterday' >"$drive/full/kq5trace-2000-01-01.txt"
    ln -s /dev/full "$drive/full/kq5trace-$(date +%Y-%m-%d).txt"
    code=0
    w 'C:\kq5trace.exe' --record 'C:\full' --session --service nosuch --keep-days 36500 --for 3 \
        >/dev/null 2>"$work/full.txt" || code=$?
    [ "$code" -eq 1 ] && grep -q 'recording stopped: cannot write .*No space left on device' "$work/full.txt" ||
        fail "kq5trace --record on a full disk: exit $code, $(cat "$work/full.txt")"
    [ "$(cat "$drive/full/kq5trace-2000-01-01.txt")" = '# kq5trace 1.0.0: yesterday' ] ||
        fail "the full disk's earlier file changed"
    # A recording of a service that is not installed says so and waits; --for ends it, exit 0.
    code=0
    w 'C:\kq5trace.exe' --record 'C:\nosuch' --session --service nosuch --for 2 >/dev/null \
        2>"$work/nosuch.txt" || code=$?
    [ "$code" -eq 0 ] && grep -q 'service nosuch is not running: there is no such service' \
        "$drive"/nosuch/kq5trace-*.txt ||
        fail "kq5trace --record without the service: exit $code, $(cat "$work/nosuch.txt" "$drive"/nosuch/* 2>&1)"

    # kq5trace.exe --record across a restart of the service: started while another viewer holds
    # the channel, it says so in its file, waits and takes the channel once the viewer is gone;
    # then today's file holds the lines of both processes of the service, each announced by a
    # note, the second one's first line included.
    rm -rf "$drive/record"
    start_capture viewer2
    timeout 200 wine 'C:\kq5trace.exe' --record 'C:\record' --session --service kq5check \
        --keep-days 3 --max-mib 8 </dev/null >"$work/record.log" 2>&1 &
    recorder=$!
    echo "$recorder" >>"$pids"
    day="$drive/record/kq5trace-$(date +%Y-%m-%d).txt"
    record_has() { # PATTERN COUNT: wait until the day's file has COUNT lines matching PATTERN
        for _ in $(seq 300); do
            n=$(grep -cF -- "$1" "$day" 2>/dev/null || true)
            [ "${n:-0}" -ge "$2" ] && return 0
            sleep 0.05
        done
        fail "the recording never had $2 lines with '$1': $(cat "$day" 2>/dev/null) $(cat "$work/record.log")"
    }
    record_has 'another debug-output viewer holds the channel; waiting' 1
    stop_capture viewer2
    record_has 'the debug-output channel is free again; recording' 1
    for run in 1 2; do
        w net start kq5check >/dev/null
        wait_for_state kq5check 4
        record_has 'runs as process' "$run"
        record_has 'KQ5 STATUS:32' "$((2 * run))"
        w net stop kq5check >/dev/null
        wait_for_state kq5check 1
        record_has 'is not running' "$((run + 1))"
    done
    kill "$recorder" 2>/dev/null || true
    wait "$recorder" 2>/dev/null || true
    head -n1 "$day" | grep -q '^# kq5trace [0-9.]*: debugger lines of the service kq5check, from ' ||
        fail "the day's file does not start with the header: $(head -n1 "$day")"
    mapfile -t processes < <(grep -o 'runs as process [0-9]*' "$day" | cut -d' ' -f4)
    [ "${#processes[@]}" -eq 2 ] && [ "${processes[0]}" != "${processes[1]}" ] ||
        fail "the recording does not name two processes: ${processes[*]}"
    for process in "${processes[@]}"; do
        grep -qF -- "[$process] GetPrinterHandle" "$day" ||
            fail "no first line of process $process in the recording: $(cat "$day")"
        grep -qF -- "[$process] KQ5 STATUS:32\r\n" "$day" ||
            fail "no status line of process $process in the recording: $(cat "$day")"
    done
    [ "$(ls "$drive/record")" = "$(basename "$day")" ] || fail "files recorded: $(ls "$drive/record")"
    echo "record: kq5trace.exe --record waited for the channel, then recorded processes ${processes[*]} across a restart in $(basename "$day") ($(grep -c 'KQ5 STATUS' "$day") status lines)"
    # The folder read back by the Windows reader as one trace: both processes' first lines in its
    # timeline, and the same findings as kq5sim --trace prints.
    w 'C:\kq5trace.exe' --read 'C:\record' >"$work/record-read.out" 2>&1 ||
        fail "kq5trace.exe --read of the recording failed: $(cat "$work/record-read.out")"
    grep -qx 'Findings:' "$work/record-read.out" || fail "no findings of the recording: $(cat "$work/record-read.out")"
    grep -qF -- "of the service (processes ${processes[0]}, ${processes[1]})" "$work/record-read.out" ||
        fail "kq5trace.exe --read does not find both processes: $(cat "$work/record-read.out")"
    same_findings recording 'C:\record' "$drive/record"
    echo "record: kq5trace.exe --read reads the folder back with both processes, the same findings as kq5sim --trace"

    # kq5trace.exe --record raises kq5's Windows events as it records: the printer unplugged for
    # longer than its threshold (2 s here) raises "printer away" (1000, a warning), and its return
    # the end (1001, information), each with its five strings, which Wine's ReportEventW writes to
    # its eventlog channel; each reads back through kq5trace.exe's message table, and the reader's
    # report of the same folder lists the same two events. Wine delivers no device events, so the
    # printer is found again by a new process of the service.
    rm -rf "$drive/events"
    w net start kq5check >/dev/null
    wait_for_state kq5check 4
    WINEDEBUG=-all,+eventlog,fixme+advapi timeout 200 wine 'C:\kq5trace.exe' --record 'C:\events' \
        --session --service kq5check --alert-after away=2 </dev/null >"$work/events-record.log" \
        2>"$work/events-record.err" &
    recorder=$!
    echo "$recorder" >>"$pids"
    day="$drive/events/kq5trace-$(date +%Y-%m-%d).txt"
    raised() { # ID in hex: wait until the recorder has reported it
        for _ in $(seq 300); do
            grep -q "ReportEventW (.*,$1," "$work/events-record.err" && return 0
            sleep 0.05
        done
        fail "kq5trace --record never reported event $1: $(grep -a ReportEventW "$work/events-record.err" | head) $(cat "$day" 2>/dev/null | tail -5)"
    }
    record_has 'KQ5 STATUS:32' 2
    touch "$vusb/A1B2C3/unplugged"
    raised 0x000003e8
    rm "$vusb/A1B2C3/unplugged"
    w net stop kq5check >/dev/null
    wait_for_state kq5check 1
    w net start kq5check >/dev/null
    wait_for_state kq5check 4
    raised 0x000003e9
    kill "$recorder" 2>/dev/null || true
    wait "$recorder" 2>/dev/null || true
    w net stop kq5check >/dev/null
    wait_for_state kq5check 1
    tr -d '\r' <"$work/events-record.err" | grep -aE '^[0-9a-f]+:[a-z]+:(advapi|eventlog):ReportEventW' |
        sed -E 's/^[0-9a-f]+://' >"$work/events-raised.txt"
    python3 - "$work/events-raised.txt" >"$work/events-args.txt" <<'PY' || fail "the events raised: $(cat "$work/events-raised.txt")"
import re, sys
lines = open(sys.argv[1], encoding="utf-8", errors="replace").read().splitlines()
events = []
for i, line in enumerate(lines):
    m = re.match(r"fixme:advapi:ReportEventW \(([^,]*),(0x[0-9a-f]+),0x0000,(0x[0-9a-f]+),[^,]*,0x0005,", line)
    if m:
        strings = [re.fullmatch(r'[a-z]+:eventlog:ReportEventW L"(.*)"', s).group(1) for s in lines[i + 1:i + 6]]
        events.append((int(m[3], 16), int(m[2], 16), strings))
ids = [(e[0], e[1]) for e in events if e[0] in (1000, 1001)]
assert ids == [(1000, 2), (1001, 4)], "events 1000 (warning) then 1001 (information), got %s" % [(e[0], e[1]) for e in events]
for number, kind, strings in events:
    if number in (1000, 1001):
        assert strings[0] == "Korvane-Q5" and strings[2].startswith("32 ") and strings[4].startswith("kq5trace-"), strings
        print(number, *strings, sep="\t")
PY
    while IFS=$'\t' read -r id s1 s2 s3 s4 s5; do
        text=$(w 'C:\message_table.exe' 'C:\kq5trace.exe' "$id" "$s1" "$s2" "$s3" "$s4" "$s5" | tr -d '\r')
        case "$id" in
        1000) want="1000	The printer of the print queue Korvane-Q5 has been away (unplugged or switched off) for $s4;" ;;
        1001) want="1001	The printer of the print queue Korvane-Q5 is back after $s4 away." ;;
        esac
        [[ "$text" == "$want"* ]] || fail "event $id through the message table: $text"
    done <"$work/events-args.txt"
    w 'C:\kq5trace.exe' --read 'C:\events' >"$work/events-read.out" 2>&1 ||
        fail "kq5trace.exe --read of the events' recording: $(cat "$work/events-read.out")"
    grep -q '1000 PRINTER_AWAY begins (warning)' "$work/events-read.out" &&
        grep -q '1001 PRINTER_AWAY ends (information)' "$work/events-read.out" ||
        fail "the reader's report does not list the events raised: $(cat "$work/events-read.out")"
    echo "events: kq5trace.exe --record raised 1000 (printer away, after $(sed -n '1s/^[^\t]*\t[^\t]*\t[^\t]*\t[^\t]*\t\([^\t]*\).*/\1/p' "$work/events-args.txt")) and 1001 (back), read back through its message table; the reader's report lists both"

    stop_printer
    w sc delete kq5check >/dev/null
    w reg delete "$printer_key" /f >/dev/null
    tr -d '\r' <"$drive/trace.txt" >"$work/trace.txt"
    "$kq5sim" --trace "$work/trace.txt" --svg "$work/trace.svg" >"$work/trace.out" ||
        fail "kq5sim --trace failed: $(cat "$work/trace.out")"
    xmllint --noout "$work/trace.svg" || fail "the trace's picture is not well-formed XML"
    got=$(sed -n 's/^    at [^(]*: status \(-\{0,1\}[0-9]*\) (.*/\1/p' "$work/trace.out" | tr '\n' ' ')
    handed=$(grep '^frame ' "$vusb/A1B2C3/log" | cut -d' ' -f2 | uniq | tr '\n' ' ')
    [ -n "$got" ] && [ "$got" = "$handed" ] || fail "statuses in the trace: $got; handed out: $handed; $(cat "$work/trace.out")"
    grep -qx '  no gap longer than two cycles, from the first line to the last' "$work/trace.out" || fail "a gap in the trace: $(grep -A3 gaps "$work/trace.out")"
    grep -q '^  the service ended: " MainError:' "$work/trace.out" || fail "no end of the service in the trace"
    grep -q '^# kq5trace ' "$work/trace.txt" || fail "no kq5trace header"
    same_findings capture 'C:\trace.txt' "$drive/trace.txt"
    echo "trace: kq5trace.exe --read and kq5sim --trace print the same findings of the capture"
    echo "trace: kq5trace.exe captured $(grep -c 'KQ5 STATUS' "$work/trace.txt") status lines; kq5sim --trace reads the statuses handed out ($got) with no gap"
    ;;

read)
    kq5sim=$4 source=$5
    count=0
    for sample in "$source"/tests/traces/*.log "$source"/tests/traces/*.dblog "$source"/docs/trace-wine.txt; do
        same_findings "$(basename "$sample")" "$(windows_path "$sample")" "$sample"
        count=$((count + 1))
    done
    bash "$source/bench/week_trace.sh" "$(dirname "$kq5sim")" >"$work/week.txt"
    WINE_TIMEOUT=120 same_findings week "$(windows_path "$work/week.txt")" "$work/week.txt"
    # A folder of record files, and one that is no trace: the same answers too.
    mkdir -p "$work/record"
    cp "$source/docs/trace-wine.txt" "$work/record/kq5trace-2026-12-07.txt"
    head -c 2000 "$work/week.txt" >"$work/record/kq5trace-2026-12-07.2.txt"
    echo "not a trace" >"$work/record/notes.txt"
    same_findings record "$(windows_path "$work/record")" "$work/record"
    same_findings not-a-trace "$(windows_path "$source/README.md")" "$source/README.md"
    # A report that cannot be written is named, with exit code 1, and the findings are printed.
    code=0
    w 'C:\kq5trace.exe' --read "$(windows_path "$source/docs/trace-wine.txt")" \
        --html 'C:\no-such-folder\report.html' >"$work/read-unwritable.out" 2>&1 || code=$?
    [ "$code" = 1 ] && grep -q 'cannot write the report to C:\\no-such-folder\\report.html' "$work/read-unwritable.out" &&
        grep -qx 'Findings:' "$work/read-unwritable.out" ||
        fail "a report that cannot be written: exit $code, $(cat "$work/read-unwritable.out")"
    # Bad usage: exit 2 with the usage.
    code=0
    w 'C:\kq5trace.exe' --read >/dev/null 2>"$work/read-usage.err" || code=$?
    [ "$code" = 2 ] && grep -q '^usage: kq5trace --read' "$work/read-usage.err" ||
        fail "--read without a trace: exit $code, $(cat "$work/read-usage.err")"
    overwrite_refusals
    options_answer 'C:\kq5trace.exe' kq5trace
    refused record-help --record --help
    grep -q 'kq5trace: --record needs a value (FOLDER), not the option --help' "$work/refused-record-help.err" &&
        grep -q '^usage: kq5trace --record FOLDER' "$work/refused-record-help.err" ||
        fail "--record --help: $(cat "$work/refused-record-help.err")"
    [ ! -e "$drive/--help" ] && [ ! -e "$work/--help" ] || fail "--record --help made a folder named --help"
    refused bogus --bogus
    grep -q 'kq5trace: unknown option --bogus' "$work/refused-bogus.err" || fail "--bogus: $(cat "$work/refused-bogus.err")"
    refused misplaced --read 'C:\x.log' --for 5
    grep -q 'kq5trace: --for does not go with --read' "$work/refused-misplaced.err" ||
        fail "--read with --for: $(cat "$work/refused-misplaced.err")"
    echo "read: kq5trace.exe --read and kq5sim --trace print the same for $count samples, a week of trace ($(wc -l <"$work/week.txt") lines), a record folder and a file that is no trace"
    echo "read: outputs over what is read refused by every spelling; /?, -h, --help, --version and wrong options answered"
    ;;

components)
    start_printer
    code=0
    WINE_TIMEOUT=180 w 'C:\kq5_wine_tests.exe' 2>&1 | tr -d '\r' || code=$?
    stop_printer
    exit "$code"
    ;;

conformance)
    start_printer
    code=0
    WINE_TIMEOUT=180 w 'C:\kq5-conformance.exe' --lab 2>"$work/conformance.err" | tr -d '\r' >"$work/conformance.txt" || code=$?
    cat "$work/conformance.txt"
    [ "$code" -eq 0 ] || fail "kq5-conformance --lab exited $code"
    head -n1 "$work/conformance.txt" | grep -q '^kq5-conformance [0-9.]* on Wine .* (as Windows [0-9.]* build [0-9]*.*)$' ||
        fail "no Windows version and build: $(head -n1 "$work/conformance.txt")"
    facts=$(grep -c '^\(held\|differs\|not run\) ' "$work/conformance.txt" || true)
    held=$(grep -c '^held ' "$work/conformance.txt" || true)
    # The mitigations Windows reports for the program itself: Wine's GetProcessMitigationPolicy
    # is a stub, and each is not run, saying so.
    wine_unreported=$(grep -A1 '^not run  mitigation\.' "$work/conformance.txt" |
        grep -c "why: GetProcessMitigationPolicy answered without writing the .*: Wine does not implement it" || true)
    [ "$wine_unreported" = 4 ] || fail "$wine_unreported of the 4 mitigations not run for Wine's stub"
    [ "$facts" -ge 14 ] && [ "$((held + wine_unreported))" = "$facts" ] || fail "$held of $facts facts held"
    grep -q "Wine's known departure: Wine's SetPrinterW has no level 0" "$work/conformance.txt" ||
        fail "Wine's departures are not named"
    WINE_TIMEOUT=180 w 'C:\kq5-conformance.exe' --lab --json 2>/dev/null | tr -d '\r' >"$work/conformance.json" || code=$?
    [ "$code" -eq 0 ] || fail "kq5-conformance --lab --json exited $code"
    python3 - "$work/conformance.json" "$facts" <<'PY' || fail "the JSON report: $(cat "$work/conformance.json")"
import json, sys
report = json.load(open(sys.argv[1]))
verdicts = {f["verdict"] for f in report["facts"] if not f["id"].startswith("mitigation.")}
assert report["system"].startswith("Wine "), report["system"]
assert len(report["facts"]) == int(sys.argv[2]) and verdicts == {"held"}, verdicts
assert report["options"] == ["--lab"] and report["differ"] == 0
PY
    WINE_TIMEOUT=180 w 'C:\kq5-conformance.exe' --lab --printer 2>/dev/null | tr -d '\r' >"$work/walkthrough.txt" || code=$?
    stop_printer
    [ "$code" -eq 0 ] || fail "kq5-conformance --lab --printer exited $code"
    for step in printer.unplugged printer.other-usb-port printer.door-open printer.door-closed \
        printer.paper-out printer.paper-back package.recovery-actions package.required-privileges package.sid-type; do
        grep -q "^not run  $step  " "$work/walkthrough.txt" || fail "step $step: $(grep -A1 " $step " "$work/walkthrough.txt")"
    done
    grep -q "why: Wine cannot show it: " "$work/walkthrough.txt" || fail "no reason for the printer steps"
    grep -q "why: kq5 is not installed: install the package first" "$work/walkthrough.txt" ||
        fail "no reason for the package steps"
    code=0
    w 'C:\kq5-conformance.exe' --printer >/dev/null 2>&1 || code=$?
    [ "$code" -eq 2 ] || fail "--printer without --lab exited $code"
    echo "kq5-conformance.exe under Wine: $held facts held with --lab, the same as JSON; --lab --printer: the steps Wine cannot show not run"
    ;;

events)
    # kq5trace.exe's message table, loaded as the event log's readers load it: every event of the
    # message file, in its order, reads as the file's text with the test strings in place of
    # %1..%5 (the oracle is the file itself, not the header the probe was built with); the
    # README's table of the events lists the same IDs.
    mc="$(dirname "${BASH_SOURCE[0]}")/../../src/eventlog/kq5_events.mc"
    code=0
    w 'C:\message_table.exe' 'C:\kq5trace.exe' 2>"$work/events.err" | tr -d '\r' >"$work/events.txt" || code=$?
    [ "$code" -eq 0 ] || fail "message_table.exe exited $code: $(cat "$work/events.txt" "$work/events.err")"
    readme="$(dirname "${BASH_SOURCE[0]}")/../../README.md"
    python3 - "$mc" "$work/events.txt" "$readme" <<'PY' || fail "the message table: $(cat "$work/events.txt")"
import re, sys
strings = ["<queue>", "<port>", "<status>", "<duration>", "<record>"]
source = open(sys.argv[1], encoding="utf-8").read()
expected = []
for number, text in re.findall(r"^MessageId=(\d+)\n(?:\w+=.*\n)*?Language=English\n(.*?)\n\.$", source, re.M):
    assert "\n" not in text and not re.search(r"%[^1-5]", text), (number, text)
    expected.append(number + "\t" + re.sub(r"%([1-5])", lambda m: strings[int(m[1]) - 1], text))
got = open(sys.argv[2], encoding="utf-8").read().splitlines()
assert len(expected) == source.count("\nMessageId=") > 0, "the file's events were not all read"
for want, line in zip(expected, got):
    assert line == want, "got:  " + line + "\nwant: " + want
assert len(got) == len(expected), "%d events formatted, the file has %d" % (len(got), len(expected))
# The README's table of the events names each of them, in the file's order.
documented = re.findall(r"^\| (\d{4}) \| (?:error|warning|information) \|", open(sys.argv[3], encoding="utf-8").read(), re.M)
assert documented == [e.split("\t")[0] for e in expected], "the README's table lists %s" % documented
for line in got:
    missing = [s for s in strings if s not in line]
    if missing:
        print("  %s places no %s (its text names no such insertion)" % (line.split("\t")[0], " ".join(missing)))
PY
    echo "kq5trace.exe's message table: the $(wc -l <"$work/events.txt") events of the message file, each formatted with its insertion strings placed"
    # ReportEventW as source "kq5": Wine writes the type and the ID, then each insertion string on
    # the channel of the type (err, warn, trace).
    WINEDEBUG=-all,+eventlog,fixme+advapi w 'C:\message_table.exe' --report >"$work/report.out" 2>"$work/report.err" ||
        fail "message_table.exe --report: $(cat "$work/report.out" "$work/report.err")"
    expected=""
    for event in 0x0001:0x0000041a:err 0x0002:0x000003e8:warn 0x0004:0x000003e9:trace; do
        IFS=: read -r type id channel <<<"$event"
        expected+="fixme:advapi:ReportEventW (00000000CAFE4242,$type,0x0000,$id,0000000000000000,0x0005,0x00000000,"$'\n'
        for text in '<queue>' '<port>' '<status>' '<duration>' '<record>'; do
            expected+="$channel:eventlog:ReportEventW L\"$text\""$'\n'
        done
    done
    got=$(tr -d '\r' <"$work/report.err" | grep -E '^[0-9a-f]+:[a-z]+:(advapi|eventlog):ReportEventW' |
        sed -E 's/^[0-9a-f]+://; s/^(fixme:advapi:ReportEventW \(([^,]*,){7}).*/\1/')
    [ "$got" = "${expected%$'\n'}" ] || fail "ReportEventW as kq5 under WINEDEBUG=+eventlog: $got"
    echo "ReportEventW as source kq5: an error, a warning and an information event, each with its five strings (WINEDEBUG=+eventlog)"
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
