"""The exploit mitigations a PE file carries, one verdict a line ("ok ..." or "FAIL: ..."), for
tests/hardening.sh.

Usage: pe_mitigations.py EXE release MAP   every check: the release build (clang, lld), with its
                                           lld link map
       pe_mitigations.py EXE second        the checks gcc's build (GNU ld) can pass: no guard,
                                           no load configuration, no CET bit
"""
import re
import struct
import sys

DEFAULT_COOKIE = 0x2B992DDFA232  # what Windows replaces at load (and requires on disk)
LOAD_CONFIG_SIZE = 0x140  # IMAGE_LOAD_CONFIG_DIRECTORY64 of Windows 10, as the project writes it
GUARD_CF_INSTRUMENTED = 0x100
GUARD_CF_FUNCTION_TABLE_PRESENT = 0x400
SECTION_EXECUTE = 0x20000000
SECTION_WRITE = 0x80000000
DEBUG_TYPE_EX_DLLCHARACTERISTICS = 20
EX_DLLCHARACTERISTICS_CET_COMPAT = 0x1


class Image:
    def __init__(self, path):
        self.data = open(path, "rb").read()
        data = self.data
        pe = struct.unpack_from("<I", data, 0x3C)[0]
        if data[:2] != b"MZ" or data[pe:pe + 4] != b"PE\0\0":
            raise ValueError("not a PE file")
        sections, optional_size, self.characteristics = struct.unpack_from("<H12xHH", data, pe + 6)
        opt = pe + 24
        if struct.unpack_from("<H", data, opt)[0] != 0x20B:
            raise ValueError("not PE32+ (64-bit)")
        self.image_base = struct.unpack_from("<Q", data, opt + 24)[0]
        self.dll = struct.unpack_from("<H", data, opt + 70)[0]
        self.directories = [struct.unpack_from("<II", data, opt + 112 + 8 * i) for i in range(16)]
        table = opt + optional_size
        self.sections = []
        for i in range(sections):
            at = table + 40 * i
            name = data[at:at + 8].rstrip(b"\0").decode("ascii", "replace")
            vsize, va, raw_size, raw = struct.unpack_from("<IIII", data, at + 8)
            flags = struct.unpack_from("<I", data, at + 36)[0]
            self.sections.append((name, va, max(vsize, raw_size), raw, flags))

    def section(self, rva):
        for head in self.sections:
            if head[1] <= rva < head[1] + head[2]:
                return head
        raise ValueError(f"RVA {rva:#x} outside every section")

    def offset(self, rva):
        _, va, _, raw, _ = self.section(rva)
        return rva - va + raw

    def u32(self, rva):
        return struct.unpack_from("<I", self.data, self.offset(rva))[0]

    def u64(self, rva):
        return struct.unpack_from("<Q", self.data, self.offset(rva))[0]

    def flags(self, rva):
        return self.section(rva)[4]

    def imports(self):
        names, rva = [], self.directories[1][0]
        while rva and self.u32(rva + 12):
            at = self.offset(self.u32(rva + 12))
            names.append(self.data[at:self.data.index(b"\0", at)].decode("ascii", "replace"))
            rva += 20
        return names


def read_map(path):
    """lld's map: each symbol's address and the object (LIB:MEMBER or OBJECT) that defines it."""
    symbol = re.compile(r"^ [0-9a-f]{4}:[0-9a-f]{8} +(\S+) +([0-9a-f]{16}) +(\S+)$")
    symbols = {}
    for line in open(path, encoding="utf-8", errors="replace"):
        found = symbol.match(line.rstrip("\n"))
        if found:
            symbols[found[1]] = (int(found[2], 16), found[3])
    return symbols


class Verdicts:
    def __init__(self, name):
        self.name = name

    def __call__(self, ok, what, detail):
        print(f"{'ok' if ok else 'FAIL:'} {self.name}: {what} ({detail})")


def basic(image, verdict):
    dll, characteristics = image.dll, image.characteristics
    verdict(dll & 0x0040, "ASLR, DYNAMIC_BASE", f"DllCharacteristics {dll:#06x}")
    relocated = image.directories[5][1] > 0 and not characteristics & 0x0001
    verdict(relocated, "ASLR, relocations kept",
            f"relocation directory {image.directories[5][1]} bytes, Characteristics {characteristics:#06x}")
    verdict(dll & 0x0020, "high-entropy addresses, HIGH_ENTROPY_VA", f"DllCharacteristics {dll:#06x}")
    verdict(image.image_base > 0xFFFFFFFF, "image base above 4 GiB", f"{image.image_base:#x}")
    verdict(dll & 0x0100, "NX, NX_COMPAT", f"DllCharacteristics {dll:#06x}")
    wx = [s[0] for s in image.sections if s[4] & SECTION_WRITE and s[4] & SECTION_EXECUTE]
    verdict(not wx, "no section writable and executable", ", ".join(wx) or f"{len(image.sections)} sections")
    imports = image.imports()
    runtime = [d for d in imports if d.lower().startswith("lib")]
    verdict(not runtime, "no MinGW runtime DLL imported", ", ".join(runtime or imports))


def cet_compatible(image):
    rva, size = image.directories[6]
    for at in range(rva, rva + size, 28):
        kind, data_size, data_rva = struct.unpack_from("<12xIIIxxxx", image.data, image.offset(at))
        if kind == DEBUG_TYPE_EX_DLLCHARACTERISTICS and data_size >= 4:
            return image.u32(data_rva) & EX_DLLCHARACTERISTICS_CET_COMPAT
    return False


def is_code_pointer(image, va):
    """VA lies in read-only data and holds the address of code."""
    rva = va - image.image_base
    if image.flags(rva) & (SECTION_WRITE | SECTION_EXECUTE):
        return False
    return image.flags(image.u64(rva) - image.image_base) & SECTION_EXECUTE != 0


def guard_table(image, verdict, config, symbols):
    """The function table: present, in order, and holding the product's own functions."""
    flags = image.u32(config + 0x90)
    table, count = image.u64(config + 0x80), image.u64(config + 0x88)
    verdict(flags & GUARD_CF_INSTRUMENTED and flags & GUARD_CF_FUNCTION_TABLE_PRESENT,
            "Control Flow Guard, guard flags instrumented with a function table", f"GuardFlags {flags:#x}")
    stride = 4 + ((flags >> 28) & 0xF)
    rvas = [image.u32(table - image.image_base + stride * i) for i in range(count)] if table else []
    ordered = rvas == sorted(set(rvas)) and all(image.flags(r) & SECTION_EXECUTE for r in rvas)
    verdict(count > 0 and ordered, "Control Flow Guard, function table of code addresses in order",
            f"{count} entries at {table:#x}")
    own = {va - image.image_base: name for name, (va, obj) in symbols.items()
           if obj.endswith(".cpp.obj") and obj != "load_config.cpp.obj"}
    mine = [own[r] for r in rvas if r in own]
    verdict(mine, "Control Flow Guard, the table holds the product's own functions",
            f"{len(mine)} of {count}, e.g. {', '.join(sorted(mine, key=len)[:2]) or 'none'}")


def guard(image, verdict, symbols):
    """The GUARD_CF bit, the load configuration and its guard fields, the cookie."""
    verdict(image.dll & 0x4000, "Control Flow Guard, GUARD_CF", f"DllCharacteristics {image.dll:#06x}")
    rva, size = image.directories[10]
    if not rva:
        verdict(False, "load configuration", "no load configuration directory")
        return
    record_size = image.u32(rva)
    verdict(size == record_size == LOAD_CONFIG_SIZE, "load configuration of the Windows 10 size",
            f"directory {size} bytes, record {record_size}")
    defined = symbols.get("_load_config_used", (0, "nothing"))
    verdict(defined == (image.image_base + rva, "load_config.cpp.obj"),
            "load configuration, the project's _load_config_used", f"defined by {defined[1]}")
    check, dispatch = image.u64(rva + 0x70), image.u64(rva + 0x78)
    verdict(is_code_pointer(image, check) and is_code_pointer(image, dispatch),
            "Control Flow Guard, check and dispatch pointers read-only, pointing at code",
            f"{check:#x}, {dispatch:#x}")
    guard_table(image, verdict, rva, symbols)
    text = b"".join(image.data[s[3]:s[3] + s[2]] for s in image.sections if s[4] & SECTION_EXECUTE)
    calls = sum(1 for s in image.sections if s[4] & SECTION_EXECUTE
                for at in range(s[3], s[3] + s[2] - 6)
                if image.data[at:at + 2] == b"\xff\x15"
                and s[1] + at - s[3] + 6 + struct.unpack_from("<i", image.data, at + 2)[0]
                == dispatch - image.image_base)
    verdict(calls > 0, "Control Flow Guard, indirect calls through the dispatch pointer",
            f"{calls} calls in {len(text)} bytes of code")
    cookie_va = image.u64(rva + 0x58)
    cookie_rva = cookie_va - image.image_base
    on_disk = image.u64(cookie_rva)
    verdict(on_disk == DEFAULT_COOKIE and image.flags(cookie_rva) & SECTION_WRITE,
            "security cookie, the default on disk in writable data, replaced at load",
            f"{on_disk:#x} at {cookie_va:#x}")
    names = {n: symbols.get(n, (0, "nothing")) for n in ("__security_cookie", "__stack_chk_guard")}
    verdict(all(v == (cookie_va, "load_config.cpp.obj") for v in names.values()),
            "stack guard, __stack_chk_guard is the load configuration's cookie",
            "; ".join(f"{n} {v[0]:#x} from {v[1]}" for n, v in names.items()))
    failing = symbols.get("__stack_chk_fail", (0, "nothing"))[1]
    verdict(failing == "load_config.cpp.obj", "stack check, __stack_chk_fail is the fast fail",
            f"defined by {failing}")
    verdict(cet_compatible(image), "CET shadow-stack compatible, extended DLL characteristics",
            "debug directory entry of type 20")


def main():
    path, mode = sys.argv[1], sys.argv[2]
    name = path.rsplit("/", 1)[-1] + (" (gcc)" if mode == "second" else "")
    verdict = Verdicts(name)
    try:
        image = Image(path)
    except (OSError, ValueError) as error:
        print(f"FAIL: {name}: {error}")
        return
    basic(image, verdict)
    if mode == "release":
        guard(image, verdict, read_map(sys.argv[3]))


main()
