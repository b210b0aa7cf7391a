// The simulator's scenarios, run whole: the real service program in the simulated Windows.
#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <tuple>

#include "scenario.h"
#include "service/service.h"

namespace {

ScenarioResult RunText(const std::string& text) {
    Scenario scenario;
    std::string error;
    EXPECT_TRUE(ParseScenario(text, scenario, error)) << error;
    return RunScenario(scenario);
}

// The queue on USB001 with its printer there (reporting CODE), unplugged at 1 s and plugged into
// USB002 at 2 s: a port move, with its spooler restart.
std::string Moved(const std::string& code = "0x20") {
    return "queue USB001\nport USB002\nprinter A1B2C3 USB001 " + code +
           "\nat 1 unplug\nat 2 plug 5&99&0&1 USB002\n";
}

// What an event must be, read from its fields.
using Is = std::function<bool(const sim::TimelineEvent&)>;

// An event of type E that `holds` holds for.
template <typename E>
Is Of(std::function<bool(const E&)> holds = [](const E&) { return true; }) {
    return [holds](const sim::TimelineEvent& e) {
        const E* event = As<E>(e);
        return event != nullptr && holds(*event);
    };
}
Is Spooler(ServiceStep step) {
    return Of<ServiceStepEvent>(
        [step](const auto& s) { return s.service == "Spooler" && s.step == step; });
}
// A status report of kq5 in STATE; EXIT: with that exit code.
Is Reported(DWORD state, std::optional<DWORD> exit = std::nullopt) {
    return Of<StatusReportEvent>(
        [=](const auto& s) { return s.state == state && (!exit || s.win32ExitCode == *exit); });
}
Is QueueStatus(DWORD status) {
    return Of<QueueStatusEvent>([status](const auto& s) { return s.status == status; });
}
Is PortMoved(const std::string& from, const std::string& to) {
    return Of<QueuePortEvent>([=](const auto& p) { return p.from == from && p.to == to; });
}
// A debug line of the service that says SAYS, with CODE when given.
Is Line(LineSays says, std::optional<long long> code = std::nullopt) {
    return Of<OutputEvent>([=](const auto& l) {
        return l.channel == Channel::Debug && l.says == says && (!code || l.code == *code);
    });
}
// A scenario's own statement containing PART (its words are all it has).
Is ScenarioSays(const std::string& part) {
    return Of<NoteEvent>([part](const auto& n) {
        return n.source == "scenario" && n.text.find(part) != std::string::npos;
    });
}

// The position of the first event at or after `from` that is `is`, or npos.
size_t Find(const ScenarioResult& r, const Is& is, size_t from = 0) {
    for (size_t i = from; i < r.timeline.size(); ++i) {
        if (is(r.timeline[i])) {
            return i;
        }
    }
    return std::string::npos;
}

// The times of the events that are `is`.
std::vector<uint64_t> TimesOf(const ScenarioResult& r, const Is& is) {
    std::vector<uint64_t> times;
    for (size_t at = Find(r, is); at != std::string::npos; at = Find(r, is, at + 1)) {
        times.push_back(r.timeline[at].timeMs);
    }
    return times;
}

// A spooler asked to stop that takes 12 s, 45 s or 5 minutes: the control handler goes on after
// its bounded wait, and the poller starts the spooler within a cycle of its stop, with one
// request; the printer's ready status then resumes the queue on its new port.
TEST(Scenario, SlowStoppingSpoolerRunsAgainSoonAfterItsStop) {
    for (const int stopSeconds : {12, 45, 300}) {
        SCOPED_TRACE(stopSeconds);
        const ScenarioResult r =
            RunText(Moved() + "spooler-stop-time " + std::to_string(stopSeconds * 1000) + "\nat " +
                    std::to_string(stopSeconds + 10) + " stop\n");
        EXPECT_EQ(r.spoolerState, DWORD{SERVICE_RUNNING});
        EXPECT_FALSE(r.queue.paused);
        EXPECT_EQ(r.queue.status, 0u);
        EXPECT_EQ(r.queue.port, u"USB002");
        const size_t stopped = Find(r, Spooler(ServiceStep::Stopped));
        const size_t started = Find(r, Spooler(ServiceStep::StartRequested));
        ASSERT_NE(stopped, std::string::npos);
        ASSERT_NE(started, std::string::npos);
        EXPECT_EQ(r.timeline[stopped].timeMs, 2000u + stopSeconds * 1000u);
        EXPECT_LE(r.timeline[started].timeMs, r.timeline[stopped].timeMs + 800);
        EXPECT_EQ(Find(r, Spooler(ServiceStep::StartRequested), started + 1), std::string::npos);
        EXPECT_EQ(Find(r, Of<StartRefusedEvent>()), std::string::npos);
        EXPECT_LE(r.longestControlMs, 12000u);
    }
}

// A stop while the restart still owes the spooler its start waits for it, bounded, reporting its
// progress, and ends saying why when the spooler does not run; with nothing owed, and for a
// shutdown, the stop is immediate. Each case: the scenario after the port move, when the stop is
// sent, whether it waits, when after the stop it reports STOPPED, with which exit code, and the
// spooler's state.
TEST(Scenario, StopWithAStartOwedWaitsBoundedAndSaysWhy) {
    for (const auto& [scenario, stopAtMs, waits, stoppedAfterMs, exitCode, spooler] :
         std::vector<std::tuple<std::string, uint64_t, bool, uint64_t, DWORD, DWORD>>{
             {"spooler-stop-time 45000\nat 30 stop\nend 60\n", 30000, true, 18000, 0,
              SERVICE_RUNNING},
             {"at 30 stop\n", 30000, false, 0, 0, SERVICE_RUNNING},
             {"spooler-stop-time 45000\nat 30 shutdown\nend 60\n", 30000, false, 0, 0,
              SERVICE_STOP_PENDING},
             // It stops counting: given up once its checkpoint has not moved for its wait hint.
             {"spooler-stop-hangs\nat 20 stop\nend 60\n", 20000, true, 3000,
              ERROR_SERVICE_REQUEST_TIMEOUT, SERVICE_STOP_PENDING},
             // It would stop 27 s after the stop: the wait ends at its ceiling.
             {"spooler-stop-time 45000\nat 20 stop\nend 60\n", 20000, true, 20000,
              ERROR_SERVICE_REQUEST_TIMEOUT, SERVICE_STOP_PENDING},
             // The start request does not return for 40 s: the stop does not wait for it.
             {"spooler-stop-time 15000\nspooler-start-blocks 40000\nat 16 stop\nend 90\n", 16000,
              true, 21000, ERROR_SERVICE_REQUEST_TIMEOUT, SERVICE_START_PENDING},
             // No right to the service manager; one that answers again after three failed opens.
             {"spooler-stop-time 45000\nat 19.95 fail OpenSCManagerA 5 1000\nat 19.95 stop\nend "
              "60\n",
              19950, true, 0, ERROR_ACCESS_DENIED, SERVICE_STOP_PENDING},
             {"spooler-stop-time 20000\nat 19.95 fail OpenSCManagerA 1722 3\nat 19.95 stop\nend "
              "60\n",
              19950, true, 3000, 0, SERVICE_RUNNING},
             // The start refused for good, or again and again for a reason that can clear.
             {"spooler-stop-time 25000\nat 20 fail StartServiceA 1058\nat 20 stop\nend 60\n", 20000,
              true, 7000, ERROR_SERVICE_DISABLED, SERVICE_STOPPED},
             {"spooler-stop-time 25000\nat 20 fail StartServiceA 1053 100\nat 20 stop\nend 60\n",
              20000, true, 10000, ERROR_SERVICE_REQUEST_TIMEOUT, SERVICE_STOPPED},
             // A shutdown during the wait: the machine is going down, stopped at once.
             {"spooler-stop-time 45000\nat 30 stop\nat 32.5 shutdown\nend 60\n", 30000, true, 2500,
              0, SERVICE_STOP_PENDING},
         }) {
        SCOPED_TRACE(scenario);
        const ScenarioResult r = RunText(Moved("0x84") + scenario);
        // The handler returns at once: the waiting is done by threads of the stop's own.
        EXPECT_LE(r.longestStopMs, kStopHandlingBoundMs);
        const std::vector<SERVICE_STATUS> reports = sim::StatusReports();
        ASSERT_FALSE(reports.empty());
        EXPECT_EQ(reports.back().dwCurrentState, DWORD{SERVICE_STOPPED});
        EXPECT_EQ(reports.back().dwWin32ExitCode, exitCode);
        EXPECT_EQ(r.spoolerState, spooler);
        const std::vector<uint64_t> stopped = TimesOf(r, Reported(SERVICE_STOPPED));
        ASSERT_EQ(stopped.size(), 1u);
        EXPECT_EQ(stopped[0], stopAtMs + stoppedAfterMs);
        // The progress: a report at the stop and at least every second, the checkpoint one up
        // each time, a wait hint that covers the next.
        const std::vector<uint64_t> pending = TimesOf(r, Reported(SERVICE_STOP_PENDING));
        EXPECT_EQ(!pending.empty(), waits);
        uint64_t previous = stopAtMs;
        DWORD checkPoint = 0;
        for (const uint64_t at : pending) {
            EXPECT_LE(at - previous, 1000u);
            previous = at;
        }
        for (const SERVICE_STATUS& report : reports) {
            if (report.dwCurrentState == SERVICE_STOP_PENDING) {
                EXPECT_EQ(report.dwCheckPoint, ++checkPoint);
                EXPECT_GE(report.dwWaitHint, 2000u);
            }
        }
        EXPECT_LE(stopped[0] - previous, 1000u);
        if (exitCode == 0 && spooler == SERVICE_RUNNING) {
            // Nothing lost: the port move's follow-up was made too.
            EXPECT_FALSE(r.queue.paused);
            EXPECT_EQ(r.queue.port, u"USB002");
        }
    }
}

// After a refusal that can clear, three quick retries on the next poller cycles, then one a
// minute until the spooler runs; a lasting refusal ends the debt at once. Every request and the
// service manager's answer are on the timeline. Each case: the refusal, how many, the requests
// made in all and the spooler's state at the end.
TEST(Scenario, RefusedStartsBackOff) {
    for (const auto& [error, refusals, requests, spooler] :
         std::vector<std::tuple<DWORD, int, size_t, DWORD>>{
             {ERROR_SERVICE_REQUEST_TIMEOUT, 8, 9, SERVICE_RUNNING},
             {ERROR_SERVICE_DATABASE_LOCKED, 2, 3, SERVICE_RUNNING},
             {ERROR_SERVICE_DISABLED, 1, 1, SERVICE_STOPPED}}) {
        SCOPED_TRACE(error);
        const ScenarioResult r =
            RunText(Moved() + "spooler-stop-time 15000\nat 16 fail StartServiceA " +
                    std::to_string(error) + " " + std::to_string(refusals) + "\nat 330 stop\n");
        const std::vector<uint64_t> times = TimesOf(r, Spooler(ServiceStep::StartRequested));
        ASSERT_EQ(times.size(), requests);
        const Is refused = Of<StartRefusedEvent>(
            [&](const auto& s) { return s.service == "Spooler" && s.error == error; });
        EXPECT_EQ(TimesOf(r, refused).size(), static_cast<size_t>(refusals));
        for (size_t i = 1; i < times.size(); ++i) {
            const uint64_t gap = times[i] - times[i - 1];
            if (i <= 3) {
                EXPECT_EQ(gap, 800u) << i;
            } else {
                EXPECT_GE(gap, 60000u) << i;
                EXPECT_LE(gap, 61000u) << i;
            }
        }
        EXPECT_EQ(r.spoolerState, spooler);
    }
}

// Status mirroring keeps its pace while a start is owed: the poller only looks, on a thread of
// its own, and never waits for the spooler or for the handler at work on the same debt, also
// when a start request does not return for 40 s.
TEST(Scenario, StatusMirroringKeepsItsPaceWhileAStartIsOwed) {
    for (const std::string rest :
         {"spooler-stop-time 45000\nend 70\n",
          "spooler-stop-time 15000\nspooler-start-blocks 40000\nend 70\n",
          "spooler-stop-time 15000\nspooler-start-blocks 40000\nat 30 stop\nend 70\n",
          "spooler-stop-time 45000\nat 30 stop\nend 70\n"}) {
        SCOPED_TRACE(rest);
        const ScenarioResult r = RunText(Moved() + rest);
        // From the end of the arrival's handling (13.6 s) on, a status line every 800 ms.
        std::vector<uint64_t> lines = TimesOf(r, Line(LineSays::Status));
        std::erase_if(lines, [](uint64_t at) { return at < 14000; });
        ASSERT_GE(lines.size(), 10u);
        for (size_t i = 1; i < lines.size(); ++i) {
            EXPECT_EQ(lines[i] - lines[i - 1], 800u) << lines[i];
        }
    }
}

// Each scenario line reaches the simulated machine: the service meets what the line describes.
// Each case: the scenario after `start`, the event it leads to, not before when, or that no such
// event comes. (The registry lines' cases are registry-faults.kq5's golden.)
TEST(Scenario, EveryLineReachesTheMachine) {
    const std::string start = "queue USB001\nport USB002\nprinter P1 USB001 0x20\n";
    const std::string move = "at 1 plug P2 USB002\nat 3 stop\n";
    for (const auto& [scenario, is, notBeforeMs, happens] :
         std::vector<std::tuple<std::string, Is, uint64_t, bool>>{
             // Windows faults.
             {"fail OpenPrinterW 1 5\nat 1 stop\n", Line(LineSays::OpenError, 5), 0, true},
             {"at 1 fail OpenPrinterW 5\nat 2 stop\n", Line(LineSays::OpenError, 5), 1000, true},
             {"fail OpenPrinterW 9 5\nat 1 stop\n", ScenarioSays("no call 9 of OpenPrinterW came"),
              0, true},
             {"not-a-service\n", Line(LineSays::MainError, 1063), 0, true},
             {"not-an-administrator\nat 1 stop\n", Line(LineSays::OpenError, 5), 0, true},
             {"at 1 read-returns 0x10 1 0 0x04 0\nat 3 stop\n",
              QueueStatus(PRINTER_STATUS_DOOR_OPEN), 1000, true},
             {"spooler-start-time 700\n" + move, Spooler(ServiceStep::Running), 2000, true},
             {"queue-null-port\nat 1 plug P1 USB001\nat 3 stop\n", PortMoved("USB001", "USB001"),
              1000, true},
             {"queue-grows\nat 1 stop\n", Line(LineSays::ReadFailure), 0, true},
             {"control-at-startup stop\n", Reported(SERVICE_STOPPED), 0, true},
         }) {
        SCOPED_TRACE(scenario);
        const ScenarioResult r = RunText(start + scenario);
        const size_t at = Find(r, is);
        if (!happens) {
            EXPECT_EQ(at, std::string::npos);
            continue;
        }
        ASSERT_NE(at, std::string::npos);
        EXPECT_GE(r.timeline[at].timeMs, notBeforeMs);
    }
}

TEST(Scenario, ParserNamesTheLineOfAnError) {
    Scenario s;
    std::string error;
    const std::string noFailure = "' is not a Win32 function the simulation can make fail";
    for (const auto& [text, why] : std::vector<std::pair<std::string, std::string>>{
             {"queue USB001\nat 2 dance\n", "line 2: unknown event 'dance'"},
             {"at 5 stop\nat 4 stop\n", "line 2: events must be in time order"},
             {"queue USB001\nprinter P1 USB001\n",
              "line 2: 'printer' takes SERIAL PORT CODE (0..255)"},
             {"fail OpenPrinter 1 5\n", "line 1: 'OpenPrinter" + noFailure},
             {"at 1 fail Sleep 5\n", "line 1: 'Sleep" + noFailure}}) {
        error.clear();
        EXPECT_FALSE(ParseScenario(text, s, error)) << text;
        EXPECT_EQ(error, why);
    }
    // Refused with a reason of its own.
    for (const std::string text :
         {"at x stop\n", "at 1 status 300\n", "printer P1\n", "spooler-stop-time -5\n",
          "fail OpenPrinterW 0 5\n", "at 1 fail OpenPrinterW\n", "registry-missing A | B | C\n",
          "registry A | | C\n", "control-at-startup pause\n", "at 1 read-returns 0x100\n"}) {
        error.clear();
        EXPECT_FALSE(ParseScenario(text, s, error)) << text;
        EXPECT_NE(error, "") << text;
    }
}

// kq5 started again once it has stopped: a new process that keeps nothing of the old one but
// what Windows keeps: the old device handle is closed, so the new poller can open the printer (one
// handle at a time) and mirror it. A start while it runs is refused; a move while it is not
// running still happens to the machine, and is not followed.
TEST(Scenario, StartRunsKq5AgainAsANewProcess) {
    const ScenarioResult r = RunText(
        "queue USB001\nport USB002\nprinter A1 USB001 0x20\nat 2 stop\nat 5 start\nat 6 start\n"
        "at 7 status 0x04\nat 8 stop\nat 9 unplug\nat 9.5 plug B2 USB002\nend 12\n");
    EXPECT_EQ(TimesOf(r, Of<ServiceStartedEvent>()).size(), 2u);
    EXPECT_NE(Find(r, ScenarioSays("start refused, kq5 is already running")), std::string::npos);
    ASSERT_EQ(r.processes.size(), 1u);
    EXPECT_EQ(r.processes[0].exitCode, 0);
    EXPECT_EQ(r.processes[0].openHandles, std::vector<std::string>{"device#1"});
    EXPECT_TRUE(r.queue.paused);
    EXPECT_EQ(r.queue.status, DWORD{PRINTER_STATUS_DOOR_OPEN});
    EXPECT_EQ(r.queue.port, u"USB001");
    EXPECT_NE(Find(r, ScenarioSays("printer B2 plugged in")), std::string::npos);
    EXPECT_EQ(r.exitCode, 0);
}

}  // namespace
