// The conformance suite (src/conformance/facts.cpp) against the simulated Windows: every fact,
// --lab's included, must hold, each answer as Windows documents it.
#include <gtest/gtest.h>

#include <cctype>
#include <string>

#include "conformance/facts.h"
#include "conformance/report.h"

namespace conformance {
namespace {

class Conformance : public ::testing::TestWithParam<Fact> {};

TEST_P(Conformance, HoldsInTheSimulation) {
    const Outcome outcome = RunFact(GetParam(), true);
    std::string notes;
    for (const std::string& note : outcome.notes) {
        notes += "\n  " + note;
    }
    EXPECT_EQ(VerdictName(outcome.verdict), "held") << notes;
}

INSTANTIATE_TEST_SUITE_P(Facts, Conformance, ::testing::ValuesIn(Facts()),
                         [](const ::testing::TestParamInfo<Fact>& param) {
                             std::string name = param.param.id;
                             for (char& c : name) {
                                 c = std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
                             }
                             return name;
                         });

// Without --lab the facts that stop the Spooler are not run, and say why; a fact not run fails no
// one (verdicts_test.cpp has the facts that differ).
TEST(ConformanceReport, LabFactsWaitForLab) {
    Report report;
    report.program = "kq5-conformance 1.0.0";
    report.system = "the simulation";
    for (const Fact& fact : Facts()) {
        report.outcomes.push_back(RunFact(fact, false));
        const Outcome& outcome = report.outcomes.back();
        EXPECT_EQ(VerdictName(outcome.verdict), fact.lab ? "not run" : "held") << fact.id;
    }
    const std::string text = RenderText(report);
    EXPECT_NE(text.find("not run  spooler.clients-while-stopped  "), std::string::npos) << text;
    EXPECT_NE(text.find("           why: stops and starts the Spooler: only with --lab\n"),
              std::string::npos)
        << text;
    EXPECT_NE(text.find("\n9 held, 0 differ, 1 not run\n"), std::string::npos) << text;
    EXPECT_EQ(ExitCode(report), 0);
}

}  // namespace
}  // namespace conformance
