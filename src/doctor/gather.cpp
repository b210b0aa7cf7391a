// Gathering the facts with the service's own lookups. Nothing here changes the machine: the
// queue is only opened and read, the printer's device only opened and closed again, and the
// service manager is only read.
#include <memory>
#include <new>

#include "common/service_state.h"
#include "common/text.h"
#include "doctor/doctor.h"
#include "doctor/text.h"
#include "queue/queue.h"

namespace {

constexpr DWORD kEnumBufferSize = 64 * 1024;   // a page of services; the rest by resuming
constexpr DWORD kConfigSizeLimit = 64 * 1024;  // the service manager's records stay far below
constexpr int kEnumRounds = 64;                // 4 MiB of services: far beyond any machine

// The local queues of a near name: listed at level 5 (name and port), sized first.
void FindNearNames(QueueFacts& facts) {
    DWORD needed = 0;
    DWORD count = 0;
    if (EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 5, nullptr, 0, &needed, &count) == 0 &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        facts.nearNamesError = GetLastError();
        return;
    }
    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[needed == 0 ? 1 : needed]);
    if (!buffer) {
        facts.nearNamesError = ERROR_NOT_ENOUGH_MEMORY;
        return;
    }
    if (EnumPrintersW(PRINTER_ENUM_LOCAL, nullptr, 5, buffer.get(), needed, &needed, &count) == 0) {
        facts.nearNamesError = GetLastError();
        return;
    }
    const auto* records = reinterpret_cast<const PRINTER_INFO_5W*>(buffer.get());
    for (DWORD i = 0; i < count; ++i) {
        const std::string name = records[i].pPrinterName ? Utf8(records[i].pPrinterName) : "";
        if (NearQueueName(name)) {
            facts.nearNames.push_back(
                NearQueue{name, records[i].pPortName ? Utf8(records[i].pPortName) : ""});
        }
    }
}

QueueFacts GatherQueue() {
    QueueFacts facts;
    HANDLE queue = INVALID_HANDLE_VALUE;
    // The service's own access: an open it would be refused is refused here too.
    PRINTER_DEFAULTSW request = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    WideString name = kQueueName;
    if (OpenPrinterW(name.data(), &queue, &request) == 0) {
        facts.openError = GetLastError();
        if (facts.openError == ERROR_INVALID_PRINTER_NAME) {
            FindNearNames(facts);
        }
        return facts;
    }
    facts.opened = true;
    const QueueInfo info = ReadQueueInfo(queue);
    if (info) {
        facts.read = true;
        const PRINTER_INFO_2W* record = InfoRecord(info);
        facts.port = record->pPortName ? Utf8(record->pPortName) : std::string();
        facts.status = record->Status;
    }
    ClosePrinter(queue);
    return facts;
}

SpoolerFacts GatherSpooler(SC_HANDLE manager) {
    SpoolerFacts facts;
    SC_HANDLE spooler = OpenServiceA(manager, "Spooler", SERVICE_QUERY_STATUS);
    if (spooler == nullptr) {
        facts.error = GetLastError();
        return facts;
    }
    SERVICE_STATUS status = {};
    if (QueryServiceStatus(spooler, &status) != 0) {
        facts.known = true;
        facts.state = status.dwCurrentState;
    } else {
        facts.error = GetLastError();
    }
    CloseServiceHandle(spooler);
    return facts;
}

// Whether the Spooler's list of ports can be read: a port not found in a list that could not be
// read says nothing of the printer (the list is the Spooler's, gone while it is stopped).
DWORD PortListError() {
    DWORD needed = 0;
    DWORD count = 0;
    if (EnumPortsW(nullptr, 2, nullptr, 0, &needed, &count) != 0 ||
        GetLastError() == ERROR_INSUFFICIENT_BUFFER) {
        return 0;
    }
    return GetLastError();
}

PrinterFacts GatherPrinter() {
    PrinterFacts facts;
    facts.listed = VisitPrinterCandidates(
        [&facts](const WideString& path) {
            const IdentityCheck check = CheckIdentity(path);
            facts.devices.push_back(
                DeviceFacts{Utf8(path), check.identity, Utf8(check.description)});
            if (check.identity == Identity::Printer && facts.printer < 0) {
                facts.printer = static_cast<int>(facts.devices.size()) - 1;
                facts.port = Utf8(FindPortForDevice(CollectUsbPorts(), path));
                facts.portListError = facts.port.empty() ? PortListError() : 0;
                HANDLE device = OpenPrinterDevice(path);
                if (device != INVALID_HANDLE_VALUE) {
                    facts.open = DeviceOpen::Opened;
                    CloseHandle(device);
                } else {
                    facts.openError = GetLastError();
                    // An exclusive open refused: someone holds it (Wine's pipe-backed virtual
                    // printer answers ERROR_PIPE_BUSY where Windows answers a sharing violation).
                    const bool held = facts.openError == ERROR_SHARING_VIOLATION ||
                                      facts.openError == ERROR_PIPE_BUSY ||
                                      facts.openError == ERROR_ACCESS_DENIED;
                    facts.open = held ? DeviceOpen::Held : DeviceOpen::Failed;
                }
            }
            return false;  // every candidate is listed, not only the first printer
        },
        facts.listError);
    return facts;
}

// Reads a variable-size record of the service manager: sized first, then read.
template <typename Query>
std::unique_ptr<BYTE[]> ReadRecord(Query query, DWORD& error) {
    DWORD needed = 0;
    if (query(nullptr, 0, &needed) == 0 && GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        error = GetLastError();
        return nullptr;
    }
    if (needed == 0 || needed > kConfigSizeLimit) {
        error = ERROR_INVALID_DATA;
        return nullptr;
    }
    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[needed]);
    if (!buffer) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return nullptr;
    }
    if (query(buffer.get(), needed, &needed) == 0) {
        error = GetLastError();
        return nullptr;
    }
    return buffer;
}

void ReadConfig2(SC_HANDLE service, ServiceFacts& facts) {
    std::unique_ptr<BYTE[]> recovery = ReadRecord(
        [service](LPBYTE buffer, DWORD size, LPDWORD needed) {
            return QueryServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, buffer, size,
                                        needed);
        },
        facts.recoveryError);
    if (recovery) {
        facts.recoveryKnown = true;
        const auto* record = reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(recovery.get());
        for (DWORD i = 0; record->lpsaActions != nullptr && i < record->cActions; ++i) {
            facts.recovery.push_back(FailureAction{static_cast<DWORD>(record->lpsaActions[i].Type),
                                                   record->lpsaActions[i].Delay});
        }
    }
    std::unique_ptr<BYTE[]> privileges = ReadRecord(
        [service](LPBYTE buffer, DWORD size, LPDWORD needed) {
            return QueryServiceConfig2W(service, SERVICE_CONFIG_REQUIRED_PRIVILEGES_INFO, buffer,
                                        size, needed);
        },
        facts.privilegesError);
    if (privileges) {
        facts.privilegesKnown = true;
        const auto* record =
            reinterpret_cast<const SERVICE_REQUIRED_PRIVILEGES_INFOW*>(privileges.get());
        for (const WCHAR* item = record->pmszRequiredPrivileges; item != nullptr && *item != 0;
             item += WideString(item).size() + 1) {
            facts.privileges.push_back(Utf8(item));
        }
    }
}

// The program a service's command line starts: the quoted part, or the text up to the end of
// the first "kq5svc.exe" (an unquoted path with spaces is read as Windows reads it for kq5).
WideString ExecutableOf(const WCHAR* commandLine) {
    const WideString line = commandLine;
    if (!line.empty() && line[0] == '"') {
        const size_t end = line.find('"', 1);
        return line.substr(1, end == WideString::npos ? WideString::npos : end - 1);
    }
    const std::string lower = [&line] {
        std::string text;
        for (const WCHAR c : line) {
            text += c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32)
                    : c < 0x80           ? static_cast<char>(c)
                                         : '?';
        }
        return text;
    }();
    const size_t at = lower.find("kq5svc.exe");
    return at == std::string::npos ? line : line.substr(0, at + 10);
}

// The version of the program at PATH from its version resource: GetFileVersionInfoSizeW sizes
// it, GetFileVersionInfoW reads it, VerQueryValueW("\\") finds the fixed part with the numbers.
// Empty, with the error in ERROR, when it cannot be read.
std::string FileVersion(const WideString& path, DWORD& error) {
    DWORD handle = 0;
    const DWORD size = GetFileVersionInfoSizeW(path.c_str(), &handle);
    if (size == 0) {
        error = GetLastError();
        return "";
    }
    std::unique_ptr<BYTE[]> block(new (std::nothrow) BYTE[size]);
    if (!block) {
        error = ERROR_NOT_ENOUGH_MEMORY;
        return "";
    }
    LPVOID fixed = nullptr;
    UINT length = 0;
    if (GetFileVersionInfoW(path.c_str(), 0, size, block.get()) == 0 ||
        VerQueryValueW(block.get(), WSTR("\\"), &fixed, &length) == 0) {
        error = GetLastError();
        return "";
    }
    if (length < sizeof(VS_FIXEDFILEINFO)) {
        error = ERROR_INVALID_DATA;
        return "";
    }
    const auto* info = static_cast<const VS_FIXEDFILEINFO*>(fixed);
    return std::to_string(info->dwFileVersionMS >> 16) + "." +
           std::to_string(info->dwFileVersionMS & 0xFFFF) + "." +
           std::to_string(info->dwFileVersionLS >> 16) + "." +
           std::to_string(info->dwFileVersionLS & 0xFFFF);
}

// With the service's program gone, the version installed is read from the programs the package
// puts beside it: the repair must use that version's package, as Windows Installer refuses
// another.
void ReadSiblingVersion(const WideString& program, ServiceFacts& facts) {
    const size_t slash = program.find_last_of(WSTR("\\/"));
    if (slash == WideString::npos) {
        return;
    }
    for (const WCHAR* name : {WSTR("kq5doctor.exe"), WSTR("kq5trace.exe")}) {
        const WideString path = program.substr(0, slash + 1) + name;
        DWORD error = 0;
        const std::string version = FileVersion(path, error);
        if (!version.empty()) {
            facts.installedVersion = version;
            facts.installedVersionFrom = Utf8(path);
            return;
        }
    }
}

void ReadVersion(const WCHAR* commandLine, ServiceFacts& facts) {
    const WideString path = ExecutableOf(commandLine);
    facts.executable = Utf8(path);
    facts.version = FileVersion(path, facts.versionError);
    facts.versionKnown = !facts.version.empty();
    if (facts.versionError == ERROR_FILE_NOT_FOUND || facts.versionError == ERROR_PATH_NOT_FOUND) {
        ReadSiblingVersion(path, facts);
    }
}

// A service whose program cannot be read may be kq5: noted, so that the doctor does not say kq5
// is not installed when it was not found.
void NoteUnreadable(const WCHAR* name, DWORD error, ServiceFacts& facts) {
    if (facts.unreadable.empty()) {
        facts.unreadableError = error;
    }
    facts.unreadable.push_back(Utf8(name));
}

// A service's configuration record (QUERY_SERVICE_CONFIGW), or null with the error in ERROR.
std::unique_ptr<BYTE[]> ConfigOf(SC_HANDLE service, DWORD& error) {
    return ReadRecord(
        [service](LPBYTE buffer, DWORD size, LPDWORD needed) {
            return QueryServiceConfigW(service, reinterpret_cast<LPQUERY_SERVICE_CONFIGW>(buffer),
                                       size, needed);
        },
        error);
}

// Whether the named service runs kq5svc.exe: if so it is kq5, and its configuration goes into
// `facts`.
void ReadIfKq5(SC_HANDLE manager, const WCHAR* name, DWORD state, ServiceFacts& facts) {
    SC_HANDLE service = OpenServiceW(manager, name, SERVICE_QUERY_CONFIG);
    if (service == nullptr) {
        NoteUnreadable(name, GetLastError(), facts);
        return;
    }
    DWORD error = 0;
    std::unique_ptr<BYTE[]> config = ConfigOf(service, error);
    if (!config) {
        NoteUnreadable(name, error, facts);
    }
    const auto* record = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(config.get());
    const bool kq5 = record != nullptr && record->lpBinaryPathName != nullptr &&
                     IsKq5Path(Utf8(record->lpBinaryPathName));
    if (kq5) {
        facts.installed = true;
        facts.name = Utf8(name);
        facts.state = state;
        facts.startType = record->dwStartType;
        facts.path = Utf8(record->lpBinaryPathName);
        facts.account = record->lpServiceStartName ? Utf8(record->lpServiceStartName) : "";
        ReadConfig2(service, facts);
        ReadVersion(record->lpBinaryPathName, facts);
    }
    CloseServiceHandle(service);
}

// Whether the named service, found after kq5's, runs kq5svc.exe too (an old copy left
// installed); one whose configuration cannot be read is not counted.
bool AlsoKq5(SC_HANDLE manager, const WCHAR* name) {
    SC_HANDLE service = OpenServiceW(manager, name, SERVICE_QUERY_CONFIG);
    if (service == nullptr) {
        return false;
    }
    DWORD error = 0;
    const std::unique_ptr<BYTE[]> config = ConfigOf(service, error);
    CloseServiceHandle(service);
    const auto* record = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(config.get());
    return record != nullptr && record->lpBinaryPathName != nullptr &&
           IsKq5Path(Utf8(record->lpBinaryPathName));
}

// A page of the service list: kq5 looked for until it is found, then the first running copy of it
// under another name. True when there is nothing more to look for.
bool LookAtPage(SC_HANDLE manager, const ENUM_SERVICE_STATUS_PROCESSW* records, DWORD count,
                ServiceFacts& facts) {
    for (DWORD i = 0; i < count && facts.alsoRunning.empty(); ++i) {
        const WCHAR* name = records[i].lpServiceName;
        const DWORD state = records[i].ServiceStatusProcess.dwCurrentState;
        if (name == nullptr) {
            continue;
        }
        if (!facts.installed) {
            ReadIfKq5(manager, name, state, facts);
        } else if (state == SERVICE_RUNNING && AlsoKq5(manager, name)) {
            facts.alsoRunning = Utf8(name);
        }
    }
    return !facts.alsoRunning.empty();
}

// Looks through the service list a page at a time, resuming where the last page ended. A list
// that cannot be read to its end is said (listError): kq5, or a copy of it, may be among the
// services not seen.
void FindKq5(SC_HANDLE manager, ServiceFacts& facts) {
    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[kEnumBufferSize]);
    if (!buffer) {
        facts.listError = ERROR_NOT_ENOUGH_MEMORY;
        return;
    }
    DWORD resume = 0;
    for (int round = 0; round < kEnumRounds; ++round) {
        DWORD needed = 0;
        DWORD returned = 0;
        const BOOL done = EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32,
                                                SERVICE_STATE_ALL, buffer.get(), kEnumBufferSize,
                                                &needed, &returned, &resume, nullptr);
        // Taken before the services' own lookups set the last error again.
        const DWORD error = done != 0 ? ERROR_SUCCESS : GetLastError();
        if (error != ERROR_SUCCESS && error != ERROR_MORE_DATA) {
            facts.listError = error;
            return;
        }
        const auto* records = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.get());
        if (LookAtPage(manager, records, returned, facts) || error == ERROR_SUCCESS) {
            return;
        }
    }
    facts.listError = ERROR_MORE_DATA;  // a list that does not end
}

}  // namespace

Facts GatherFacts() {
    Facts facts;
    SC_HANDLE manager =
        OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT | SC_MANAGER_ENUMERATE_SERVICE);
    if (manager == nullptr) {
        facts.service.managerError = GetLastError();
    } else {
        facts.service.managerOpened = true;
        facts.spooler = GatherSpooler(manager);
        FindKq5(manager, facts.service);
        CloseServiceHandle(manager);
    }
    facts.queue = GatherQueue();
    facts.printer = GatherPrinter();
    return facts;
}

bool IsKq5Path(const std::string& path) {
    constexpr const char* kExe = "kq5svc.exe";
    const std::string lower = LowerAscii(path);
    // The executable's own name: after a separator or at the start, ending the program's path.
    for (size_t at = lower.find(kExe); at != std::string::npos; at = lower.find(kExe, at + 1)) {
        const size_t end = at + std::char_traits<char>::length(kExe);
        const bool startOk =
            at == 0 || lower[at - 1] == '\\' || lower[at - 1] == '/' || lower[at - 1] == '"';
        const bool endOk = end == lower.size() || lower[end] == '"' || lower[end] == ' ';
        if (startOk && endOk) {
            return true;
        }
    }
    return false;
}

bool PathQuoted(const std::string& path) {
    return path.starts_with('"') && path.find('"', 1) != std::string::npos;
}

bool NearQueueName(const std::string& name) {
    std::string folded;
    for (const char c : LowerAscii(name)) {
        if (c != ' ' && c != '-' && c != '_') {
            folded += c;
        }
    }
    constexpr const char* kFolded = "korvaneq5";
    const size_t length = std::char_traits<char>::length(kFolded);
    return folded.compare(0, length, kFolded) == 0 &&
           (folded.size() == length || folded[length] < '0' || folded[length] > '9');
}
