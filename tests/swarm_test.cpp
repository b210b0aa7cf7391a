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
    const std::string text = GenerateScenario(7, 30);
    EXPECT_GE(ScenarioSpanMs(text), 30u * 60000u);
    EXPECT_EQ(Describe(CheckScenario(text)), "");
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

}  // namespace
