// The simulated Windows itself: its threads and time. How its Win32 calls answer is held to
// Windows by the conformance suite (conformance/).
#include "sim_fixture.h"

namespace {

class SimMachineTest : public SimTest {};

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

// OpenServiceA and OpenServiceW share one service manager: the same answers, each call recorded
// under its own name. Evidence: the OpenService page (ERROR_INVALID_HANDLE,
// ERROR_SERVICE_DOES_NOT_EXIST).
TEST_F(SimMachineTest, OpenServiceAnswersAlikeInBothCharacterSets) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE found = OpenServiceW(manager, u"spooler", SERVICE_QUERY_STATUS);
    ASSERT_NE(found, nullptr);
    SERVICE_STATUS status = {};
    EXPECT_TRUE(QueryServiceStatus(found, &status));
    EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_RUNNING});
    const struct {
        SC_HANDLE through;
        const char* name;
        DWORD error;
    } cases[] = {
        {manager, "Missing", ERROR_SERVICE_DOES_NOT_EXIST},
        {manager, nullptr, ERROR_SERVICE_DOES_NOT_EXIST},
        {found, "Spooler", ERROR_INVALID_HANDLE},
    };
    for (const auto& c : cases) {
        const std::string name = c.name ? c.name : "";
        const std::u16string wide(name.begin(), name.end());
        SetLastError(0);
        EXPECT_EQ(OpenServiceA(c.through, c.name, SERVICE_QUERY_STATUS), nullptr) << name;
        EXPECT_EQ(GetLastError(), c.error) << name;
        SetLastError(0);
        EXPECT_EQ(OpenServiceW(c.through, c.name ? wide.c_str() : nullptr, SERVICE_QUERY_STATUS),
                  nullptr)
            << name;
        EXPECT_EQ(GetLastError(), c.error) << name;
    }
    // A handle that names no service: no status.
    SetLastError(0);
    EXPECT_FALSE(QueryServiceStatus(reinterpret_cast<SC_HANDLE>(manager), &status));
    EXPECT_EQ(GetLastError(), DWORD{ERROR_INVALID_HANDLE});
    EXPECT_EQ(sim::CallsOf({"OpenServiceA", "OpenServiceW"})[0],
              "OpenServiceW(scmanager#1, \"spooler\", 0x4)");
    CloseServiceHandle(found);
    CloseServiceHandle(manager);
}

// A long run keeps no log, but every call still counts: the totals, and the numbering that a
// failure injected at the Nth call relies on.
TEST_F(SimMachineTest, RecordingOffKeepsNoLogButCountsEveryCall) {
    sim::FailCall("GetStdHandle", 3, ERROR_INVALID_HANDLE);
    GetStdHandle(STD_OUTPUT_HANDLE);
    sim::SetRecording(false);
    Sleep(300);
    GetStdHandle(STD_OUTPUT_HANDLE);
    OutputDebugStringA("unseen");
    EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), INVALID_HANDLE_VALUE);
    sim::SetRecording(true);
    Sleep(400);
    EXPECT_EQ(sim::Calls(), (std::vector<std::string>{"GetStdHandle(-11)", "Sleep(400)"}));
    const auto totals = sim::CallTotals();
    EXPECT_EQ(totals.at("GetStdHandle"), 3u);
    EXPECT_EQ(totals.at("Sleep"), 2u);
    EXPECT_EQ(totals.at("OutputDebugStringA"), 1u);
    EXPECT_EQ(sim::DebugLines(), std::vector<std::string>{});
    EXPECT_EQ(sim::NowMs(), 700u);
}

}  // namespace
