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

#include "fault_sweep.h"
#include "scenario.h"
#include "service/service.h"

namespace {

using namespace fault_sweep;

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
    const bool shutDown = !scenario.events.empty() && scenario.events.back().kind == EventKind::Shutdown;
    if (!scenario.events.empty() && (scenario.events.back().kind == EventKind::Stop || shutDown)) {
        // The cycles until the stop is sent: a failure may make the stop quicker (nothing owed).
        pollerCycles = static_cast<int>(scenario.events.back().atMs / 800);
    }
    ASSERT_GT(pollerCycles, 0);
    for (const SweptFailure& f : SweptFailures(calls)) {
        const ScenarioResult r = RunScenario(scenario, sim::Threads::TakeTurns, [&] {
            sim::FailCall(f.function, f.ordinal, f.error, f.count);
        });
        SCOPED_TRACE(f.function + " fails with " + std::to_string(f.error) +
                     (f.count == 1 ? " once" : " from then on"));
        CheckRun(f.function, f.ordinal, f.error, f.count != 1, pollerCycles, shutDown, r);
        if (HasFailure()) {
            ADD_FAILURE() << "stopped at call " << f.ordinal << " of " << f.function << ": "
                          << f.call;
            return;
        }
    }
}

std::string ScenarioName(const ::testing::TestParamInfo<int>& param) {
    return kScenarioNames[param.param];
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
