// Component checks of the system code against a real Win32 implementation (Wine), with the
// virtual USB printer plugged in: discovery, and device arrival and removal with a real spooler
// restart. (The service's debug lines under Wine are checked by the wine.sh stages.) The Win32
// calls themselves are held to Windows' documentation by the conformance suite
// (kq5-conformance.exe).
#include <gtest/gtest.h>

#include <atomic>
#include <cstddef>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "common/service_state.h"
#include "conformance/machine.h"
#include "device/device.h"
#include "portmove/port_move.h"
#include "queue/queue.h"
#include "service/service.h"

namespace {

using conformance::SetRegistryString;

const std::string kQueueKey = "System\\CurrentControlSet\\Control\\Print\\Printers\\Korvane-Q5";

// The virtual USB printer that wine.sh plugs in (virtual_printer.exe, conformance::kPrinterPath):
// serial A1B2C3, port description "KorvaneQ5", its port USB005 listed by the spooler and tied to
// it by "Device Id".
using conformance::kPrinterPath;

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

// The Spooler's state and process: a restarted Spooler runs in a new process.
SERVICE_STATUS_PROCESS Spooler() {
    SC_HANDLE service = conformance::OpenServiceByName("Spooler");
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                         sizeof status, &needed);
    CloseServiceHandle(service);
    return status;
}

class WineDeviceTest : public ::testing::Test {
protected:
    void SetUp() override {
        RegDeleteTreeA(HKEY_LOCAL_MACHINE, kQueueKey.c_str());
        ResetServiceState();
    }
    void TearDown() override { RegDeleteTreeA(HKEY_LOCAL_MACHINE, kQueueKey.c_str()); }

    static void MakeQueue(const std::string& port) {
        SetRegistryString(kQueueKey, "Name", "Korvane-Q5");
        SetRegistryString(kQueueKey, "Port", port);
        SetRegistryString(kQueueKey, "Printer Driver", "Generic / Text Only");
        SetRegistryString(kQueueKey, "Print Processor", "winprint");
        SetRegistryString(kQueueKey, "Datatype", "RAW");
    }
};

TEST_F(WineDeviceTest, DiscoveryOpensThePrinterAndItsFramesCarryTheStatus) {
    HANDLE device = FindAndOpenPrinterDevice();
    ASSERT_NE(device, INVALID_HANDLE_VALUE);
    BYTE frame[5] = {};
    DWORD count = 0;
    EXPECT_TRUE(ReadFile(device, frame, sizeof frame, &count, nullptr));
    EXPECT_EQ(count, 5u);
    EXPECT_EQ(frame[3], 0x20);  // the status the virtual printer reports until told otherwise
    CloseHandle(device);
    conformance::SetPrinterPlugged(false);
    EXPECT_EQ(FindAndOpenPrinterDevice(), INVALID_HANDLE_VALUE);
    conformance::SetPrinterPlugged(true);
}

TEST_F(WineDeviceTest, ArrivalOnAnotherPortMovesTheQueueAndRestartsTheSpooler) {
    MakeQueue("LPT1:");
    const DWORD spooler = Spooler().dwProcessId;
    std::vector<BYTE> record = InterfaceRecord(kPrinterPath);
    OnDeviceEvent(DBT_DEVICEARRIVAL, record.data());
    EXPECT_EQ(QueryQueuePort(), L"USB005");
    EXPECT_EQ(CurrentPort(), L"USB005");
    EXPECT_EQ(Spooler().dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_NE(Spooler().dwProcessId, spooler) << "the Spooler was not restarted";
    EXPECT_EQ(serviceState.reopenRequested, 1);
    EXPECT_EQ(serviceState.deviceRemoved, 0);
}

TEST_F(WineDeviceTest, ArrivalOnTheSamePortInOtherCaseChangesNothing) {
    MakeQueue("usb005");
    const DWORD spooler = Spooler().dwProcessId;
    std::vector<BYTE> record = InterfaceRecord(kPrinterPath);
    OnDeviceEvent(DBT_DEVICEARRIVAL, record.data());
    EXPECT_EQ(QueryQueuePort(), L"usb005");  // not rewritten as USB005
    EXPECT_EQ(Spooler().dwProcessId, spooler);
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
    std::string message;
    std::thread watcher([&] {
        DWORD waiting = 0;
        while (PeekNamedPipe(reader, nullptr, 0, nullptr, &waiting, nullptr) && waiting == 0) {
            Sleep(1);
        }
        flagDuringCommands = serviceState.deviceRemoved;
        char bytes[64];
        DWORD count = 0;
        ReadFile(reader, bytes, sizeof bytes, &count, nullptr);
        message.assign(bytes, count);
    });
    std::vector<BYTE> record = InterfaceRecord(kPrinterPath);
    OnDeviceEvent(DBT_DEVICEREMOVECOMPLETE, record.data());
    watcher.join();
    SetStdHandle(STD_OUTPUT_HANDLE, saved);
    CloseHandle(writer);
    CloseHandle(reader);
    EXPECT_EQ(flagDuringCommands, 0);
    EXPECT_EQ(serviceState.deviceRemoved, 1);
    // The code page 936 message, byte for byte: "Opening the printer failed!".
    EXPECT_EQ(message, "\xB4\xF2\xBF\xAA\xB4\xF2\xD3\xA1\xBB\xFA\xCA\xA7\xB0\xDC!");
}

}  // namespace
