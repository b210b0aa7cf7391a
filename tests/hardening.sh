#!/usr/bin/env bash
# The exploit mitigations of the shipped programs, judged on what the build wrote, not on its
# flags:
#  - the PE itself (read by the small reader below): ASLR (DYNAMIC_BASE, relocations kept),
#    high-entropy addresses (HIGH_ENTROPY_VA, an image base above 4 GiB), NX (NX_COMPAT), no
#    section both writable and executable, and no MinGW runtime DLL imported (libssp-0.dll and
#    the like: the support libraries are linked in, nothing new ships);
#  - the stack check: in the link map's cross-reference table (gcc's build writes one per shipped
#    program, maps/NAME.map), __stack_chk_fail comes from the static libssp and the program's own
#    objects refer to it; and in the unstripped object, a named function with a local array calls
#    it;
#  - fortify: the checked routine (__memcpy_chk) linked from libssp, referred to by the product's
#    object that copies into a buffer whose size the compiler knows.
# Usage: hardening.sh WINDOWS-BUILD-DIR [CLANG-BUILD-DIR]
#   (the clang build makes kq5svc.exe only and writes no link map: PE and object checks)
set -euo pipefail
windir=$(cd "$1" && pwd)
clangdir=${2:+$(cd "$2" && pwd)}
objdump=x86_64-w64-mingw32-objdump
failures=0

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
# program            the checked routine and the object of the program's own that refers to it
# (kq5trace.exe copies into no buffer of a size the compiler knows: nothing of it is checked)
fortified=(
    "kq5svc.exe|__memcpy_chk|libkq5_system.a(discovery.cpp.obj)"
    "kq5doctor.exe|__memcpy_chk|libkq5_system.a(discovery.cpp.obj)"
    "kq5-conformance.exe|__memcpy_chk|libkq5_system.a(discovery.cpp.obj)"
)
# clang-format on

# The PE's headers, one verdict a line: FAIL lines for what is missing.
check_pe() {
    python3 - "$1" <<'PY'
import struct, sys
path = sys.argv[1]
name = path.rsplit("/", 1)[-1]
data = open(path, "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
    print(f"FAIL: {name}: not a PE file")
    sys.exit()
sections, optional_size, characteristics = struct.unpack_from("<H12xHH", data, pe + 6)
opt = pe + 24
if struct.unpack_from("<H", data, opt)[0] != 0x20B:
    print(f"FAIL: {name}: not PE32+ (64-bit)")
    sys.exit()
image_base = struct.unpack_from("<Q", data, opt + 24)[0]
dll = struct.unpack_from("<H", data, opt + 70)[0]
directories = [struct.unpack_from("<II", data, opt + 112 + 8 * i) for i in range(16)]
table = opt + optional_size
heads = []
for i in range(sections):
    at = table + 40 * i
    sname = data[at:at + 8].rstrip(b"\0").decode("ascii", "replace")
    vsize, va, raw_size, raw = struct.unpack_from("<IIII", data, at + 8)
    flags = struct.unpack_from("<I", data, at + 36)[0]
    heads.append((sname, va, max(vsize, raw_size), raw, flags))

def offset(rva):
    for _, va, size, raw, _ in heads:
        if va <= rva < va + size:
            return rva - va + raw
    raise ValueError(f"RVA {rva:#x} outside every section")

def verdict(ok, what, detail):
    print(f"{'ok' if ok else 'FAIL:'} {name}: {what} ({detail})")

verdict(dll & 0x0040, "ASLR, DYNAMIC_BASE", f"DllCharacteristics {dll:#06x}")
relocated = directories[5][1] > 0 and not characteristics & 0x0001
verdict(relocated, "ASLR, relocations kept",
        f"relocation directory {directories[5][1]} bytes, Characteristics {characteristics:#06x}")
verdict(dll & 0x0020, "high-entropy addresses, HIGH_ENTROPY_VA", f"DllCharacteristics {dll:#06x}")
verdict(image_base > 0xFFFFFFFF, "image base above 4 GiB", f"{image_base:#x}")
verdict(dll & 0x0100, "NX, NX_COMPAT", f"DllCharacteristics {dll:#06x}")
wx = [s for s, *_, flags in heads if flags & 0x80000000 and flags & 0x20000000]
verdict(not wx, "no section writable and executable", ", ".join(wx) or f"{len(heads)} sections")
imports = []
rva = directories[1][0]
if rva:
    at = offset(rva)
    while True:
        name_rva = struct.unpack_from("<I", data, at + 12)[0]
        if name_rva == 0:
            break
        end = data.index(b"\0", offset(name_rva))
        imports.append(data[offset(name_rva):end].decode("ascii", "replace"))
        at += 20
runtime = [d for d in imports if d.lower().startswith("lib")]
verdict(not runtime, "no MinGW runtime DLL imported", ", ".join(runtime or imports))
PY
}

# Whether FUNCTION of OBJECT calls __stack_chk_fail, by its disassembly.
check_stack_function() {
    local program=$1 object=$2 function=$3
    if [ ! -f "$object" ]; then
        fail "$program: no object $object"
        return
    fi
    if "$objdump" -dr -C "$object" | awk -v want="<$function>:" '
            /^[0-9a-f]+ <.*>:$/ { inside = (substr($0, index($0, " ") + 1) == want); next }
            inside && /__stack_chk_fail/ { found = 1 }
            END { exit !found }'; then
        echo "ok $program: stack check, $function calls __stack_chk_fail"
    else
        fail "$program: stack check, $function (in ${object##*/}) does not call __stack_chk_fail"
    fi
}

# The objects the link map's cross-reference table lists for SYMBOL: the defining one first.
cref() {
    awk -v symbol="$2" '
        $1 == symbol && NF == 2 { inside = 1; print $2; next }
        inside && NF == 1 && /^ / { print $1; next }
        { inside = 0 }' "$1"
}

check_map() {
    local program=$1 map=$2
    if [ ! -f "$map" ]; then
        fail "$program: no link map $map"
        return
    fi
    mapfile -t refs < <(cref "$map" __stack_chk_fail)
    local own
    own=$(printf '%s\n' "${refs[@]:1}" | grep -c -E '^(CMakeFiles/|libkq5_)' || true)
    if [[ "${refs[0]:-}" == */libssp.a\(ssp.o\) ]] && [ "$own" -gt 0 ]; then
        echo "ok $program: stack check, __stack_chk_fail from libssp.a, called by $own of its own objects"
    else
        fail "$program: stack check, __stack_chk_fail defined by '${refs[0]:-nothing}', called by $own of its own objects"
    fi
}

check_fortified() {
    local program=$1 routine=$2 object=$3 map=$4
    mapfile -t refs < <(cref "$map" "$routine")
    if [[ "${refs[0]:-}" == */libssp.a\(*-chk.o\) ]] && printf '%s\n' "${refs[@]:1}" | grep -qxF "$object"; then
        echo "ok $program: fortify, $routine from libssp.a, called by $object"
    else
        fail "$program: fortify, $routine defined by '${refs[0]:-nothing}', not called by $object"
    fi
}

mapfile -t programs < <(grep -v '\.msi$' "$windir/SHA256SUMS" | awk '{ print $2 }')
[ "${#programs[@]}" -ge 3 ] || fail "SHA256SUMS lists ${#programs[@]} programs"
for program in "${programs[@]}"; do
    out=$(check_pe "$windir/$program")
    echo "$out"
    failures=$((failures + $(grep -c '^FAIL' <<<"$out" || true)))
    check_map "$program" "$windir/maps/${program%.exe}.map"
    known=0
    for row in "${stack_functions[@]}"; do
        IFS='|' read -r name object function <<<"$row"
        if [ "$name" = "$program" ]; then
            check_stack_function "$program" "$windir/$object" "$function"
            known=1
        fi
    done
    [ "$known" = 1 ] || fail "$program: no function named here whose stack check to look for"
    for row in "${fortified[@]}"; do
        IFS='|' read -r name routine object <<<"$row"
        [ "$name" != "$program" ] || check_fortified "$program" "$routine" "$object" "$windir/maps/${program%.exe}.map"
    done
done

if [ -n "$clangdir" ]; then
    out=$(check_pe "$clangdir/kq5svc.exe" | sed 's/kq5svc.exe/kq5svc.exe (clang)/')
    echo "$out"
    failures=$((failures + $(grep -c '^FAIL' <<<"$out" || true)))
    IFS='|' read -r _ object function <<<"${stack_functions[0]}"
    check_stack_function "kq5svc.exe (clang)" "$clangdir/$object" "$function"
fi

if [ "$failures" -gt 0 ]; then
    echo "FAIL: $failures mitigation checks failed (above)"
    exit 1
fi
echo "hardening: ${programs[*]}${clangdir:+ and kq5svc.exe built by clang}: every check held"
