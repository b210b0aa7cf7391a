// The simulation's runs, kept as they are, so that a change to how the simulated threads take turns
// cannot change what a run does: every shipped scenario must give the timeline recorded under
// tests/golden/scenarios byte for byte, with the same sequence of platform calls (its count and
// digest); every run of the fault sweep the line recorded for it under tests/golden/fault-sweep
// (what the queue and the Spooler went through and when, the final state, and digests of the calls
// and of the whole timeline). A run whose line differs is written out whole in the failure. An
// intended change is recorded again with tests/update-goldens.sh, and the difference is read in
// the commit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "fault_sweep.h"
#include "scenario.h"
#include "picture/timeline.h"

namespace {

namespace fs = std::filesystem;

// Set (to anything) by tests/update-goldens.sh: the runs are written instead of compared.
bool Updating() {
    return std::getenv("KQ5_UPDATE_GOLDENS") != nullptr;
}

std::string ReadAll(const fs::path& path) {
    std::ifstream file(path, std::ios::binary);
    std::ostringstream text;
    text << file.rdbuf();
    return text.str();
}

// FNV-1a, 64 bits: a digest of lines that any change of order or content changes.
std::string Digest(const std::vector<std::string>& lines) {
    uint64_t hash = 14695981039346656037ull;
    for (const std::string& line : lines) {
        for (const unsigned char c : line + "\n") {
            hash = (hash ^ c) * 1099511628211ull;
        }
    }
    char text[24];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(hash));
    return text;
}

std::string CallDigest(const std::vector<std::string>& calls) {
    return "calls " + std::to_string(calls.size()) + ", digest " + Digest(calls) + "\n";
}

// A run as it is kept: its timeline and final state as kq5sim prints them, and the calls made.
std::string Recorded(const ScenarioResult& r) {
    return FormatTimeline(r) + CallDigest(sim::Calls());
}

// The first line where two texts differ, both sides quoted.
std::string FirstDifference(const std::string& expected, const std::string& actual) {
    std::istringstream a(expected), b(actual);
    std::string lineA, lineB;
    for (int line = 1;; ++line) {
        const bool moreA = static_cast<bool>(std::getline(a, lineA));
        const bool moreB = static_cast<bool>(std::getline(b, lineB));
        if (!moreA && !moreB) {
            return "the texts differ only in their last line's end";
        }
        if (!moreA || !moreB || lineA != lineB) {
            return "line " + std::to_string(line) + ": recorded \"" + (moreA ? lineA : "(end)") +
                   "\", now \"" + (moreB ? lineB : "(end)") + "\"";
        }
    }
}

void Compare(const fs::path& golden, const std::string& actual) {
    if (Updating()) {
        fs::create_directories(golden.parent_path());
        std::ofstream(golden, std::ios::binary) << actual;
        return;
    }
    ASSERT_TRUE(fs::exists(golden)) << golden << " is missing: run tests/update-goldens.sh";
    const std::string expected = ReadAll(golden);
    EXPECT_TRUE(expected == actual) << golden << " " << FirstDifference(expected, actual);
}

Scenario Parsed(const std::string& text) {
    Scenario scenario;
    std::string error;
    EXPECT_TRUE(ParseScenario(text, scenario, error)) << error;
    return scenario;
}

TEST(Golden, ShippedScenariosKeepTheirTimelines) {
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(KQ5_SCENARIO_DIR)) {
        files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    ASSERT_GE(files.size(), 5u);
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        const ScenarioResult r = RunScenario(Parsed(ReadAll(file)));
        Compare(fs::path(KQ5_GOLDEN_DIR) / "scenarios" / (file.stem().string() + ".txt"),
                Recorded(r));
    }
}

// ---- The fault sweep: a line a run ------------------------------------------------------------

// "1.500 stop requested": an event with its time, in the timeline's words (a service's events
// without its name: the lane names it).
std::string Moment(const sim::TimelineEvent& e) {
    char time[32];
    std::snprintf(time, sizeof time, "%llu.%03llu ",
                  static_cast<unsigned long long>(e.timeMs / 1000),
                  static_cast<unsigned long long>(e.timeMs % 1000));
    std::string text = EventText(e);
    const auto* step = As<ServiceStepEvent>(e);
    const auto* refused = As<StartRefusedEvent>(e);
    const std::string service = step ? step->service : refused ? refused->service : "";
    if (service == "Spooler") {
        text.erase(0, service.size() + 1);
    }
    return time + text;
}

// What the queue and the Spooler went through, and when. A start request refused at once shows
// as its refusal.
std::string QueueAndSpooler(const ScenarioResult& r) {
    std::string queue, spooler;
    const std::vector<sim::TimelineEvent>& t = r.timeline;
    for (size_t i = 0; i < t.size(); ++i) {
        const bool ofQueue = As<QueuePausedEvent>(t[i]) || As<QueueStatusEvent>(t[i]) ||
                             As<QueuePortEvent>(t[i]) || As<QueueSettingsEvent>(t[i]);
        const auto* step = As<ServiceStepEvent>(t[i]);
        const bool refusedAtOnce = step != nullptr && step->step == ServiceStep::StartRequested &&
                                   i + 1 < t.size() && As<StartRefusedEvent>(t[i + 1]) &&
                                   t[i + 1].timeMs == t[i].timeMs;
        const bool ofSpooler = (step != nullptr && !refusedAtOnce) || As<StartRefusedEvent>(t[i]);
        std::string& to = ofQueue ? queue : spooler;
        if (ofQueue || ofSpooler) {
            to += (to.empty() ? "" : ", ") + Moment(t[i]);
        }
    }
    return "queue: " + (queue.empty() ? "-" : queue) +
           " | Spooler: " + (spooler.empty() ? "-" : spooler);
}

// A run of the sweep in one line: the failure, what the queue and the Spooler went through, the
// final state, and digests of the calls and of the whole timeline, so that any other change
// shows too.
std::string CaseLine(const std::string& failure, const ScenarioResult& r) {
    std::string end = FormatFinalState(r);
    std::string joined;
    for (size_t from = 0, to; (to = end.find('\n', from)) != std::string::npos; from = to + 1) {
        const std::string line = end.substr(from, to - from);
        joined += (joined.empty() ? "" : "; ") + line.substr(line.find_first_not_of(' '));
    }
    const std::vector<std::string> calls = sim::Calls();
    return failure + " | " + QueueAndSpooler(r) + " | end: " + joined + " | calls " +
           std::to_string(calls.size()) + " " + Digest(calls) + ", timeline " +
           Digest({FormatTimeline(r)}) + "\n";
}

struct SweptRun {
    std::string line;
    std::string timeline;  // written out when the line differs
};

std::vector<SweptRun> SweepRuns(int index) {
    using namespace fault_sweep;
    const Scenario scenario = Parsed(kScenarios[index]);
    const ScenarioResult plain = RunScenario(scenario);
    std::vector<SweptRun> runs = {{CaseLine("no failure", plain), FormatTimeline(plain)}};
    for (const SweptFailure& f : SweptFailures(sim::Calls())) {
        const ScenarioResult r = RunScenario(scenario, sim::Threads::TakeTurns, [&] {
            sim::FailCall(f.function, f.ordinal, f.error, f.count);
        });
        const std::string failure = "call " + std::to_string(f.ordinal) + " of " + f.function +
                                    " fails with " + std::to_string(f.error) +
                                    (f.count == 1 ? " once" : " from then on");
        runs.push_back({CaseLine(failure, r), FormatTimeline(r)});
    }
    return runs;
}

constexpr const char* kSweepHeader =
    "# A run a line: the failure | the queue's and the Spooler's events, at seconds of simulated "
    "time (a start request refused at once shows as its refusal) | the final state | the calls' "
    "count and digest, the whole timeline's digest\n";

class GoldenSweep : public ::testing::TestWithParam<int> {};

TEST_P(GoldenSweep, FaultSweepRunsKeepTheirLines) {
    const fs::path golden = fs::path(KQ5_GOLDEN_DIR) / "fault-sweep" /
                            (std::string(fault_sweep::kScenarioNames[GetParam()]) + ".txt");
    const std::vector<SweptRun> runs = SweepRuns(GetParam());
    std::string text = kSweepHeader;
    for (const SweptRun& run : runs) {
        text += run.line;
    }
    if (Updating()) {
        Compare(golden, text);
        return;
    }
    ASSERT_TRUE(fs::exists(golden)) << golden << " is missing: run tests/update-goldens.sh";
    std::istringstream recorded(ReadAll(golden));
    std::string line;
    std::getline(recorded, line);  // the header
    int shown = 0;
    for (const SweptRun& run : runs) {
        const bool more = static_cast<bool>(std::getline(recorded, line));
        if (more && line + "\n" == run.line) {
            continue;
        }
        // The first few runs that differ, whole; the rest by their lines.
        ADD_FAILURE() << "recorded: " << (more ? line : "(none)") << "\nnow:      " << run.line
                      << (shown++ < 3 ? "the run now:\n" + run.timeline : "");
    }
    EXPECT_FALSE(std::getline(recorded, line))
        << "a run recorded that the sweep no longer makes: " << line;
}

INSTANTIATE_TEST_SUITE_P(Scenarios, GoldenSweep, ::testing::Range(0, fault_sweep::kScenarioCount),
                         [](const ::testing::TestParamInfo<int>& param) {
                             return std::string(fault_sweep::kScenarioNames[param.param]);
                         });

}  // namespace
