// Component checks of the system code against a real Win32 implementation (Wine): the registry,
// the spooler and the service manager as Wine implements them, with the debug output captured
// from the channel that debug viewers read.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/service_state.h"
#include "conformance_env.h"
#include "dbwin_capture.h"
#include "device/device.h"
#include "queue/queue.h"
#include "service/service.h"

namespace {

DebugOutputCapture* capture = nullptr;

// Started before the system writes its first line: a process looks for the channel only once.
class CaptureEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        capture = new DebugOutputCapture();
        ASSERT_TRUE(capture->Start()) << "another debug-output capture is running";
    }
    void TearDown() override {
        capture->Stop();
        delete capture;
    }
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new CaptureEnvironment);

// This process's debug lines since the last call. A marker line, once seen, proves that every
// line written before it has been collected.
std::vector<std::string> TakeDebugLines() {
    const std::string marker = "--kq5 wine test marker--";
    OutputDebugStringA(marker.c_str());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    std::vector<std::string> lines;
    while (std::chrono::steady_clock::now() < deadline) {
        lines = capture->OwnTexts();
        if (!lines.empty() && lines.back() == marker) {
            lines.pop_back();
            capture->Clear();
            return lines;
        }
        Sleep(10);
    }
    ADD_FAILURE() << "the debug output marker never arrived";
    return lines;
}

using conformance::SetRegistryString;

void CreateKey(const std::string& key) {
    HKEY handle = nullptr;
    ASSERT_EQ(RegCreateKeyExA(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS,
                              nullptr, &handle, nullptr),
              ERROR_SUCCESS);
    RegCloseKey(handle);
}

void DeleteTree(const std::string& key) {
    RegDeleteTreeA(HKEY_LOCAL_MACHINE, key.c_str());
    RegDeleteKeyA(HKEY_LOCAL_MACHINE, key.c_str());
}

const std::string kClasses =
    "SYSTEM\\ControlSet001\\Control\\DeviceClasses\\{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
const std::string kPorts = "SYSTEM\\ControlSet001\\Control\\Print\\Monitors\\USB Monitor\\Ports";
const std::string kQueueKey = "System\\CurrentControlSet\\Control\\Print\\Printers\\Korvane-Q5";

std::wstring PrinterPath(const std::wstring& serial) {
    return L"\\\\?\\usb#vid_0483&pid_5741#" + serial + L"#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
}

std::string DescriptionKey(const std::string& serial) {
    return kClasses + "\\##?#usb#vid_0483&pid_5741#" + serial +
           "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\\#\\Device Parameters";
}

// Removes only its own keys: the virtual printer (wine.sh) keeps its own under the same roots.
class WineTest : public ::testing::Test {
protected:
    void SetUp() override {
        TakeDebugLines();
        RemoveKeys();
    }
    void TearDown() override { RemoveKeys(); }
    static void RemoveKeys() {
        for (const char* serial : {"EXACT", "CASE", "LONG", "FITS", "NOVALUE"}) {
            DeleteTree(kClasses + "\\##?#usb#vid_0483&pid_5741#" + serial +
                       "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}");
        }
        for (const char* port : {"USB001", "USB002", "USB003"}) {
            DeleteTree(kPorts + "\\" + port);
        }
    }
};

TEST_F(WineTest, IdentityReadsThePortDescriptionUnderControlSet001) {
    SetRegistryString(DescriptionKey("EXACT"), "Port Description", "KorvaneQ5");
    SetRegistryString(DescriptionKey("CASE"), "Port Description", "KORVANEq5");
    SetRegistryString(DescriptionKey("LONG"), "Port Description", std::string(200, 'K'));
    SetRegistryString(DescriptionKey("FITS"), "Port Description", std::string(199, 'K'));
    CreateKey(DescriptionKey("NOVALUE"));
    EXPECT_TRUE(IsTargetPrinter(PrinterPath(L"EXACT")));
    EXPECT_TRUE(IsTargetPrinter(PrinterPath(L"CASE")));
    EXPECT_FALSE(IsTargetPrinter(PrinterPath(L"FITS")));
    EXPECT_EQ(TakeDebugLines(), std::vector<std::string>{});
    EXPECT_FALSE(IsTargetPrinter(PrinterPath(L"LONG")));
    EXPECT_EQ(TakeDebugLines(), std::vector<std::string>{"GetLastError:234\r\n"});
    EXPECT_FALSE(IsTargetPrinter(PrinterPath(L"NOVALUE")));
    EXPECT_EQ(TakeDebugLines(), std::vector<std::string>{"GetLastError:2\r\n"});
    EXPECT_FALSE(IsTargetPrinter(PrinterPath(L"NOKEY")));
    EXPECT_EQ(TakeDebugLines(), std::vector<std::string>{});
}

TEST_F(WineTest, PortLookupMatchesTheMonitorsDeviceId) {
    SetRegistryString(kPorts + "\\USB001", "Device Id", "USB\\VID_0483&PID_5741\\OTHER");
    CreateKey(kPorts + "\\USB002");
    SetRegistryString(kPorts + "\\USB003", "Device Id", "usb\\vid_0483&pid_5741\\a1b2c3");
    const PortList ports = {L"USB000", L"USB001", L"USB002", L"USB003"};
    EXPECT_EQ(FindPortForDevice(ports, PrinterPath(L"A1B2C3")), L"USB003");
    // USB000 has no key and is skipped; USB002 has no value and says so.
    EXPECT_EQ(TakeDebugLines(), std::vector<std::string>{"GetLastError:2\r\n"});
    EXPECT_EQ(FindPortForDevice(ports, PrinterPath(L"NOTHERE")), L"");
}

TEST_F(WineTest, CollectUsbPortsKeepsTheSpoolersUsbPortsInOrder) {
    // Local ports that Wine's spooler lists, two of them USB printer ports.
    const std::string localPorts = "Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
    SetRegistryString(localPorts, "USB001", "");
    SetRegistryString(localPorts, "xUSB7", "");
    SetRegistryString(localPorts, "usb009", "");
    // USB005 is the virtual printer's port.
    DWORD needed = 0;
    DWORD count = 0;
    EnumPortsW(nullptr, 2, nullptr, 0, &needed, &count);
    std::vector<BYTE> buffer(needed ? needed : 1);
    ASSERT_TRUE(EnumPortsW(nullptr, 2, buffer.data(), needed, &needed, &count));
    ASSERT_GT(count, 0u);
    PortList expected;
    const auto* records = reinterpret_cast<const PORT_INFO_2W*>(buffer.data());
    for (DWORD i = 0; i < count; ++i) {
        if (records[i].pPortName &&
            std::wstring(records[i].pPortName).find(L"USB") != std::wstring::npos) {
            expected.push_back(records[i].pPortName);
        }
    }
    EXPECT_EQ(CollectUsbPorts(), expected);
    EXPECT_EQ(expected.size(), 3u);
}

class WineQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        TakeDebugLines();
        DeleteTree(kQueueKey);
    }
    void TearDown() override { DeleteTree(kQueueKey); }

    static void MakeQueue(const std::string& port) {
        SetRegistryString(kQueueKey, "Name", "Korvane-Q5");
        SetRegistryString(kQueueKey, "Port", port);
        SetRegistryString(kQueueKey, "Printer Driver", "Generic / Text Only");
        SetRegistryString(kQueueKey, "Print Processor", "winprint");
        SetRegistryString(kQueueKey, "Datatype", "RAW");
    }

    static DWORD SpoolerState() {
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        SC_HANDLE service = OpenServiceA(manager, "Spooler", SERVICE_QUERY_STATUS);
        SERVICE_STATUS status = {};
        QueryServiceStatus(service, &status);
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
        return status.dwCurrentState;
    }
};

TEST_F(WineQueueTest, MissingQueueReportsErrorAndTheGbkMessage) {
    // The message goes to standard output: point it at a file for the call.
    wchar_t path[MAX_PATH];
    GetTempPathW(MAX_PATH, path);
    const std::wstring file = std::wstring(path) + L"kq5_stdout.bin";
    HANDLE out = CreateFileW(file.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             0, nullptr);
    ASSERT_NE(out, INVALID_HANDLE_VALUE);
    HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, out);
    EXPECT_EQ(QueryQueuePort(), L"");
    SetStdHandle(STD_OUTPUT_HANDLE, saved);
    char bytes[64] = {};
    DWORD read = 0;
    SetFilePointer(out, 0, nullptr, FILE_BEGIN);
    ReadFile(out, bytes, sizeof bytes, &read, nullptr);
    CloseHandle(out);
    DeleteFileW(file.c_str());
    EXPECT_EQ(std::string(bytes, read),
              "\xB4\xF2\xBF\xAA\xB4\xF2\xD3\xA1\xBB\xFA\xCA\xA7\xB0\xDC!");
    EXPECT_EQ(TakeDebugLines(),
              (std::vector<std::string>{"GetPrinterHandle",
                                        " Open Printer Error :GetLastError() returns: 0x709\n"}));
}

TEST_F(WineQueueTest, PortIsReadRewrittenAndTheSpoolerRestarted) {
    MakeQueue("LPT1:");
    HANDLE probe = OpenQueueChecked();
    ASSERT_NE(probe, INVALID_HANDLE_VALUE);
    ClosePrinter(probe);
    EXPECT_EQ(QueryQueuePort(), L"LPT1:");
    const auto start = std::chrono::steady_clock::now();
    SetQueuePort(L"COM1:");
    const auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(1600));  // both halves of the restart ran
    EXPECT_EQ(SpoolerState(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(QueryQueuePort(), L"COM1:");
    EXPECT_EQ(TakeDebugLines(), (std::vector<std::string>{"GetPrinterHandle", "GetPrinterHandle"}));
}

// The virtual USB printer that wine.sh plugs in (virtual_printer.exe): serial A1B2C3, port
// description "KorvaneQ5", its port USB005 listed by the spooler and tied to it by "Device Id".
const std::wstring kPrinterPath =
    L"\\\\?\\usb#vid_0483&pid_5741#a1b2c3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
const std::wstring kPrinterFolder = L"C:\\vusb\\A1B2C3\\";

void WriteControlFile(const std::wstring& name, const std::string& text) {
    FILE* f = _wfopen((kPrinterFolder + name).c_str(), L"wb");
    ASSERT_NE(f, nullptr);
    std::fputs(text.c_str(), f);
    std::fclose(f);
}

// A device-interface event record as the service manager hands it to the handler.
std::vector<BYTE> InterfaceRecord(const std::wstring& path) {
    const size_t nameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    std::vector<BYTE> bytes(nameOffset + (path.size() + 1) * sizeof(wchar_t));
    auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(bytes.data());
    record->dbcc_size = static_cast<DWORD>(bytes.size());
    record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    record->dbcc_classguid = GUID_DEVINTERFACE_USB_DEVICE;
    std::memcpy(bytes.data() + nameOffset, path.c_str(), (path.size() + 1) * sizeof(wchar_t));
    return bytes;
}

DWORD SpoolerProcessId() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = OpenServiceA(manager, "Spooler", SERVICE_QUERY_STATUS);
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                         sizeof status, &needed);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    return status.dwProcessId;
}

class WineDeviceTest : public WineQueueTest {
protected:
    void SetUp() override {
        WineQueueTest::SetUp();
        ResetServiceState();
    }
};

TEST_F(WineDeviceTest, DiscoveryOpensThePrinterAndItsFramesCarryTheStatus) {
    WriteControlFile(L"status", "0x0C");
    HANDLE device = FindAndOpenPrinterDevice();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    BYTE frame[5] = {};
    DWORD count = 0;
    EXPECT_TRUE(ReadFile(device, frame, sizeof frame, &count, nullptr));
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(frame[3], 0x0C);
    CloseHandle(device);
    conformance::SetPrinterPlugged(false);
    EXPECT_EQ(FindAndOpenPrinterDevice(), INVALID_HANDLE_VALUE);
    conformance::SetPrinterPlugged(true);
}

TEST_F(WineDeviceTest, ArrivalOnAnotherPortMovesTheQueueAndRestartsTheSpooler) {
    MakeQueue("LPT1:");
    const DWORD spooler = SpoolerProcessId();
    std::vector<BYTE> record = InterfaceRecord(kPrinterPath);
    OnDeviceEvent(DBT_DEVICEARRIVAL, record.data());
    EXPECT_EQ(QueryQueuePort(), L"USB005");
    EXPECT_EQ(serviceState.currentPortName, L"USB005");
    EXPECT_EQ(SpoolerState(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_NE(SpoolerProcessId(), spooler) << "the Spooler was not restarted";
    EXPECT_EQ(serviceState.reopenRequested, 1);
    EXPECT_EQ(serviceState.deviceRemoved, 0);
}

TEST_F(WineDeviceTest, ArrivalOnTheSamePortInOtherCaseChangesNothing) {
    MakeQueue("usb005");
    const DWORD spooler = SpoolerProcessId();
    std::vector<BYTE> record = InterfaceRecord(kPrinterPath);
    OnDeviceEvent(DBT_DEVICEARRIVAL, record.data());
    EXPECT_EQ(QueryQueuePort(), L"usb005");  // not rewritten as USB005
    EXPECT_EQ(SpoolerProcessId(), spooler);
    EXPECT_EQ(serviceState.reopenRequested, 1);
}

TEST_F(WineDeviceTest, RemovalMarksThePrinterRemovedAfterItsQueueCommands) {
    // No queue: the removal's queue commands fail at the open and write their message to
    // standard output, here a pipe without a buffer, so the writer waits inside the commands
    // until the message is taken. The flag is looked at while it waits.
    const wchar_t* name = L"\\\\.\\pipe\\kq5-wine-test-stdout";
    HANDLE reader = CreateNamedPipeW(name, PIPE_ACCESS_INBOUND, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 0, 0,
                                     0, nullptr);
    ASSERT_NE(reader, INVALID_HANDLE_VALUE);
    HANDLE writer = CreateFileW(name, GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(writer, INVALID_HANDLE_VALUE);
    HANDLE saved = GetStdHandle(STD_OUTPUT_HANDLE);
    SetStdHandle(STD_OUTPUT_HANDLE, writer);
    std::atomic<int> flagDuringCommands{-1};
    std::thread watcher([&] {
        DWORD waiting = 0;
        while (PeekNamedPipe(reader, nullptr, 0, nullptr, &waiting, nullptr) && waiting == 0) {
            Sleep(1);
        }
        flagDuringCommands = serviceState.deviceRemoved;
        char bytes[64];
        DWORD count = 0;
        ReadFile(reader, bytes, sizeof bytes, &count, nullptr);
    });
    std::vector<BYTE> record = InterfaceRecord(kPrinterPath);
    OnDeviceEvent(DBT_DEVICEREMOVECOMPLETE, record.data());
    watcher.join();
    SetStdHandle(STD_OUTPUT_HANDLE, saved);
    CloseHandle(writer);
    CloseHandle(reader);
    EXPECT_EQ(flagDuringCommands, 0);
    EXPECT_EQ(serviceState.deviceRemoved, 1);
    EXPECT_EQ(TakeDebugLines(),
              std::vector<std::string>{" Open Printer Error :GetLastError() returns: 0x709\n"});
}

}  // namespace
