// The conformance cases' machine under Wine: queues made in the registry, ports and values
// written into Wine's registry, services of our own (conformance_service.exe, beside this
// program) and the virtual USB printer that wine.sh plugs in before the cases run.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "conformance_env.h"

namespace conformance {

namespace {

const std::string kPrinters = "System\\CurrentControlSet\\Control\\Print\\Printers\\";
const char* const kLocalPorts = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
const Text kPrinterPath =
    L"\\\\?\\usb#vid_0483&pid_5741#a1b2c3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
const std::wstring kPrinterFolder = L"C:\\vusb\\A1B2C3\\";
const wchar_t* const kPrinterPipe = L"\\\\.\\pipe\\kq5-virtual-usb-a1b2c3";
const char* const kSlowService = "kq5-conformance";
const char* const kDependent = "kq5-conformance-dependent";

// What the running case made, for CleanUp.
std::vector<std::string> queues;
std::vector<Text> ports;
std::vector<std::string> services;

std::string Narrow(const Text& text) {
    return std::string(text.begin(), text.end());  // the cases' names are ASCII
}

void SetValue(const std::string& key, const std::string& name, const std::string& text,
              bool withNul) {
    // RegSetValueExA counts a NUL the caller left out when one follows the data: give it none.
    const std::string data = withNul ? text : text + "#";
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &handle, nullptr),
              ERROR_SUCCESS)
        << key;
    ASSERT_EQ(
        RegSetValueExA(handle, name.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                       static_cast<DWORD>(text.size() + (withNul ? 1 : 0))),
        ERROR_SUCCESS);
    RegCloseKey(handle);
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

DWORD StateOf(SC_HANDLE service) {
    SERVICE_STATUS status = {};
    return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

bool AwaitState(SC_HANDLE service, DWORD state) {
    for (int i = 0; i < 200 && StateOf(service) != state; ++i) {
        Sleep(50);
    }
    return StateOf(service) == state;
}

void StartNewService(const char* name, const char* dependencies) {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string binary(path, length);
    binary = binary.substr(0, binary.find_last_of('\\') + 1) + "conformance_service.exe";
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = CreateServiceA(
        manager, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
        SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, dependencies, nullptr, nullptr);
    EXPECT_NE(service, nullptr) << name << ": " << GetLastError();
    services.push_back(name);
    EXPECT_TRUE(StartServiceA(service, 0, nullptr)) << name << ": " << GetLastError();
    EXPECT_TRUE(AwaitState(service, SERVICE_RUNNING)) << name;
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

void RemoveService(const std::string& name) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(manager, name.c_str(), SERVICE_ALL_ACCESS);
    if (service != nullptr) {
        SERVICE_STATUS status = {};
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        EXPECT_TRUE(AwaitState(service, SERVICE_STOPPED)) << name;
        DeleteService(service);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
}

}  // namespace

void Prepare() {
    CleanUp();
    // Wine starts its spooler on demand; the cases begin with it running.
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE spooler = OpenServiceA(manager, "Spooler", SERVICE_ALL_ACCESS);
    if (StateOf(spooler) == SERVICE_STOPPED) {
        StartServiceA(spooler, 0, nullptr);
    }
    EXPECT_TRUE(AwaitState(spooler, SERVICE_RUNNING));
    CloseServiceHandle(spooler);
    CloseServiceHandle(manager);
}

void CleanUp() {
    for (const std::string& name : queues) {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, (kPrinters + name).c_str());
        RegDeleteKeyA(HKEY_LOCAL_MACHINE, (kPrinters + name).c_str());
    }
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kLocalPorts, 0, KEY_ALL_ACCESS, &key) == ERROR_SUCCESS) {
        for (const Text& port : ports) {
            RegDeleteValueW(key, port.c_str());
        }
        RegCloseKey(key);
    }
    // The dependent first: it was made last.
    for (auto name = services.rbegin(); name != services.rend(); ++name) {
        RemoveService(*name);
    }
    queues.clear();
    ports.clear();
    services.clear();
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kTestKey);
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, kTestKey);
    if (GetFileAttributesW((kPrinterFolder + L"unplugged").c_str()) != INVALID_FILE_ATTRIBUTES) {
        SetPrinterPlugged(true);
    }
}

// The queue's port must be one the spooler lists, as with any queue.
void MakeQueue(const Text& name, const Text& port) {
    const std::string key = kPrinters + Narrow(name);
    queues.push_back(Narrow(name));
    AddSpoolerPort(port);
    SetValue(key, "Name", Narrow(name), true);
    SetValue(key, "Port", Narrow(port), true);
    SetValue(key, "Printer Driver", "Generic / Text Only", true);
    SetValue(key, "Print Processor", "winprint", true);
    SetValue(key, "Datatype", "RAW", true);
}

// Wine's local port monitor lists the value names of this key.
void AddSpoolerPort(const Text& name) {
    ports.push_back(name);
    SetValue(kLocalPorts, Narrow(name), "", true);
}

void SetRegistryString(const std::string& key, const std::string& name, const std::string& text,
                       bool withNul) {
    SetValue(key, name, text, withNul);
}

Text PrinterPath() {
    return kPrinterPath;
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
    EXPECT_GT(LoggedLines(line), before) << "the virtual printer was not " << line;
}

// The virtual printer takes a moment to listen again after its one handle closes.
void AwaitPrinterClosed() {
    for (int i = 0; i < 500 && !WaitNamedPipeW(kPrinterPipe, 20); ++i) {
        Sleep(20);
    }
}

const char* MakeSlowService() {
    StartNewService(kSlowService, nullptr);
    return kSlowService;
}

void AddRunningDependent() {
    StartNewService(kDependent, "kq5-conformance\0");
}

}  // namespace conformance
