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

TEST(Scenario, SameScenarioGivesTheSameTimelineEveryTime) {
    const std::string first = FormatTimeline(RunText(DefaultScenarioText()));
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(FormatTimeline(RunText(DefaultScenarioText())), first);
    }
}

TEST(Scenario, RemovedPrinterKeepsTheQueueOfflineUntilItComesBack) {
    const ScenarioResult r = RunText(
        "queue USB001\nprinter P1 USB001 0x20\n"
        "at 1 unplug\nat 3 status 0x04\nat 5 plug P1 USB001\nat 8 stop\n");
    const size_t offline = Find(r, "queue", "PRINTER_STATUS_OFFLINE");
    ASSERT_NE(offline, std::string::npos);
    // Nothing touches the queue while the printer is away: the door status comes after the
    // printer is back, and the same port needs no spooler restart.
    const size_t door = Find(r, "queue", "DOOR_OPEN", offline);
    ASSERT_NE(door, std::string::npos);
    EXPECT_GE(r.timeline[door].timeMs, 5000u);
    EXPECT_EQ(Find(r, "spooler", "stop requested"), std::string::npos);
    EXPECT_TRUE(r.queue.paused);
    EXPECT_EQ(r.queue.status, static_cast<DWORD>(PRINTER_STATUS_DOOR_OPEN));
}

TEST(Scenario, ConsoleStartWritesOneLineAndExits) {
    const ScenarioResult r = RunText("queue USB001\nprinter P1 USB001 0x04\nnot-a-service\n");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(Find(r, "debug", "\" MainError:1063\\n\""), std::string::npos);
    EXPECT_EQ(Find(r, "queue", ""), std::string::npos);
    EXPECT_FALSE(r.queue.paused);
}

TEST(Scenario, MissingQueueIsReportedAndTheServiceRunsOn) {
    const ScenarioResult r = RunText("queue none\nprinter P1 USB001 0x04\nat 2 stop\n");
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(Find(r, "debug", "0x709"), std::string::npos);
    EXPECT_NE(Find(r, "stdout", "\\xb4\\xf2"), std::string::npos);
    EXPECT_NE(Find(r, "service", "SERVICE_STOPPED"), std::string::npos);
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
        EXPECT_LE(r.longestControlMs, 12000u);  // later controls are never held up for long
        ++files;
    }
    EXPECT_GE(files, 5);
}

TEST(Scenario, ParserNamesTheLineOfAnError) {
    Scenario s;
    std::string error;
    EXPECT_FALSE(ParseScenario("queue USB001\nat 2 dance\n", s, error));
    EXPECT_EQ(error, "line 2: unknown event 'dance'");
    EXPECT_FALSE(ParseScenario("at 5 stop\nat 4 stop\n", s, error));
    EXPECT_EQ(error, "line 2: events must be in time order");
    EXPECT_FALSE(ParseScenario("at x stop\n", s, error));
    EXPECT_FALSE(ParseScenario("at 1 status 300\n", s, error));
    EXPECT_FALSE(ParseScenario("printer P1\n", s, error));
    EXPECT_FALSE(ParseScenario("spooler-stop-time -5\n", s, error));
    EXPECT_TRUE(ParseScenario("# only a comment\n\n", s, error));
    // '#' inside a word is text: registry keys are full of them.
    ASSERT_TRUE(ParseScenario("registry A\\#\\B | Port Description | x  # comment\n", s, error))
        << error;
    EXPECT_EQ(s.registry.at(0).key, "A\\#\\B");
    EXPECT_EQ(s.registry.at(0).text, "x");
}

}  // namespace
