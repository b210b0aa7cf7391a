#!/usr/bin/env bash
# The exploit mitigations of the shipped programs, judged on what the build wrote, not on its
# flags. The release build (clang 19, lld 19):
#  - the PE itself (read by the small reader below): ASLR (DYNAMIC_BASE, relocations kept),
#    high-entropy addresses (HIGH_ENTROPY_VA, an image base above 4 GiB), NX (NX_COMPAT), no
#    section both writable and executable, no MinGW runtime DLL imported (libssp-0.dll and the
#    like: the support libraries are linked in, nothing new ships); Control Flow Guard (the
#    GUARD_CF bit; a load configuration of the Windows 10 size whose guard flags say instrumented
#    with a function table, whose table is there, in order, and holds functions of the product's
#    own objects, whose check and dispatch pointers lie in read-only data and point at code, and
#    calls through the dispatch pointer in the code); CET shadow-stack compatibility (the
#    extended DLL characteristics in the debug directory); the security cookie on disk is the
#    default constant Windows replaces at load;
#  - the link map (maps/NAME.map, lld's: which object defines which symbol at which address):
#    the load configuration, the cookie and the stack guard the checks read are the project's
#    (src/hardening/load_config.cpp), the cookie and the guard are one address, the one the load
#    configuration names; __stack_chk_fail is the project's fast fail, not libssp's;
#  - the objects: each of the product's own objects was compiled with the guard (@feat.00's
#    bit 0x800); a named function of each program with a local array reads the guard and calls
#    __stack_chk_fail; a named function with an indirect call calls through the guard's dispatch;
#  - fortify: the checked routine (__memcpy_chk) linked from libssp and referred to by a linked
#    object of the product's that copies into a buffer whose size the compiler knows;
#  - under Wine (when WORK-DIR is given and wine is installed): the cookie of a program built the
#    same way (kq5_stack_probe.exe) differs between two starts and is the guard the checks read,
#    and its stack overrun on purpose ends the process with STATUS_STACK_BUFFER_OVERRUN
#    (0xC0000409, a fast fail; Wine reports the code Windows does).
# The second compiler's build (gcc 12, GNU ld: no guard, no load configuration) gets the PE checks
# but those, and the stack check in the object.
# Usage: hardening.sh WINDOWS-BUILD-DIR [GCC-BUILD-DIR [WORK-DIR]]
#   (the gcc build makes kq5svc.exe only; "" skips it)
set -euo pipefail
windir=$(cd "$1" && pwd)
gccdir=${2:+$(cd "$2" && pwd)}
work=${3:-}
objdump=x86_64-w64-mingw32-objdump
nm=x86_64-w64-mingw32-nm
failures=0
here=$(dirname "$0")

fail() {
    echo "FAIL: $*"
    failures=$((failures + 1))
}

# clang-format off
# program            object (in the build folder) and the function in it that has a local array
stack_functions=(
    "kq5svc.exe|CMakeFiles/kq5_system.dir/src/monitor/status_poller.cpp.obj|RunPollCycle()"
    "kq5doctor.exe|CMakeFiles/kq5_doctor.dir/src/doctor/text.cpp.obj|JsonString(std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> > const&)"
    "kq5trace.exe|CMakeFiles/kq5trace.dir/src/trace/listen.cpp.obj|LocalStamp()"
    "kq5-conformance.exe|CMakeFiles/kq5-conformance.dir/src/conformance/machine_windows.cpp.obj|conformance::(anonymous namespace)::LoggedLines(std::__cxx11::basic_string<char, std::char_traits<char>, std::allocator<char> > const&)"
)
# program            object and the function in it that makes an indirect call (a std::function,
#                    a function pointer)
indirect_functions=(
    "kq5svc.exe|CMakeFiles/kq5_system.dir/src/device/discovery.cpp.obj|FindAndOpenPrinterDevice()"
    "kq5doctor.exe|CMakeFiles/kq5_doctor.dir/src/doctor/gather.cpp.obj|GatherFacts()"
    "kq5trace.exe|CMakeFiles/kq5trace.dir/src/trace/listen.cpp.obj|Listen(DbwinChannel const&, std::__cxx11::basic_string<wchar_t, std::char_traits<wchar_t>, std::allocator<wchar_t> > const&, ListenSink&)"
    "kq5-conformance.exe|CMakeFiles/kq5-conformance.dir/src/conformance/machine_windows.cpp.obj|conformance::CleanUp()"
)
# program            the checked routine, the object as the link map names it, and its file
fortified=(
    "kq5svc.exe|__memcpy_chk|libkq5_system:wide_string.cpp.obj|CMakeFiles/kq5_system.dir/src/common/wide_string.cpp.obj"
    "kq5doctor.exe|__memcpy_chk|libkq5_system:wide_string.cpp.obj|CMakeFiles/kq5_system.dir/src/common/wide_string.cpp.obj"
    "kq5trace.exe|__memcpy_chk|record.cpp.obj|CMakeFiles/kq5trace.dir/src/trace/record.cpp.obj"
    "kq5-conformance.exe|__memcpy_chk|libkq5_system:wide_string.cpp.obj|CMakeFiles/kq5_system.dir/src/common/wide_string.cpp.obj"
)
# clang-format on

# Verdicts of python3 "$here/pe_mitigations.py" ARGS: printed, FAIL lines counted.
judge_pe() {
    local out
    out=$(python3 "$here/pe_mitigations.py" "$@") || out+=$'\n'"FAIL: $1: the reader failed"
    echo "$out"
    failures=$((failures + $(grep -c '^FAIL' <<<"$out" || true)))
}

# The lines of FUNCTION's disassembly in OBJECT, with relocations.
function_lines() {
    "$objdump" -dr -C "$1" | awk -v want="<$2>:" '
        /^[0-9a-f]+ <.*>:$/ { inside = (substr($0, index($0, " ") + 1) == want); next }
        inside'
}

# Whether FUNCTION of OBJECT reads the stack guard (WANT_GUARD: 1) and calls __stack_chk_fail.
check_stack_function() {
    local program=$1 object=$2 function=$3 want_guard=$4 lines
    if [ ! -f "$object" ]; then
        fail "$program: no object $object"
        return
    fi
    lines=$(function_lines "$object" "$function")
    if ! grep -q '__stack_chk_fail' <<<"$lines"; then
        fail "$program: stack check, $function (in ${object##*/}) does not call __stack_chk_fail"
    elif [ "$want_guard" = 1 ] && ! grep -q '__stack_chk_guard' <<<"$lines"; then
        fail "$program: stack check, $function (in ${object##*/}) does not read __stack_chk_guard"
    else
        local reads=""
        [ "$want_guard" = 0 ] || reads="reads the guard and "
        echo "ok $program: stack check, $function ${reads}calls __stack_chk_fail"
    fi
}

check_indirect_function() {
    local program=$1 object=$2 function=$3
    # The call's operand is the relocation on the line after it.
    if function_lines "$object" "$function" |
        awk '/__guard_dispatch_icall_fptr/ && call { found = 1 } { call = /call +\*/ } END { exit !found }'; then
        echo "ok $program: Control Flow Guard, $function calls through __guard_dispatch_icall_fptr"
    else
        fail "$program: Control Flow Guard, $function (in ${object##*/}) makes no call through the guard's dispatch"
    fi
}

# The indirect calls through a register in OBJECT whose target was not loaded from the import
# table (an __imp_ pointer, read-only once Windows has bound it), one a line. With the guard every
# other indirect call goes through __guard_dispatch_icall_fptr; jumps through a register are
# switch tables, bounds-checked, as Microsoft's compiler leaves them too.
unguarded_calls() {
    "$objdump" -dr --no-show-raw-insn "$1" | awk -v object="${1##*/}" '
        /^[0-9a-f]+ <.*>:$/ { delete from; loaded = ""; next }
        loaded != "" { from[loaded] = ($2 == "IMAGE_REL_AMD64_REL32" ? $3 : ""); loaded = "" }
        $2 == "mov" && $3 ~ /^0x0\(%rip\),%r/ { split($3, operands, ","); loaded = operands[2]; next }
        $2 == "call" && $3 ~ /^\*%r/ && from[substr($3, 2)] !~ /^__imp_/ { print object ":" $0 }'
}

# The product's own objects (every object compiled from src/): each compiled with the guard, and
# each indirect call through the guard's dispatch or the import table.
check_objects_guarded() {
    local object unguarded=() calls=() count=0
    while IFS= read -r object; do
        count=$((count + 1))
        local feat
        feat=$("$nm" "$object" | awk '$3 == "@feat.00" { print $1 }')
        (((16#${feat:-0} & 0x800) != 0)) || unguarded+=("${object#"$windir"/}")
        mapfile -t -O "${#calls[@]}" calls < <(unguarded_calls "$object")
    done < <(find "$windir/CMakeFiles" -path '*/src/*' -name '*.obj' | sort)
    if [ "$count" -gt 0 ] && [ "${#unguarded[@]}" -eq 0 ]; then
        echo "ok Control Flow Guard: all $count of the product's objects compiled with it (@feat.00 0x800)"
    else
        fail "Control Flow Guard: of $count objects, ${#unguarded[@]} compiled without it, e.g. ${unguarded[*]:0:3}"
    fi
    if [ "${#calls[@]}" -eq 0 ]; then
        echo "ok Control Flow Guard: no indirect call of the product's objects but through the guard's dispatch or the import table"
    else
        fail "Control Flow Guard: ${#calls[@]} indirect calls neither through the dispatch nor the import table, e.g. ${calls[0]}"
    fi
}

check_fortified() {
    local program=$1 routine=$2 mapped=$3 object=$4 map=$5
    local definer
    definer=$(awk -v s="$routine" '$2 == s && NF == 4 { print $4 }' "$map")
    if [[ "$definer" != libssp:*-chk.o ]]; then
        fail "$program: fortify, $routine defined by '${definer:-nothing}', not libssp"
    elif ! awk -v o="$mapped" '$NF == o { found = 1 } END { exit !found }' "$map"; then
        fail "$program: fortify, $mapped is not linked"
    # All of nm's output is read (grep -c, not -q): under pipefail, grep -q leaving early makes nm
    # die of SIGPIPE and the pipeline fail, at random.
    elif ! "$nm" "$windir/$object" | grep -cE "^ +U $routine\$" >/dev/null; then
        fail "$program: fortify, $mapped does not call $routine"
    else
        echo "ok $program: fortify, $routine from libssp, called by $mapped"
    fi
}

# Under Wine: the probe's cookie at two starts, and its stack overrun's exit code.
check_under_wine() {
    local probe=$windir/kq5_stack_probe.exe
    [ -f "$probe" ] || {
        fail "no $probe"
        return
    }
    rm -rf "$work"
    mkdir -p "$work"
    export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
    unset DISPLAY WAYLAND_DISPLAY
    timeout 120 wine wineboot --init >"$work/boot.log" 2>&1 || true
    local first second overrun within
    first=$(timeout 60 wine "$probe" cookie </dev/null 2>&1 | tr -d '\r')
    second=$(timeout 60 wine "$probe" cookie </dev/null 2>&1 | tr -d '\r')
    overrun=$(timeout 60 wine "$probe" child 64 </dev/null 2>&1 | tr -d '\r')
    within=$(timeout 60 wine "$probe" child 8 </dev/null 2>&1 | tr -d '\r')
    wineserver -k 2>/dev/null || true
    local pattern='^cookie (0x[0-9A-F]{16}) guard (0x[0-9A-F]{16})$'
    if [[ "$first" =~ $pattern ]] && [ "${BASH_REMATCH[1]}" = "${BASH_REMATCH[2]}" ] &&
        [ "${BASH_REMATCH[1]}" != 0x00002B992DDFA232 ] && [[ "$second" =~ $pattern ]] &&
        [ "${BASH_REMATCH[1]}" = "${BASH_REMATCH[2]}" ] && [ "$first" != "$second" ]; then
        echo "ok under Wine: the cookie is the guard, and random: '$first', then '$second'"
    else
        fail "under Wine: the cookie at two starts: '$first', '$second'"
    fi
    # The child shares the probe's output: its own "returned" comes first when it returns.
    if [ "$overrun" = "exit 0xC0000409" ] && [ "$within" = $'returned\nexit 0x00000000' ]; then
        echo "ok under Wine: a stack overrun ends the process with 0xC0000409 (STATUS_STACK_BUFFER_OVERRUN); within bounds, 0"
    else
        fail "under Wine: the stack overrun's probe: '${overrun##*$'\n'}' (within bounds: '${within//$'\n'/ }')"
    fi
}

mapfile -t programs < <(grep -v '\.msi$' "$windir/SHA256SUMS" | awk '{ print $2 }')
[ "${#programs[@]}" -ge 3 ] || fail "SHA256SUMS lists ${#programs[@]} programs"
check_objects_guarded
for program in "${programs[@]}"; do
    map=$windir/maps/${program%.exe}.map
    if [ ! -f "$map" ]; then
        fail "$program: no link map $map"
        continue
    fi
    judge_pe "$windir/$program" release "$map"
    known=0
    for row in "${stack_functions[@]}"; do
        IFS='|' read -r name object function <<<"$row"
        [ "$name" != "$program" ] || {
            check_stack_function "$program" "$windir/$object" "$function" 1
            known=1
        }
    done
    [ "$known" = 1 ] || fail "$program: no function named here whose stack check to look for"
    known=0
    for row in "${indirect_functions[@]}"; do
        IFS='|' read -r name object function <<<"$row"
        [ "$name" != "$program" ] || {
            check_indirect_function "$program" "$windir/$object" "$function"
            known=1
        }
    done
    [ "$known" = 1 ] || fail "$program: no function named here whose indirect call to look for"
    for row in "${fortified[@]}"; do
        IFS='|' read -r name routine mapped object <<<"$row"
        [ "$name" != "$program" ] || check_fortified "$program" "$routine" "$mapped" "$object" "$map"
    done
done

if [ -n "$gccdir" ]; then
    judge_pe "$gccdir/kq5svc.exe" second
    IFS='|' read -r _ object function <<<"${stack_functions[0]}"
    check_stack_function "kq5svc.exe (gcc)" "$gccdir/$object" "$function" 0
fi

if [ -n "$work" ] && command -v wine >/dev/null; then
    check_under_wine
fi

if [ "$failures" -gt 0 ]; then
    echo "FAIL: $failures mitigation checks failed (above)"
    exit 1
fi
echo "hardening: ${programs[*]}${gccdir:+ and kq5svc.exe built by gcc}${work:+, and under Wine}: every check held"
