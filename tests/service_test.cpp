// Program entry, start-up and the control handler.
#include "service/service.h"

#include <cstring>
#include <tuple>

#include "sim_fixture.h"

namespace {

class ServiceTest : public SimTest {
protected:
    static void Start() {
        sim::SetStartedByServiceManager(true);
        ServiceMain(0, nullptr);
    }
    // Started with the queue, and a spooler start owed as a port move leaves it.
    static void StartOwingASpoolerStart() {
        AddQueue();
        Start();
        PortMoveRecord().state = DebtState::StartOwed;
    }
    // The record every report carries: only the state (and, once stopped for a failure, the
    // exit code) ever changes.
    static void ExpectReports(const std::vector<DWORD>& states, DWORD lastExitCode = 0) {
        const std::vector<SERVICE_STATUS> reports = sim::StatusReports();
        ASSERT_EQ(reports.size(), states.size());
        for (size_t i = 0; i < reports.size(); ++i) {
            SERVICE_STATUS expected = {SERVICE_WIN32_OWN_PROCESS, states[i], 5, 0, 0, 0, 60000};
            expected.dwWin32ExitCode = i + 1 == reports.size() ? lastExitCode : 0;
            EXPECT_EQ(0, std::memcmp(&reports[i], &expected, sizeof expected)) << i;
        }
    }
};

// The queue probed and its port read, the handler and the USB notification registered, one
// RUNNING report, and only then the poller; nothing left open.
TEST_F(ServiceTest, StartUpMakesItsCallsInOrderAndReportsRunningOnce) {
    AddQueue(u"USB003");
    Start();
    ExpectReports({SERVICE_RUNNING});
    EXPECT_EQ(CurrentPort(), u"USB003");
    EXPECT_TRUE(sim::OpenHandles().empty());
    const sim::NotificationRegistration n = sim::Notification();
    EXPECT_EQ(n.flags, DWORD{DEVICE_NOTIFY_SERVICE_HANDLE});
    EXPECT_EQ(n.recipient, static_cast<HANDLE>(serviceState.statusHandle));
    EXPECT_EQ(n.filter,
              (std::vector<BYTE>{32,   0,    0,    0,    5,    0,    0,    0,    0,    0,    0,
                                 0,    0x10, 0xBF, 0xDC, 0xA5, 0x30, 0x65, 0xD2, 0x11, 0x90, 0x1F,
                                 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED, 0,    0,    0,    0}));
}

// Every control ends with a report and NO_ERROR; stop and shutdown report STOPPED (exit code 0,
// whatever the thread's last error); a device event is handled before the report.
TEST_F(ServiceTest, HandlerReportsAfterEveryControl) {
    for (const auto& [control, state] :
         std::vector<std::pair<DWORD, DWORD>>{{SERVICE_CONTROL_INTERROGATE, SERVICE_RUNNING},
                                              {0x80, SERVICE_RUNNING},
                                              {SERVICE_CONTROL_DEVICEEVENT, SERVICE_RUNNING},
                                              {SERVICE_CONTROL_STOP, SERVICE_STOPPED},
                                              {SERVICE_CONTROL_SHUTDOWN, SERVICE_STOPPED}}) {
        SCOPED_TRACE(control);
        SetUp();
        AddQueue();
        PlugPrinter("P1");
        Start();
        std::vector<BYTE> record = sim::DeviceInterfaceRecord(PrinterPath("P1"));
        sim::ClearCalls();
        SetLastError(ERROR_ACCESS_DENIED);
        EXPECT_EQ(ServiceCtrlHandler(control, DBT_DEVICEREMOVECOMPLETE, record.data(), nullptr),
                  DWORD{NO_ERROR});
        ExpectReports({SERVICE_RUNNING, state});
        EXPECT_EQ(Order({"SetPrinterW", "SetServiceStatus"}).back(), "SetServiceStatus");
        EXPECT_EQ(sim::CallCount("SetPrinterW"), control == SERVICE_CONTROL_DEVICEEVENT ? 2 : 0);
    }
}

// A control during start-up is answered with the state of the moment; once stopped, the service
// stays stopped: no RUNNING report, no poller. A poller that cannot be started stops the
// service with the error, so that the service manager's recovery actions can restart it. Each
// case: the control (0: none, the poller's thread fails), the reports, the last one's exit code.
TEST_F(ServiceTest, ControlDuringStartUpIsAnsweredAndAStopIsFinal) {
    for (const auto& [control, reports, exitCode] :
         std::vector<std::tuple<DWORD, std::vector<DWORD>, DWORD>>{
             {SERVICE_CONTROL_INTERROGATE, {SERVICE_START_PENDING, SERVICE_RUNNING}, 0},
             {SERVICE_CONTROL_STOP, {SERVICE_STOPPED}, 0},
             {SERVICE_CONTROL_SHUTDOWN, {SERVICE_STOPPED}, 0},
             {0, {SERVICE_RUNNING, SERVICE_STOPPED}, ERROR_NOT_ENOUGH_MEMORY}}) {
        SCOPED_TRACE(control);
        SetUp();
        if (control == 0) {
            sim::FailCall("CreateThread", 1, ERROR_NOT_ENOUGH_MEMORY);
        } else {
            sim::DeliverControlDuringNotificationRegistration(control);
        }
        Start();
        ExpectReports(reports, exitCode);
        EXPECT_EQ(sim::CallCount("CreateThread"),
                  control == SERVICE_CONTROL_INTERROGATE || control == 0 ? 1 : 0);
        TearDown();
    }
}

// A stop while a spooler start is owed: the handler reports SERVICE_STOP_PENDING, starts the
// thread that pays the debt and the one that reports the progress, and returns, without a call
// into the service manager and without time passing. A second stop changes nothing, and a device
// event meanwhile moves nothing: the service is going away.
TEST_F(ServiceTest, StopWithADebtOwedReturnsAtOnceAndLeavesTheWaitToItsThreads) {
    AddQueue();
    sim::AddPort(u"USB002");
    PlugPrinter("P2");
    sim::SetRegistryString(PortKey("USB002"), "Device Id", "USB\\VID_0483&PID_5741\\P2");
    Start();
    PortMoveRecord().state = DebtState::StartOwed;
    serviceState.reopenRequested = 0;
    sim::ClearCalls();
    const uint64_t stopAt = sim::NowMs();
    EXPECT_EQ(ServiceCtrlHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr), DWORD{NO_ERROR});
    EXPECT_EQ(sim::NowMs(), stopAt);
    EXPECT_EQ(Names(sim::Calls()), (std::vector<std::string>{"SetServiceStatus", "CreateThread",
                                                             "CreateThread", "CloseHandle"}));
    std::vector<BYTE> arrival = sim::DeviceInterfaceRecord(PrinterPath("P2"));
    for (const DWORD control : {SERVICE_CONTROL_STOP, SERVICE_CONTROL_DEVICEEVENT}) {
        SCOPED_TRACE(control);
        sim::ClearCalls();
        EXPECT_EQ(ServiceCtrlHandler(control, DBT_DEVICEARRIVAL, arrival.data(), nullptr),
                  DWORD{NO_ERROR});
        EXPECT_EQ(Names(sim::Calls()), std::vector<std::string>{"SetServiceStatus"});
    }
    EXPECT_EQ(serviceState.reopenRequested, 0);
    EXPECT_EQ(sim::Printer(u"Korvane-Q5").port, u"USB001");
    const std::vector<SERVICE_STATUS> reports = sim::StatusReports();
    ASSERT_EQ(reports.size(), 4u);
    for (size_t i = 1; i < reports.size(); ++i) {
        EXPECT_EQ(reports[i].dwCurrentState, DWORD{SERVICE_STOP_PENDING});
        EXPECT_EQ(reports[i].dwCheckPoint, 1u);
        EXPECT_EQ(reports[i].dwControlsAccepted, 5u);
    }
}

DWORD WINAPI NeverEnds(LPVOID) {
    return 0;  // outside a simulated process a thread is recorded, never run
}

// A shutdown while the stop's threads are at work stops the service (the scenarios hold when),
// and nothing is reported after it, whichever thread comes last: not the progress reporter's
// next step nor its end, not the handler for a later control.
TEST_F(ServiceTest, NothingIsReportedAfterAShutdownDuringTheStopsWait) {
    StartOwingASpoolerStart();
    ServiceCtrlHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
    ServiceCtrlHandler(SERVICE_CONTROL_SHUTDOWN, 0, nullptr, nullptr);
    const size_t reports = sim::StatusReports().size();
    const uint64_t shutdownAt = sim::NowMs();
    ASSERT_EQ(sim::StatusReports().back().dwCurrentState, DWORD{SERVICE_STOPPED});
    ReportStopProgress(CreateThread(nullptr, 0, NeverEnds, nullptr, 0, nullptr));
    EXPECT_EQ(sim::NowMs(), shutdownAt + 1000);  // at its next look, not at the wait's limit
    for (const DWORD control : {SERVICE_CONTROL_INTERROGATE, SERVICE_CONTROL_STOP,
                                SERVICE_CONTROL_SHUTDOWN, SERVICE_CONTROL_DEVICEEVENT}) {
        ServiceCtrlHandler(control, 0, nullptr, nullptr);
    }
    EXPECT_EQ(sim::StatusReports().size(), reports);
}

// The stop's progress while the payer's answer does not come: a SERVICE_STOP_PENDING a second,
// each with the next checkpoint, then SERVICE_STOPPED with ERROR_SERVICE_REQUEST_TIMEOUT at the
// wait's limit of 21 s, and nothing pending at or after it. The same when looking at the payer
// fails: the reporter pauses a look's time between looks, it does not spin.
TEST_F(ServiceTest, AnAnswerThatNeverComesIsGivenUpAtTheWaitsLimit) {
    for (const bool waitFails : {false, true}) {
        SCOPED_TRACE(waitFails ? "the wait fails" : "the wait times out");
        SetUp();
        StartOwingASpoolerStart();
        ServiceCtrlHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
        const uint64_t stopAt = sim::NowMs();
        const size_t before = sim::StatusReports().size();
        if (waitFails) {
            sim::FailCall("WaitForSingleObject", 1, ERROR_INVALID_HANDLE, 100);
        }
        ReportStopProgress(CreateThread(nullptr, 0, NeverEnds, nullptr, 0, nullptr));
        EXPECT_EQ(sim::NowMs(), stopAt + 21000);
        const std::vector<SERVICE_STATUS> reports = sim::StatusReports();
        ASSERT_EQ(reports.size(), before + 21);
        for (size_t i = before; i + 1 < reports.size(); ++i) {
            EXPECT_EQ(reports[i].dwCurrentState, DWORD{SERVICE_STOP_PENDING});
            EXPECT_EQ(reports[i].dwCheckPoint, i - before + 2);
        }
        EXPECT_EQ(reports.back().dwCurrentState, DWORD{SERVICE_STOPPED});
        EXPECT_EQ(reports.back().dwWin32ExitCode, DWORD{ERROR_SERVICE_REQUEST_TIMEOUT});
        TearDown();
    }
}

// No thread for the stop's work: the handler does it itself, bounded all the same, and the
// service reports SERVICE_STOPPED before the handler returns. Without the payer's thread the
// spooler's start is paid by the handler; without the reporter's, the handler reports the
// progress (here the payer's thread never runs: the wait is given up at its limit).
TEST_F(ServiceTest, AStopWithoutItsThreadsStillEnds) {
    // Each case: the CreateThread call that fails (the poller's is 1, then the payer's and the
    // reporter's), the exit code and the least time the handler takes.
    for (const auto& [failedThread, exitCode, tookMs] :
         std::vector<std::tuple<int, DWORD, uint64_t>>{{2, NO_ERROR, 0},
                                                       {3, ERROR_SERVICE_REQUEST_TIMEOUT, 21000}}) {
        SCOPED_TRACE(failedThread);
        SetUp();
        StartOwingASpoolerStart();
        sim::FailCall("CreateThread", failedThread, ERROR_NOT_ENOUGH_MEMORY);
        const uint64_t stopAt = sim::NowMs();
        ServiceCtrlHandler(SERVICE_CONTROL_STOP, 0, nullptr, nullptr);
        EXPECT_GE(sim::NowMs() - stopAt, tookMs);
        EXPECT_EQ(sim::StatusReports().back().dwCurrentState, DWORD{SERVICE_STOPPED});
        EXPECT_EQ(sim::StatusReports().back().dwWin32ExitCode, exitCode);
        EXPECT_EQ(sim::SpoolerState(), DWORD{SERVICE_RUNNING});
        TearDown();
    }
}

}  // namespace
