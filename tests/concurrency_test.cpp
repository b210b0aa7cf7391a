// The service's threads running at once, as on Windows: the poller's queue operations overlap the
// control handler's port rewrite and spooler restart, and, the spooler being slow to stop, the
// handler's start request overlaps the poller's; a stop's wait overlaps both. Run under
// ThreadSanitizer by test.sh.
#include <gtest/gtest.h>

#include "scenario.h"

namespace {

// The scenario run three times on real threads; every run must stop (exit 0), leave no handle
// open but the devices' ones, and leave the queue on `port`.
std::vector<ScenarioResult> RunThriceAndStop(const std::string& text, const std::u16string& port) {
    Scenario scenario;
    std::string error;
    EXPECT_TRUE(ParseScenario(text, scenario, error)) << error;
    std::vector<ScenarioResult> runs;
    for (int run = 0; run < 3; ++run) {
        runs.push_back(RunScenario(scenario, sim::Threads::Concurrent));
        const ScenarioResult& r = runs.back();
        EXPECT_EQ(r.exitCode, 0) << "the service did not stop (-2: it hung)";
        EXPECT_EQ(r.queue.port, port);
        for (const std::string& handle : r.openHandles) {
            EXPECT_EQ(handle.rfind("device#", 0), 0u) << handle;
        }
    }
    return runs;
}

TEST(Concurrency, PollerAndHandlerOverlapThroughAPortMove) {
    const auto runs = RunThriceAndStop(
        "queue USB001\nport USB002\nspooler-stop-time 1500\nprinter P1 USB001 0x20\n"
        "at 1 status 0x04\nat 2 other-device M1\nat 3 status 0x20\n"
        "at 4 unplug\nat 5 plug P2 USB002\nat 6 status 0x80\nat 7 plug P1 USB001\n"
        "at 9 stop\n",
        u"USB001");
    for (const ScenarioResult& r : runs) {
        EXPECT_EQ(r.spoolerState, static_cast<DWORD>(SERVICE_RUNNING));
        for (const sim::TimelineEvent& event : r.timeline) {
            // Refused: a request made while another was in flight, or while it was stopping.
            EXPECT_EQ(As<StartRefusedEvent>(event), nullptr) << event.timeMs;
        }
    }
}

// A stop while the start is owed: the stop's wait on its own thread, the poller's look on its
// own, and the stop's progress reported from a third, all at once. Simulated time races ahead
// here, so only that the service stops, and cleanly, is held.
TEST(Concurrency, StopWhileAStartIsOwed) {
    RunThriceAndStop(
        "queue USB001\nport USB002\nspooler-stop-time 12000\nprinter P1 USB001 0x84\n"
        "at 1 unplug\nat 1.5 plug P2 USB002\nat 13 stop\n",
        u"USB002");
}

}  // namespace
