// The conformance cases' machine under Wine: queues made in the registry, ports and values
// written into Wine's registry, services of our own (conformance_service.exe, beside this
// program) and the virtual USB printer that wine.sh plugs in before the cases run.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "conformance_env.h"

namespace conformance {

namespace {

const std::string kPrinters = "System\\CurrentControlSet\\Control\\Print\\Printers\\";
const char* const kLocalPorts = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
const std::wstring kPrinterFolder = L"C:\\vusb\\A1B2C3\\";

// How to take away what the running case made, for CleanUp.
std::vector<std::function<void()>> undo;

std::string Narrow(const Text& text) {
    return std::string(text.begin(), text.end());  // the cases' names are ASCII
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

void StartNewService(const char* name, const char* dependencies) {
    char path[MAX_PATH];
    std::string binary(path, GetModuleFileNameA(nullptr, path, MAX_PATH));
    binary = binary.substr(0, binary.find_last_of('\\') + 1) + "conformance_service.exe";
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = CreateServiceA(
        manager, name, name, SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS, SERVICE_DEMAND_START,
        SERVICE_ERROR_NORMAL, binary.c_str(), nullptr, nullptr, dependencies, nullptr, nullptr);
    CloseServiceHandle(manager);
    EXPECT_NE(service, nullptr) << name << ": " << GetLastError();
    undo.push_back([made = std::string(name)] {
        SC_HANDLE handle = OpenServiceByName(made.c_str());
        SERVICE_STATUS status = {};
        ControlService(handle, SERVICE_CONTROL_STOP, &status);
        EXPECT_TRUE(AwaitState(handle, SERVICE_STOPPED)) << made;
        DeleteService(handle);
        CloseServiceHandle(handle);
    });
    EXPECT_TRUE(StartServiceA(service, 0, nullptr)) << name << ": " << GetLastError();
    EXPECT_TRUE(AwaitState(service, SERVICE_RUNNING)) << name;
    CloseServiceHandle(service);
}

}  // namespace

void Prepare() {
    CleanUp();
    // Wine starts its spooler on demand; the cases begin with it running.
    SC_HANDLE spooler = OpenServiceByName("Spooler");
    StartServiceA(spooler, 0, nullptr);
    EXPECT_TRUE(AwaitState(spooler, SERVICE_RUNNING));
    CloseServiceHandle(spooler);
}

// The last made first: a dependent service before the service it depends on.
void CleanUp() {
    for (auto step = undo.rbegin(); step != undo.rend(); ++step) {
        (*step)();
    }
    undo.clear();
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, kTestKey);
    if (GetFileAttributesW((kPrinterFolder + L"unplugged").c_str()) != INVALID_FILE_ATTRIBUTES) {
        SetPrinterPlugged(true);
    }
}

// The queue's port must be one the spooler lists, as with any queue.
void MakeQueue(const Text& name, const Text& port) {
    const std::string key = kPrinters + Narrow(name);
    undo.push_back([key] { RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str()); });
    AddSpoolerPort(port);
    SetRegistryString(key, "Name", Narrow(name));
    SetRegistryString(key, "Port", Narrow(port));
    SetRegistryString(key, "Printer Driver", "Generic / Text Only");
    SetRegistryString(key, "Print Processor", "winprint");
    SetRegistryString(key, "Datatype", "RAW");
}

// Wine's local port monitor lists the value names of this key.
void AddSpoolerPort(const Text& name) {
    const std::string value = Narrow(name);
    undo.push_back([value] { RegDeleteKeyValueA(HKEY_LOCAL_MACHINE, kLocalPorts, value.c_str()); });
    SetRegistryString(kLocalPorts, value, "");
}

void SetRegistryString(const std::string& key, const std::string& name, const std::string& text,
                       bool withNul) {
    // RegSetValueExA counts a NUL the caller left out when one follows the data: give it none.
    const std::string data = withNul ? text : text + "#";
    EXPECT_EQ(RegSetKeyValueA(HKEY_LOCAL_MACHINE, key.c_str(), name.c_str(), REG_SZ, data.c_str(),
                              static_cast<DWORD>(text.size() + (withNul ? 1 : 0))),
              ERROR_SUCCESS)
        << key;
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
