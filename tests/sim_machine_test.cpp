// The simulated Windows itself: the behaviours of the real API that the system relies on.
#include "sim_fixture.h"

namespace {

class SimMachineTest : public SimTest {};

TEST_F(SimMachineTest, RegistryAnswersAsWindowsDoes) {
    sim::SetRegistryString("SOFTWARE\\Test", "Name", std::string(5, 'x'));
    HKEY key = nullptr;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\TEST", 0, KEY_READ, &key),
              ERROR_SUCCESS);
    char buffer[6];
    DWORD size = 5;
    EXPECT_EQ(
        RegQueryValueExA(key, "Name", nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size),
        ERROR_MORE_DATA);
    EXPECT_EQ(size, 6u);
    EXPECT_EQ(
        RegQueryValueExA(key, "Missing", nullptr, nullptr, reinterpret_cast<LPBYTE>(buffer), &size),
        ERROR_FILE_NOT_FOUND);
    RegCloseKey(key);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Nothing", 0, KEY_READ, &key),
              ERROR_FILE_NOT_FOUND);
    EXPECT_TRUE(sim::OpenHandles().empty());
}

TEST_F(SimMachineTest, SpoolerIsUnreachableWhileStopped) {
    sim::AddPrinter(u"Q", u"USB001");
    sim::SetSpoolerTimes(500, 0);
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE spooler = OpenServiceA(manager, "Spooler", SERVICE_ALL_ACCESS);
    SERVICE_STATUS status;
    EXPECT_TRUE(ControlService(spooler, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));
    EXPECT_FALSE(StartServiceA(spooler, 0, nullptr));  // refused while stopping
    WCHAR name[] = u"Q";
    HANDLE printer = nullptr;
    EXPECT_FALSE(OpenPrinterW(name, &printer, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
    Sleep(500);
    EXPECT_TRUE(StartServiceA(spooler, 0, nullptr));
    EXPECT_TRUE(OpenPrinterW(name, &printer, nullptr));
    ClosePrinter(printer);
    CloseServiceHandle(spooler);
    CloseServiceHandle(manager);
    EXPECT_TRUE(sim::OpenHandles().empty());
}

// GetPrinterW hands out the whole level-2 record inside the caller's buffer; a level-2 write is
// checked as the spooler checks it, and a refused one changes nothing.
TEST_F(SimMachineTest, LevelTwoRecordIsWholeAndItsWriteRefusesWhatTheSpoolerRefuses) {
    sim::AddPrinter(u"Q", u"USB001");
    sim::AddPrinter(u"Other", u"USB001");
    WCHAR name[] = u"Q";
    HANDLE printer = nullptr;
    ASSERT_TRUE(OpenPrinterW(name, &printer, nullptr));
    DWORD needed = 0;
    GetPrinterW(printer, 2, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    ASSERT_TRUE(GetPrinterW(printer, 2, buffer.data(), needed, &needed));
    auto* record = reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
    for (const void* part :
         {static_cast<const void*>(record->pPrinterName),
          static_cast<const void*>(record->pPortName),
          static_cast<const void*>(record->pDriverName), static_cast<const void*>(record->pDevMode),
          static_cast<const void*>(record->pSecurityDescriptor)}) {
        const auto* at = static_cast<const BYTE*>(part);
        EXPECT_TRUE(at >= buffer.data() + sizeof *record && at < buffer.data() + needed);
    }
    const sim::PrinterState before = sim::Printer(u"Q");
    auto expectRefused = [&](PRINTER_INFO_2W damaged, DWORD error) {
        SetLastError(0xdeadbeef);
        EXPECT_FALSE(SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(&damaged), 0));
        EXPECT_EQ(GetLastError(), error);
        EXPECT_EQ(sim::Printer(u"Q"), before);
    };
    WCHAR unknownPort[] = u"USB999";
    WCHAR empty[] = u"";
    WCHAR other[] = u"Other";
    WCHAR unknown[] = u"nothing";
    const struct {
        LPWSTR PRINTER_INFO_2W::*field;
        LPWSTR value;
        DWORD error;
    } cases[] = {
        {&PRINTER_INFO_2W::pPortName, unknownPort, ERROR_UNKNOWN_PORT},
        {&PRINTER_INFO_2W::pPortName, nullptr, ERROR_UNKNOWN_PORT},
        {&PRINTER_INFO_2W::pDriverName, nullptr, ERROR_UNKNOWN_PRINTER_DRIVER},
        {&PRINTER_INFO_2W::pPrinterName, empty, ERROR_INVALID_PRINTER_NAME},
        {&PRINTER_INFO_2W::pPrinterName, other, ERROR_PRINTER_ALREADY_EXISTS},
        {&PRINTER_INFO_2W::pPrintProcessor, unknown, ERROR_UNKNOWN_PRINTPROCESSOR},
        {&PRINTER_INFO_2W::pDatatype, unknown, ERROR_INVALID_DATATYPE},
    };
    for (const auto& c : cases) {
        PRINTER_INFO_2W damaged = *record;
        damaged.*c.field = c.value;
        expectRefused(damaged, c.error);
    }
    BYTE revisionTwo[20] = {2};
    PRINTER_INFO_2W damaged = *record;
    damaged.pSecurityDescriptor = revisionTwo;
    expectRefused(damaged, ERROR_INVALID_SECURITY_DESCR);
    // The record as read goes back unchanged.
    EXPECT_TRUE(SetPrinterW(printer, 2, buffer.data(), 0));
    EXPECT_EQ(sim::Printer(u"Q"), before);
    ClosePrinter(printer);
}

TEST_F(SimMachineTest, SimulatedThreadsTakeTurnsInTimeOrder) {
    static std::vector<std::string>* order = nullptr;
    std::vector<std::string> seen;
    order = &seen;
    const int exitCode = sim::RunProcess(
        [] {
            CreateThread(
                nullptr, 0,
                [](LPVOID) -> DWORD {
                    for (;;) {
                        order->push_back("tick " + std::to_string(sim::NowMs()));
                        Sleep(300);
                    }
                },
                nullptr, 0, nullptr);
            Sleep(1000);
            return 7;
        },
        nullptr, 60000);
    EXPECT_EQ(exitCode, 7);
    EXPECT_EQ(seen, (std::vector<std::string>{"tick 0", "tick 300", "tick 600", "tick 900"}));
    EXPECT_EQ(sim::NowMs(), 1000u);
}

}  // namespace
