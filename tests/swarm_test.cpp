// The swarm itself: a seed is its whole run, and every scenario it once failed on (shrunk, the
// fault fixed) holds every invariant.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "swarm.h"

namespace {

std::string Text(const std::filesystem::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::string Describe(const std::vector<Broken>& broken) {
    std::string text;
    for (const Broken& b : broken) {
        text += b.invariant + ": " + b.detail + "\n";
    }
    return text;
}

TEST(Swarm, SeedIsTheWholeRun) {
    EXPECT_EQ(GenerateScenario(7, 30), GenerateScenario(7, 30));
    EXPECT_NE(GenerateScenario(7, 30), GenerateScenario(8, 30));
    EXPECT_EQ(SeedFromCommit("6db564d", 0), SeedFromCommit("6db564d", 0));
    EXPECT_NE(SeedFromCommit("6db564d", 0), SeedFromCommit("6db564e", 0));
    // Generated scenarios run as they stand, and end with the quiet tail.
    const Scenario scenario = GenerateScenario(7, 30);
    EXPECT_GE(scenario.endMs, 30u * 60000u);
    EXPECT_EQ(Describe(CheckScenario(PrintScenario(scenario))), "");
}

// The printer writes what the parser reads: a generated scenario (with the machine's switches the
// generator leaves alone) parses back to itself, a regression file prints as it is written, and a
// shipped scenario (aligned, with comments at its lines' ends) prints to text that parses back to
// the same scenario.
TEST(Swarm, PrintedScenariosParseBack) {
    Scenario parsed;
    std::string error;
    for (uint64_t seed = 0; seed < 150; ++seed) {
        Scenario generated = GenerateScenario(seed, 30);
        generated.queueNullPort = seed % 2 == 0;
        generated.queueGrows = seed % 3 == 0;
        generated.notAnAdministrator = seed % 5 == 0;
        generated.startedByServiceManager = seed % 7 != 0;
        for (ScenarioEvent& e : generated.events) {
            e.error = e.kind == EventKind::ReadFails ? static_cast<DWORD>(seed) : e.error;
        }
        ASSERT_TRUE(ParseScenario(PrintScenario(generated), parsed, error)) << seed << error;
        EXPECT_TRUE(parsed == generated) << PrintScenario(generated);
    }
    for (const char* folder : {KQ5_SWARM_REGRESSION_DIR, KQ5_SCENARIO_DIR}) {
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            SCOPED_TRACE(entry.path().filename().string());
            Scenario once;
            ASSERT_TRUE(ParseScenario(Text(entry.path()), once, error)) << error;
            ASSERT_TRUE(ParseScenario(PrintScenario(once), parsed, error)) << error;
            EXPECT_TRUE(parsed == once) << PrintScenario(once);
            if (folder == std::string(KQ5_SWARM_REGRESSION_DIR)) {
                EXPECT_EQ(PrintScenario(once), Text(entry.path()));
            }
        }
    }
}

TEST(Swarm, FoundFaultsStayFixed) {
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(KQ5_SWARM_REGRESSION_DIR)) {
        SCOPED_TRACE(entry.path().filename().string());
        EXPECT_EQ(Describe(CheckScenario(Text(entry.path()))), "");
        ++files;
    }
    EXPECT_GE(files, 1);
}

// The table of docs/swarm.md is the one kq5swarm --invariants prints: a reader of the docs reads
// the invariants the swarm checks, with their reasons and exceptions as the code has them.
TEST(Swarm, DocsShowTheInvariantsAsChecked) {
    const std::string docs = Text(KQ5_SWARM_DOCS);
    const std::string header = "| invariant | why | not promised when |\n";
    const size_t from = docs.find(header);
    ASSERT_NE(from, std::string::npos) << "docs/swarm.md has no table of the invariants";
    // The table's rows: the lines from its header on that begin with '|'.
    size_t to = from;
    while (to < docs.size() && docs[to] == '|') {
        const size_t end = docs.find('\n', to);
        to = end == std::string::npos ? docs.size() : end + 1;
    }
    EXPECT_EQ(docs.substr(from, to - from), InvariantsTable());
}

}  // namespace
