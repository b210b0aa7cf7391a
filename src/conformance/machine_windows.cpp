// The conformance facts' machine on Windows and under Wine, made only of what the program adds
// itself and takes away again: registry values under HKLM\SOFTWARE\kq5-conformance; services of
// its own (this program, started with --service NAME); ports and queues of its own. Windows makes
// a port with the Local Port monitor (XcvData "AddPort") and a queue with AddPrinterW; Wine's
// spooler reads both from the registry as they are written, and its AddPrinterW wants a driver
// installed, so under Wine they are written there. The printer is Wine's virtual USB printer
// (tools/wine/virtual_printer.exe), which wine.sh plugs in before the facts run; Windows has no
// printer the facts could unplug.
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "conformance/check.h"
#include "conformance/machine.h"

namespace conformance {

namespace {

const std::string kPrinters = "System\\CurrentControlSet\\Control\\Print\\Printers\\";
const char* const kLocalPorts = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
const std::wstring kPrinterFolder = L"C:\\vusb\\A1B2C3\\";

// How to take away what the running fact made, for CleanUp; each answers what it could not.
std::vector<std::function<std::string()>> undo;
// The ports the running fact added on Windows: a second queue on one of them adds it no more.
std::vector<Text> ownPorts;

std::string Refused(const std::string& what, DWORD error) {
    const bool rights = error == ERROR_ACCESS_DENIED;
    return what + " failed with " + std::to_string(error) +
           (rights ? ": run it as an administrator" : "");
}

// How many lines `line` the virtual printer has logged; it polls its control files every 20 ms.
int LoggedLines(const std::string& line) {
    int count = 0;
    if (FILE* f = _wfopen((kPrinterFolder + L"log").c_str(), L"rb")) {
        char text[256];
        while (std::fgets(text, sizeof text, f) != nullptr) {
            count += line + "\n" == text ? 1 : 0;
        }
        std::fclose(f);
    }
    return count;
}

std::wstring ThisProgram() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    return std::wstring(path, length);
}

void StartNewService(const char* name, const char* dependencies) {
    const std::string ascii = name;
    const std::wstring wide(ascii.begin(), ascii.end());
    const std::wstring command = L"\"" + ThisProgram() + L"\" --service " + wide;
    std::wstring dependsOn;
    for (const char* d = dependencies; d != nullptr && *d != '\0'; d += std::strlen(d) + 1) {
        dependsOn += std::wstring(d, d + std::strlen(d)) + L'\0';
    }
    dependsOn += L'\0';
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        throw NotPossible{Refused("OpenSCManagerA for a service of its own", GetLastError())};
    }
    SC_HANDLE service =
        CreateServiceW(manager, wide.c_str(), wide.c_str(), SERVICE_ALL_ACCESS,
                       SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START, SERVICE_ERROR_NORMAL,
                       command.c_str(), nullptr, nullptr, dependsOn.c_str(), nullptr, nullptr);
    const DWORD error = GetLastError();
    CloseServiceHandle(manager);
    if (service == nullptr) {
        throw NotPossible{Refused(std::string("CreateServiceW of ") + name, error)};
    }
    undo.push_back([made = std::string(name)]() -> std::string {
        SC_HANDLE handle = OpenServiceByName(made.c_str());
        SERVICE_STATUS status = {};
        (void)ControlService(handle, SERVICE_CONTROL_STOP, &status);  // stopped already, or not
        const bool stopped = AwaitState(handle, SERVICE_STOPPED);
        const bool deleted = DeleteService(handle) != FALSE;
        CloseServiceHandle(handle);
        return stopped && deleted ? "" : made + (stopped ? " not deleted" : " did not stop");
    });
    const bool started = StartServiceA(service, 0, nullptr) != FALSE;
    const DWORD startError = GetLastError();
    const bool running = started && AwaitState(service, SERVICE_RUNNING);
    CloseServiceHandle(service);
    if (!running) {
        throw NotPossible{started ? std::string(name) + " did not come up"
                                  : Refused(std::string("StartServiceA of ") + name, startError)};
    }
}

// A port of the Local Port monitor, through its XcvData interface ("AddPort", "DeletePort").
DWORD LocalPortCommand(const wchar_t* command, const Text& port) {
    PRINTER_DEFAULTSW administer = {nullptr, nullptr, SERVER_ACCESS_ADMINISTER};
    HANDLE monitor = nullptr;
    wchar_t name[] = L",XcvMonitor Local Port";
    if (!OpenPrinterW(name, &monitor, &administer)) {
        return GetLastError();
    }
    DWORD needed = 0;
    DWORD status = ERROR_SUCCESS;
    const BOOL sent = XcvDataW(
        monitor, command, reinterpret_cast<PBYTE>(const_cast<WCHAR*>(port.c_str())),
        static_cast<DWORD>((port.size() + 1) * sizeof(WCHAR)), nullptr, 0, &needed, &status);
    const DWORD error = sent ? status : GetLastError();
    ClosePrinter(monitor);
    return error;
}

bool PortListed(const Text& port) {
    DWORD needed = 0;
    DWORD count = 0;
    EnumPortsW(nullptr, 1, nullptr, 0, &needed, &count);
    std::vector<BYTE> buffer(needed + sizeof(PORT_INFO_1W));
    if (!EnumPortsW(nullptr, 1, buffer.data(), needed, &needed, &count)) {
        return false;
    }
    const auto* ports = reinterpret_cast<const PORT_INFO_1W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
        if (ports[i].pName != nullptr && EqualsIgnoringAsciiCase(ports[i].pName, port)) {
            return true;
        }
    }
    return false;
}

void MakeWindowsQueue(const Text& name, const Text& port) {
    // Drivers that come with Windows: a queue needs one, and prints nothing here.
    for (const wchar_t* driver : {L"Generic / Text Only", L"Microsoft Print To PDF"}) {
        PRINTER_INFO_2W info = {};
        info.pPrinterName = const_cast<WCHAR*>(name.c_str());
        info.pPortName = const_cast<WCHAR*>(port.c_str());
        info.pDriverName = const_cast<WCHAR*>(driver);
        info.pPrintProcessor = const_cast<WCHAR*>(L"winprint");
        info.pDatatype = const_cast<WCHAR*>(L"RAW");
        HANDLE queue = AddPrinterW(nullptr, 2, reinterpret_cast<LPBYTE>(&info));
        const DWORD error = GetLastError();
        if (queue != nullptr) {
            ClosePrinter(queue);
            undo.push_back([name]() -> std::string {
                PRINTER_DEFAULTSW all = {nullptr, nullptr, PRINTER_ALL_ACCESS};
                HANDLE made = nullptr;
                const bool deleted = OpenPrinterW(const_cast<WCHAR*>(name.c_str()), &made, &all) &&
                                     DeletePrinter(made);
                ClosePrinter(made);
                return deleted ? "" : Narrow(name) + " not deleted";
            });
            return;
        }
        if (error != ERROR_UNKNOWN_PRINTER_DRIVER) {
            throw NotPossible{Refused("AddPrinterW of " + Narrow(name), error)};
        }
    }
    throw NotPossible{
        "no printer driver to make a queue with (Generic / Text Only, Microsoft "
        "Print To PDF)"};
}

}  // namespace

bool OnWine() {
    static const bool wine =
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
    return wine;
}

void Prepare() {
    CleanUp();
    SC_HANDLE spooler = OpenServiceByName("Spooler");
    if (OnWine()) {
        // Wine starts its spooler on demand; the facts begin with it running.
        StartServiceA(spooler, 0, nullptr);
    }
    const bool running = AwaitState(spooler, SERVICE_RUNNING);
    CloseServiceHandle(spooler);
    if (!running) {
        throw NotPossible{"the Spooler is not running (nor started here, on Windows)"};
    }
}

// The last made first: a dependent service before the service it depends on, a queue before
// its port.
void CleanUp() {
    std::string left;
    for (auto step = undo.rbegin(); step != undo.rend(); ++step) {
        const std::string failed = (*step)();
        left += failed.empty() ? "" : (left.empty() ? "" : "; ") + failed;
    }
    undo.clear();
    ownPorts.clear();
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kTestKey);
    if (OnWine() &&
        GetFileAttributesW((kPrinterFolder + L"unplugged").c_str()) != INVALID_FILE_ATTRIBUTES) {
        SetPrinterPlugged(true);
    }
    if (!left.empty()) {
        throw NotPossible{left};
    }
}

void MakeQueue(const Text& name, const Text& port) {
    // The queue's port must be one the spooler lists, as with any queue.
    AddSpoolerPort(port);
    if (!OnWine()) {
        MakeWindowsQueue(name, port);
        return;
    }
    const std::string key = kPrinters + Narrow(name);
    undo.push_back([key]() -> std::string {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
        return "";
    });
    SetRegistryString(key, "Name", Narrow(name));
    SetRegistryString(key, "Port", Narrow(port));
    SetRegistryString(key, "Printer Driver", "Generic / Text Only");
    SetRegistryString(key, "Print Processor", "winprint");
    SetRegistryString(key, "Datatype", "RAW");
}

void AddSpoolerPort(const Text& name) {
    if (!OnWine()) {
        for (const Text& own : ownPorts) {
            if (EqualsIgnoringAsciiCase(own, name)) {
                return;
            }
        }
        // Never one that is there already: it is not ours to take away afterwards.
        if (PortListed(name)) {
            throw NotPossible{"a port " + Narrow(name) + " is there already"};
        }
        const DWORD error = LocalPortCommand(L"AddPort", name);
        if (error != ERROR_SUCCESS) {
            throw NotPossible{Refused("the Local Port monitor's AddPort " + Narrow(name), error)};
        }
        ownPorts.push_back(name);
        undo.push_back([name]() -> std::string {
            return LocalPortCommand(L"DeletePort", name) == ERROR_SUCCESS
                       ? ""
                       : "port " + Narrow(name) + " not deleted";
        });
        return;
    }
    // Wine's local port monitor lists the value names of this key.
    const std::string value = Narrow(name);
    undo.push_back([value]() -> std::string {
        RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kLocalPorts, value.c_str());
        return "";
    });
    SetRegistryString(kLocalPorts, value, "");
}

void SetRegistryString(const std::string& key, const std::string& name, const std::string& text,
                       bool withNul) {
    // RegSetValueExA counts a NUL the caller left out when one follows the data: give it none.
    const std::string data = withNul ? text : text + "#";
    const LSTATUS status =
        RegSetKeyValueA(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), REG_SZ, data.c_str(),
                        static_cast<DWORD>(text.size() + (withNul ? 1 : 0)));
    if (status != ERROR_SUCCESS) {
        throw NotPossible{
            Refused("RegSetKeyValueA under HKLM\\" + key, static_cast<DWORD>(status))};
    }
}

void NeedPrinter() {
    if (!OnWine()) {
        throw NotPossible{
            "needs Wine's virtual USB printer; the real printer is for --lab --printer"};
    }
    if (GetFileAttributesW(kPrinterFolder.c_str()) == INVALID_FILE_ATTRIBUTES) {
        throw NotPossible{"the virtual USB printer (virtual_printer.exe) is not running"};
    }
}

void SetPrinterPlugged(bool plugged) {
    const std::string line = plugged ? "plugged" : "unplugged";
    const int before = LoggedLines(line);
    const std::wstring file = kPrinterFolder + L"unplugged";
    if (plugged) {
        DeleteFileW(file.c_str());
    } else if (FILE* f = _wfopen(file.c_str(), L"wb")) {
        std::fclose(f);
    }
    for (int i = 0; i < 500 && LoggedLines(line) == before; ++i) {
        Sleep(20);
    }
    if (LoggedLines(line) == before) {
        throw NotPossible{"the virtual printer was not " + line};
    }
}

// The virtual printer takes a moment to listen again after its one handle closes.
void AwaitPrinterClosed() {
    for (int i = 0; i < 500 && !WaitNamedPipeW(L"\\\\.\\pipe\\kq5-virtual-usb-a1b2c3", 20); ++i) {
        Sleep(20);
    }
}

const char* MakeSlowService() {
    StartNewService("kq5-conformance", nullptr);
    return "kq5-conformance";
}

void AddRunningDependent() {
    StartNewService("kq5-conformance-dependent", "kq5-conformance\0");
}

}  // namespace conformance
