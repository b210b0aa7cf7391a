// Port reassignment and spooler restart.
#include "queue/queue.h"

#include <tuple>

#include "sim_fixture.h"

namespace {

class PortTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        AddQueue(u"USB001");
        sim::AddPort(u"USB002");
    }
    // Poller cycles of the owed start, in a simulated process, so that the thread each look of
    // the spooler runs on runs too.
    static void RunOwedStartCycles(int cycles) {
        static int count = 0;
        count = cycles;
        sim::RunProcess(
            [] {
                for (int cycle = 0; cycle < count; ++cycle) {
                    StartOwedSpooler();
                    Sleep(800);
                }
                return 0;
            },
            nullptr, UINT64_MAX);
    }
    // The pauses taken, e.g. "300 300 1000".
    static std::string Pauses() {
        std::string pauses;
        for (const std::string& call : sim::CallsOf({"Sleep"})) {
            pauses += (pauses.empty() ? "" : " ") + call.substr(6, call.size() - 7);
        }
        return pauses;
    }
};

TEST_F(PortTest, AcceptedWriteClosesTheQueueThenRestartsTheSpooler) {
    sim::PrinterState expected = sim::Printer(u"Korvane-Q5");
    expected.port = u"USB002";  // and nothing else of the record
    SetQueuePort(u"USB002");
    EXPECT_EQ(sim::Printer(u"Korvane-Q5"), expected);
    EXPECT_EQ(sim::CallsOf({"SetPrinterW", "ClosePrinter", "OpenSCManagerA", "OpenServiceA",
                            "ControlService", "StartServiceA", "CloseServiceHandle", "Sleep"}),
              (std::vector<std::string>{
                  "SetPrinterW(printer#1, 2, {port \"USB002\"}, 0)", "ClosePrinter(printer#1)",
                  "OpenSCManagerA(null, null, 0xf003f)",
                  "OpenServiceA(scmanager#1, \"Spooler\", 0xf01ff)", "ControlService(service#1, 1)",
                  "CloseServiceHandle(service#1)", "CloseServiceHandle(scmanager#1)", "Sleep(300)",
                  "OpenSCManagerA(null, null, 0xf003f)",
                  "OpenServiceA(scmanager#2, \"Spooler\", 0xf01ff)",
                  "StartServiceA(service#2, 0, null)", "CloseServiceHandle(service#2)",
                  "CloseServiceHandle(scmanager#2)", "Sleep(300)", "Sleep(1000)"}));
    EXPECT_EQ(sim::SpoolerState(), DWORD{SERVICE_RUNNING});
    EXPECT_TRUE(sim::OpenHandles().empty());
    EXPECT_TRUE(sim::DebugLines().empty());
}

// Up to 21 writes back to back; the spooler is restarted once one is accepted, also for the
// name the queue already has; nothing is written for an empty name or a queue that cannot be
// opened or read.
TEST_F(PortTest, WritesAreRetriedAndOnlyAnAcceptedOneRestarts) {
    // Each case: the port, the writes refused, the GetPrinterW call that fails (0: none; -1: no
    // queue), the writes made, whether the spooler was restarted, the debug lines.
    for (const auto& [port, refusedWrites, failedRead, writes, restarted, lines] :
         std::vector<std::tuple<std::u16string, int, int, int, bool, std::vector<std::string>>>{
             {u"USB002", 20, 0, 21, true, {}},
             {u"USB002", 21, 0, 21, false, {}},
             {u"USB001", 0, 0, 1, true, {}},
             {u"", 0, 0, 0, false, {}},
             {u"USB002", 0, -1, 0, false, {kNoQueueLine}},
             {u"USB002", 0, 2, 0, false, {kReadFailedGbk}}}) {
        SCOPED_TRACE(refusedWrites);
        SetUp();
        if (refusedWrites > 0) {
            sim::FailCall("SetPrinterW", 1, ERROR_ACCESS_DENIED, refusedWrites);
        }
        if (failedRead > 0) {
            sim::FailCall("GetPrinterW", failedRead, ERROR_INVALID_HANDLE);
        } else if (failedRead < 0) {
            sim::RemovePrinter(u"Korvane-Q5");
        }
        SetQueuePort(port);
        EXPECT_EQ(sim::CallCount("SetPrinterW"), writes);
        EXPECT_EQ(sim::CallCount("OpenSCManagerA"), restarted ? 2 : 0);
        EXPECT_EQ(sim::NowMs(), restarted ? 1600u : 0u);  // no pause between the writes
        if (failedRead == 0) {
            EXPECT_EQ(sim::Printer(u"Korvane-Q5").port, restarted ? port : u"USB001");
        }
        EXPECT_EQ(sim::DebugLines(), lines);
        EXPECT_TRUE(sim::OpenHandles().empty());
        TearDown();
    }
}

// Each half of the restart opens the service manager itself: a half that cannot is skipped with
// its pauses. A start that cannot be made now is owed to the poller, which makes it once; one
// refused for good is not asked for again; a stop refused because running services depend on the
// spooler leaves it running, with no start request. Each case: the call that fails (none: a
// dependent runs), which one, its error, how many times; then the pauses taken, the stop requests,
// whether a start is owed, the start requests (the poller's included) and the spooler's state.
TEST_F(PortTest, ServiceManagerFailuresAndRefusals) {
    for (const auto& [function, nth, error, count, pauses, stops, owed, starts, spooler] :
         std::vector<std::tuple<const char*, int, DWORD, int, std::string, int, bool, int, DWORD>>{
             {"OpenSCManagerA", 1, ERROR_ACCESS_DENIED, 1, "300 1000", 0, false, 0,
              SERVICE_RUNNING},
             {"OpenSCManagerA", 2, ERROR_ACCESS_DENIED, 1, "300", 1, false, 0, SERVICE_STOPPED},
             {"OpenSCManagerA", 2, RPC_S_SERVER_UNAVAILABLE, 1, "300", 1, true, 1, SERVICE_RUNNING},
             {"OpenServiceA", 1, ERROR_ACCESS_DENIED, 2, "300 300 1000", 0, false, 0,
              SERVICE_RUNNING},
             {"OpenServiceA", 2, ERROR_SERVICE_DOES_NOT_EXIST, 1, "300 300 1000", 1, false, 0,
              SERVICE_STOPPED},
             {"StartServiceA", 1, ERROR_SERVICE_DATABASE_LOCKED, 1, "300 300 1000", 1, true, 2,
              SERVICE_RUNNING},
             {"StartServiceA", 1, ERROR_SERVICE_DISABLED, 1, "300 300 1000", 1, false, 1,
              SERVICE_STOPPED},
             {"StartServiceA", 1, ERROR_ACCESS_DENIED, 1, "300 300 1000", 1, false, 1,
              SERVICE_STOPPED},
             {nullptr, 0, 0, 0, "300 300 1000", 1, false, 0, SERVICE_RUNNING}}) {
        SCOPED_TRACE(std::string(function ? function : "dependent") + " " + std::to_string(error));
        SetUp();
        if (function != nullptr) {
            sim::FailCall(function, nth, error, count);
        } else {
            sim::AddSpoolerDependent("Fax");
        }
        SetQueuePort(u"USB002");
        EXPECT_EQ(Pauses(), pauses);
        EXPECT_EQ(sim::CallCount("ControlService"), stops);
        EXPECT_EQ(StartOwedLocked(), owed);
        EXPECT_EQ(sim::Printer(u"Korvane-Q5").port, u"USB002");
        RunOwedStartCycles(3);
        EXPECT_EQ(sim::CallCount("StartServiceA"), starts);
        EXPECT_EQ(sim::SpoolerState(), spooler);
        EXPECT_FALSE(StartOwedLocked());
        EXPECT_TRUE(sim::OpenHandles().empty());
        TearDown();
    }
}

// No start request while the spooler is still stopping (it would be refused): the handler looks
// every 100 ms for 10 s at most, then leaves the start to the poller. When the spooler's state
// cannot be read the request is made, and its "already running" is taken for what it is.
// Each case: the time the spooler takes to stop, whether its state is unreadable, then the looks,
// the start requests and whether the start is owed.
TEST_F(PortTest, StoppingSpoolerIsStartedOnlyOnceItHasStopped) {
    for (const auto& [stopMs, stateUnknown, polls, starts, owed] :
         std::vector<std::tuple<uint64_t, bool, int, int, bool>>{{1000, false, 7, 1, false},
                                                                 {60000, false, 100, 0, true},
                                                                 {60000, true, 100, 1, true}}) {
        SCOPED_TRACE(stopMs);
        SetUp();
        sim::SetSpoolerTimes(stopMs, 0);
        if (stateUnknown) {
            sim::FailCall("QueryServiceStatus", 1, ERROR_ACCESS_DENIED);
        }
        SetQueuePort(u"USB002");
        EXPECT_EQ(Count(sim::CallsOf({"Sleep"}), "Sleep(100)"), polls);
        EXPECT_EQ(sim::CallCount("StartServiceA"), starts);
        EXPECT_EQ(StartOwedLocked(), owed);
        EXPECT_EQ(sim::NowMs(), 300u + polls * 100u + 1300u);
        EXPECT_EQ(sim::SpoolerState(),
                  static_cast<DWORD>(owed ? SERVICE_STOP_PENDING : SERVICE_RUNNING));
        TearDown();
    }
}

// Refusals that will not clear end the debt at once, whichever they are: a service that cannot
// log on (1069), one marked for deletion or whose dependency was deleted, a missing binary. A
// refusal that can clear (1053) is asked again on each of three poller cycles, for contrast.
TEST_F(PortTest, EveryLastingRefusalEndsTheOwedStart) {
    for (const DWORD error :
         std::vector<DWORD>{ERROR_SERVICE_LOGON_FAILED, ERROR_SERVICE_MARKED_FOR_DELETE,
                            ERROR_SERVICE_DEPENDENCY_DELETED, ERROR_FILE_NOT_FOUND,
                            ERROR_PATH_NOT_FOUND, ERROR_SERVICE_REQUEST_TIMEOUT}) {
        SCOPED_TRACE(error);
        SetUp();
        sim::FailCall("StartServiceA", 1, error, sim::kEveryLaterCall);
        SetQueuePort(u"USB002");
        const bool clears = error == ERROR_SERVICE_REQUEST_TIMEOUT;
        EXPECT_EQ(StartOwedLocked(), clears);
        RunOwedStartCycles(3);
        EXPECT_EQ(sim::CallCount("StartServiceA"), clears ? 4 : 1);
        EXPECT_EQ(sim::SpoolerState(), DWORD{SERVICE_STOPPED});
        TearDown();
    }
}

// "Already running" is Windows' answer to a start of a service that is still stopping: with the
// spooler's state unreadable it is all the poller learns, and it is no refusal. The poller keeps
// asking every cycle (no slow pace), and kq5's stop keeps waiting until the spooler has stopped
// and starts it.
TEST_F(PortTest, AlreadyRunningIsNoRefusal) {
    sim::SetSpoolerTimes(20000, 0);
    sim::FailCall("QueryServiceStatus", 1, ERROR_ACCESS_DENIED, sim::kEveryLaterCall);
    SetQueuePort(u"USB002");
    ASSERT_TRUE(StartOwedLocked());
    ASSERT_EQ(sim::CallCount("StartServiceA"), 1);
    RunOwedStartCycles(8);
    EXPECT_EQ(sim::CallCount("StartServiceA"), 1 + 8);
    EXPECT_EQ(sim::SpoolerState(), DWORD{SERVICE_STOP_PENDING});
    // Stopped some 11 s from here: kq5's stop waits for it rather than giving up on "already
    // running" as if it were a refusal.
    PaySpoolerDebtBeforeExit();
    EXPECT_EQ(sim::SpoolerState(), DWORD{SERVICE_RUNNING});
}

// A start that came late finishes the port move: the queue's port is read afresh into
// currentPortName (the arrival's read failed while the spooler was down) and the queue resumed,
// once the spooler runs and not before: while the start is still owed (the spooler stopping, or
// its start refused for a reason that can clear), nothing is asked of the queue. With the
// spooler's state unreadable, the queue answering is what tells that it runs (before this, such a
// spooler kept the port move owed for good).
TEST_F(PortTest, LateStartFinishesThePortMoveOnlyOnceTheSpoolerRuns) {
    enum { Stopping, Refused, StateUnknown };
    for (const int c : {Stopping, Refused, StateUnknown}) {
        SCOPED_TRACE(c);
        SetUp();
        sim::SetSpoolerTimes(c == Refused ? 0 : 15000, 0);
        if (c == Refused) {
            sim::FailCall("StartServiceA", 1, ERROR_SERVICE_REQUEST_TIMEOUT, 3);
        } else if (c == StateUnknown) {
            sim::FailCall("QueryServiceStatus", 1, ERROR_ACCESS_DENIED, sim::kEveryLaterCall);
        }
        ApplyQueueState(PRINTER_CONTROL_PAUSE, PRINTER_STATUS_OFFLINE);  // the removal's
        SetQueuePort(u"USB002");
        RefreshCurrentPort();  // the arrival's, with the spooler down
        ASSERT_EQ(CurrentPort(), u"");
        ApplyLocked(DebtEvent::MovedSilent);  // as the arrival does, its re-read unanswered
        sim::ClearCalls();
        RunOwedStartCycles(c == Refused ? 2 : 3);  // still stopping, or refused
        if (c != StateUnknown) {
            EXPECT_EQ(sim::CallCount("OpenPrinterW"), 0);
        }
        EXPECT_TRUE(MoveOwedLocked());
        RunOwedStartCycles(c == StateUnknown ? 20 : 4);  // started, running
        EXPECT_EQ(sim::SpoolerState(), DWORD{SERVICE_RUNNING});
        EXPECT_FALSE(MoveOwedLocked());
        EXPECT_FALSE(StartOwedLocked());
        EXPECT_EQ(CurrentPort(), u"USB002");
        EXPECT_FALSE(sim::Printer(u"Korvane-Q5").paused);
        EXPECT_EQ(sim::Printer(u"Korvane-Q5").status, 0u);
        TearDown();
    }
}

// A new port move counts its refusals afresh: one refusal of its own is followed by a quick
// retry on the next cycle, whatever the move before it left behind (there, the slow pace, and
// meanwhile the spooler started by someone else).
TEST_F(PortTest, NewPortMoveDoesNotInheritTheRefusalCount) {
    sim::FailCall("StartServiceA", 1, ERROR_SERVICE_REQUEST_TIMEOUT, 4);
    sim::FailCall("StartServiceA", 6, ERROR_SERVICE_REQUEST_TIMEOUT, 1);
    SetQueuePort(u"USB002");
    RunOwedStartCycles(4);  // three quick retries, then the slow pace
    ASSERT_EQ(sim::CallCount("StartServiceA"), 4);
    ASSERT_GT(PortMoveRecord().cyclesToWait, 0);
    // An administrator starts it meanwhile (sc start Spooler).
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(manager, "Spooler", SERVICE_ALL_ACCESS);
    ASSERT_NE(StartServiceA(service, 0, nullptr), 0);
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    SetQueuePort(u"USB001");  // its own start refused once
    ASSERT_EQ(sim::CallCount("StartServiceA"), 6);
    RunOwedStartCycles(1);
    EXPECT_EQ(sim::CallCount("StartServiceA"), 7);
    EXPECT_EQ(sim::SpoolerState(), DWORD{SERVICE_RUNNING});
}

// The debt's other parties while the poller's start request is blocked (the spooler's process
// slow to come up): they do not wait for it.
class BlockedStartTest : public PortTest {
protected:
    // A start owed (refused once, for a reason that can clear) to a stopped spooler whose next
    // start request holds its caller for `blocksMs`; then, in one process, the poller's look
    // makes that request and `party` runs 100 ms later.
    static void WhileThePollersStartIsBlocked(uint64_t blocksMs, int (*party)()) {
        sim::SetSpoolerTimes(0, 0);
        sim::FailCall("StartServiceA", 1, ERROR_SERVICE_DATABASE_LOCKED);
        SetQueuePort(u"USB002");
        ASSERT_TRUE(StartOwedLocked());
        sim::SetSpoolerStartBlocks(blocksMs);
        sim::ClearCalls();
        static int (*other)() = nullptr;
        other = party;
        sim::RunProcess(
            [] {
                StartOwedSpooler();
                Sleep(100);
                return other();
            },
            nullptr, UINT64_MAX);
    }
    static inline uint64_t took = 0;
};

// The handler's wait ends on a look of its own: its looks are put off and not counted against
// its 10 s, so it does not give up while the poller's request is under way, and what it leaves
// owed is what it saw itself: here a spooler that runs, so nothing.
TEST_F(BlockedStartTest, HandlersWaitEndsOnALookOfItsOwn) {
    static bool owedAfter = true;
    WhileThePollersStartIsBlocked(12000, [] {
        const uint64_t began = GetTickCount64();
        RestartSpooler();
        took = GetTickCount64() - began;
        owedAfter = StartOwedLocked();
        return 0;
    });
    EXPECT_EQ(sim::CallCount("StartServiceA"), 1);  // the poller's; the handler's looks see it run
    EXPECT_GE(took, 12000u - 100u + 1300u);
    EXPECT_FALSE(owedAfter);
    EXPECT_EQ(sim::SpoolerState(), DWORD{SERVICE_RUNNING});
}

// kq5's stop keeps its ceiling: it looks again each second rather than wait for the poller's
// request to return, and at 20 s answers that the spooler was still starting.
TEST_F(BlockedStartTest, StopsWaitKeepsItsCeiling) {
    static DWORD answer = NO_ERROR;
    WhileThePollersStartIsBlocked(30000, [] {
        const uint64_t began = GetTickCount64();
        answer = PaySpoolerDebtBeforeExit();
        took = GetTickCount64() - began;
        return 0;
    });
    EXPECT_EQ(answer, DWORD{ERROR_SERVICE_REQUEST_TIMEOUT});
    EXPECT_LE(took, 20000u);
    EXPECT_EQ(sim::CallCount("StartServiceA"), 1);  // the poller's
}

}  // namespace
