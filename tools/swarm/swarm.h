// The swarm: random simulated days of plugging, faults and stops, each generated from a seed as a
// scenario file, run in the simulated Windows and checked against what kq5 promises.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "scenario.h"

// Bounds the checks hold the service to.
// How long the control handler may take to answer a control other than a stop or a shutdown
// (those are answered within kStopHandlingBoundMs, 100 ms). An arrival that moves the port holds
// the handler for the restart's pauses, its wait for a stopping spooler (10 s) and a start request
// that returns only once the spooler's process has come up (the simulation's slowest, 40 s):
// 300 + 10000 + 40000 + 1300 ms at most. The same bound holds a stop that could make no thread
// for its wait and so pays the debt in the handler.
inline constexpr uint64_t kControlAnswerBoundMs = 51600;
// From the handler taking a stop (or shutdown) to SERVICE_STOPPED.
inline constexpr uint64_t kStopEndBoundMs = 21000;
// Two poller cycles and the work of one: the queue follows the printer's status within this.
inline constexpr uint64_t kFollowBoundMs = 2400;
// The quiet end of every run: no events and no faults, long enough for the slowest spooler stop
// (45 s), the back-off's next try (a minute) and a start.
inline constexpr uint64_t kQuietTailMs = 150000;

// A broken invariant: its name and what was seen.
struct Broken {
    std::string invariant;
    std::string detail;
};

// What a check saw broken: nothing when its invariant holds.
using Finding = std::optional<std::string>;
// The checks' own types (checks.h), in a namespace of their own: the programs that link the
// swarm have types of the same names.
namespace swarm {
struct Moment;  // a moment of a run
struct RunEnd;  // the end of a run
}  // namespace swarm

// An invariant: its name, why it matters, when it is not promised, and its check, made at every
// event of a run and at its end (duringRun) or at its end only (atEnd).
struct Invariant {
    const char* name;
    const char* reason;
    const char* notPromised;
    Finding (*duringRun)(const swarm::Moment&);
    Finding (*atEnd)(const swarm::RunEnd&);
};
const std::vector<Invariant>& Invariants();
// The invariants as the Markdown table that docs/swarm.md shows: kq5swarm --invariants.
std::string InvariantsTable();

// A random scenario from `seed`, about `minutes` of simulated time before its quiet tail: the
// same seed always gives the same scenario.
Scenario GenerateScenario(uint64_t seed, int minutes);

// The simulated time a scenario text covers, in ms (0 when it does not parse).
uint64_t ScenarioSpanMs(const std::string& text);

// Runs the scenario (recording on, threads taking turns) and checks every invariant during the
// run and at its end. A scenario that does not parse is itself one broken "scenario-parses".
std::vector<Broken> CheckScenario(const std::string& text);

// Drops one statement at a time (an event, a fault, a spooler quirk, the printer, a header line)
// for as long as the run of the printed scenario still breaks `invariant`, until none can go: a
// scenario a person can read. The queue, its ports and the end stay.
Scenario ShrinkScenario(Scenario scenario, const std::string& invariant);

// Schedules (explore.cpp). A scenario's header line "# schedule: until-blocked", "# schedule:
// preempt 12,40.1" (at call 12 the first other ready thread goes, at call 40 the second) or
// "# schedule: pct seed S depth D length L" makes its run follow that schedule.
std::string ScheduleLine(const sim::Schedule& schedule);
// 1 when `line` gives a schedule (then in `schedule`), 0 when it is no schedule line, -1 when it
// is one that cannot be read.
int ReadScheduleLine(const std::string& line, sim::Schedule& schedule);
// The scenario with `schedule` as its only schedule line.
Scenario Scheduled(Scenario scenario, const sim::Schedule& schedule);

// What an exploration of schedules ran and found: the schedule that broke invariants, if any.
struct Explored {
    int runs = 0;
    bool complete = true;  // every schedule within the bound ran (the budget did not end it)
    sim::Schedule schedule;
    std::vector<Broken> broken;
};
// Every schedule with at most `bound` preemptions, up to `budget` runs, until one breaks an
// invariant.
Explored ExploreScenario(const Scenario& scenario, int bound, int budget);
// One PCT schedule of `depth` from `seed`, its change points among the calls of a run until
// blocked (run first, and checked too).
Explored PctScenario(const Scenario& scenario, uint64_t seed, int depth);

// A seed derived from a commit id and an index: the same for one commit, new for the next.
uint64_t SeedFromCommit(const std::string& commit, int index);
