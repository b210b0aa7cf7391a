#!/usr/bin/env bash
# The Windows Installer package under Wine, in a throw-away prefix of its own: checks that its
# tables configure the service with sc.exe between InstallServices and StartServices; installs
# kq5-VERSION-x64.msi, upgrades it with the next patch version, refuses the downgrade back,
# uninstalls, each with a verbose log and a trace of the programs msiexec starts, and checks the
# event source "kq5" registered while it is installed and gone after, and the fleet files installed
# as they are in the sources (the recording task's definition accepted by schtasks); then installs
# the service by hand the README's way and checks that its path is registered quoted. Every Wine
# command is time-bounded.
# Usage: package.sh WINDOWS-BUILD-DIR WORK-DIR VERSION README
set -euo pipefail
windir=$1
work=$2
version=$3
readme=$4
next=${version%.*}.$((${version##*.} + 1))
# What the package runs with sc.exe, and the README's install by hand too.
recovery='failure kq5 reset= 86400 actions= restart/60000/restart/60000//'
privileges='privs kq5 SeChangeNotifyPrivilege'

source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
folder="$drive/Program Files/kq5"
fleet=$(dirname "$readme")/packaging/fleet
event_key='HKLM\SYSTEM\CurrentControlSet\Services\EventLog\Application\kq5'

cleanup() {
    wineserver -k 2>/dev/null || true
    timeout 30 wineserver -w 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 1' INT TERM

probe() {
    w 'C:\service_status.exe' "$@" | tr -d '\r'
}

wait_for_running() {
    for _ in $(seq 100); do
        probe kq5 | grep -q "state=4 " && return 0
        sleep 0.1
    done
    fail "kq5 never reached RUNNING: $(probe kq5)"
}

# How many kq5svc.exe processes run in this prefix (Wine shows each by its Windows path).
count_programs() {
    local pid count=0
    for pid in $(pgrep -f 'kq5svc\.exe'); do
        grep -qzx "WINEPREFIX=$WINEPREFIX" "/proc/$pid/environ" 2>/dev/null && count=$((count + 1))
    done
    echo "$count"
}

wait_for_programs() {
    for _ in $(seq 50); do
        [ "$(count_programs)" -eq "$1" ] && return 0
        sleep 0.1
    done
    fail "$(count_programs) kq5svc.exe processes run, not $1"
}

# msiexec's exit code as it reaches Linux (the low byte: 1603 arrives as 67). Its verbose log
# goes to C:\NAME.log, its output and Wine's trace of the programs it starts to NAME.out.
run_msiexec() {
    local name=$1 code=0
    shift
    WINEDEBUG=+process w msiexec "$@" /qn /l*v "C:\\$name.log" >"$work/$name.out" 2>&1 || code=$?
    echo "$code"
}

# The msiexec run NAME (as run_msiexec) succeeded.
msiexec_ok() {
    local code
    code=$(run_msiexec "$@")
    [ "$code" -eq 0 ] || fail "$1 exit code $code: $(tail "$work/$1.out")"
}

# The sc.exe command lines that the msiexec run NAME started, in order.
sc_runs() {
    grep -a 'trace:process:CreateProcessInternalW app L"C:\\\\windows\\\\system32\\\\sc.exe"' \
        "$work/$1.out" | sed -E 's/.* cmdline L"C:\\\\windows\\\\system32\\\\sc\.exe (.*)"$/\1/' || true
}

# The run NAME configured the service with sc.exe: both commands, in this order, between
# InstallServices and StartServices (the verbose log lists each action as it starts).
check_configured() {
    local order
    [ "$(sc_runs "$1")" = "$(printf '%s\n' "$recovery" "$privileges")" ] ||
        fail "$1: sc.exe ran as: $(sc_runs "$1")"
    order=$(grep -aoE '^Action start [0-9:]+: (InstallServices|kq5Recovery|kq5Privileges|StartServices)\.' \
        "$drive/$1.log" | sed -E 's/.*: (.*)\./\1/' | tr '\n' ' ')
    echo "$order" | grep -qxE '(InstallServices kq5Recovery kq5Privileges StartServices )+' ||
        fail "$1: actions in the order: $order"
}

# The installed program is EXE, byte for byte, registered as the package registers it, and running.
check_installed() {
    local config
    cmp -s "$folder/kq5svc.exe" "$1" || fail "C:\\Program Files\\kq5\\kq5svc.exe is not $1"
    cmp -s "$folder/kq5doctor.exe" "$windir/kq5doctor.exe" ||
        fail "C:\\Program Files\\kq5\\kq5doctor.exe is not $windir/kq5doctor.exe"
    # The conformance program is released beside the package, for volunteers: never installed.
    [ ! -e "$folder/kq5-conformance.exe" ] || fail "the package installed kq5-conformance.exe"
    config=$(probe -config kq5)
    # Windows Installer registers the path quoted; Wine's msiexec does not.
    [ "$(echo "$config" | grep -vE '^(display|description)=' | sed -E 's/^path="(.*)"$/path=\1/')" \
        = "$(printf '%s\n' type=0x10 start=2 error=1 'path=C:\Program Files\kq5\kq5svc.exe' \
            account=LocalSystem)" ] || fail "configuration: $config"
    echo "$config" | grep -q '^display=.*Korvane-Q5' &&
        echo "$config" | grep -q '^description=.*Korvane-Q5' || fail "names: $config"
    wait_for_running
    wait_for_programs 1
}

# The values of the event source "kq5", one a line: name, type and data, tab-separated; nothing
# when the key is absent.
event_source() {
    { w reg query "$event_key" 2>/dev/null || true; } | tr -d '\r' | grep '^    ' |
        sed -E 's/^ +//; s/ {4}/\t/g' || true
}

# The installed package registers kq5trace.exe as the event source "kq5" and holds the fleet
# files as they are in the sources.
check_event_source() {
    [ "$(event_source)" = "$(printf '%s\t%s\t%s\n' EventMessageFile REG_EXPAND_SZ \
        'C:\Program Files\kq5\kq5trace.exe' TypesSupported REG_DWORD 0x7)" ] ||
        fail "$1: the event source kq5: $(event_source)"
    for file in "$fleet"/*; do
        cmp -s "$folder/fleet/${file##*/}" "$file" ||
            fail "$1: C:\\Program Files\\kq5\\fleet\\${file##*/} is not $file"
    done
}

# The lines of the first ```bat block after the README line matching PATTERN.
readme_block() {
    awk -v pattern="$1" '$0 ~ pattern { found = 1 }
        found && /^```/ { if (inside) exit; inside = 1; next }
        inside' "$readme"
}

mkdir -p "$work"
(cd "$windir" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match"
grep -q ' kq5-conformance.exe$' "$windir/SHA256SUMS" || fail "SHA256SUMS does not list kq5-conformance.exe"

# The package's tables: the path of sc.exe set while the install script is written (type 51),
# then both commands as deferred actions that run sc.exe from that property (50), as LocalSystem
# (+2048 no impersonation, +1024 deferred) and go on if it fails (+64), between InstallServices
# and StartServices, not on removal.
msi=$windir/kq5-$version-x64.msi
table() {
    msiinfo export "$msi" "$1" | tr -d '\r' | tail -n +4
}
[ "$(table CustomAction | sort)" = "$(printf '%s\t\n' \
    "kq5Privileges	3186	KQ5_SC	$privileges" "kq5Recovery	3186	KQ5_SC	$recovery" \
    'kq5ScPath	51	KQ5_SC	[System64Folder]sc.exe')" ] ||
    fail "CustomAction table: $(table CustomAction)"
sequence=$(table InstallExecuteSequence | sort -t$'\t' -k3,3n |
    awk -F'\t' '$1 == "kq5ScPath" || $1 == "InstallServices" { on = 1 } on { print } $1 == "StartServices" { exit }')
[ "$sequence" = "$(printf '%s\n' 'kq5ScPath		5790' 'InstallServices	VersionNT	5800' \
    'kq5Recovery	NOT REMOVE~="ALL"	5810' 'kq5Privileges	NOT REMOVE~="ALL"	5820' \
    'StartServices	VersionNT	5900')" ] || fail "InstallExecuteSequence: $sequence"
# The event source: kq5trace.exe's installed path, expandable (#%), and the three types (#7).
[ "$(table Registry | cut -f2- | sort)" = "$(printf '2\t%s\t%s\t%s\tEventSource\n' \
    'SYSTEM\CurrentControlSet\Services\EventLog\Application\kq5\' EventMessageFile '#%[#kq5trace.exe]' \
    'SYSTEM\CurrentControlSet\Services\EventLog\Application\kq5\' TypesSupported '#7')" ] ||
    fail "Registry table: $(table Registry)"
[ "$(table File | grep -c kq5-conformance || true)" = 0 ] ||
    fail "the package holds kq5-conformance.exe: $(table File | grep kq5-conformance)"
echo "the package runs sc.exe between InstallServices and StartServices (msiinfo export):"
echo "$sequence" | sed 's/^/  /'
WINE_TIMEOUT=120 w wineboot --init >"$work/boot.log" 2>&1 ||
    fail "wineboot failed: $(tail "$work/boot.log")"
# As in wine.sh: the first boot leaves two service managers behind; start over with one.
wineserver -k || true
wineserver -w
# A server that stays up for 30 s after its last program: else, between two commands with no
# program running, Wine shuts the session down, and the next command's start-up starts every
# automatic service itself, which would hide a service that the package failed to start.
wineserver -p30
# The session's background processes inherit this command's output: send it to files.
w cmd /c exit >"$work/session.out" 2>"$work/session.err"
cp "$windir/tools/wine/service_status.exe" "$windir/kq5-$version-x64.msi" "$drive/"
cp "$windir/tests/wine/kq5-next-x64.msi" "$drive/kq5-$next-x64.msi"

got=$(probe -version "Z:$(echo "$windir/kq5svc.exe" | tr / '\\')")
for line in "file=$version.0" "product=$version.0" "FileVersion=$version" \
    "ProductVersion=$version" ProductName=kq5 OriginalFilename=kq5svc.exe InternalName=kq5svc; do
    echo "$got" | grep -qx "$line" || fail "version resource: no $line in: $got"
done
echo "kq5svc.exe carries version $version; SHA256SUMS matches"

msiexec_ok install /i "C:\\kq5-$version-x64.msi"
check_installed "$windir/kq5svc.exe"
check_configured install
echo "installed $version: C:\\Program Files\\kq5\\kq5svc.exe, service kq5 registered and running"
# The installed doctor finds the service by its program, running (no queue here: exit 1).
doctor=$(w 'C:\Program Files\kq5\kq5doctor.exe' --json | tr -d '\r') || true
echo "$doctor" | grep -qF '"installed":true,"name":"kq5","state":"running"' ||
    fail "the installed kq5doctor.exe does not see the service: $doctor"
echo "  kq5doctor.exe installed beside it; it reports service kq5 running"
# The installed kq5trace.exe is the built one and reads a trace into its findings and report.
cmp -s "$folder/kq5trace.exe" "$windir/kq5trace.exe" ||
    fail "C:\\Program Files\\kq5\\kq5trace.exe is not $windir/kq5trace.exe"
cp "$(dirname "$readme")/docs/trace-wine.txt" "$drive/trace-wine.txt"
rm -f "$drive/report.html"
w 'C:\Program Files\kq5\kq5trace.exe' --read 'C:\trace-wine.txt' --html 'C:\report.html' \
    >"$work/read.out" 2>&1 || fail "the installed kq5trace.exe --read: $(cat "$work/read.out")"
grep -qx 'Findings:' "$work/read.out" && grep -q '<li id="first-finding"' "$drive/report.html" ||
    fail "the installed kq5trace.exe reads no findings: $(cat "$work/read.out")"
echo "  kq5trace.exe installed beside it; it reads a trace and writes its report"
check_event_source install
echo "  the event source kq5 registered: $(event_source | paste -sd '|' | sed 's/|/; /')"
# The recording task's definition, installed and registered by no one, is one that schtasks takes
# (Wine's Task Scheduler keeps its settings, not its trigger, account or action).
task="$drive/windows/system32/tasks/kq5 trace"
w schtasks /create /tn "kq5 trace" /xml 'C:\Program Files\kq5\fleet\kq5-trace-task.xml' \
    >"$work/task.out" 2>&1 || fail "schtasks /create /xml: $(cat "$work/task.out")"
for setting in '<ExecutionTimeLimit>PT0S</ExecutionTimeLimit>' \
    '<DisallowStartIfOnBatteries>false</DisallowStartIfOnBatteries>' \
    '<StopIfGoingOnBatteries>false</StopIfGoingOnBatteries>'; do
    grep -qF "$setting" "$task" || fail "the task kq5 trace has no $setting: $(cat "$task")"
done
w schtasks /delete /tn "kq5 trace" /f >>"$work/task.out" 2>&1 || fail "schtasks /delete: $(cat "$work/task.out")"
grep -qxF 'schtasks /create /tn "kq5 trace" /xml "C:\Program Files\kq5\fleet\kq5-trace-task.xml" && schtasks /run /tn "kq5 trace"' \
    "$readme" || fail "the README does not turn the task on from the installed definition"
echo "  the fleet files installed in C:\Program Files\kq5\fleet; schtasks takes the recording task's definition"
echo "  registered path: $(probe -config kq5 | grep '^path=')"
echo "  between InstallServices and StartServices, sc.exe ran: $(sc_runs install | paste -sd '|' | sed 's/|/; then: /')"

msiexec_ok upgrade /i "C:\\kq5-$next-x64.msi"
check_installed "$windir/tests/wine/next/kq5svc.exe"
check_configured upgrade
check_event_source upgrade
echo "upgraded to $next: the new exe, the same service, one program running, sc.exe run again"

code=$(run_msiexec downgrade /i "C:\\kq5-$version-x64.msi")
[ "$code" -eq 67 ] || fail "downgrade exit code $code (expected 1603, seen as 67)"
check_installed "$windir/tests/wine/next/kq5svc.exe"
[ -z "$(sc_runs downgrade)" ] || fail "the refused downgrade ran sc.exe: $(sc_runs downgrade)"
echo "downgrade to $version refused (1603); $next still installed and running"

msiexec_ok uninstall /x "C:\\kq5-$next-x64.msi"
[ -z "$(sc_runs uninstall)" ] || fail "the removal ran sc.exe: $(sc_runs uninstall)"
[ "$(probe -config kq5)" = "error=1060" ] || fail "service left behind: $(probe -config kq5)"
[ ! -e "$folder" ] || fail "left behind: $(ls -la "$folder")"
[ -z "$(event_source)" ] || fail "the event source kq5 left behind: $(event_source)"
wait_for_programs 0
echo "uninstalled: no service, no program running, no C:\\Program Files\\kq5, no event source kq5"

# The README's way by hand: its install lines, run as a batch file beside kq5svc.exe.
mkdir -p "$drive/manual"
cp "$windir/kq5svc.exe" "$drive/manual/"
readme_block '^### By hand' >"$drive/manual/install.cmd"
readme_block 'To remove it' >"$drive/manual/remove.cmd"
grep -q '^sc create ' "$drive/manual/install.cmd" || fail "no sc create line in $readme"
for line in "sc $recovery" "sc $privileges"; do
    grep -qxF "$line" "$drive/manual/install.cmd" || fail "the README's install by hand has no line: $line"
done
(cd "$drive/manual" && w cmd /c install.cmd >"$work/manual.log" 2>&1)
config=$(probe -config kq5)
echo "$config" | grep -qxF 'path="C:\Program Files\kq5\kq5svc.exe"' ||
    fail "the README's sc create registers an unquoted path: $config"
wait_for_running
echo "installed the README's way: registered $(echo "$config" | grep '^path='), running"
(cd "$drive/manual" && w cmd /c remove.cmd >>"$work/manual.log" 2>&1)
[ "$(probe -config kq5)" = "error=1060" ] && [ ! -e "$folder" ] ||
    fail "the README's removal left the service or the folder: $(probe -config kq5)"
wait_for_programs 0
echo "removed the README's way: no service, no folder"
