// Schedules: which thread goes at each Win32 call of a run. A schedule is kept as a header line of
// the scenario file ("# schedule: ..."), so that the file replays the very order that broke an
// invariant; the exploration runs a scenario under many schedules.
#include <algorithm>
#include <cstdlib>
#include <sstream>

#include "swarm.h"

namespace {

constexpr const char* kScheduleWord = "schedule:";

std::string Trimmed(const std::string& text) {
    const size_t from = text.find_first_not_of(' ');
    return from == std::string::npos ? "" : text.substr(from);
}

// "12" or "12.1": a preemption at call 12 to the first (or second) other thread ready then.
bool ReadPreemption(const std::string& item, sim::Preemption& p) {
    char* end = nullptr;
    p.call = std::strtoull(item.c_str(), &end, 10);
    if (end == item.c_str()) {
        return false;
    }
    if (*end == '.') {
        const char* to = end + 1;
        p.to = std::strtoull(to, &end, 10);
        if (end == to) {
            return false;
        }
    }
    return *end == '\0';
}

bool ReadPoints(std::istringstream& in, sim::Schedule& schedule) {
    std::string list;
    in >> list;
    std::istringstream items(list);
    for (std::string item; std::getline(items, item, ',');) {
        sim::Preemption p;
        if (!ReadPreemption(item, p)) {
            return false;
        }
        schedule.points.push_back(p);
    }
    return true;
}

// The schedule with one more preemption.
sim::Schedule With(sim::Schedule schedule, sim::Preemption p) {
    schedule.points.push_back(p);
    return schedule;
}

}  // namespace

std::string ScheduleLine(const sim::Schedule& schedule) {
    std::string line = std::string(" ") + kScheduleWord;
    if (schedule.kind == sim::Schedule::Kind::Pct) {
        return line + " pct seed " + std::to_string(schedule.seed) + " depth " +
               std::to_string(schedule.depth) + " length " + std::to_string(schedule.length);
    }
    if (schedule.points.empty()) {
        return line + " until-blocked";
    }
    line += " preempt ";
    for (size_t i = 0; i < schedule.points.size(); ++i) {
        const sim::Preemption& p = schedule.points[i];
        line += (i == 0 ? "" : ",") + std::to_string(p.call) +
                (p.to == 0 ? "" : "." + std::to_string(p.to));
    }
    return line;
}

int ReadScheduleLine(const std::string& line, sim::Schedule& schedule) {
    std::istringstream in(Trimmed(line));
    std::string word;
    std::string kind;
    if (!(in >> word) || word != kScheduleWord) {
        return 0;
    }
    in >> kind;
    schedule = sim::Schedule{};
    if (kind == "until-blocked") {
        schedule.kind = sim::Schedule::Kind::Points;
        return 1;
    }
    if (kind == "preempt") {
        schedule.kind = sim::Schedule::Kind::Points;
        return ReadPoints(in, schedule) && !schedule.points.empty() ? 1 : -1;
    }
    std::string seed;
    std::string depth;
    std::string length;
    schedule.kind = sim::Schedule::Kind::Pct;
    if (kind == "pct" &&
        in >> seed >> schedule.seed >> depth >> schedule.depth >> length >> schedule.length &&
        seed == "seed" && depth == "depth" && length == "length") {
        return 1;
    }
    return -1;
}

Scenario Scheduled(Scenario scenario, const sim::Schedule& schedule) {
    sim::Schedule ignored;
    scenario.header.erase(std::remove_if(scenario.header.begin(), scenario.header.end(),
                                         [&](const std::string& line) {
                                             return ReadScheduleLine(line, ignored) != 0;
                                         }),
                          scenario.header.end());
    scenario.header.push_back(ScheduleLine(schedule));
    return scenario;
}

Explored PctScenario(const Scenario& scenario, uint64_t seed, int depth) {
    // PCT picks its change points among the run's calls: a run until blocked counts them.
    Explored explored;
    explored.broken = CheckScenario(PrintScenario(Scheduled(scenario, sim::Schedule{})));
    explored.schedule =
        sim::Schedule{sim::Schedule::Kind::Pct, seed, depth, sim::ScheduledCalls(), {}};
    explored.runs = 1;
    if (explored.broken.empty()) {
        explored.broken = CheckScenario(PrintScenario(Scheduled(scenario, explored.schedule)));
        explored.runs = 2;
    }
    return explored;
}

namespace {

// A schedule that ran, and the choice points its run met.
struct Ran {
    sim::Schedule schedule;
    std::vector<sim::ChoicePoint> choices;
};

// Runs `schedule` unless the budget is spent: false when it broke an invariant or the budget
// ended the exploration.
bool RunOne(const Scenario& scenario, const sim::Schedule& schedule, int budget, Explored& explored,
            std::vector<Ran>& ran) {
    if (explored.runs >= budget) {
        explored.complete = false;
        return false;
    }
    ++explored.runs;
    explored.broken = CheckScenario(PrintScenario(Scheduled(scenario, schedule)));
    if (!explored.broken.empty()) {
        explored.schedule = schedule;
        return false;
    }
    ran.push_back(Ran{schedule, sim::ChoicePoints()});
    return true;
}

}  // namespace

// Breadth first: every schedule with one preemption before any with two, so that a budget that
// ends the exploration has still tried each choice point once.
Explored ExploreScenario(const Scenario& scenario, int bound, int budget) {
    Explored explored;
    sim::Schedule start;
    start.kind = sim::Schedule::Kind::Points;
    std::vector<Ran> level;
    if (!RunOne(scenario, start, budget, explored, level)) {
        return explored;
    }
    for (int preemptions = 1; preemptions <= bound; ++preemptions) {
        std::vector<Ran> next;
        for (const Ran& parent : level) {
            // The run before the last preemption is its parent's: only later calls are new.
            const std::vector<sim::Preemption>& points = parent.schedule.points;
            const uint64_t after = points.empty() ? 0 : points.back().call + 1;
            for (const sim::ChoicePoint& c : parent.choices) {
                for (size_t to = 0; to < c.others && c.call >= after; ++to) {
                    if (!RunOne(scenario, With(parent.schedule, {c.call, to}), budget, explored,
                                next)) {
                        return explored;
                    }
                }
            }
        }
        level = std::move(next);
    }
    return explored;
}
