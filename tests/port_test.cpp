// The port move: the port's rewrite, the spooler's restart and what it leaves owed.
#include "portmove/port_move.h"

#include <random>
#include <tuple>

#include "queue/queue.h"
#include "queue/spooler.h"
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
    // The restart's pauses with the handler's `looks` 100 ms apart between its two halves.
    static std::string Polls(int looks) {
        std::string pauses = "300";
        for (int look = 0; look < looks; ++look) {
            pauses += " 100";
        }
        return pauses + " 300 1000";
    }
    // In one process: `handler` runs while the poller's cycle comes `pollerAtMs` in, on a
    // thread of its own (after `beforeCycle`); ends within 2 minutes.
    static void PollerCycleDuring(
        DWORD pollerAtMs, void (*handler)(), void (*beforeCycle)() = [] {}) {
        static DWORD at = 0;
        static void (*run)() = nullptr;
        static void (*before)() = nullptr;
        at = pollerAtMs;
        run = handler;
        before = beforeCycle;
        sim::RunProcess(
            [] {
                auto poller = [](LPVOID) -> DWORD {
                    Sleep(at);
                    before();
                    StartOwedSpooler();
                    return 0;
                };
                CloseHandle(CreateThread(nullptr, 0, poller, nullptr, 0, nullptr));
                run();
                return 0;
            },
            nullptr, 120000);
    }
    // The printers P1, P2, P3, each known by the USB port of the same number.
    static void NamePortsAfterPrinters() {
        sim::AddPort(u"USB003");
        for (const std::string n : {"1", "2", "3"}) {
            sim::SetRegistryString(PortKey("USB00" + n), "Device Id",
                                   "USB\\VID_0483&PID_5741\\P" + n);
        }
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
    const std::vector<std::string> order = {"SetPrinterW", "ClosePrinter", "ControlService",
                                            "StartServiceA"};
    EXPECT_EQ(Order(order), order);
    EXPECT_EQ(Pauses(), "300 300 1000");
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
// refused for good (whichever lasting refusal: disabled, no logon, a missing binary, ...) is not
// asked for again, while one that can clear is asked again on each of three poller cycles; a stop
// refused because running services depend on the spooler leaves it running, with no start
// request. No start request while the spooler is still stopping (it would be refused): the
// handler looks every 100 ms for 10 s at most, then leaves the start to the poller; when the
// spooler's state cannot be read the request is made, and its "already running" is taken for
// what it is. Each case: the time the spooler takes to stop; the call that fails ("Fax": a
// dependent runs), which one, its error, how many times; then the pauses taken, the stop
// requests, whether a start is owed, the start requests (the poller's included) and the
// spooler's state.
TEST_F(PortTest, ServiceManagerFailuresAndRefusals) {
    constexpr int all = sim::kEveryLaterCall;
    const std::string r = "300 300 1000";  // the restart's pauses
    constexpr DWORD running = SERVICE_RUNNING, stopped = SERVICE_STOPPED,
                    pending = SERVICE_STOP_PENDING;
    for (const auto& [stopMs, function, nth, error, count, pauses, stops, owed, starts, spooler] :
         std::vector<std::tuple<uint64_t, const char*, int, DWORD, int, std::string, int, bool, int,
                                DWORD>>{
             {0, "OpenSCManagerA", 1, ERROR_ACCESS_DENIED, 1, "300 1000", 0, false, 0, running},
             {0, "OpenSCManagerA", 2, ERROR_ACCESS_DENIED, 1, "300", 1, false, 0, stopped},
             {0, "OpenSCManagerA", 2, RPC_S_SERVER_UNAVAILABLE, 1, "300", 1, true, 1, running},
             {0, "OpenServiceA", 1, ERROR_ACCESS_DENIED, 2, r, 0, false, 0, running},
             {0, "OpenServiceA", 2, ERROR_SERVICE_DOES_NOT_EXIST, 1, r, 1, false, 0, stopped},
             {0, "StartServiceA", 1, ERROR_SERVICE_DATABASE_LOCKED, 1, r, 1, true, 2, running},
             {0, "StartServiceA", 1, ERROR_SERVICE_DISABLED, 1, r, 1, false, 1, stopped},
             {0, "StartServiceA", 1, ERROR_SERVICE_LOGON_FAILED, all, r, 1, false, 1, stopped},
             {0, "StartServiceA", 1, ERROR_FILE_NOT_FOUND, all, r, 1, false, 1, stopped},
             {0, "StartServiceA", 1, ERROR_SERVICE_REQUEST_TIMEOUT, all, r, 1, true, 4, stopped},
             {0, "Fax", 0, 0, 0, r, 1, false, 0, running},
             {1000, nullptr, 0, 0, 0, Polls(7), 1, false, 1, running},
             {60000, nullptr, 0, 0, 0, Polls(100), 1, true, 0, pending},
             {60000, "QueryServiceStatus", 1, ERROR_ACCESS_DENIED, 1, Polls(100), 1, true, 1,
              pending}}) {
        SCOPED_TRACE(std::string(function ? function : "stopping") + " " + std::to_string(error));
        SetUp();
        sim::SetSpoolerTimes(stopMs, 0);
        if (function != nullptr && std::string(function) == "Fax") {
            sim::AddSpoolerDependent(function);
        } else if (function != nullptr) {
            sim::FailCall(function, nth, error, count);
        }
        SetQueuePort(u"USB002");
        EXPECT_EQ(Pauses(), pauses);
        EXPECT_EQ(sim::CallCount("ControlService"), stops);
        EXPECT_EQ(StartOwedLocked(), owed);
        RunOwedStartCycles(3);
        EXPECT_EQ(sim::CallCount("StartServiceA"), starts);
        EXPECT_EQ(sim::SpoolerState(), spooler);
        EXPECT_EQ(StartOwedLocked(), owed && spooler != SERVICE_RUNNING);  // refused, or stopping
        EXPECT_TRUE(sim::OpenHandles().empty());
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

// Any order of the printer's arrivals and removals and of poller cycles, with the spooler slow to
// stop or to start, refusing its start for a while or hiding its state: once the poller has paid
// what is owed, the spooler runs, the queue prints to the port of the printer's last arrival and
// kq5's record of the port says so.
TEST_F(PortTest, AnyEventsEndWithTheSpoolerRunningAndTheQueueOnThePrintersPort) {
    static std::mt19937 random;
    static const auto roll = [](int n) { return static_cast<int>(random() % unsigned(n)); };
    static std::u16string printerPort;
    for (unsigned seed = 1; seed <= 40; ++seed) {
        SCOPED_TRACE(seed);
        SetUp();
        random.seed(seed);
        NamePortsAfterPrinters();
        sim::SetSpoolerTimes(roll(3) * 10000u, roll(2) * 3000u);
        if (roll(3) == 0) {
            sim::FailCall("StartServiceA", 1 + roll(3), ERROR_SERVICE_DATABASE_LOCKED, 1 + roll(5));
        }
        if (roll(5) == 0) {
            sim::FailCall("QueryServiceStatus", 1, ERROR_ACCESS_DENIED, sim::kEveryLaterCall);
        }
        printerPort.clear();
        sim::RunProcess(
            [] {
                for (int step = 0; step < 6; ++step) {
                    const std::string printer = "P" + std::to_string(1 + roll(4));  // P4: none
                    if (printer == "P4") {
                        OnPrinterRemoval(PrinterPath("P1"));
                    } else {
                        printerPort = sim::Widen("USB00" + printer.substr(1));
                        OnPrinterArrival(PrinterPath(printer));
                    }
                    const int cycles = step < 5 ? roll(8) : 300;  // the last: until paid
                    for (int cycle = 0; cycle < cycles && (step < 5 || SpoolerDebtOwed());
                         ++cycle) {
                        StartOwedSpooler();
                        Sleep(800);
                    }
                }
                Sleep(10000);  // a start just made comes up
                return 0;
            },
            nullptr, UINT64_MAX);
        EXPECT_EQ(sim::SpoolerState(), DWORD{SERVICE_RUNNING});
        if (!printerPort.empty()) {
            EXPECT_EQ(sim::Printer(u"Korvane-Q5").port, printerPort);
            EXPECT_EQ(CurrentPort(), printerPort);
        }
    }
    SetUp();  // the seeds' events decide which calls come, the injected failures' included
}

// A new port move counts its refusals and its pace afresh, whatever the move before it left
// behind (there, the slow pace, and meanwhile the spooler started by someone else): its start,
// owed as the spooler stopped too slowly, is asked for on the next cycle, and its one refusal is
// followed by a quick retry.
TEST_F(PortTest, NewPortMoveDoesNotInheritTheRefusalCount) {
    sim::FailCall("StartServiceA", 1, ERROR_SERVICE_REQUEST_TIMEOUT, 4);
    sim::FailCall("StartServiceA", 6, ERROR_SERVICE_REQUEST_TIMEOUT, 1);
    SetQueuePort(u"USB002");
    RunOwedStartCycles(4);  // three quick retries, then the slow pace
    ASSERT_EQ(sim::CallCount("StartServiceA"), 4);
    ASSERT_GT(PortMoveRecord().cyclesToWait, 0);
    // An administrator starts it meanwhile (sc start Spooler).
    const SpoolerService spooler = OpenSpooler();
    ASSERT_NE(StartServiceA(spooler.service, 0, nullptr), 0);
    CloseSpooler(spooler);
    sim::SetSpoolerTimes(11000, 0);
    SetQueuePort(u"USB001");  // no request: the spooler still stopping when the handler gives up
    RunOwedStartCycles(3);
    EXPECT_EQ(sim::CallCount("StartServiceA"), 7);  // refused once, then made
}

// The printer moved again while the spooler was down from the move before (its start refused so
// often that the poller had slowed to its minute pace): once the spooler runs, the poller writes
// the printer's port and stops the spooler so that it takes the write; that restart is a new one,
// whose refused start is asked again on the next cycle, and the queue ends on the printer's port,
// resumed. Every write of the port that the spooler accepts is followed by a stop request.
TEST_F(PortTest, PollerWritesThePortOfAMoveTheSpoolerWasDownForAndRestartsIt) {
    NamePortsAfterPrinters();
    sim::FailCall("StartServiceA", 1, ERROR_SERVICE_DATABASE_LOCKED, 4);
    sim::FailCall("StartServiceA", 6, ERROR_SERVICE_DATABASE_LOCKED, 1);
    static int cyclesAfterTheWrite = 0;
    sim::RunProcess(
        [] {
            ApplyQueueState(PRINTER_CONTROL_PAUSE, PRINTER_STATUS_OFFLINE);
            SetQueuePort(u"USB002");
            for (int cycle = 0; cycle < 3; ++cycle) {  // the quick retries, all refused
                StartOwedSpooler();
                Sleep(800);
            }
            PortMoveOnArrival(PrinterPath("P3"));  // nothing answers: the spooler is down
            while (sim::Printer(u"Korvane-Q5").port != u"USB003" && sim::NowMs() < 200000) {
                StartOwedSpooler();
                Sleep(800);
            }
            for (cyclesAfterTheWrite = 0; SpoolerDebtOwed() && cyclesAfterTheWrite < 10;
                 ++cyclesAfterTheWrite) {
                StartOwedSpooler();
                Sleep(800);
            }
            return 0;
        },
        nullptr, UINT64_MAX);
    const std::vector<std::string> calls = sim::CallsOf({"SetPrinterW", "ControlService"});
    int portWrites = 0;
    for (size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].find("{port ") != std::string::npos) {
            ++portWrites;
            EXPECT_TRUE(i + 1 < calls.size() && Names({calls[i + 1]})[0] == "ControlService") << i;
        }
    }
    EXPECT_EQ(portWrites, 2);
    EXPECT_LE(cyclesAfterTheWrite, 4);
    EXPECT_FALSE(SpoolerDebtOwed());
    EXPECT_EQ(sim::SpoolerState(), DWORD{SERVICE_RUNNING});
    EXPECT_EQ(sim::Printer(u"Korvane-Q5").port, u"USB003");
    EXPECT_FALSE(sim::Printer(u"Korvane-Q5").paused);
}

// While a restart still owes the spooler's start, an arrival's write may not reach the spooler:
// the whole move is owed, and made once it runs. Here the arrival's writes are all refused; the
// start is owed from a restart before, or from the poller's own rewrite of the port, whose stop
// a running dependent refused.
TEST_F(PortTest, ArrivalWhileAStartIsOwedOwesTheWholeMove) {
    for (const bool afterThePollersRewrite : {false, true}) {
        SCOPED_TRACE(afterThePollersRewrite);
        SetUp();
        NamePortsAfterPrinters();
        if (afterThePollersRewrite) {
            sim::AddSpoolerDependent("Fax");
            {
                const std::lock_guard<std::mutex> guard(PortMoveRecord().lock);
                ApplyLocked(DebtEvent::ArrivalUnanswered, PrinterPath("P2"));
            }
            RunOwedStartCycles(1);
            ASSERT_EQ(sim::Printer(u"Korvane-Q5").port, u"USB002");
        } else {
            PortMoveRecord().state = DebtState::StartOwed;
        }
        sim::FailCall("SetPrinterW", static_cast<int>(sim::CallTotals()["SetPrinterW"]) + 1,
                      ERROR_ACCESS_DENIED, 21);
        PortMoveOnArrival(PrinterPath("P3"));
        ASSERT_NE(sim::Printer(u"Korvane-Q5").port, u"USB003");
        RunOwedStartCycles(3);
        EXPECT_EQ(sim::Printer(u"Korvane-Q5").port, u"USB003");
        EXPECT_FALSE(SpoolerDebtOwed());
        TearDown();
    }
}

// The poller's look when it cannot do its part: with no thread to be had it looks on its own
// (the start made all the same); a service manager refused for good ends the debt (not opened
// again every cycle); and while its look is under way, later cycles start no second thread.
TEST_F(PortTest, PollerLooksWithoutAThreadAndEndsOnALastingRefusal) {
    sim::FailCall("StartServiceA", 1, ERROR_SERVICE_DATABASE_LOCKED);
    SetQueuePort(u"USB002");
    sim::FailCall("CreateThread", 1, ERROR_NOT_ENOUGH_MEMORY, sim::kEveryLaterCall);
    RunOwedStartCycles(2);
    EXPECT_EQ(sim::CallCount("StartServiceA"), 2);
    EXPECT_EQ(sim::SpoolerState(), DWORD{SERVICE_RUNNING});
    EXPECT_FALSE(SpoolerDebtOwed());

    SetUp();
    sim::FailCall("StartServiceA", 1, ERROR_SERVICE_DATABASE_LOCKED);
    SetQueuePort(u"USB002");
    sim::FailCall("OpenSCManagerA", 3, ERROR_ACCESS_DENIED, sim::kEveryLaterCall);
    RunOwedStartCycles(4);
    EXPECT_EQ(sim::CallCount("OpenSCManagerA"), 3);  // the restart's two halves, the poller once
    EXPECT_FALSE(SpoolerDebtOwed());
}

// A service manager that cannot be opened for a reason that can clear is tried again each
// second by kq5's stop, within its ceiling.
TEST_F(PortTest, StopRetriesTheServiceManagerWithinItsCeiling) {
    sim::FailCall("OpenSCManagerA", 1, RPC_S_SERVER_UNAVAILABLE, sim::kEveryLaterCall);
    EXPECT_EQ(PaySpoolerDebtBeforeExit(), DWORD{RPC_S_SERVER_UNAVAILABLE});
    EXPECT_EQ(sim::NowMs(), 20000u);
}

// kq5's stop gives up on a spooler that hangs as it stops once its own looks have seen no
// progress for the wait hint; the seconds in which the poller had the spooler in hand (here its
// service manager slow to open) are not held against the spooler.
TEST_F(PortTest, StopCountsALookInAnotherThreadsHandAsProgress) {
    AddQueue();
    sim::SetSpoolerStopHangs(true);
    StopSpooler();
    PortMoveRecord().state = DebtState::StartOwed;
    static DWORD answer = NO_ERROR;
    PollerCycleDuring(
        1500, [] { answer = PaySpoolerDebtBeforeExit(); },
        [] { sim::SetCallDuration("OpenSCManagerA", 3000); });  // in hand until 4.5 s
    EXPECT_EQ(answer, DWORD{ERROR_SERVICE_REQUEST_TIMEOUT});
    EXPECT_GT(sim::NowMs(), 4500u + 2000u);
}

// A refusal for good that the poller meets while kq5's stop waits between its own looks is the
// stop's answer.
TEST_F(PortTest, RefusalForGoodMetByThePollerIsTheStopsAnswer) {
    sim::FailCall("StartServiceA", 1, ERROR_SERVICE_DATABASE_LOCKED, 2);
    sim::FailCall("StartServiceA", 3, ERROR_SERVICE_DISABLED);
    SetQueuePort(u"USB002");
    static DWORD answer = NO_ERROR;
    // The poller's cycle between the stop's first look and its second.
    PollerCycleDuring(500, [] { answer = PaySpoolerDebtBeforeExit(); });
    EXPECT_EQ(answer, DWORD{ERROR_SERVICE_DISABLED});
}

// An arrival that owes a move or answers while the poller's look finishes an earlier one: that
// arrival decides, so the look neither ends the move nor resumes the queue.
TEST_F(PortTest, ArrivalDuringAFinishingLookKeepsWhatIsOwed) {
    for (const DebtEvent arrival : {DebtEvent::ArrivalUnanswered, DebtEvent::ArrivalAnswered}) {
        SetUp();
        ApplyQueueState(PRINTER_CONTROL_PAUSE, PRINTER_STATUS_OFFLINE);
        const auto apply = [](DebtEvent e) {
            const std::lock_guard<std::mutex> guard(PortMoveRecord().lock);
            ApplyLocked(e, PrinterPath("NEW"));
        };
        apply(DebtEvent::MovedSilent);  // the follow-up owed, with its resume
        sim::AtCall("OpenPrinterW", 2, [=] { apply(arrival); });  // the look's port read
        RunOwedStartCycles(1);
        EXPECT_TRUE(sim::Printer(u"Korvane-Q5").paused);
        TearDown();
    }
}

// An arrival on the port the queue already has, while the follow-up of an earlier move is owed:
// nothing to move, and the follow-up still resumes the queue once the spooler runs.
TEST_F(PortTest, ArrivalOnTheQueuesOwnPortKeepsTheOwedResume) {
    NamePortsAfterPrinters();
    ApplyQueueState(PRINTER_CONTROL_PAUSE, PRINTER_STATUS_OFFLINE);
    {
        const std::lock_guard<std::mutex> guard(PortMoveRecord().lock);
        ApplyLocked(DebtEvent::MovedSilent);
    }
    PortMoveOnArrival(PrinterPath("P1"));
    RunOwedStartCycles(1);
    EXPECT_FALSE(SpoolerDebtOwed());
    EXPECT_FALSE(sim::Printer(u"Korvane-Q5").paused);
}

// The poller's start, made while the handler waits for the spooler to stop, is refused for good:
// the handler asks for no start of its own, and a later restart still has the spooler to itself.
TEST_F(PortTest, HandlerAfterThePollersLastingRefusalLeavesTheSpoolerToTheNextRestart) {
    PortMoveRecord().state = DebtState::StartOwed;  // from a restart before; started since
    sim::SetSpoolerTimes(950, 0);
    sim::FailCall("StartServiceA", 1, ERROR_SERVICE_DISABLED);
    // The spooler stopped at 950 ms; the handler looks again at 1000 ms.
    PollerCycleDuring(960, [] {
        RestartSpooler();
        RestartSpooler();
    });
    EXPECT_EQ(sim::CallCount("StartServiceA"), 2);  // the poller's, refused; the next restart's
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
        owedAfter = SpoolerDebtOwed();  // under its lock: the poller's look thread may still run
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
    EXPECT_EQ(took, 20000u);
    EXPECT_EQ(sim::CallCount("StartServiceA"), 1);  // the poller's
}

// While the poller's look waits on its start request, its later cycles start no second thread.
TEST_F(BlockedStartTest, OneLookAtATime) {
    WhileThePollersStartIsBlocked(5000, [] {
        for (int cycle = 0; cycle < 3; ++cycle) {
            StartOwedSpooler();
            Sleep(800);
        }
        return 0;
    });
    EXPECT_EQ(sim::CallCount("CreateThread"), 1);
    EXPECT_EQ(sim::CallCount("StartServiceA"), 1);
}

// A look begun before the handler's latest restart does not decide what that restart owes: the
// restart could not reach the service manager, so its start stays owed though the poller's older
// request came through.
TEST_F(BlockedStartTest, OlderLookDoesNotSettleALaterRestart) {
    sim::FailCall("OpenSCManagerA", 4, RPC_S_SERVER_UNAVAILABLE, 2);  // the restart's two halves
    WhileThePollersStartIsBlocked(2000, [] {
        RestartSpooler();
        Sleep(3000);
        return 0;
    });
    EXPECT_TRUE(StartOwedLocked());
}

}  // namespace
