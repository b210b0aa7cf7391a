// The simulation's runs, kept as they are: every shipped scenario and every run of the fault sweep
// must give the timeline recorded under tests/golden/ byte for byte, with the same sequence of
// platform calls (its count and digest), so that a change to how the simulated threads take turns
// cannot change what a run does. An intended change is recorded again with
// tests/update-goldens.sh, and the difference is read in the commit.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "fault_sweep.h"
#include "scenario.h"

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

// FNV-1a, 64 bits: a digest of the call log that any change of order or argument changes.
std::string CallDigest(const std::vector<std::string>& calls) {
    uint64_t hash = 14695981039346656037ull;
    for (const std::string& call : calls) {
        for (const unsigned char c : call + "\n") {
            hash = (hash ^ c) * 1099511628211ull;
        }
    }
    char text[64];
    std::snprintf(text, sizeof text, "calls %zu, digest %016llx\n", calls.size(),
                  static_cast<unsigned long long>(hash));
    return text;
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

class GoldenSweep : public ::testing::TestWithParam<int> {};

// The sweep's runs of one scenario, each headed by the failure it injects, in one file.
TEST_P(GoldenSweep, FaultSweepRunsKeepTheirTimelines) {
    using namespace fault_sweep;
    const Scenario scenario = Parsed(kScenarios[GetParam()]);
    std::string text = "== no failure\n" + Recorded(RunScenario(scenario));
    for (const SweptFailure& f : SweptFailures(sim::Calls())) {
        const ScenarioResult r = RunScenario(scenario, sim::Threads::TakeTurns, [&] {
            sim::FailCall(f.function, f.ordinal, f.error, f.count);
        });
        text += "\n== call " + std::to_string(f.ordinal) + " of " + f.function + " fails with " +
                std::to_string(f.error) + (f.count == 1 ? " once" : " from then on") + ": " +
                f.call + "\n" + Recorded(r);
    }
    Compare(fs::path(KQ5_GOLDEN_DIR) / "fault-sweep" /
                (std::string(kScenarioNames[GetParam()]) + ".txt"),
            text);
}

INSTANTIATE_TEST_SUITE_P(Scenarios, GoldenSweep, ::testing::Range(0, fault_sweep::kScenarioCount),
                         [](const ::testing::TestParamInfo<int>& param) {
                             return std::string(fault_sweep::kScenarioNames[param.param]);
                         });

}  // namespace
