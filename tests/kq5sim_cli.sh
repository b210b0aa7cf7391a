#!/usr/bin/env bash
# kq5sim from the outside: --help, a wrong option, and the picture of every shipped scenario:
# well-formed XML (checked with xmllint), the four lanes, the same bytes on every run, and in
# the default scenario the states a reader looks for.
#   kq5sim_cli.sh KQ5SIM SCENARIO-DIR WORK-DIR
set -euo pipefail
sim=$1 scenarios=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

"$sim" --help >"$work/help" || fail "--help exits with $?"
grep -q '^usage: kq5sim \[--svg FILE\] \[SCENARIO\]' "$work/help" || fail "--help shows no usage"
grep -q '^  registry KEY | VALUE | TEXT' "$work/help" || fail "--help shows no scenario format"
status=0
"$sim" --colour 2>"$work/error" >/dev/null || status=$?
[ "$status" -eq 2 ] || fail "an unknown option exits with $status"
grep -q "unknown option '--colour'" "$work/error" || fail "the error does not name the option"

# count FILE XPATH: the number of nodes (SVG elements by local name: the SVG namespace is the
# default one).
count() { xmllint --xpath "count($2)" "$1"; }
lane() { echo "//*[local-name()='g'][@id='lane-$1']"; }
titled() { echo "$(lane "$1")//*[local-name()='title'][$2]"; }

for scenario in "" "$scenarios"/*.kq5; do
    name=$(basename "${scenario:-default}" .kq5)
    "$sim" --svg "$work/$name.svg" $scenario >"$work/$name.out" || fail "$name: kq5sim failed"
    grep -qx "Picture: $work/$name.svg" "$work/$name.out" || fail "$name: no word of the picture"
    "$sim" --svg "$work/$name.again.svg" $scenario >/dev/null
    cmp -s "$work/$name.svg" "$work/$name.again.svg" || fail "$name: the picture differs between runs"
    xmllint --noout "$work/$name.svg" || fail "$name: the picture is not well-formed XML"
    [ "$(count "$work/$name.svg" "/*[local-name()='svg']/*[local-name()='g'][@class='lane']")" = 4 ] ||
        fail "$name: not four lanes"
    for id in printer queue spooler service; do
        [ "$(count "$work/$name.svg" "$(lane $id)//*[local-name()='rect']")" -gt 0 ] ||
            fail "$name: the $id lane is empty"
    done
done

svg=$work/default.svg
expect() {  # LANE CONDITION WHAT
    [ "$(count "$svg" "$(titled "$1" "$2")")" -gt 0 ] || fail "default: no $3"
}
expect printer "starts-with(., 'printer present, status 0x04 door open')" "door-open printer"
expect printer "starts-with(., 'printer absent')" "unplugged printer"
expect queue "starts-with(., 'queue paused, status PRINTER_STATUS_DOOR_OPEN') and contains(., '3.200 s to 6.400 s')" \
    "queue paused for the open door"
expect queue "starts-with(., 'the queue prints to USB001') and contains(., '0.000 s to 20.000 s')" "port USB001"
expect queue "starts-with(., 'the queue prints to USB002')" "port USB002"
expect spooler "starts-with(., 'Spooler stopped') and contains(., '20.450 s to 20.500 s')" "stopped spooler"
expect service "starts-with(., 'service reported SERVICE_STOPPED')" "service stop"
expect service "contains(., 'service manager sends stop')" "stop control"
expect service "contains(., 'debug \"KQ5 STATUS:4\\r\\n\"')" "debugger line to hover"
# A refused start is a red mark in the Spooler's lane, and the Spooler stays as it was (stopped);
# the one accepted start is running at once.
refusals=$work/start-refusals.svg
[ "$(count "$refusals" "$(lane spooler)//*[local-name()='g'][@class='mark']/*[local-name()='title'][contains(., 'Spooler start refused: 1053')]")" = 8 ] ||
    fail "start-refusals: not eight refusal marks"
[ "$(count "$refusals" "$(lane spooler)//*[local-name()='g'][@class='state']/*[local-name()='title'][starts-with(., 'Spooler starting')]")" = 0 ] ||
    fail "start-refusals: a refused start drawn as a starting Spooler"
echo "kq5sim: help, options and pictures as expected"
