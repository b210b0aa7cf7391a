// The simulator's scenarios, run whole: the real service program in the simulated Windows.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "scenario.h"

namespace {

ScenarioResult RunText(const std::string& text) {
    Scenario scenario;
    std::string error;
    EXPECT_TRUE(ParseScenario(text, scenario, error)) << error;
    return RunScenario(scenario);
}

// The position of the first event at or after `from` whose text contains `part`, or npos.
size_t Find(const ScenarioResult& r, const std::string& source, const std::string& part,
            size_t from = 0) {
    for (size_t i = from; i < r.timeline.size(); ++i) {
        if (r.timeline[i].source == source && r.timeline[i].text.find(part) != std::string::npos) {
            return i;
        }
    }
    return std::string::npos;
}

TEST(Scenario, DefaultScenarioFollowsThePrinterAndEndsCleanly) {
    const ScenarioResult r = RunText(DefaultScenarioText());
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(r.queue.exists);
    EXPECT_FALSE(r.queue.paused);
    EXPECT_EQ(r.queue.status, 0u);
    EXPECT_EQ(r.queue.port, u"USB002");
    EXPECT_EQ(r.spoolerState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_EQ(r.openHandles,
              std::vector<std::string>{"device#4"});  // owned by the poller to the end

    // The story, in order.
    size_t at = 0;
    for (const auto& [source, part] : std::vector<std::pair<std::string, std::string>>{
             {"service", "status SERVICE_RUNNING"},
             {"queue", "status PRINTER_STATUS_DOOR_OPEN"},
             {"queue", "resumed"},
             {"queue", "status PRINTER_STATUS_PAPER_OUT"},
             {"queue", "resumed"},
             {"scenario", "MOUSE01"},
             {"queue", "status PRINTER_STATUS_OFFLINE"},
             {"queue", "port USB001 -> USB002"},
             {"spooler", "Spooler stop requested"},
             {"spooler", "Spooler stopped"},
             {"spooler", "Spooler start requested"},
             {"queue", "resumed"},
             {"service", "status SERVICE_STOPPED"},
             {"debug", "MainError:"}}) {
        at = Find(r, source, part, at);
        ASSERT_NE(at, std::string::npos) << source << ": " << part;
    }
    // The door opens at 3.0 s: the poller pauses the queue on its next cycle, at 3.2 s.
    EXPECT_EQ(r.timeline[Find(r, "queue", "DOOR_OPEN")].timeMs, 3200u);
    // The slow spooler is started only after it has stopped.
    EXPECT_EQ(Find(r, "spooler", "start refused"), std::string::npos);
    // The same scenario gives the same timeline every time.
    EXPECT_EQ(FormatTimeline(RunText(DefaultScenarioText())), FormatTimeline(r));
}

// A spooler asked to stop that takes 12 s, 45 s or 5 minutes: the control handler goes on after
// its bounded wait, and the poller starts the spooler within a cycle of its stop, with one
// request; the printer's ready status then resumes the queue on its new port.
TEST(Scenario, SlowStoppingSpoolerRunsAgainSoonAfterItsStop) {
    for (const int stopSeconds : {12, 45, 300}) {
        SCOPED_TRACE(stopSeconds);
        const ScenarioResult r = RunText(
            "queue USB001\nport USB002\nspooler-stop-time " + std::to_string(stopSeconds * 1000) +
            "\nprinter A1B2C3 USB001 0x20\nat 1.0 unplug\nat 2.0 plug 5&99&0&1 USB002\nat " +
            std::to_string(stopSeconds + 10) + " stop\n");
        EXPECT_EQ(r.spoolerState, static_cast<DWORD>(SERVICE_RUNNING));
        EXPECT_FALSE(r.queue.paused);
        EXPECT_EQ(r.queue.status, 0u);
        EXPECT_EQ(r.queue.port, u"USB002");
        const size_t stopped = Find(r, "spooler", "Spooler stopped");
        const size_t started = Find(r, "spooler", "Spooler start requested");
        ASSERT_NE(stopped, std::string::npos);
        ASSERT_NE(started, std::string::npos);
        EXPECT_EQ(r.timeline[stopped].timeMs, 2000u + stopSeconds * 1000u);
        EXPECT_LE(r.timeline[started].timeMs, r.timeline[stopped].timeMs + 800);
        EXPECT_EQ(Find(r, "spooler", "Spooler start requested", started + 1), std::string::npos);
        EXPECT_EQ(Find(r, "spooler", "start refused"), std::string::npos);
        EXPECT_LE(r.longestControlMs, 12000u);
    }
}

TEST(Scenario, EveryShippedScenarioRunsToAStopAndReleasesEverything) {
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KQ5_SCENARIO_DIR)) {
        std::ifstream file(entry.path());
        std::stringstream text;
        text << file.rdbuf();
        SCOPED_TRACE(entry.path().filename().string());
        const ScenarioResult r = RunText(text.str());
        EXPECT_EQ(r.exitCode, 0);
        EXPECT_NE(Find(r, "service", "SERVICE_STOPPED"), std::string::npos);
        for (const std::string& handle : r.openHandles) {
            EXPECT_EQ(handle.rfind("device#", 0), 0u) << handle;
        }
        EXPECT_EQ(r.spoolerState, static_cast<DWORD>(SERVICE_RUNNING));
        // Later controls are never held up for long; a stop with a start owed waits 20 s at most.
        EXPECT_LE(r.longestControlMs, 20000u);
        ++files;
    }
    EXPECT_GE(files, 5);
}

// Each scenario line reaches the simulated machine: the service meets what the line describes.
TEST(Scenario, EveryLineReachesTheMachine) {
    const std::string ports =
        "SYSTEM\\ControlSet001\\Control\\Print\\Monitors\\USB Monitor\\Ports\\";
    const std::string p1Description =
        "registry SYSTEM\\ControlSet001\\Control\\DeviceClasses\\"
        "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\\##?#usb#vid_0483&pid_5741#P1#"
        "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\\#\\Device Parameters | Port Description | ";
    const std::string start = "queue USB001\nport USB002\nprinter P1 USB001 0x20\n";
    const std::string move = "at 1 plug P2 USB002\nat 3 stop\n";
    const struct {
        std::string scenario;
        std::string source, part;  // the first event with it comes
        uint64_t notBeforeMs;      // not before this
        bool happens;
    } kCases[] = {
        // Registry lines win over what the printer registers.
        {start + p1Description + std::string(200, 'x') + "\nat 1 stop\n", "debug",
         "\"GetLastError:234\\r\\n\"", 0, true},
        {start + "registry-missing " + ports + "USB002 | Device Id\n" + move, "debug",
         "\"GetLastError:2\\r\\n\"", 1000, true},
        {start + "registry " + ports + "USB002 | Device Id | USB\\VID_0483&PID_5741\\P3\n" + move,
         "queue", "port USB001 -> USB002", 0, false},
        // Windows faults.
        {start + "fail OpenPrinterW 1 5\nat 1 stop\n", "debug", "returns: 0x5\\n", 0, true},
        {start + "at 1 fail OpenPrinterW 5\nat 2 stop\n", "debug", "returns: 0x5\\n", 1000, true},
        {start + "fail OpenPrinterW 9 5\nat 1 stop\n", "scenario", "no call 9 of OpenPrinterW came",
         0, true},
        {start + "not-a-service\n", "debug", "\" MainError:1063\\n\"", 0, true},
        {start + "not-an-administrator\nat 1 stop\n", "debug", "returns: 0x5\\n", 0, true},
        {start + "at 1 read-returns 0x10 1 0 0x04 0\nat 3 stop\n", "queue",
         "PRINTER_STATUS_DOOR_OPEN", 1000, true},
        {start + "spooler-start-time 700\n" + move, "spooler", "Spooler running", 2000, true},
        {start + "queue-null-port\nat 1 plug P1 USB001\nat 3 stop\n", "queue",
         "port USB001 -> USB001", 1000, true},
        {start + "queue-grows\nat 1 stop\n", "debug", "\\xbb\\xf1\\xb5\\xc3", 0, true},
        {start + "control-at-startup stop\n", "service", "SERVICE_STOPPED", 0, true},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.scenario);
        const ScenarioResult r = RunText(c.scenario);
        const size_t at = Find(r, c.source, c.part);
        if (!c.happens) {
            EXPECT_EQ(at, std::string::npos);
            continue;
        }
        ASSERT_NE(at, std::string::npos);
        EXPECT_GE(r.timeline[at].timeMs, c.notBeforeMs);
    }
}

TEST(Scenario, TimelineFoldsRepeatedLinesAndGroups) {
    ScenarioResult r;
    r.timeline = {{0, "debug", "A"},     {0, "debug", "B"},    {0, "stdout", "C"},
                  {800, "debug", "B"},   {800, "stdout", "C"}, {1600, "debug", "B"},
                  {1600, "stdout", "C"}, {2000, "debug", "D"}, {2800, "debug", "D"},
                  {3600, "debug", "B"}};
    const std::string text = FormatTimeline(r);
    EXPECT_EQ(text.substr(0, text.find("\nFinal state")),
              "   0.000s  debug    A\n"
              "   0.000s  debug    B\n"
              "   0.000s  stdout   C\n"
              "           ... these 2 lines 2 more times, the last at    1.600s\n"
              "   2.000s  debug    D\n"
              "           ... 1 more, the last at    2.800s\n"
              "   3.600s  debug    B\n");
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
             {"dance\n", "line 1: unknown statement 'dance'"},
             {"fail OpenPrinter 1 5\n", "line 1: 'OpenPrinter" + noFailure},
             {"at 1 fail Sleep 5\n", "line 1: 'Sleep" + noFailure},
             {"at x stop\n", ""},
             {"at 1 status 300\n", ""},
             {"printer P1\n", ""},
             {"spooler-stop-time -5\n", ""},
             {"fail OpenPrinterW 0 5\n", ""},
             {"at 1 fail OpenPrinterW\n", ""},
             {"registry-missing A | B | C\n", ""},
             {"registry A | | C\n", ""},
             {"control-at-startup pause\n", ""},
             {"at 1 read-returns 0x100\n", ""}}) {
        error.clear();
        EXPECT_FALSE(ParseScenario(text, s, error)) << text;
        EXPECT_TRUE(why.empty() ? !error.empty() : error == why) << error;
    }
    EXPECT_TRUE(ParseScenario("# only a comment\n\n", s, error));
    // '#' inside a word is text: registry keys are full of them.
    ASSERT_TRUE(ParseScenario("registry A\\#\\B | Port Description | x  # comment\n", s, error))
        << error;
    EXPECT_EQ(s.registry.at(0).key, "A\\#\\B");
    EXPECT_EQ(s.registry.at(0).text, "x");
}

}  // namespace
