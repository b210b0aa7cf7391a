#!/usr/bin/env bash
# The Windows Installer package under Wine, in a throw-away prefix of its own: installs
# kq5-VERSION-x64.msi, upgrades it with the next patch version, refuses the downgrade back,
# uninstalls; then installs the service by hand the README's way and checks that its path is
# registered quoted. Every Wine command is time-bounded.
# Usage: package.sh WINDOWS-BUILD-DIR WORK-DIR VERSION README
set -euo pipefail
windir=$1
work=$2
version=$3
readme=$4
next=${version%.*}.$((${version##*.} + 1))

export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
drive="$WINEPREFIX/drive_c"
folder="$drive/Program Files/kq5"

fail() {
    echo "FAIL: $*"
    exit 1
}

w() {
    timeout "${WINE_TIMEOUT:-60}" wine "$@" </dev/null
}

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

# msiexec's exit code as it reaches Linux (the low byte: 1603 arrives as 67).
run_msiexec() {
    local code=0
    w msiexec "$@" /qn >>"$work/msiexec.log" 2>&1 || code=$?
    echo "$code"
}

# The installed program is EXE, byte for byte, registered as the package registers it, and running.
check_installed() {
    local config
    cmp -s "$folder/kq5svc.exe" "$1" || fail "C:\\Program Files\\kq5\\kq5svc.exe is not $1"
    cmp -s "$folder/kq5doctor.exe" "$windir/kq5doctor.exe" ||
        fail "C:\\Program Files\\kq5\\kq5doctor.exe is not $windir/kq5doctor.exe"
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

# The lines of the first ```bat block after the README line matching PATTERN.
readme_block() {
    awk -v pattern="$1" '$0 ~ pattern { found = 1 }
        found && /^```/ { if (inside) exit; inside = 1; next }
        inside' "$readme"
}

mkdir -p "$work"
(cd "$windir" && sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not match"
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

code=$(run_msiexec /i "C:\\kq5-$version-x64.msi")
[ "$code" -eq 0 ] || fail "install exit code $code: $(tail "$work/msiexec.log")"
check_installed "$windir/kq5svc.exe"
echo "installed $version: C:\\Program Files\\kq5\\kq5svc.exe, service kq5 registered and running"
# The installed doctor finds the service by its program, running (no queue here: exit 1).
doctor=$(w 'C:\Program Files\kq5\kq5doctor.exe' --json | tr -d '\r') || true
echo "$doctor" | grep -qF '"installed":true,"name":"kq5","state":"running"' ||
    fail "the installed kq5doctor.exe does not see the service: $doctor"
echo "  kq5doctor.exe installed beside it; it reports service kq5 running"
echo "  registered path: $(probe -config kq5 | grep '^path=')"

code=$(run_msiexec /i "C:\\kq5-$next-x64.msi")
[ "$code" -eq 0 ] || fail "upgrade exit code $code: $(tail "$work/msiexec.log")"
check_installed "$windir/tests/wine/next/kq5svc.exe"
echo "upgraded to $next: the new exe, the same service, one program running"

code=$(run_msiexec /i "C:\\kq5-$version-x64.msi")
[ "$code" -eq 67 ] || fail "downgrade exit code $code (expected 1603, seen as 67)"
check_installed "$windir/tests/wine/next/kq5svc.exe"
echo "downgrade to $version refused (1603); $next still installed and running"

code=$(run_msiexec /x "C:\\kq5-$next-x64.msi")
[ "$code" -eq 0 ] || fail "uninstall exit code $code: $(tail "$work/msiexec.log")"
[ "$(probe -config kq5)" = "error=1060" ] || fail "service left behind: $(probe -config kq5)"
[ ! -e "$folder" ] || fail "left behind: $(ls -la "$folder")"
wait_for_programs 0
echo "uninstalled: no service, no program running, no C:\\Program Files\\kq5"

# The README's way by hand: its install lines, run as a batch file beside kq5svc.exe.
mkdir -p "$drive/manual"
cp "$windir/kq5svc.exe" "$drive/manual/"
readme_block '^### By hand' >"$drive/manual/install.cmd"
readme_block 'To remove it' >"$drive/manual/remove.cmd"
grep -q '^sc create ' "$drive/manual/install.cmd" || fail "no sc create line in $readme"
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
