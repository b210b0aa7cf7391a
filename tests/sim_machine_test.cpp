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
