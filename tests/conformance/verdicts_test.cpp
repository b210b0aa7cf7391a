// kq5-conformance's verdicts where not every fact holds: a Windows that answers one fact
// differently, a machine where a fact's set-up cannot be made, a run under Wine that meets a known
// departure (and one where Wine no longer answers as it was known to). The report's text, its
// JSON and the exit code must say the same.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "conformance/facts.h"
#include "conformance/machine_sim.h"
#include "conformance/report.h"
#include "platform/sim/sim.h"

namespace conformance {
namespace {

const char* const kOpenAndSize = "spooler.open-and-size";
const std::string kOpenAndSizeTitle =
    "OpenPrinterW finds a queue in any letter case; GetPrinterW sizes the level-2 record";

class Verdicts : public ::testing::Test {
protected:
    void TearDown() override { simulated::Vary({}); }

    // Every fact, --lab's included; VARIATION holds for the fact ONLY (every fact when null).
    Report RunAll(const simulated::Variation& variation, const char* only) {
        Report report;
        report.program = "kq5-conformance 1.0.0";
        report.system = variation.onWine ? "Wine 8.0 (as Windows 10.0 build 19043)"
                                         : "Windows 10.0 build 19045";
        report.options = {"--lab"};
        for (const Fact& fact : Facts()) {
            const bool varied = only == nullptr || std::string(fact.id) == only;
            simulated::Vary(varied ? variation : simulated::Variation{});
            report.outcomes.push_back(RunFact(fact, true));
        }
        return report;
    }

    static Report OnlyTheFact(const Report& all, const char* id) {
        Report report = all;
        report.outcomes.clear();
        for (const Outcome& outcome : all.outcomes) {
            if (outcome.id == id) {
                report.outcomes.push_back(outcome);
            }
        }
        return report;
    }
};

TEST_F(Verdicts, AWindowsThatAnswersOneFactDifferentlyFailsTheRun) {
    // The fourth GetPrinterW of the fact, level 99, refused with another error than Windows'.
    simulated::Variation variation;
    variation.afterPrepare = [] { sim::FailCall("GetPrinterW", 4, ERROR_INVALID_PARAMETER); };
    const Report report = RunAll(variation, kOpenAndSize);
    EXPECT_EQ(ExitCode(report), 1);
    const std::string text = RenderText(report);
    EXPECT_EQ(text.rfind("kq5-conformance 1.0.0 on Windows 10.0 build 19045\n"
                         "options: --lab\n"
                         "differs  spooler.open-and-size  " +
                             kOpenAndSizeTitle +
                             "\n"
                             "           differs: GetPrinterW level 99: answered 87, expected 124\n"
                             "held     spooler.clients-while-stopped  ",
                         0),
              0u)
        << text;
    EXPECT_NE(text.find("\n9 held, 1 differ, 0 not run\n"), std::string::npos) << text;
    const std::string json = RenderJson(OnlyTheFact(report, kOpenAndSize));
    EXPECT_EQ(json,
              "{\n  \"program\": \"kq5-conformance 1.0.0\",\n  \"system\": \"Windows 10.0 build "
              "19045\",\n  \"options\": [\"--lab\"],\n  \"facts\": [\n    {\"id\": "
              "\"spooler.open-and-size\", \"title\": \"" +
                  kOpenAndSizeTitle +
                  "\", \"verdict\": \"differs\", \"notes\": [\"GetPrinterW level 99: answered "
                  "87, expected 124\"]}\n  ],\n  \"held\": 0,\n  \"differ\": 1,\n  \"not_run\": "
                  "0\n}\n");
    EXPECT_NE(RenderJson(report).find("\"held\": 9,\n  \"differ\": 1,\n  \"not_run\": 0\n}"),
              std::string::npos);
}

TEST_F(Verdicts, ASetUpThatCannotBeMadeIsNotRunAndSaysWhy) {
    // A port the facts would add is there already: it would not be theirs to take away.
    simulated::Variation variation;
    variation.afterPrepare = [] { sim::AddPort(u"USB202"); };
    simulated::Vary(variation);
    char* progress = nullptr;
    std::size_t size = 0;
    std::FILE* stream = open_memstream(&progress, &size);
    ASSERT_NE(stream, nullptr);
    Report report;
    report.program = "kq5-conformance 1.0.0";
    report.system = "Windows 10.0 build 19045";
    report.outcomes = RunFacts(true, stream);
    std::fclose(stream);
    const std::string said(progress, size);
    std::free(progress);
    EXPECT_EQ(
        said.rfind("running spooler.open-and-size\nrunning spooler.clients-while-stopped\n", 0), 0u)
        << said;
    EXPECT_NE(said.find("\nrunning text.multibyte-to-wide\n"), std::string::npos) << said;
    EXPECT_EQ(ExitCode(report), 0);  // nothing differs: a fact not run fails no one
    const std::string text = RenderText(report);
    for (const char* id : {"spooler.set-printer", "spooler.enum-ports"}) {
        EXPECT_NE(text.find(std::string("\nnot run  ") + id + "  "), std::string::npos) << text;
    }
    EXPECT_NE(text.find("\n           why: a port USB202 is there already\n"), std::string::npos)
        << text;
    EXPECT_NE(text.find("\n8 held, 0 differ, 2 not run\n"), std::string::npos) << text;
    const std::string json = RenderJson(report);
    EXPECT_NE(json.find("\"verdict\": \"not run\", \"notes\": [\"a port USB202 is there "
                        "already\"]}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"held\": 8,\n  \"differ\": 0,\n  \"not_run\": 2\n}"), std::string::npos)
        << json;
}

TEST_F(Verdicts, UnderWineAKnownDepartureHoldsAndIsNamed) {
    // Wine's GetPrinterW takes a null size pointer for a size query.
    simulated::Variation wine;
    wine.onWine = true;
    wine.afterPrepare = [] { sim::FailCall("GetPrinterW", 1, ERROR_INSUFFICIENT_BUFFER); };
    const Report report = OnlyTheFact(RunAll(wine, kOpenAndSize), kOpenAndSize);
    EXPECT_EQ(ExitCode(report), 0);
    EXPECT_EQ(RenderText(report),
              "kq5-conformance 1.0.0 on Wine 8.0 (as Windows 10.0 build 19043)\n"
              "options: --lab\n"
              "held     spooler.open-and-size  " +
                  kOpenAndSizeTitle +
                  "\n"
                  "           Wine's known departure: Wine's GetPrinterW takes a null size "
                  "pointer for a size query\n"
                  "1 held, 0 differ, 0 not run\n");
    EXPECT_NE(RenderJson(report).find("\"verdict\": \"held\", \"notes\": [\"Wine's GetPrinterW "
                                      "takes a null size pointer for a size query\"]}"),
              std::string::npos);

    // A Wine that answers as Windows there now: the departure is no longer true, and is said.
    wine.afterPrepare = nullptr;
    const Report changed = OnlyTheFact(RunAll(wine, kOpenAndSize), kOpenAndSize);
    EXPECT_EQ(ExitCode(changed), 1);
    EXPECT_NE(RenderText(changed).find("\n           differs: GetPrinterW with a null size "
                                       "pointer: answered 1780, Wine is known to answer 122, "
                                       "Windows 1780\n"),
              std::string::npos)
        << RenderText(changed);
}

}  // namespace
}  // namespace conformance
