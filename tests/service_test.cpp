// Program entry, start-up and the control handler.
#include "service/service.h"

#include <cstring>

#include "sim_fixture.h"

namespace {

class ServiceTest : public SimTest {
protected:
    static void Start() {
        sim::SetStartedByServiceManager(true);
        ServiceMain(0, nullptr);
    }
    static SERVICE_STATUS Expected(DWORD state) {
        return SERVICE_STATUS{SERVICE_WIN32_OWN_PROCESS, state, 5, 0, 0, 0, 60000};
    }
};

void ExpectStatus(const SERVICE_STATUS& actual, const SERVICE_STATUS& expected) {
    EXPECT_EQ(0, std::memcmp(&actual, &expected, sizeof actual))
        << "state " << actual.dwCurrentState;
}

TEST_F(ServiceTest, OutsideTheServiceManagerMainWritesOneLineAndTouchesNothing) {
    EXPECT_EQ(ServiceProgramMain(), 0);
    EXPECT_EQ(sim::DebugLines(), std::vector<std::string>{" MainError:1063\n"});
    EXPECT_EQ(sim::StandardOutput(), "");
    EXPECT_EQ(
        sim::CallsOf({"StartServiceCtrlDispatcherW"}),
        std::vector<std::string>{
            "StartServiceCtrlDispatcherW({\"testserviceZ47M55\", ServiceMain}, {null, null})"});
    EXPECT_EQ(sim::CallCount("OpenPrinterW") + sim::CallCount("SetupDiGetClassDevsW"), 0);
}

TEST_F(ServiceTest, StartUpMakesItsCallsInOrderAndReportsRunningOnce) {
    AddQueue(u"USB003");
    Start();
    EXPECT_EQ(
        Names(sim::CallsOf({"OpenPrinterW", "ClosePrinter", "RegisterServiceCtrlHandlerExW",
                            "RegisterDeviceNotificationW", "SetServiceStatus", "CreateThread"})),
        (std::vector<std::string>{"OpenPrinterW", "ClosePrinter", "OpenPrinterW", "ClosePrinter",
                                  "RegisterServiceCtrlHandlerExW", "RegisterDeviceNotificationW",
                                  "SetServiceStatus", "CreateThread"}));
    EXPECT_EQ(
        sim::CallsOf({"RegisterServiceCtrlHandlerExW"}),
        std::vector<std::string>{"RegisterServiceCtrlHandlerExW(\"testservice\", handler, null)"});
    EXPECT_EQ(sim::CallsOf({"CreateThread"}),
              std::vector<std::string>{"CreateThread(null, 0, null, 0, null)"});
    ASSERT_EQ(sim::StatusReports().size(), 1u);
    ExpectStatus(sim::StatusReports()[0], Expected(SERVICE_RUNNING));
    EXPECT_EQ(serviceState.currentPortName, u"USB003");
    EXPECT_EQ(sim::OpenHandles(),
              std::vector<std::string>{});  // probe closed, thread handle closed
}

TEST_F(ServiceTest, NotificationFilterAsksForUsbDeviceInterfaces) {
    Start();
    const sim::NotificationRegistration n = sim::Notification();
    ASSERT_TRUE(n.registered);
    EXPECT_EQ(n.flags, static_cast<DWORD>(DEVICE_NOTIFY_SERVICE_HANDLE));
    EXPECT_EQ(n.recipient, static_cast<HANDLE>(serviceState.statusHandle));
    const std::vector<BYTE> expected = {32,   0,    0,    0,    5,    0,    0,    0,
                                        0,    0,    0,    0,    0x10, 0xBF, 0xDC, 0xA5,
                                        0x30, 0x65, 0xD2, 0x11, 0x90, 0x1F, 0x00, 0xC0,
                                        0x4F, 0xB9, 0x51, 0xED, 0,    0,    0,    0};
    EXPECT_EQ(n.filter, expected);
}

TEST_F(ServiceTest, MissingQueueStillStartsTheService) {
    Start();
    EXPECT_EQ(sim::DebugLines(),
              (std::vector<std::string>{" Open Printer Error :GetLastError() returns: 0x709\n",
                                        "GetPrinterHandle",
                                        " Open Printer Error :GetLastError() returns: 0x709\n"}));
    // A service has no console: the message is written all the same, to no avail.
    EXPECT_EQ(sim::StandardOutput(), "");
    const std::vector<std::string> writes = sim::CallsOf({"WriteFile"});
    ASSERT_EQ(writes.size(), 2u);
    for (const std::string& write : writes) {
        EXPECT_EQ(write.rfind("WriteFile(null, \"\\xb4\\xf2\\xbf\\xaa", 0), 0u) << write;
    }
    EXPECT_EQ(serviceState.currentPortName, u"");
    ExpectStatus(sim::StatusReports().at(0), Expected(SERVICE_RUNNING));
    EXPECT_EQ(sim::CallCount("CreateThread"), 1);
}

TEST_F(ServiceTest, HandlerReportsAfterEveryControl) {
    Start();
    EXPECT_EQ(ServiceCtrlHandler(SERVICE_CONTROL_INTERROGATE, 0, nullptr, nullptr),
              static_cast<DWORD>(NO_ERROR));
    EXPECT_EQ(ServiceCtrlHandler(0x80, 0, nullptr, nullptr),
              static_cast<DWORD>(NO_ERROR));  // user control
    ASSERT_EQ(sim::StatusReports().size(), 3u);
    ExpectStatus(sim::StatusReports()[1], Expected(SERVICE_RUNNING));
    ExpectStatus(sim::StatusReports()[2], Expected(SERVICE_RUNNING));
}

TEST_F(ServiceTest, StopAndShutdownReportStopped) {
    for (DWORD control :
         {static_cast<DWORD>(SERVICE_CONTROL_STOP), static_cast<DWORD>(SERVICE_CONTROL_SHUTDOWN)}) {
        sim::Reset();
        Start();
        EXPECT_EQ(ServiceCtrlHandler(control, 0, nullptr, nullptr), static_cast<DWORD>(NO_ERROR));
        ASSERT_EQ(sim::StatusReports().size(), 2u);
        ExpectStatus(sim::StatusReports()[1], Expected(SERVICE_STOPPED));
    }
}

TEST_F(ServiceTest, DeviceEventGoesToTheDeviceHandling) {
    Start();
    std::vector<BYTE> record = sim::DeviceInterfaceRecord(PrinterPath("M1", "vid_046d&pid_c52b"));
    ServiceCtrlHandler(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL, record.data(), nullptr);
    EXPECT_EQ(serviceState.reopenRequested, 1);
    EXPECT_EQ(sim::StatusReports().size(), 2u);
}

// A control during start-up is answered with the state of the moment; once stopped, the service
// stays stopped: no RUNNING report, no poller.
TEST_F(ServiceTest, ControlDuringStartUpIsAnsweredAndAStopIsFinal) {
    const struct {
        DWORD control;
        std::vector<DWORD> reports;
        int threads;
    } cases[] = {
        {SERVICE_CONTROL_INTERROGATE, {SERVICE_START_PENDING, SERVICE_RUNNING}, 1},
        {SERVICE_CONTROL_STOP, {SERVICE_STOPPED}, 0},
        {SERVICE_CONTROL_SHUTDOWN, {SERVICE_STOPPED}, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.control);
        SetUp();
        sim::DeliverControlDuringNotificationRegistration(c.control);
        Start();
        const std::vector<SERVICE_STATUS> reports = sim::StatusReports();
        ASSERT_EQ(reports.size(), c.reports.size());
        for (size_t i = 0; i < reports.size(); ++i) {
            ExpectStatus(reports[i], Expected(c.reports[i]));
        }
        EXPECT_EQ(sim::CallCount("CreateThread"), c.threads);
    }
}

TEST_F(ServiceTest, FailedThreadCreationReportsStoppedWithTheError) {
    sim::FailCall("CreateThread", 1, ERROR_NOT_ENOUGH_MEMORY);
    Start();
    ASSERT_EQ(sim::StatusReports().size(), 2u);
    SERVICE_STATUS stopped = Expected(SERVICE_STOPPED);
    stopped.dwWin32ExitCode = ERROR_NOT_ENOUGH_MEMORY;  // so that recovery actions can restart it
    ExpectStatus(sim::StatusReports()[1], stopped);
}

TEST_F(ServiceTest, WholeProcessRunsAndStopsUnderTheServiceManager) {
    AddQueue();
    sim::SetStartedByServiceManager(true);
    const int exitCode = sim::RunProcess(
        ServiceProgramMain,
        [] {
            sim::WaitUntil(2000);
            sim::SendControl(SERVICE_CONTROL_STOP);
        },
        10000);
    EXPECT_EQ(exitCode, 0);
    EXPECT_EQ(sim::NowMs(), 2000u);
    EXPECT_EQ(sim::ServiceNamesSeen(),
              (std::vector<std::u16string>{u"testserviceZ47M55", u"testservice"}));
    EXPECT_EQ(sim::StatusReports().back().dwCurrentState, static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_EQ(sim::DebugLines().back().rfind(" MainError:", 0), 0u);
    EXPECT_EQ(Count(sim::CallsOf({"Sleep"}), "Sleep(800)"), 3);  // at 0, 800 and 1600 ms
}

}  // namespace
