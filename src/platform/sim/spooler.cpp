// The simulated print spooler (winspool): printers with their level-2 records, pause/resume and
// status commands, port rewrites, and the port list. It answers only while the "Spooler"
// service runs; a restart invalidates every printer handle opened before it.
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

std::string StatusName(DWORD status) {
    if (status == 0) {
        return "0 (cleared)";
    }
    static const struct {
        DWORD bit;
        const char* name;
    } kNames[] = {{PRINTER_STATUS_PAUSED, "PRINTER_STATUS_PAUSED"},
                  {PRINTER_STATUS_ERROR, "PRINTER_STATUS_ERROR"},
                  {PRINTER_STATUS_PAPER_OUT, "PRINTER_STATUS_PAPER_OUT"},
                  {PRINTER_STATUS_OFFLINE, "PRINTER_STATUS_OFFLINE"},
                  {PRINTER_STATUS_DOOR_OPEN, "PRINTER_STATUS_DOOR_OPEN"}};
    std::string text;
    DWORD rest = status;
    for (const auto& n : kNames) {
        if ((status & n.bit) != 0) {
            text += (text.empty() ? "" : " | ") + std::string(n.name);
            rest &= ~n.bit;
        }
    }
    if (rest != 0) {
        text += (text.empty() ? "" : " | ") + Hex(rest);
    }
    return text;
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

const Text16 kPrintProcessor = u"winprint";
const Text16 kDatatype = u"RAW";

size_t RecordSize(const PrinterRecord& p) {
    return sizeof(PRINTER_INFO_2W) + TextBytes(p.name) + (p.nullPort ? 0 : TextBytes(p.port)) +
           TextBytes(p.driver) + TextBytes(p.comment) + TextBytes(kPrintProcessor) +
           TextBytes(kDatatype);
}

void FillRecord(const PrinterRecord& p, BYTE* buffer) {
    auto* info = reinterpret_cast<PRINTER_INFO_2W*>(buffer);
    std::memset(info, 0, sizeof *info);
    Packer pack{buffer, sizeof(PRINTER_INFO_2W)};
    info->pPrinterName = pack.Put(p.name);
    info->pPortName = p.nullPort ? nullptr : pack.Put(p.port);
    info->pDriverName = pack.Put(p.driver);
    info->pComment = pack.Put(p.comment);
    info->pPrintProcessor = pack.Put(kPrintProcessor);
    info->pDatatype = pack.Put(kDatatype);
    info->Priority = 1;
    info->DefaultPriority = 1;
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

constexpr DWORD kErrorUnknownPort = 1796;

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
    if (auto error = RecordCall(m, "OpenPrinterW", Quote(pPrinterName) + ", " + request)) {
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
    if (auto error =
            RecordCall(m, "GetPrinterW",
                       HandleName(m, hPrinter) + ", " + std::to_string(Level) + ", " +
                           (pPrinter ? "buffer" : "null") + ", " + std::to_string(cbBuf))) {
        SetLastError(*error);
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
    if (auto error = RecordCall(m, "SetPrinterW",
                                HandleName(m, hPrinter) + ", " + std::to_string(Level) + ", " +
                                    data + ", " + std::to_string(Command))) {
        SetLastError(*error);
        return FALSE;
    }
    PrinterRecord* printer = PrinterOf(m, hPrinter);
    if (printer == nullptr) {
        return FALSE;
    }
    if (Level == 0) {
        switch (Command) {
            case PRINTER_CONTROL_PAUSE:
            case PRINTER_CONTROL_RESUME: {
                const bool pause = Command == PRINTER_CONTROL_PAUSE;
                if (printer->paused != pause) {
                    AddTimeline(m, "queue", pause ? "paused" : "resumed");
                }
                printer->paused = pause;
                return TRUE;
            }
            case PRINTER_CONTROL_SET_STATUS: {
                const auto status = static_cast<DWORD>(reinterpret_cast<uintptr_t>(pPrinter));
                if (printer->status != status) {
                    AddTimeline(m, "queue", "status " + StatusName(status));
                }
                printer->status = status;
                return TRUE;
            }
            default:
                SetLastError(ERROR_INVALID_PARAMETER);
                return FALSE;
        }
    }
    if (Level != 2 || Command != 0) {
        SetLastError(Level == 2 ? ERROR_INVALID_PARAMETER : ERROR_INVALID_LEVEL);
        return FALSE;
    }
    const auto* info = reinterpret_cast<const PRINTER_INFO_2W*>(pPrinter);
    if (info == nullptr || info->pPortName == nullptr || !PortExists(m, info->pPortName)) {
        SetLastError(info == nullptr ? ERROR_INVALID_PARAMETER : kErrorUnknownPort);
        return FALSE;
    }
    const Text16 newPort = info->pPortName;
    if (printer->nullPort || printer->port != newPort) {
        AddTimeline(m, "queue", "port " + Narrow(printer->port) + " -> " + Narrow(newPort));
    }
    printer->port = newPort;
    printer->nullPort = false;
    if (info->pComment != nullptr) {
        printer->comment = info->pComment;
    }
    return TRUE;
}

BOOL WINAPI ClosePrinter(HANDLE hPrinter) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    RecordCall(m, "ClosePrinter", HandleName(m, hPrinter));
    if (FindHandle(m, hPrinter, "printer") == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    ReleaseHandle(m, hPrinter);
    return TRUE;
}

BOOL WINAPI EnumPortsW(LPWSTR pName, DWORD Level, LPBYTE pPort, DWORD cbBuf, LPDWORD pcbNeeded,
                       LPDWORD pcReturned) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    if (auto error = RecordCall(m, "EnumPortsW",
                                Quote(pName) + ", " + std::to_string(Level) + ", " +
                                    (pPort ? "buffer" : "null") + ", " + std::to_string(cbBuf))) {
        SetLastError(*error);
        return FALSE;
    }
    if (pcReturned != nullptr) {
        *pcReturned = 0;
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

namespace sim {

void AddPrinter(const Text16& name, const Text16& port) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    PrinterRecord printer;
    printer.name = name;
    printer.port = port;
    m.printers.push_back(printer);
    if (!PortExists(m, port)) {
        m.ports.push_back(PortRecord{port, u"USB Monitor"});
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
    PrinterState state;
    if (const PrinterRecord* p = FindPrinter(TheMachine(), name)) {
        state.exists = true;
        state.paused = p->paused;
        state.status = p->status;
        state.port = p->port;
        state.nullPort = p->nullPort;
    }
    return state;
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
