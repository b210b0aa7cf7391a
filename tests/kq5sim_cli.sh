#!/usr/bin/env bash
# kq5sim from the outside: --help, a wrong option, and the picture of every shipped scenario:
# well-formed XML (checked with xmllint), the four lanes, the same bytes on every run, and in
# the default scenario the states a reader looks for.
#   kq5sim_cli.sh KQ5SIM SCENARIO-DIR WORK-DIR
set -euo pipefail
sim=$1 scenarios=$2 work=$3
rm -rf "$work" && mkdir -p "$work"
fail() { echo "FAIL: $*" >&2; exit 1; }

for help in --help -h '/?'; do
    "$sim" "$help" >"$work/help" || fail "$help exits with $?"
    grep -q '^usage: kq5sim \[--svg FILE\] \[--replace\] \[SCENARIO\]' "$work/help" || fail "$help shows no usage"
done
grep -q '^  registry KEY | VALUE | TEXT' "$work/help" || fail "--help shows no scenario format"
grep -q '^  0x04, 0x0C  *door open: paused, PRINTER_STATUS_DOOR_OPEN' "$work/help" ||
    fail "--help does not tell the status codes"
grep -q "^ *at once outside the service manager); -1, it was still running" "$work/help" || fail "--help does not explain exit code -1"
[ "$("$sim" --version)" = "kq5sim $(sed -n 's/^project(kq5 VERSION \([0-9.]*\).*/\1/p' "$scenarios/../../CMakeLists.txt")" ] ||
    fail "--version: $("$sim" --version)"

# A wrong word is named, with the usage line it breaks, on standard error only; exit 2.
wrong() {  # WHAT-IT-SAYS ARGS...
    local said=$1 status=0
    shift
    "$sim" "$@" >"$work/out" 2>"$work/error" || status=$?
    [ "$status" -eq 2 ] || fail "kq5sim $*: exits with $status"
    [ ! -s "$work/out" ] || fail "kq5sim $*: standard output: $(head -n 3 "$work/out")"
    grep -qF -- "kq5sim: $said" "$work/error" || fail "kq5sim $*: not '$said' in: $(cat "$work/error")"
    grep -q '^usage: kq5sim' "$work/error" || fail "kq5sim $*: no usage line"
}
wrong "unknown option --colour" --colour
wrong "--svg needs a value (FILE), not the option --help" --svg --help
wrong "--trace given twice" --trace a --trace b
wrong "--html goes with --trace" --html r.html
wrong "'s.kq5' does not go with --trace" --trace t.log s.kq5

# Nothing that is read is written over: the trace by any name, the scenario by its picture.
trace_copy=$work/t.log
cp "$scenarios/../../docs/trace-wine.txt" "$trace_copy"
for report in "$trace_copy" "$work/../$(basename "$work")/t.log" "$work/./t.log"; do
    status=0
    "$sim" --trace "$trace_copy" --html "$report" >"$work/out" 2>"$work/error" || status=$?
    [ "$status" -eq 2 ] && grep -q 'is the trace .* itself: nothing is written over what is read' "$work/error" ||
        fail "--html $report over the trace: $status, $(cat "$work/error")"
    cmp -s "$trace_copy" "$scenarios/../../docs/trace-wine.txt" || fail "the trace was changed by --html $report"
done
cp "$scenarios/default.kq5" "$work/mine.kq5"
status=0
"$sim" --svg "$work/mine.kq5" "$work/mine.kq5" >/dev/null 2>"$work/error" || status=$?
[ "$status" -eq 2 ] && cmp -s "$work/mine.kq5" "$scenarios/default.kq5" ||
    fail "--svg over the scenario: $status, $(cat "$work/error")"
# A file there already: kq5's own picture is written over, and that is said; another file only
# with --replace.
echo "my drawing" >"$work/mine.svg"
status=0
"$sim" --svg "$work/mine.svg" >/dev/null 2>"$work/error" || status=$?
[ "$status" -eq 2 ] && grep -q 'is there already and is not a picture of kq5: --replace writes over it' "$work/error" &&
    [ "$(cat "$work/mine.svg")" = "my drawing" ] || fail "--svg over a file of the user's: $status, $(cat "$work/error")"
"$sim" --svg "$work/mine.svg" --replace >/dev/null 2>"$work/error" && grep -qx "kq5sim: \"$work/mine.svg\" replaced (--replace)" "$work/error" ||
    fail "--svg --replace: $(cat "$work/error")"
"$sim" --svg "$work/mine.svg" >/dev/null 2>"$work/error" && grep -qx "kq5sim: the earlier picture \"$work/mine.svg\" written over" "$work/error" ||
    fail "--svg over kq5's own picture: $(cat "$work/error")"

# The scenario language refuses what would silently do something else, with the line and the fix.
refused() {  # WHAT-IT-SAYS SCENARIO-LINES...
    local said=$1 status=0
    shift
    printf '%s\n' "$@" >"$work/lang.kq5"
    "$sim" "$work/lang.kq5" >/dev/null 2>"$work/error" || status=$?
    [ "$status" -eq 2 ] && grep -qF -- "$said" "$work/error" ||
        fail "scenario $*: $status, not '$said' in: $(cat "$work/error")"
}
refused "line 4: plug onto USB002, which no line declares, so the queue could not follow it there: add 'port USB002'" \
    'queue USB001' 'printer A USB001 0x20' 'at 1 unplug' 'at 2 plug B USB002'
refused "line 2: a second printer line (line 1 gave the printer)" 'printer A USB001 0x20' 'printer B USB001 0x20'
refused "line 2: unplug, but no printer is plugged in then" 'queue USB001' 'at 1 unplug'
refused "line 3: unplug, but no printer is plugged in then (the unplug before it already took it away)" \
    'printer A USB001 0x20' 'at 1 unplug' 'at 2 unplug'
refused "line 5: printer A was on USB001 (line 2): Windows keeps the port of a device instance it knows" \
    'port USB002' 'printer A USB001 0x20' 'at 1 unplug' '' 'at 2 plug A USB002'
printf '%s\n' 'port USB002' 'printer A USB001 0x20' 'at 1 plug B USB002' >"$work/lang.kq5"
"$sim" "$work/lang.kq5" >/dev/null 2>"$work/error" || fail "a plug beside a plugged printer is refused"
grep -qF "warning: line 3: plug while the printer of line 2 is still plugged in" "$work/error" ||
    fail "no warning of a plug beside a plugged printer: $(cat "$work/error")"

# What is not a scenario is refused with a clear line: a directory, a file that cannot be read,
# and a binary file, whose bytes the error escapes instead of echoing them to the terminal.
printf 'queue USB001\n\001\377\033[2J oops\n' >"$work/binary.kq5"
touch "$work/unreadable.kq5" && chmod 000 "$work/unreadable.kq5"
for input in "$scenarios:is a directory" "$work/binary.kq5:line 2: unknown statement" \
             "$work/unreadable.kq5:cannot be opened"; do
    file=${input%%:*} why=${input#*:}
    if [ "$file" = "$work/unreadable.kq5" ] && [ "$(id -u)" = 0 ]; then continue; fi  # root reads anything
    status=0
    "$sim" "$file" >/dev/null 2>"$work/error" || status=$?
    [ "$status" -eq 2 ] || fail "$file: exits with $status, not 2"
    grep -qF "$why" "$work/error" || fail "$file: no '$why' in: $(cat -v "$work/error")"
    if LC_ALL=C grep -q '[^[:print:]]' "$work/error"; then fail "$file: raw bytes in the error: $(cat -v "$work/error")"; fi
done
"$sim" "$work/binary.kq5" 2>"$work/error.bin" >/dev/null || true
grep -qF "'\x01\xff\x1b[2J'" "$work/error.bin" || fail "the binary bytes are not escaped: $(cat -v "$work/error.bin")"

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

# A trace of the real service (captured under Wine) read back: findings, and a picture with the
# four lanes that an XML parser accepts; a folder without a record file is no trace.
trace=$scenarios/../../docs/trace-wine.txt
"$sim" --trace "$trace" --svg "$work/trace.svg" >"$work/trace.out" || fail "--trace failed"
grep -qx 'Findings:' "$work/trace.out" || fail "--trace prints no findings"
xmllint --noout "$work/trace.svg" || fail "the trace's picture is not well-formed XML"
[ "$(count "$work/trace.svg" "/*[local-name()='svg']/*[local-name()='g'][@class='lane']")" = 4 ] ||
    fail "the trace's picture has not four lanes"
status=0
"$sim" --trace "$scenarios" >/dev/null 2>"$work/error" || status=$?
[ "$status" -eq 2 ] && grep -q "no kq5trace-YYYY-MM-DD.txt file in the folder holds a trace" "$work/error" ||
    fail "--trace of a folder of scenarios: $status, $(cat "$work/error")"

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
