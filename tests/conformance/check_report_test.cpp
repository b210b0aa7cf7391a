// How a conformance fact records answers (check.h) and how the report words each verdict: the
// options the run was given, the lead of each note, Wine's departures told apart from
// differences.
#include <gtest/gtest.h>

#include <string>

#include "conformance/check.h"
#include "conformance/report.h"

namespace conformance {
namespace {

Report OneOutcome(Verdict verdict, const std::string& note) {
    Report report;
    report.program = "kq5-conformance 1.0.0";
    report.system = "Wine 8.0 (as Windows 10.0 build 19043)";
    report.outcomes.push_back(Outcome{"spooler.open-and-size", "the queue opens", verdict, {note}});
    return report;
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// The run's options are in both reports (a reader must see that --lab facts ran); without any,
// the text has no options line and the JSON an empty list.
TEST(ConformanceCheckReport, TheOptionsGivenAreReported) {
    Report report = OneOutcome(Verdict::Held, "a departure");
    const std::string plain = RenderText(report);
    EXPECT_EQ(plain.find("options"), std::string::npos) << plain;
    EXPECT_TRUE(Has(RenderJson(report), "\"options\": [],")) << RenderJson(report);
    report.options = {"--lab", "--printer"};
    const std::string text = RenderText(report);
    EXPECT_TRUE(Has(text,
                    "kq5-conformance 1.0.0 on Wine 8.0 (as Windows 10.0 build 19043)\n"
                    "options: --lab --printer\nheld     spooler.open-and-size  "))
        << text;
    EXPECT_TRUE(Has(RenderJson(report), "\"options\": [\"--lab\", \"--printer\"],"))
        << RenderJson(report);
}

// Each note says what it is: a difference, why the fact did not run, or (under a fact that held)
// a known departure of Wine's.
TEST(ConformanceCheckReport, EachNoteIsLedByWhatItIs) {
    EXPECT_TRUE(Has(RenderText(OneOutcome(Verdict::Differs, "x: answered 1, expected 2")),
                    "\n           differs: x: answered 1, expected 2\n"));
    EXPECT_TRUE(Has(RenderText(OneOutcome(Verdict::NotRun, "only with --lab")),
                    "\n           why: only with --lab\n"));
    EXPECT_TRUE(Has(RenderText(OneOutcome(Verdict::Held, "Wine leaves it unset")),
                    "\n           Wine's known departure: Wine leaves it unset\n"));
}

// Answers are shown quoted, wide text narrowed with '?' for every character beyond ASCII.
TEST(ConformanceCheckReport, AnswersAreShownQuotedInAscii) {
    EXPECT_EQ(Shown(std::string("USB001")), "\"USB001\"");
    EXPECT_EQ(Shown(WideString{WCHAR{'A'}, WCHAR{0x7F}, WCHAR{0x80}, WCHAR{0xE9}, WCHAR{'z'}}),
              "\"A\x7F??z\"");
    EXPECT_EQ(Shown(124), "124");
}

// Under Wine, its known answer is a departure, not a difference; another answer is a difference
// that names both; on Windows, Wine's answer is a plain difference.
TEST(ConformanceCheckReport, WinesKnownAnswerIsADepartureOnlyUnderWine) {
    Check wine;
    wine.onWine = true;
    ExpectOr(wine, "level", 5, 7, 5, "Wine answers 5");
    EXPECT_TRUE(wine.differences.empty());
    ASSERT_EQ(wine.departures.size(), 1u);
    EXPECT_EQ(wine.departures[0], "Wine answers 5");
    ExpectOr(wine, "level", 9, 7, 5, "Wine answers 5");
    ASSERT_EQ(wine.differences.size(), 1u);
    EXPECT_EQ(wine.differences[0], "level: answered 9, Wine is known to answer 5, Windows 7");

    Check windows;
    ExpectOr(windows, "level", 5, 7, 5, "Wine answers 5");
    EXPECT_TRUE(windows.departures.empty());
    ASSERT_EQ(windows.differences.size(), 1u);
    EXPECT_EQ(windows.differences[0], "level: answered 5, expected 7");
    windows.differences.clear();
    ExpectOr(windows, "level", 7, 7, 5, "Wine answers 5");
    EXPECT_TRUE(windows.differences.empty());
}

// Where Wine's known answer is Windows' own, there is nothing to depart from: the answer is
// checked as on Windows and no departure is claimed.
TEST(ConformanceCheckReport, AWineAnswerEqualToWindowsIsNoDeparture) {
    Check wine;
    wine.onWine = true;
    ExpectOr(wine, "level", 7, 7, 7, "never met");
    EXPECT_TRUE(wine.departures.empty());
    EXPECT_TRUE(wine.differences.empty());
    ExpectOr(wine, "level", 6, 7, 7, "never met");
    EXPECT_TRUE(wine.departures.empty());
    ASSERT_EQ(wine.differences.size(), 1u);
    EXPECT_EQ(wine.differences[0], "level: answered 6, expected 7");
}

// WineDeparts stands a check down only under Wine, and says why.
TEST(ConformanceCheckReport, WineDepartsStandsDownOnlyUnderWine) {
    Check windows;
    EXPECT_FALSE(WineDeparts(windows, "Wine leaves the status unwritten"));
    EXPECT_TRUE(windows.departures.empty());
    Check wine;
    wine.onWine = true;
    EXPECT_TRUE(WineDeparts(wine, "Wine leaves the status unwritten"));
    ASSERT_EQ(wine.departures.size(), 1u);
}

// A check that must hold ends the fact when it does not; one that only should, records it.
TEST(ConformanceCheckReport, MustStopsTheFactExpectTrueGoesOn) {
    Check check;
    ExpectTrue(check, "the port exists", true);
    EXPECT_TRUE(check.differences.empty());
    ExpectTrue(check, "the port exists", false);
    ASSERT_EQ(check.differences.size(), 1u);
    EXPECT_EQ(check.differences[0], "the port exists: did not hold");
    EXPECT_NO_THROW(Must(check, "the queue opens", true));
    EXPECT_THROW(Must(check, "the queue opens", false), Stopped);
    EXPECT_EQ(check.differences.size(), 2u);
}

}  // namespace
}  // namespace conformance
