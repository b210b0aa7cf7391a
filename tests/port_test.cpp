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
    SetQueuePort(u"USB002");
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
    EXPECT_EQ(sim::Printer(u"Korvane-Q5").port, u"USB002");
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

TEST_F(PortTest, ManagerUnavailableForTheStopHalfStillStarts) {
    sim::FailCall("OpenSCManagerA", 1, ERROR_ACCESS_DENIED);
    SetQueuePort(u"USB002");
    EXPECT_EQ(sim::CallCount("ControlService"), 0);
    EXPECT_EQ(sim::CallCount("StartServiceA"), 1);
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
    EXPECT_EQ(sim::CallCount("OpenServiceA"), 4);  // the stop half's, and three start attempts
    EXPECT_EQ(Sleeps(), (std::vector<std::string>{"Sleep(300)", "Sleep(500)", "Sleep(500)",
                                                  "Sleep(300)", "Sleep(1000)"}));
    EXPECT_TRUE(sim::OpenHandles().empty());
}

TEST_F(PortTest, RefusedStartIsRequestedAgainSoTheSpoolerComesBack) {
    sim::FailCall("StartServiceA", 1, 1055);  // ERROR_SERVICE_DATABASE_LOCKED
    SetQueuePort(u"USB002");
    EXPECT_EQ(sim::CallCount("StartServiceA"), 2);
    EXPECT_EQ(sim::SpoolerState(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_TRUE(sim::OpenHandles().empty());
}

TEST_F(PortTest, StartIsGivenUpAfterThreeRefusals) {
    sim::FailCall("StartServiceA", 1, ERROR_ACCESS_DENIED, 10);
    SetQueuePort(u"USB002");
    EXPECT_EQ(sim::CallCount("StartServiceA"), 3);
    EXPECT_EQ(sim::SpoolerState(), static_cast<DWORD>(SERVICE_STOPPED));
    EXPECT_TRUE(sim::OpenHandles().empty());
}

TEST_F(PortTest, SlowStoppingSpoolerIsStartedOnceItHasStopped) {
    sim::SetSpoolerTimes(1000, 0);  // still stopping when the 300 ms pause ends
    SetQueuePort(u"USB002");
    EXPECT_EQ(sim::SpoolerState(), static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(Count(sim::CallsOf({"Sleep"}), "Sleep(100)"), 7);
    EXPECT_EQ(sim::CallCount("StartServiceA"), 1);
    EXPECT_EQ(sim::NowMs(), 1000u + 300u + 1000u);
}

TEST_F(PortTest, SpoolerThatNeverStopsIsWaitedForAtMostTenSeconds) {
    sim::SetSpoolerTimes(60000, 0);
    SetQueuePort(u"USB002");
    EXPECT_EQ(Count(sim::CallsOf({"Sleep"}), "Sleep(100)"), 100);
    EXPECT_EQ(sim::CallCount("StartServiceA"), 1);  // sent anyway
    EXPECT_EQ(sim::NowMs(), 300u + 10000u + 1300u);
}

}  // namespace
