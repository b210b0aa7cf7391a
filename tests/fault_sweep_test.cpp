// Every platform call of the main scenarios made to fail, one at a time, with an error that call
// plausibly returns: once, then from that call on (a component that stays away). Whatever fails,
// the service must not crash or hang, must keep its poller running (or say that it has none),
// must release what it opened, must never write an empty or unknown port, must not leave the
// spooler down while it can be started, and must answer a stop or a shutdown at once (the
// handler returns within kStopHandlingBoundMs). Every injected failure must have been delivered.
// (What each failure writes is checked where the failing operation is tested.)
#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>
#include <map>
#include <set>
#include <stdexcept>

#include "scenario.h"
#include "service/service.h"

namespace {

// A plausible error for each call that can fail (sim::CanFail).
const std::map<std::string, DWORD> kErrors = {
    {"OpenPrinterW", ERROR_ACCESS_DENIED},
    {"GetPrinterW", RPC_S_SERVER_UNAVAILABLE},
    {"SetPrinterW", ERROR_ACCESS_DENIED},
    {"EnumPortsW", RPC_S_SERVER_UNAVAILABLE},
    {"OpenSCManagerA", ERROR_ACCESS_DENIED},
    {"OpenServiceA", ERROR_SERVICE_DOES_NOT_EXIST},
    {"ControlService", ERROR_SERVICE_CANNOT_ACCEPT_CTRL},
    {"QueryServiceStatus", ERROR_ACCESS_DENIED},
    {"StartServiceA", ERROR_SERVICE_DATABASE_LOCKED},  // can clear: the start is made later
    {"RegOpenKeyExA", ERROR_ACCESS_DENIED},
    {"RegQueryValueExA", ERROR_ACCESS_DENIED},
    {"SetupDiGetClassDevsW", ERROR_INVALID_PARAMETER},
    {"SetupDiEnumDeviceInterfaces", ERROR_NO_MORE_ITEMS},
    {"SetupDiGetDeviceInterfaceDetailW", ERROR_INSUFFICIENT_BUFFER},
    {"GlobalAlloc", ERROR_NOT_ENOUGH_MEMORY},
    {"CreateFileW", ERROR_ACCESS_DENIED},
    {"ReadFile", ERROR_DEVICE_NOT_CONNECTED},
    {"MultiByteToWideChar", ERROR_INSUFFICIENT_BUFFER},
    {"GetStdHandle", ERROR_INVALID_HANDLE},
    {"WriteFile", ERROR_INVALID_HANDLE},
    {"StartServiceCtrlDispatcherW", ERROR_SERVICE_ALREADY_RUNNING},
    {"RegisterServiceCtrlHandlerExW", 123},  // ERROR_INVALID_NAME
    {"RegisterDeviceNotificationW", 13},     // ERROR_INVALID_DATA
    {"SetServiceStatus", 13},
    {"CreateThread", ERROR_NOT_ENOUGH_MEMORY},
    {"WaitForSingleObject", ERROR_INVALID_HANDLE},
};

const char* kScenarios[] = {
    // start-up and a few cycles
    "queue USB001\nprinter P1 USB001 0x20\nend 2\n",
    // status cycles
    "queue USB001\nprinter P1 USB001 0x20\nat 0.5 status 0x04\nat 1.3 status 0x80\nat 2.1 status "
    "0x20\nend 3\n",
    // the printer arrives on a new port; the spooler takes a second to stop, so the poller's queue
    // operations meet it down
    "queue USB001\nport USB002\nspooler-stop-time 1000\nprinter P1 USB001 0x20\nat 1 unplug\n"
    "at 1.5 plug P2 USB002\nend 5\n",
    // removal
    "queue USB001\nprinter P1 USB001 0x04\nat 1 unplug\nend 2\n",
    // stop
    "queue USB001\nprinter P1 USB001 0x20\nat 1 stop\n",
    // a stop while the start is owed to the poller: the handler waits for the spooler, starts it
    // and finishes the port move before it reports the service stopped
    "queue USB001\nport USB002\nspooler-stop-time 12000\nprinter P1 USB001 0x84\nat 1 unplug\n"
    "at 1.5 plug P2 USB002\nat 13 stop\nend 40\n",
    // a stop that comes while the handler itself waits for the spooler (the arrival's wait), so
    // that it finds the start owed once it is its turn
    "queue USB001\nport USB002\nspooler-stop-time 12000\nprinter P1 USB001 0x84\nat 1 unplug\n"
    "at 1.5 plug P2 USB002\nat 5 stop\nend 40\n",
    // a shutdown while the stop waits for the spooler: stopped at once, the spooler left to the
    // machine's start
    "queue USB001\nport USB002\nspooler-stop-time 12000\nprinter P1 USB001 0x84\nat 1 unplug\n"
    "at 1.5 plug P2 USB002\nat 13 stop\nat 13.2 shutdown\nend 40\n",
};
constexpr int kScenarioCount = static_cast<int>(std::size(kScenarios));

std::string Name(const std::string& call) {
    return call.substr(0, call.find('('));
}

// The longest one control may take: a stop with a start owed that could create no thread for
// its wait waits 21 s at most.
constexpr uint64_t kLongestControlMs = 21000;

// Whether the failure hit a thread the stop needed (the first two created after its first
// SERVICE_STOP_PENDING report): then, and only then, the handler may wait itself.
bool StopThreadFailed(const std::string& function, int ordinal, bool persistent) {
    if (function != "CreateThread") {
        return false;
    }
    int threadsBefore = 0;
    for (const std::string& call : sim::Calls()) {
        if (call == "SetServiceStatus(status, SERVICE_STOP_PENDING)") {
            return persistent ? ordinal <= threadsBefore + 2
                              : ordinal == threadsBefore + 1 || ordinal == threadsBefore + 2;
        }
        threadsBefore += Name(call) == "CreateThread" ? 1 : 0;
    }
    return false;
}

std::vector<std::string> CallsOf(const std::string& name) {
    return sim::CallsOf({name});
}

void CheckRun(const std::string& function, int ordinal, DWORD error, bool persistent,
              int pollerCycles, bool shutDown, const ScenarioResult& r) {
    EXPECT_EQ(sim::UndeliveredInjections(), std::vector<std::string>{});
    // Nothing left open but the printer's device, which the poller owns for good; after a
    // shutdown during the stop's wait, also what the wait held when the process ended (the
    // payer's thread handle, and its connection to the service manager and the Spooler).
    std::map<std::string, int> held;
    for (const std::string& handle : r.openHandles) {
        const std::string kind = handle.substr(0, handle.find('#'));
        const bool ofTheWait =
            shutDown && (kind == "thread" || kind == "scmanager" || kind == "service");
        EXPECT_TRUE(kind == "device" || (ofTheWait && ++held[kind] == 1)) << handle;
    }
    // The poller keeps running. Without one, the service reports itself stopped with the error.
    const std::vector<std::string> sleepCalls = CallsOf("Sleep");
    const auto sleeps =
        static_cast<int>(std::count(sleepCalls.begin(), sleepCalls.end(), "Sleep(800)"));
    if (function == "CreateThread" && ordinal == 1) {  // the poller's (later: the stop's wait)
        EXPECT_EQ(sleeps, 0);
        ASSERT_FALSE(sim::StatusReports().empty());
        EXPECT_EQ(sim::StatusReports().back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
        EXPECT_EQ(sim::StatusReports().back().dwWin32ExitCode, error);
    } else if (function != "StartServiceCtrlDispatcherW") {
        EXPECT_GE(sleeps, pollerCycles);  // more when a failure keeps the service from stopping
    }
    // Every port written is one the spooler knows.
    const auto ports = sim::Ports();
    for (const std::string& call : CallsOf("SetPrinterW")) {
        const size_t at = call.find("{port \"");
        if (at == std::string::npos) {
            continue;
        }
        const std::string port = call.substr(at + 7, call.find('"', at + 7) - at - 7);
        EXPECT_FALSE(port.empty());
        EXPECT_NE(std::find(ports.begin(), ports.end(), sim::Widen(port)), ports.end()) << port;
    }
    // The spooler runs again, unless the start cannot be made: the service manager or the
    // Spooler service could not be opened for it (both errors last: no start request is made),
    // or every start request from then on is refused.
    if (r.spoolerState != SERVICE_RUNNING && !shutDown) {
        const bool cannotOpen = function == "OpenSCManagerA" || function == "OpenServiceA";
        EXPECT_TRUE(cannotOpen || (persistent && function == "StartServiceA"));
        if (cannotOpen) {
            EXPECT_EQ(CallsOf("StartServiceA").size(), 0u);
        }
    }
    // A stop or a shutdown is handled at once, but when no thread could be created for the
    // stop's wait; no control takes longer than its bound, and a stop that leaves the spooler
    // down says why.
    if (!StopThreadFailed(function, ordinal, persistent)) {
        EXPECT_LE(r.longestStopMs, kStopHandlingBoundMs);
    }
    EXPECT_LE(r.longestControlMs, kLongestControlMs);
    const std::vector<SERVICE_STATUS> reports = sim::StatusReports();
    const bool stopped = !reports.empty() && reports.back().dwCurrentState == SERVICE_STOPPED;
    const bool waited = std::any_of(reports.begin(), reports.end(), [](const SERVICE_STATUS& s) {
        return s.dwCurrentState == SERVICE_STOP_PENDING;
    });
    if (stopped && waited && r.spoolerState != SERVICE_RUNNING && !shutDown) {
        EXPECT_NE(reports.back().dwWin32ExitCode, static_cast<DWORD>(NO_ERROR));
    }
    // Outside the service manager: the one line that says so, and exit code 0.
    if (function == "StartServiceCtrlDispatcherW") {
        const std::vector<std::string> lines = sim::DebugLines();
        EXPECT_EQ(lines.back(), " MainError:" + std::to_string(error) + "\n");
        EXPECT_EQ(r.exitCode, 0);
    }
}

Scenario Parsed(int index) {
    Scenario scenario;
    std::string parseError;
    EXPECT_TRUE(ParseScenario(kScenarios[index], scenario, parseError)) << parseError;
    return scenario;
}

class FaultSweep : public ::testing::TestWithParam<int> {};

TEST_P(FaultSweep, EveryFailingCallIsSurvived) {
    const Scenario scenario = Parsed(GetParam());
    RunScenario(scenario);
    const std::vector<std::string> calls = sim::Calls();
    int pollerCycles = static_cast<int>(std::count(calls.begin(), calls.end(), "Sleep(800)"));
    const bool shutDown = !scenario.events.empty() && scenario.events.back().words[0] == "shutdown";
    if (!scenario.events.empty() && (scenario.events.back().words[0] == "stop" || shutDown)) {
        // The cycles until the stop is sent: a failure may make the stop quicker (nothing owed).
        pollerCycles = static_cast<int>(scenario.events.back().atMs / 800);
    }
    ASSERT_GT(pollerCycles, 0);
    std::map<std::string, int> seen;
    for (const std::string& call : calls) {
        const std::string function = Name(call);
        const int ordinal = ++seen[function];
        auto error = kErrors.find(function);
        if (error == kErrors.end()) {
            continue;
        }
        for (const int count : {1, sim::kEveryLaterCall}) {
            const ScenarioResult r = RunScenario(scenario, sim::Threads::TakeTurns, [&] {
                sim::FailCall(function, ordinal, error->second, count);
            });
            SCOPED_TRACE(function + " fails with " + std::to_string(error->second) +
                         (count == 1 ? " once" : " from then on"));
            CheckRun(function, ordinal, error->second, count != 1, pollerCycles, shutDown, r);
            if (HasFailure()) {
                ADD_FAILURE() << "stopped at call " << ordinal << " of " << function << ": "
                              << call;
                return;
            }
        }
    }
}

std::string ScenarioName(const ::testing::TestParamInfo<int>& param) {
    const char* const names[] = {
        "StartUp", "StatusCycles",       "ArrivalOnNewPort",          "Removal",
        "Stop",    "StopWhileStartOwed", "StopDuringTheHandlersWait", "ShutdownDuringTheStopsWait"};
    return names[param.param];
}

INSTANTIATE_TEST_SUITE_P(Scenarios, FaultSweep, ::testing::Range(0, kScenarioCount), ScenarioName);

// An injection that could not happen is an error, not a silent no-op; one that can, happens.
TEST(FaultInjection, IsRefusedWhereItCouldNotFailAndDeliveredWhereItCan) {
    sim::Reset();
    EXPECT_THROW(sim::FailCall("OpenPrinter", 1, 5), std::invalid_argument);  // misspelt
    EXPECT_THROW(sim::FailCall("CloseHandle", 1, 5), std::invalid_argument);
    EXPECT_THROW(sim::AtCall("Sleeep", 1, [] {}), std::invalid_argument);
    sim::FailCall("GetStdHandle", 1, ERROR_NOT_ENOUGH_MEMORY);
    sim::FailCall("WriteFile", 2, ERROR_INVALID_HANDLE, sim::kEveryLaterCall);
    EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), INVALID_HANDLE_VALUE);
    for (const bool written : {true, false, false}) {
        EXPECT_EQ(WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), "x", 1, nullptr, nullptr), written);
    }
    EXPECT_EQ(sim::StandardOutput(), "x");
    EXPECT_EQ(sim::UndeliveredInjections(), std::vector<std::string>{});
    sim::FailCall("ReadFile", 1, ERROR_GEN_FAILURE);
    EXPECT_EQ(sim::UndeliveredInjections(),
              std::vector<std::string>{"no call 1 of ReadFile came (0 made)"});
}

// The scenarios make every call that can fail, and the sweep has an error for each.
TEST(FaultSweepCoverage, EveryCallThatCanFailIsSwept) {
    std::set<std::string> made;
    for (int index = 0; index < kScenarioCount; ++index) {
        RunScenario(Parsed(index));
        for (const auto& [function, count] : sim::CallTotals()) {
            made.insert(function);
            EXPECT_TRUE(kErrors.count(function) != 0 || !sim::CanFail(function)) << function;
        }
    }
    for (const auto& [function, error] : kErrors) {
        EXPECT_TRUE(made.count(function) != 0 && sim::CanFail(function)) << function;
    }
}

}  // namespace
