// The simulated print spooler (winspool): printers with their level-2 records, pause/resume and
// status commands, port rewrites, and the port list. It answers only while the "Spooler"
// service runs; a restart invalidates every printer handle opened before it.
#include <algorithm>
#include <cstring>

#include "platform/sim/machine.h"

using namespace sim;

namespace {

PrinterRecord* FindPrinter(Machine& m, const Text16& name) {
    for (PrinterRecord& p : m.printers) {
        if (EqualsIgnoringCase16(p.name, name)) {
            return &p;
        }
    }
    return nullptr;
}

// Packs records and their strings into one caller buffer, as the spooler does: fixed records
// first, strings behind them.
struct Packer {
    BYTE* buffer;
    size_t stringOffset;
    LPWSTR Put(const Text16& text) {
        auto* at = reinterpret_cast<LPWSTR>(buffer + stringOffset);
        std::memcpy(at, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
        stringOffset += (text.size() + 1) * sizeof(WCHAR);
        return at;
    }
};

size_t TextBytes(const Text16& text) {
    return (text.size() + 1) * sizeof(WCHAR);
}

size_t Align8(size_t bytes) {
    return (bytes + 7) & ~static_cast<size_t>(7);
}

WORD ReadWord(const BYTE* at) {
    WORD value = 0;
    std::memcpy(&value, at, sizeof value);
    return value;
}

DWORD ReadDword(const BYTE* at) {
    DWORD value = 0;
    std::memcpy(&value, at, sizeof value);
    return value;
}

void WriteWord(std::vector<BYTE>& bytes, size_t at, WORD value) {
    std::memcpy(bytes.data() + at, &value, sizeof value);
}

const Text16 kPrintProcessor = u"winprint";
const Text16 kDatatype = u"RAW";
const Text16 kDriver = u"Korvane Q5 Driver";
// The datatypes that winprint takes.
const Text16 kDatatypes[] = {u"RAW", u"RAW [FF appended]", u"RAW [FF auto]", u"NT EMF 1.008",
                             u"TEXT"};

// DEVMODEW on x64: 220 bytes, the driver's private bytes (dmDriverExtra of them) behind it.
constexpr size_t kDevModeSize = 220;
constexpr size_t kDevModeSpecVersionAt = 64;
constexpr size_t kDevModeSizeAt = 68;
constexpr size_t kDevModeDriverExtraAt = 70;
constexpr size_t kDevModeFieldsAt = 72;
constexpr size_t kDevModeOrientationAt = 76;
constexpr size_t kDevModePaperSizeAt = 78;
constexpr WORD kDriverExtra = 8;

// A device mode as a driver leaves it: A4, portrait, and some private bytes of the driver.
std::vector<BYTE> DefaultDevMode(const Text16& printer) {
    std::vector<BYTE> mode(kDevModeSize + kDriverExtra, 0);
    std::memcpy(mode.data(), printer.c_str(), std::min<size_t>(printer.size(), 31) * sizeof(WCHAR));
    WriteWord(mode, kDevModeSpecVersionAt, 0x0401);  // DM_SPECVERSION
    WriteWord(mode, kDevModeSizeAt, kDevModeSize);
    WriteWord(mode, kDevModeDriverExtraAt, kDriverExtra);
    WriteWord(mode, kDevModeFieldsAt, 0x0003);  // DM_ORIENTATION | DM_PAPERSIZE
    WriteWord(mode, kDevModeOrientationAt, 1);  // DMORIENT_PORTRAIT
    WriteWord(mode, kDevModePaperSizeAt, 9);    // DMPAPER_A4
    for (size_t i = 0; i < kDriverExtra; ++i) {
        mode[kDevModeSize + i] = static_cast<BYTE>(0xA0 + i);
    }
    return mode;
}

// The bytes of a device mode as a level-2 write carries it, or 0 when it is not a valid one.
size_t DevModeBytes(const BYTE* mode) {
    const WORD size = ReadWord(mode + kDevModeSizeAt);
    if (size < kDevModeFieldsAt + sizeof(DWORD) || size > kDevModeSize) {
        return 0;
    }
    return size + ReadWord(mode + kDevModeDriverExtraAt);
}

// Self-relative: Administrators own the printer, SYSTEM is its group, and its DACL lets everyone
// print (ACCESS_ALLOWED_ACE, PRINTER_ACCESS_USE | READ_CONTROL, S-1-1-0).
std::vector<BYTE> DefaultSecurityDescriptor() {
    // clang-format off
    return {
        1, 0, 0x04, 0x80,                                // revision 1, SE_SELF_RELATIVE | SE_DACL_PRESENT
        20, 0, 0, 0,                                     // owner at 20
        36, 0, 0, 0,                                     // group at 36
        0, 0, 0, 0,                                      // no SACL
        48, 0, 0, 0,                                     // DACL at 48
        1, 2, 0, 0, 0, 0, 0, 5, 32, 0, 0, 0, 32, 2, 0, 0,  // S-1-5-32-544
        1, 1, 0, 0, 0, 0, 0, 5, 18, 0, 0, 0,             // S-1-5-18
        2, 0, 28, 0, 1, 0, 0, 0,                         // ACL revision 2, 28 bytes, 1 ACE
        0, 0, 20, 0, 0x08, 0, 2, 0,                      // ACCESS_ALLOWED_ACE of 20 bytes, mask
        1, 1, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0,              // S-1-1-0
    };
    // clang-format on
}

size_t SidBytes(const BYTE* sid) {
    return sid[0] == 1 && sid[1] <= 15 ? 8 + 4 * static_cast<size_t>(sid[1]) : 0;
}

// The length of a valid self-relative security descriptor, or 0 where IsValidSecurityDescriptor
// would refuse it. Only the self-relative form, the one GetPrinterW hands out, is modelled.
size_t SecurityDescriptorBytes(const BYTE* descriptor) {
    constexpr WORD kSelfRelative = 0x8000;
    if (descriptor[0] != 1 || (ReadWord(descriptor + 2) & kSelfRelative) == 0) {
        return 0;
    }
    size_t end = 20;
    for (size_t field = 4; field <= 16; field += 4) {
        const DWORD offset = ReadDword(descriptor + field);
        if (offset == 0) {
            continue;
        }
        if (offset < 20 || offset > 0xFFFF) {
            return 0;
        }
        const BYTE* part = descriptor + offset;
        const bool isAcl = field >= 12;
        const size_t bytes =
            isAcl ? ((part[0] == 2 || part[0] == 4) ? ReadWord(part + 2) : 0) : SidBytes(part);
        if (bytes < (isAcl ? 8u : 12u)) {
            return 0;
        }
        end = std::max(end, offset + bytes);
    }
    return end;
}

// The record's strings, in the record's order; the port only when it has one.
std::vector<const Text16*> RecordStrings(const PrinterRecord& p) {
    std::vector<const Text16*> strings = {&p.name, &p.shareName};
    if (!p.nullPort) {
        strings.push_back(&p.port);
    }
    for (const Text16* text : {&p.driver, &p.comment, &p.location, &p.sepFile, &p.printProcessor,
                               &p.datatype, &p.parameters}) {
        strings.push_back(text);
    }
    return strings;
}

size_t RecordSize(const PrinterRecord& p) {
    size_t size =
        sizeof(PRINTER_INFO_2W) + Align8(p.devMode.size()) + Align8(p.securityDescriptor.size());
    for (const Text16* text : RecordStrings(p)) {
        size += TextBytes(*text);
    }
    return size;
}

// The whole record in the caller's buffer: the fixed part, then the device mode and the security
// descriptor, then the strings; every pointer points into the buffer.
void FillRecord(const PrinterRecord& p, BYTE* buffer) {
    auto* info = reinterpret_cast<PRINTER_INFO_2W*>(buffer);
    std::memset(info, 0, sizeof *info);
    size_t at = sizeof(PRINTER_INFO_2W);
    if (!p.devMode.empty()) {
        std::memcpy(buffer + at, p.devMode.data(), p.devMode.size());
        info->pDevMode = reinterpret_cast<LPDEVMODEW>(buffer + at);
        at += Align8(p.devMode.size());
    }
    if (!p.securityDescriptor.empty()) {
        std::memcpy(buffer + at, p.securityDescriptor.data(), p.securityDescriptor.size());
        info->pSecurityDescriptor = buffer + at;
        at += Align8(p.securityDescriptor.size());
    }
    Packer pack{buffer, at};
    info->pServerName = nullptr;  // a local printer
    info->pPrinterName = pack.Put(p.name);
    info->pShareName = pack.Put(p.shareName);
    info->pPortName = p.nullPort ? nullptr : pack.Put(p.port);
    info->pDriverName = pack.Put(p.driver);
    info->pComment = pack.Put(p.comment);
    info->pLocation = pack.Put(p.location);
    info->pSepFile = pack.Put(p.sepFile);
    info->pPrintProcessor = pack.Put(p.printProcessor);
    info->pDatatype = pack.Put(p.datatype);
    info->pParameters = pack.Put(p.parameters);
    info->Attributes = p.attributes;
    info->Priority = p.priority;
    info->DefaultPriority = p.defaultPriority;
    info->StartTime = p.startTime;
    info->UntilTime = p.untilTime;
    info->Status = p.status | (p.paused ? PRINTER_STATUS_PAUSED : 0);
}

// The printer behind a handle, or null with the last error set.
PrinterRecord* PrinterOf(Machine& m, HANDLE handle) {
    HandleEntry* entry = FindHandle(m, handle, "printer");
    if (entry == nullptr || entry->generation != m.spoolerGeneration) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!SpoolerRunning(m)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return nullptr;
    }
    PrinterRecord* printer = FindPrinter(m, entry->printer);
    if (printer == nullptr) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
    }
    return printer;
}

bool PortExists(Machine& m, const Text16& name) {
    for (const PortRecord& port : m.ports) {
        if (EqualsIgnoringCase16(port.name, name)) {
            return true;
        }
    }
    return false;
}

bool DriverInstalled(Machine& m, const Text16& name) {
    for (const Text16& driver : m.drivers) {
        if (EqualsIgnoringCase16(driver, name)) {
            return true;
        }
    }
    return false;
}

bool IsDatatype(const Text16& name) {
    for (const Text16& datatype : kDatatypes) {
        if (EqualsIgnoringCase16(datatype, name)) {
            return true;
        }
    }
    return false;
}

Text16 TextOrEmpty(LPCWSTR text) {
    return text == nullptr ? Text16() : Text16(text);
}

// Checks a level-2 record as the spooler does, in its order, and takes every settable field of it
// into `into`. Status, cJobs and AveragePPM are ignored; a null device mode or security
// descriptor leaves the current one. 0, or the error the spooler answers.
DWORD TakeRecord(Machine& m, const PRINTER_INFO_2W& info, const PrinterRecord& current,
                 PrinterRecord& into) {
    if (info.pDatatype != nullptr && !IsDatatype(info.pDatatype)) {
        return ERROR_INVALID_DATATYPE;
    }
    if (info.pPrintProcessor != nullptr &&
        !EqualsIgnoringCase16(info.pPrintProcessor, kPrintProcessor)) {
        return ERROR_UNKNOWN_PRINTPROCESSOR;
    }
    if (info.pSepFile != nullptr && info.pSepFile[0] != 0) {
        return ERROR_INVALID_SEPARATOR_FILE;  // this machine has no separator page files
    }
    if (info.pPortName == nullptr || !PortExists(m, info.pPortName)) {
        return ERROR_UNKNOWN_PORT;
    }
    if (info.pDriverName == nullptr || !DriverInstalled(m, info.pDriverName)) {
        return ERROR_UNKNOWN_PRINTER_DRIVER;
    }
    if (info.pPrinterName == nullptr || info.pPrinterName[0] == 0) {
        return ERROR_INVALID_PRINTER_NAME;
    }
    const PrinterRecord* named = FindPrinter(m, info.pPrinterName);
    if (named != nullptr && named != &current) {
        return ERROR_PRINTER_ALREADY_EXISTS;
    }
    const auto* mode = reinterpret_cast<const BYTE*>(info.pDevMode);
    const size_t modeBytes = mode == nullptr ? 0 : DevModeBytes(mode);
    if (mode != nullptr && modeBytes == 0) {
        return ERROR_INVALID_PARAMETER;
    }
    const auto* descriptor = static_cast<const BYTE*>(info.pSecurityDescriptor);
    const size_t descriptorBytes = descriptor == nullptr ? 0 : SecurityDescriptorBytes(descriptor);
    if (descriptor != nullptr && descriptorBytes == 0) {
        return ERROR_INVALID_PARAMETER;  // the spooler's answer to a malformed descriptor
    }
    into.name = info.pPrinterName;
    into.shareName = TextOrEmpty(info.pShareName);
    into.port = info.pPortName;
    into.nullPort = false;
    into.driver = info.pDriverName;
    into.comment = TextOrEmpty(info.pComment);
    into.location = TextOrEmpty(info.pLocation);
    into.sepFile = TextOrEmpty(info.pSepFile);
    into.printProcessor = info.pPrintProcessor != nullptr ? info.pPrintProcessor : kPrintProcessor;
    into.datatype = info.pDatatype != nullptr ? info.pDatatype : kDatatype;
    into.parameters = TextOrEmpty(info.pParameters);
    if (mode != nullptr) {
        into.devMode.assign(mode, mode + modeBytes);
    }
    if (descriptor != nullptr) {
        into.securityDescriptor.assign(descriptor, descriptor + descriptorBytes);
    }
    into.attributes = info.Attributes;
    into.priority = info.Priority;
    into.defaultPriority = info.DefaultPriority;
    into.startTime = info.StartTime;
    into.untilTime = info.UntilTime;
    return 0;
}

// The names of the settings other than the port that differ, for the timeline.
std::string ChangedSettings(const PrinterState& a, const PrinterState& b) {
    const std::pair<const char*, bool> fields[] = {
        {"name", a.name != b.name},
        {"share name", a.shareName != b.shareName},
        {"driver", a.driver != b.driver},
        {"comment", a.comment != b.comment},
        {"location", a.location != b.location},
        {"separator file", a.sepFile != b.sepFile},
        {"print processor", a.printProcessor != b.printProcessor},
        {"datatype", a.datatype != b.datatype},
        {"parameters", a.parameters != b.parameters},
        {"device mode", a.devMode != b.devMode},
        {"security", a.securityDescriptor != b.securityDescriptor},
        {"attributes", a.attributes != b.attributes},
        {"priority", a.priority != b.priority},
        {"default priority", a.defaultPriority != b.defaultPriority},
        {"start time", a.startTime != b.startTime},
        {"until time", a.untilTime != b.untilTime},
    };
    std::string changed;
    for (const auto& [name, differs] : fields) {
        if (differs) {
            changed += (changed.empty() ? "" : ", ") + std::string(name);
        }
    }
    return changed;
}

}  // namespace

BOOL WINAPI OpenPrinterW(LPWSTR pPrinterName, LPHANDLE phPrinter, LPPRINTER_DEFAULTSW pDefault) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    std::string request = "null";
    if (pDefault != nullptr) {
        request = "{" + Quote(pDefault->pDatatype) + ", " +
                  (pDefault->pDevMode ? "devmode" : "null") + ", " + Hex(pDefault->DesiredAccess) +
                  "}";
    }
    if (auto error =
            RecordCall(m, "OpenPrinterW", [&] { return Quote(pPrinterName) + ", " + request; })) {
        SetLastError(*error);
        return FALSE;
    }
    if (phPrinter == nullptr || pPrinterName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (!SpoolerRunning(m)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
    }
    if (FindPrinter(m, pPrinterName) == nullptr) {
        SetLastError(ERROR_INVALID_PRINTER_NAME);
        return FALSE;
    }
    const DWORD access = pDefault ? pDefault->DesiredAccess : 0;
    if (m.denyPrinterAdministration && access == PRINTER_ALL_ACCESS) {
        SetLastError(ERROR_ACCESS_DENIED);
        return FALSE;
    }
    HandleEntry entry;
    entry.kind = "printer";
    entry.printer = pPrinterName;
    entry.generation = m.spoolerGeneration;
    *phPrinter = NewHandle(m, entry);
    return TRUE;
}

BOOL WINAPI GetPrinterW(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD cbBuf,
                        LPDWORD pcbNeeded) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    if (auto error = RecordCall(m, "GetPrinterW", [&] {
            return HandleName(m, hPrinter) + ", " + std::to_string(Level) + ", " +
                   (pPrinter ? "buffer" : "null") + ", " + std::to_string(cbBuf);
        })) {
        SetLastError(*error);
        return FALSE;
    }
    // The size is an RPC reference pointer: the client's stub refuses a null one unsent.
    if (pcbNeeded == nullptr && FindHandle(m, hPrinter, "printer") != nullptr) {
        SetLastError(RPC_X_NULL_REF_POINTER);
        return FALSE;
    }
    PrinterRecord* printer = PrinterOf(m, hPrinter);
    if (printer == nullptr) {
        return FALSE;
    }
    if (Level != 2) {
        SetLastError(ERROR_INVALID_LEVEL);
        return FALSE;
    }
    const size_t needed = RecordSize(*printer);
    if (pcbNeeded != nullptr) {
        *pcbNeeded = static_cast<DWORD>(needed);
    }
    if (pPrinter == nullptr || cbBuf < needed) {
        if (printer->growAfterSizeQuery) {
            printer->growAfterSizeQuery = false;
            printer->comment += u" (settings changed)";
        }
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    FillRecord(*printer, pPrinter);
    return TRUE;
}

namespace {

// SetPrinterW at level 0: pause, resume or set the printer status. Lock held.
BOOL ControlPrinter(Machine& m, PrinterRecord& printer, DWORD command, LPBYTE data) {
    switch (command) {
        case PRINTER_CONTROL_PAUSE:
        case PRINTER_CONTROL_RESUME: {
            const bool pause = command == PRINTER_CONTROL_PAUSE;
            if (printer.paused != pause) {
                AddTimeline(m, QueuePausedEvent{pause});
            }
            printer.paused = pause;
            return TRUE;
        }
        case PRINTER_CONTROL_SET_STATUS: {
            const auto status = static_cast<DWORD>(reinterpret_cast<uintptr_t>(data));
            if (printer.status != status) {
                AddTimeline(m, QueueStatusEvent{status, false});
            }
            printer.status = status;
            return TRUE;
        }
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return FALSE;
    }
}

// SetPrinterW at level 2: the record's settings, the port among them. Lock held.
BOOL SetRecord(Machine& m, PrinterRecord& printer, const PRINTER_INFO_2W& record) {
    PrinterRecord updated = printer;
    if (const DWORD error = TakeRecord(m, record, printer, updated)) {
        SetLastError(error);
        return FALSE;
    }
    if (printer.nullPort || printer.port != updated.port) {
        AddTimeline(m, QueuePortEvent{Narrow(printer.port), Narrow(updated.port)});
    }
    const std::string changed = ChangedSettings(printer, updated);
    if (!changed.empty()) {
        AddTimeline(m, QueueSettingsEvent{changed});
    }
    if (updated.name != printer.name) {
        // A rename: the handles opened under the old name go on working.
        for (auto& [value, entry] : m.handles) {
            if (entry.kind == "printer" && EqualsIgnoringCase16(entry.printer, printer.name)) {
                entry.printer = updated.name;
            }
        }
    }
    printer = updated;
    return TRUE;
}

}  // namespace

BOOL WINAPI SetPrinterW(HANDLE hPrinter, DWORD Level, LPBYTE pPrinter, DWORD Command) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    std::string data;
    if (Level == 0) {
        data = Hex(reinterpret_cast<uintptr_t>(pPrinter));
    } else if (pPrinter == nullptr) {
        data = "null";
    } else {
        data = "{port " + Quote(reinterpret_cast<PRINTER_INFO_2W*>(pPrinter)->pPortName) + "}";
    }
    if (auto error = RecordCall(m, "SetPrinterW", [&] {
            return HandleName(m, hPrinter) + ", " + std::to_string(Level) + ", " + data + ", " +
                   std::to_string(Command);
        })) {
        SetLastError(*error);
        return FALSE;
    }
    PrinterRecord* printer = PrinterOf(m, hPrinter);
    if (printer == nullptr) {
        return FALSE;
    }
    if (Level == 0) {
        return ControlPrinter(m, *printer, Command, pPrinter);
    }
    if (Level != 2 || Command != 0) {
        SetLastError(Level == 2 ? ERROR_INVALID_PARAMETER : ERROR_INVALID_LEVEL);
        return FALSE;
    }
    if (pPrinter == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return SetRecord(m, *printer, *reinterpret_cast<const PRINTER_INFO_2W*>(pPrinter));
}

BOOL WINAPI ClosePrinter(HANDLE hPrinter) {
    return CloseHandleOf("ClosePrinter", hPrinter, {"printer"});
}

BOOL WINAPI EnumPortsW(LPWSTR pName, DWORD Level, LPBYTE pPort, DWORD cbBuf, LPDWORD pcbNeeded,
                       LPDWORD pcReturned) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    if (auto error = RecordCall(m, "EnumPortsW", [&] {
            return Quote(pName) + ", " + std::to_string(Level) + ", " +
                   (pPort ? "buffer" : "null") + ", " + std::to_string(cbBuf);
        })) {
        SetLastError(*error);
        return FALSE;
    }
    if (pcReturned != nullptr) {
        *pcReturned = 0;
    }
    if (pPort == nullptr && cbBuf != 0) {
        SetLastError(RPC_X_NULL_REF_POINTER);  // Wine's winspool tests, test_EnumPorts
        return FALSE;
    }
    if (!SpoolerRunning(m)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
    }
    if (Level != 2 || pcbNeeded == nullptr || pcReturned == nullptr) {
        SetLastError(Level != 2 ? ERROR_INVALID_LEVEL : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const Text16 description = u"Virtual printer port for USB";
    size_t needed = 0;
    for (const PortRecord& port : m.ports) {
        needed += sizeof(PORT_INFO_2W) + TextBytes(port.name) + TextBytes(port.monitor) +
                  TextBytes(description);
    }
    *pcbNeeded = static_cast<DWORD>(needed);
    if (pPort == nullptr || cbBuf < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* records = reinterpret_cast<PORT_INFO_2W*>(pPort);
    Packer pack{pPort, sizeof(PORT_INFO_2W) * m.ports.size()};
    for (size_t i = 0; i < m.ports.size(); ++i) {
        records[i].pPortName = pack.Put(m.ports[i].name);
        records[i].pMonitorName = pack.Put(m.ports[i].monitor);
        records[i].pDescription = pack.Put(description);
        records[i].fPortType = 1;  // PORT_TYPE_WRITE
        records[i].Reserved = 0;
    }
    *pcReturned = static_cast<DWORD>(m.ports.size());
    return TRUE;
}

// Level 5 of the local queues, those that exist, in the order they were added: a buffer too
// small answers ERROR_INSUFFICIENT_BUFFER with the bytes needed (ReactOS's EnumPrinters apitest,
// the sizing protocol of EnumPrinters), a Spooler that does not run RPC_S_SERVER_UNAVAILABLE
// (Wine's winspool tests take that answer for a deactivated Spooler).
BOOL WINAPI EnumPrintersW(DWORD Flags, LPWSTR Name, DWORD Level, LPBYTE pPrinterEnum, DWORD cbBuf,
                          LPDWORD pcbNeeded, LPDWORD pcReturned) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    if (auto error = RecordCall(m, "EnumPrintersW", [&] {
            return Hex(Flags) + ", " + Quote(Name) + ", " + std::to_string(Level) + ", " +
                   (pPrinterEnum ? "buffer" : "null") + ", " + std::to_string(cbBuf);
        })) {
        SetLastError(*error);
        return FALSE;
    }
    if (pPrinterEnum == nullptr && cbBuf != 0) {
        // No buffer for the bytes said: the RPC stub refuses it, as Wine's winspool tests show
        // for EnumPorts (test_EnumPorts); EnumPrinters goes through the same kind of stub.
        SetLastError(RPC_X_NULL_REF_POINTER);
        return FALSE;
    }
    if (!SpoolerRunning(m)) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
    }
    if (Level != 5 || Flags != PRINTER_ENUM_LOCAL || pcbNeeded == nullptr ||
        pcReturned == nullptr) {
        SetLastError(Level != 5 ? ERROR_INVALID_LEVEL : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::vector<const PrinterRecord*> queues;
    size_t needed = 0;
    for (const PrinterRecord& printer : m.printers) {
        if (printer.exists) {
            queues.push_back(&printer);
            needed += sizeof(PRINTER_INFO_5W) + TextBytes(printer.name) + TextBytes(printer.port);
        }
    }
    *pcbNeeded = static_cast<DWORD>(needed);
    *pcReturned = 0;
    if (pPrinterEnum == nullptr || cbBuf < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* records = reinterpret_cast<PRINTER_INFO_5W*>(pPrinterEnum);
    Packer pack{pPrinterEnum, sizeof(PRINTER_INFO_5W) * queues.size()};
    for (size_t i = 0; i < queues.size(); ++i) {
        records[i] = PRINTER_INFO_5W{pack.Put(queues[i]->name), pack.Put(queues[i]->port),
                                     queues[i]->attributes, 15000, 45000};
    }
    *pcReturned = static_cast<DWORD>(queues.size());
    return TRUE;
}

namespace sim {

void AddPrinter(const Text16& name, const Text16& port) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    PrinterRecord printer;
    printer.exists = true;
    printer.name = name;
    printer.port = port;
    printer.driver = kDriver;
    printer.comment = u"Receipts";
    printer.location = u"Front desk";
    printer.printProcessor = kPrintProcessor;
    printer.datatype = kDatatype;
    printer.devMode = DefaultDevMode(name);
    printer.securityDescriptor = DefaultSecurityDescriptor();
    printer.attributes =
        0x00000240;  // PRINTER_ATTRIBUTE_LOCAL | PRINTER_ATTRIBUTE_DO_COMPLETE_FIRST
    printer.priority = 1;
    m.printers.push_back(printer);
    if (!PortExists(m, port)) {
        m.ports.push_back(PortRecord{port, u"USB Monitor"});
    }
    if (!DriverInstalled(m, kDriver)) {
        m.drivers.push_back(kDriver);
    }
}

void RemovePrinter(const Text16& name) {
    std::lock_guard<std::mutex> lock(MachineLock());
    auto& printers = TheMachine().printers;
    for (auto it = printers.begin(); it != printers.end(); ++it) {
        if (EqualsIgnoringCase16(it->name, name)) {
            printers.erase(it);
            return;
        }
    }
}

PrinterState Printer(const Text16& name) {
    std::lock_guard<std::mutex> lock(MachineLock());
    const PrinterRecord* p = FindPrinter(TheMachine(), name);
    return p == nullptr ? PrinterState() : static_cast<const PrinterState&>(*p);
}

void SetPrinterNullPort(const Text16& name) {
    std::lock_guard<std::mutex> lock(MachineLock());
    if (PrinterRecord* p = FindPrinter(TheMachine(), name)) {
        p->nullPort = true;
    }
}

void GrowPrinterRecordAfterSizeQuery(const Text16& name) {
    std::lock_guard<std::mutex> lock(MachineLock());
    if (PrinterRecord* p = FindPrinter(TheMachine(), name)) {
        p->growAfterSizeQuery = true;
    }
}

void DenyPrinterAdministration(bool deny) {
    std::lock_guard<std::mutex> lock(MachineLock());
    TheMachine().denyPrinterAdministration = deny;
}

void AddPort(const Text16& name, const Text16& monitor) {
    std::lock_guard<std::mutex> lock(MachineLock());
    TheMachine().ports.push_back(PortRecord{name, monitor});
}

std::vector<Text16> Ports() {
    std::lock_guard<std::mutex> lock(MachineLock());
    std::vector<Text16> names;
    for (const PortRecord& port : TheMachine().ports) {
        names.push_back(port.name);
    }
    return names;
}

}  // namespace sim
