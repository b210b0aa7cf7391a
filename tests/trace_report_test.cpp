// The trace reader's HTML report built from findings made by hand: their order and marking, a
// page that fetches nothing, and the timeline shown up to its limit. A whole report is a golden
// file (picture_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tracereader/analysis.h"
#include "tracereader/read.h"
#include "tracereader/report.h"

namespace {

size_t At(const std::string& html, const std::string& part) {
    const size_t at = html.find(part);
    EXPECT_NE(at, std::string::npos) << part;
    return at;
}

TraceReport Report(const std::vector<std::string>& timeline) {
    TraceReport report;
    report.ok = true;
    report.name = "kq5trace-2026-12-07.txt";
    report.layout = "kq5trace";
    report.timeline = timeline;
    return report;
}

// The most serious first, then in time order; findings of the same rank and time keep the
// reader's order. Only the ranks above the ordinary are marked serious, and the first finding,
// whatever it is, is the one the page's anchor names.
TEST(TraceHtml, FindingsMostSeriousFirstThenInTimeOrder) {
    TraceReport report = Report({});
    report.findings = {MakeFinding(FindingKind::LinesRead, 500, "late", Severity::Ordinary),
                       MakeFinding(FindingKind::LinesRead, 100, "early", Severity::Ordinary),
                       MakeFinding(FindingKind::LinesRead, 900, "gaps", Severity::Gaps),
                       MakeFinding(FindingKind::LinesRead, 950, "spooler", Severity::Blocking),
                       MakeFinding(FindingKind::LinesRead, 100, "early too", Severity::Ordinary)};
    const std::string html = FormatHtml(report, "t");
    const size_t spooler = At(html, "<li id=\"first-finding\" class=\"serious\">spooler</li>");
    const size_t gaps = At(html, "<li class=\"serious\">gaps</li>");
    const size_t early = At(html, "<li>early</li>");
    const size_t earlyToo = At(html, "<li>early too</li>");
    const size_t late = At(html, "<li>late</li>");
    EXPECT_LT(spooler, gaps);
    EXPECT_LT(gaps, early);
    EXPECT_LT(early, earlyToo);
    EXPECT_LT(earlyToo, late);

    report.findings = {MakeFinding(FindingKind::LinesRead, 5, "only ordinary", Severity::Ordinary)};
    EXPECT_NE(FormatHtml(report, "t").find("<li id=\"first-finding\">only ordinary</li>"),
              std::string::npos);
}

// A page of its own: the title escaped, a policy that lets it fetch nothing, the picture inline,
// and the one small script that shows the detail of what the pointer is over, below the picture.
TEST(TraceHtml, APageThatFetchesNothingWithItsDetailScript) {
    const std::string html = FormatHtml(Report({}), "kq5sim: <b>test</b>");
    const size_t title =
        At(html, "<title>kq5sim: &lt;b&gt;test&lt;/b&gt;</title>\n</head>\n<body>");
    const size_t policy = At(html,
                             "<meta http-equiv=\"Content-Security-Policy\" "
                             "content=\"default-src 'none';");
    EXPECT_LT(At(html, "<meta charset=\"utf-8\">"), title);
    EXPECT_LT(policy, title);
    const size_t detail = At(html, "<div id=\"detail\"></div>");
    const size_t script = At(html, "<script>\n");
    EXPECT_LT(detail, script);
    EXPECT_LT(At(html, "document.getElementById('detail')"), At(html, "</script>\n</body>"));
    // The picture is inline: no XML declaration, no namespace, no address anywhere in the page.
    At(html, "<div class=\"picture\" id=\"picture\">\n<svg");
    for (const char* absent : {"<?xml", "xmlns", "://"}) {
        EXPECT_EQ(html.find(absent), std::string::npos) << absent;
    }
}

// The timeline is shown whole up to the limit, escaped; beyond it the page shows the whole lines
// that fit and says how many it showed and how many more there are.
TEST(TraceHtml, TheTimelineIsCutAtItsLimitAndSaysWhere) {
    const std::string two = FormatHtml(Report({"09:00:00 a <b>", "09:00:01 c"}), "t");
    EXPECT_NE(two.find("<pre class=\"timeline\">09:00:00 a &lt;b&gt;\n09:00:01 c\n</pre>"),
              std::string::npos);
    EXPECT_EQ(two.find("is cut"), std::string::npos);

    // Lines of 100 bytes with their line ends, and a shorter last one: exactly the limit.
    std::vector<std::string> exact(kReportTimelineBytes / 100, std::string(99, 'x'));
    exact.push_back(std::string(kReportTimelineBytes % 100 - 1, 'y'));
    std::string shown;
    for (const std::string& line : exact) {
        shown += line + "\n";
    }
    const std::string all = FormatHtml(Report(exact), "t");
    EXPECT_EQ(all.find("is cut"), std::string::npos);
    EXPECT_NE(all.find(shown + "</pre>"), std::string::npos);

    std::vector<std::string> over = exact;
    over.insert(over.end(), {"after 1", "after 2", "after 3"});
    const std::string cut = FormatHtml(Report(over), "t");
    EXPECT_NE(cut.find("The timeline is cut after its first " + std::to_string(exact.size()) +
                       " lines (3 more)"),
              std::string::npos)
        << cut.substr(cut.find("<h2>Timeline"), 300);
    EXPECT_NE(cut.find(shown + "</pre>"), std::string::npos);
    EXPECT_EQ(cut.find("after 1"), std::string::npos);
}

}  // namespace
