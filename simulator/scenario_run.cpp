// Running a scenario: the real service program in the machine, the events driven beside it, kq5
// started again as a new process where the scenario says so, and what the run left.
#include <algorithm>
#include <optional>

#include "common/service_state.h"
#include "scenario_parts.h"
#include "service/service.h"

namespace {

// kq5's process has ended with events still to come: the machine goes on without it until the
// service manager starts it again, as a new process that keeps nothing of the old one but what
// Windows keeps (the queue, the spooler, the registry, the devices). False when no start comes
// before the events run out.
bool RunUntilTheServiceStartsAgain(Driver& driver) {
    sim::EndProcess();
    driver.inProcess = false;
    RunEvents(driver);
    const Scenario& scenario = driver.scenario;
    if (driver.next >= scenario.events.size()) {
        sim::WaitUntil(std::max(scenario.endMs, sim::NowMs()));
        return false;
    }
    const ScenarioEvent& start = scenario.events[driver.next++];
    sim::WaitUntil(start.atMs);
    if (driver.beforeEvent) {
        driver.beforeEvent(start);
    }
    driver.Say("service", "service manager starts kq5svc.exe again, a new process");
    ResetServiceState();
    driver.inProcess = true;
    return true;
}

// What the run left: the timeline, the queue, the Spooler, and the last process's end (`ended`,
// when it ended before the run did; else it is still running now).
void CollectResult(const Driver& driver, const std::optional<ProcessEnd>& ended,
                   ScenarioResult& result) {
    result.timeline = sim::Timeline();
    for (const std::string& undelivered : sim::UndeliveredInjections()) {
        result.timeline.push_back(sim::TimelineEvent{
            sim::NowMs(), NoteEvent{"scenario", undelivered + ": that failure never happened"}});
    }
    result.queue = sim::Printer(kQueueName);
    result.spoolerState = sim::SpoolerState();
    result.openHandles = ended ? ended->openHandles : sim::OpenHandles();
    if (ended) {
        result.exitCode = ended->exitCode;
    }
    result.printer = driver.printer;
    result.actions = driver.actions;
    result.longestControlMs = sim::LongestControlMs();
    result.longestStopMs = sim::LongestStopMs();
}

}  // namespace

ScenarioResult RunScenario(const Scenario& scenario, sim::Threads threads,
                           const std::function<void()>& arrange,
                           const std::function<void(const ScenarioEvent&)>& beforeEvent) {
    SetUpMachine(scenario);
    if (arrange) {
        arrange();
    }
    ResetServiceState();
    Driver driver{scenario,
                  scenario.printerPresent ? scenario.printerSerial : "",
                  scenario.printerCode,
                  scenario.printerPresent,
                  {},
                  {},
                  0,
                  true,
                  beforeEvent};
    driver.printer.push_back(PrinterChange{0, scenario.printerPresent, scenario.printerCode});
    ScenarioResult result;
    std::optional<ProcessEnd> ended;  // the last process, when it ended before the run did
    const uint64_t endMs = threads == sim::Threads::Concurrent ? UINT64_MAX : scenario.endMs;
    for (;;) {
        result.exitCode = sim::RunProcess(
            ServiceProgramMain, [&driver] { RunEvents(driver); }, endMs, threads);
        if (driver.next >= scenario.events.size() || threads == sim::Threads::Concurrent) {
            break;
        }
        ended = ProcessEnd{sim::NowMs(), result.exitCode, sim::OpenHandles()};
        if (!RunUntilTheServiceStartsAgain(driver)) {
            break;
        }
        result.processes.push_back(*ended);
        ended.reset();
    }
    CollectResult(driver, ended, result);
    return result;
}
