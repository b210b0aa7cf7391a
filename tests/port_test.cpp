// Port reassignment and spooler restart.
#include "queue/queue.h"

#include "sim_fixture.h"

namespace {

const std::vector<std::string> kRestart = {
    "OpenSCManagerA", "OpenServiceA",       "ControlService", "QueryServiceStatus",
    "StartServiceA",  "CloseServiceHandle", "Sleep"};

class PortTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        AddQueue(u"USB001");
        sim::AddPort(u"USB002");
    }
    static std::vector<std::string> Sleeps() { return sim::CallsOf({"Sleep"}); }
    static int PortWrites() {
        int n = 0;
        for (const std::string& call : sim::CallsOf({"SetPrinterW"})) {
            n += call.find(", 2, {port") != std::string::npos ? 1 : 0;
        }
        return n;
    }
};

TEST_F(PortTest, AcceptedWriteRestartsTheSpooler) {
    sim::PrinterState expected = sim::Printer(u"Korvane-Q5");
    expected.port = u"USB002";  // and nothing else of the record
    SetQueuePort(u"USB002");
    EXPECT_EQ(sim::Printer(u"Korvane-Q5"), expected);
    EXPECT_EQ(sim::CallsOf({"SetPrinterW", "ClosePrinter"}),
              (std::vector<std::string>{"SetPrinterW(printer#1, 2, {port \"USB002\"}, 0)",
                                        "ClosePrinter(printer#1)"}));
    EXPECT_EQ(sim::CallsOf(kRestart), (std::vector<std::string>{
                                          "OpenSCManagerA(null, null, 0xf003f)",
                                          "OpenServiceA(scmanager#1, \"Spooler\", 0xf01ff)",
                                          "ControlService(service#1, 1)",
                                          "CloseServiceHandle(service#1)",
                                          "CloseServiceHandle(scmanager#1)",
                                          "Sleep(300)",
                                          "OpenSCManagerA(null, null, 0xf003f)",
                                          "OpenServiceA(scmanager#2, \"Spooler\", 0xf01ff)",
                                          "QueryServiceStatus(service#2)",
                                          "StartServiceA(service#2, 0, null)",
                                          "CloseServiceHandle(service#2)",
                                          "CloseServiceHandle(scmanager#2)",
                                          "Sleep(300)",
                                          "Sleep(1000)",
                                      }));
    EXPECT_EQ(sim::SpoolerState(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(sim::NowMs(), 1600u);
    EXPECT_TRUE(sim::OpenHandles().empty());
    EXPECT_TRUE(sim::DebugLines().empty());
}

TEST_F(PortTest, TwentyFailuresThenSuccessStillRestarts) {
    sim::FailCall("SetPrinterW", 1, ERROR_ACCESS_DENIED, 20);
    SetQueuePort(u"USB002");
    EXPECT_EQ(PortWrites(), 21);
    EXPECT_EQ(sim::CallCount("StartServiceA"), 1);
    EXPECT_EQ(sim::Printer(u"Korvane-Q5").port, u"USB002");
}

TEST_F(PortTest, TwentyOneFailuresGiveUpSilentlyWithoutRestart) {
    sim::FailCall("SetPrinterW", 1, ERROR_ACCESS_DENIED, 21);
    SetQueuePort(u"USB002");
    EXPECT_EQ(PortWrites(), 21);
    EXPECT_TRUE(sim::CallsOf(kRestart).empty());
    EXPECT_TRUE(sim::DebugLines().empty());
    EXPECT_EQ(sim::Printer(u"Korvane-Q5").port, u"USB001");
    EXPECT_TRUE(sim::OpenHandles().empty());
}

TEST_F(PortTest, SameNameIsWrittenAndTheSpoolerRestartedAllTheSame) {
    SetQueuePort(u"USB001");
    EXPECT_EQ(PortWrites(), 1);
    EXPECT_EQ(sim::CallCount("StartServiceA"), 1);
}

TEST_F(PortTest, EmptyNameIsRefusedBeforeAnything) {
    SetQueuePort(u"");
    EXPECT_TRUE(sim::Calls().empty());
    EXPECT_EQ(sim::Printer(u"Korvane-Q5").port, u"USB001");
}

TEST_F(PortTest, MissingQueueMeansNoWriteAndNoRestart) {
    sim::RemovePrinter(u"Korvane-Q5");
    SetQueuePort(u"USB002");
    EXPECT_EQ(sim::CallCount("SetPrinterW"), 0);
    EXPECT_TRUE(sim::CallsOf(kRestart).empty());
    EXPECT_EQ(sim::DebugLines(),
              std::vector<std::string>{" Open Printer Error :GetLastError() returns: 0x709\n"});
    EXPECT_EQ(sim::StandardOutput(), kOpenFailedGbk);
}

TEST_F(PortTest, ManagerUnavailableForTheStopHalfLeavesTheRunningSpoolerAlone) {
    sim::FailCall("OpenSCManagerA", 1, ERROR_ACCESS_DENIED);
    SetQueuePort(u"USB002");
    EXPECT_EQ(sim::CallCount("ControlService"), 0);
    EXPECT_EQ(sim::CallCount("QueryServiceStatus"), 1);
    EXPECT_EQ(sim::CallCount("StartServiceA"), 0);  // none while it runs
    EXPECT_EQ(Sleeps(), (std::vector<std::string>{"Sleep(300)", "Sleep(1000)"}));
    EXPECT_TRUE(sim::OpenHandles().empty());
}

TEST_F(PortTest, ManagerUnavailableForTheStartHalfSkipsItsPauses) {
    sim::FailCall("OpenSCManagerA", 2, ERROR_ACCESS_DENIED);
    SetQueuePort(u"USB002");
    EXPECT_EQ(sim::CallCount("ControlService"), 1);
    EXPECT_EQ(sim::CallCount("StartServiceA"), 0);
    EXPECT_EQ(Sleeps(), std::vector<std::string>{"Sleep(300)"});
}

TEST_F(PortTest, ServiceThatCannotBeOpenedStillClosesTheManagerAndPauses) {
    sim::FailCall("OpenServiceA", 1, ERROR_ACCESS_DENIED, 10);
    SetQueuePort(u"USB002");
    EXPECT_EQ(sim::CallCount("ControlService"), 0);
    EXPECT_EQ(sim::CallCount("StartServiceA"), 0);
    EXPECT_EQ(sim::CallCount("OpenServiceA"), 2);
    EXPECT_EQ(Sleeps(), (std::vector<std::string>{"Sleep(300)", "Sleep(300)", "Sleep(1000)"}));
    EXPECT_TRUE(sim::OpenHandles().empty());
}

// A start that cannot be made now is owed to the poller, which makes it once; one refused for
// good is not asked for again.
TEST_F(PortTest, StartRefusedForNowIsMadeLaterAndOneRefusedForGoodIsNot) {
    const struct {
        const char* function;
        int nth;  // the start half's call
        DWORD error;
        bool owed;
    } cases[] = {
        {"StartServiceA", 1, ERROR_SERVICE_DATABASE_LOCKED, true},
        {"OpenSCManagerA", 2, RPC_S_SERVER_UNAVAILABLE, true},
        {"StartServiceA", 1, ERROR_SERVICE_DISABLED, false},
        {"StartServiceA", 1, ERROR_ACCESS_DENIED, false},
        {"OpenServiceA", 2, ERROR_SERVICE_DOES_NOT_EXIST, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.function) + " fails with " + std::to_string(c.error));
        SetUp();
        sim::FailCall(c.function, c.nth, c.error);
        SetQueuePort(u"USB002");
        EXPECT_EQ(serviceState.spoolerStartOwed, c.owed ? 1 : 0);
        sim::ClearCalls();
        for (int cycle = 0; cycle < 3; ++cycle) {
            StartOwedSpooler();
        }
        EXPECT_EQ(sim::CallCount("StartServiceA"), c.owed ? 1 : 0);
        EXPECT_EQ(sim::SpoolerState(),
                  static_cast<DWORD>(c.owed ? SERVICE_RUNNING : SERVICE_STOPPED));
        EXPECT_EQ(serviceState.spoolerStartOwed, 0);
        EXPECT_TRUE(sim::OpenHandles().empty());
    }
}

TEST_F(PortTest, StopRefusedForRunningDependentsKeepsThePortAndAsksNoStart) {
    sim::AddSpoolerDependent("Fax");
    SetQueuePort(u"USB002");
    EXPECT_EQ(sim::Printer(u"Korvane-Q5").port, u"USB002");
    EXPECT_EQ(sim::CallCount("StartServiceA"), 0);
    EXPECT_EQ(sim::SpoolerState(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(serviceState.spoolerStartOwed, 0);
}

TEST_F(PortTest, SlowStoppingSpoolerIsStartedOnceItHasStopped) {
    sim::SetSpoolerTimes(1000, 0);  // still stopping when the 300 ms pause ends
    SetQueuePort(u"USB002");
    EXPECT_EQ(sim::SpoolerState(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(Count(sim::CallsOf({"Sleep"}), "Sleep(100)"), 7);
    EXPECT_EQ(sim::CallCount("StartServiceA"), 1);
    EXPECT_EQ(sim::NowMs(), 1000u + 300u + 1000u);
}

TEST_F(PortTest, SpoolerStillStoppingAfterTenSecondsIsLeftToThePoller) {
    // No start request while it is stopping: it would only be refused. When its state cannot be
    // read, the request is made, and its "already running" is taken for what it is.
    for (const bool stateUnknown : {false, true}) {
        SCOPED_TRACE(stateUnknown);
        SetUp();
        sim::SetSpoolerTimes(60000, 0);
        if (stateUnknown) {
            sim::FailCall("QueryServiceStatus", 1, ERROR_ACCESS_DENIED);
        }
        SetQueuePort(u"USB002");
        EXPECT_EQ(Count(sim::CallsOf({"Sleep"}), "Sleep(100)"), 100);
        EXPECT_EQ(sim::CallCount("StartServiceA"), stateUnknown ? 1 : 0);
        EXPECT_EQ(serviceState.spoolerStartOwed, 1);
        EXPECT_EQ(sim::NowMs(), 300u + 10000u + 1300u);
    }
}

}  // namespace
