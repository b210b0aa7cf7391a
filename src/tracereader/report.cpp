// The HTML report. Every text from the trace is escaped, so a line holding markup shows as text.
#include "tracereader/report.h"

#include <algorithm>

#include "picture/picture.h"
#include "tracereader/read.h"

namespace {

// No request leaves the page: everything it shows is in it.
constexpr const char* kHead =
    "<meta charset=\"utf-8\">\n"
    "<meta http-equiv=\"Content-Security-Policy\" content=\"default-src 'none'; "
    "style-src 'unsafe-inline'; script-src 'unsafe-inline'\">\n"
    "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
    "<style>\n"
    "body { font-family: sans-serif; margin: 1.5em; color: #222222; max-width: 80em; }\n"
    "h1 { font-size: 1.4em; margin-bottom: 0.2em; }\n"
    "h2 { font-size: 1.15em; margin-top: 1.6em; border-bottom: 1px solid #dddddd; }\n"
    "p.what { color: #555555; margin-top: 0; }\n"
    "ol.findings li { margin: 0.3em 0; }\n"
    "ol.findings li.serious { color: #a61b1b; font-weight: bold; }\n"
    "ol.findings li.serious ul { color: #222222; font-weight: normal; }\n"
    "ol.findings ul { margin: 0.2em 0; padding-left: 1.4em; font-size: 0.95em; }\n"
    "div.picture { overflow-x: auto; border: 1px solid #dddddd; }\n"
    "#detail { white-space: pre-wrap; font-family: monospace; min-height: 1.2em; "
    "color: #333333; }\n"
    "pre.timeline { font-size: 0.85em; background: #f7f7f7; padding: 0.6em; overflow-x: auto; }\n"
    "p.note { color: #555555; font-style: italic; }\n"
    "</style>\n";

// Hover detail: the <title> of what the pointer is over, also shown below the picture. Text
// only (textContent), never markup.
constexpr const char* kScript =
    "<script>\n"
    "(function () {\n"
    "  var detail = document.getElementById('detail');\n"
    "  var picture = document.getElementById('picture');\n"
    "  if (!detail || !picture) { return; }\n"
    "  picture.addEventListener('mouseover', function (event) {\n"
    "    for (var node = event.target; node && node !== picture; node = node.parentNode) {\n"
    "      var title = node.querySelector ? node.querySelector(':scope > title') : null;\n"
    "      if (title) { detail.textContent = title.textContent; return; }\n"
    "    }\n"
    "  });\n"
    "})();\n"
    "</script>\n";

// The findings, the most serious first, then the rest in time order.
std::string FindingsSection(const std::vector<TraceFinding>& unsorted) {
    std::vector<TraceFinding> findings = unsorted;
    std::stable_sort(
        findings.begin(), findings.end(), [](const TraceFinding& a, const TraceFinding& b) {
            return a.severity != b.severity ? a.severity < b.severity : a.atMs < b.atMs;
        });
    std::string out = "<h2>Findings</h2>\n<ol class=\"findings\">\n";
    for (size_t i = 0; i < findings.size(); ++i) {
        const TraceFinding& f = findings[i];
        out += "<li";
        if (i == 0) {
            out += " id=\"first-finding\"";
        }
        if (f.severity != Severity::Ordinary) {
            out += " class=\"serious\"";
        }
        out += ">" + EscapeMarkup(FindingHeadline(f));
        if (!f.detail.empty() || !f.more.empty()) {
            out += "<ul>";
            for (const std::string& line : f.detail) {
                out += "<li>" + EscapeMarkup(line) + "</li>";
            }
            if (!f.more.empty()) {
                out += "<li>" + EscapeMarkup(f.more) + "</li>";
            }
            out += "</ul>";
        }
        out += "</li>\n";
    }
    return out + "</ol>\n";
}

std::string PictureSection(const Picture& picture, const std::string& title) {
    return "<h2>Picture</h2>\n<p class=\"note\">Each bar's, mark's and tick's detail shows when "
           "the pointer rests on it.</p>\n<div class=\"picture\" id=\"picture\">\n" +
           FormatInlineSvg(picture, title) + "</div>\n<div id=\"detail\"></div>\n";
}

// The timeline escaped line by line up to the limit, with a note when it is cut.
std::string TimelineSection(const std::vector<std::string>& timeline) {
    std::string shown;
    size_t linesShown = 0;
    for (; linesShown < timeline.size(); ++linesShown) {
        const std::string line = EscapeMarkup(timeline[linesShown]) + "\n";
        if (shown.size() + line.size() > kReportTimelineBytes) {
            break;
        }
        shown += line;
    }
    std::string out = "<h2>Timeline</h2>\n";
    if (linesShown < timeline.size()) {
        out += "<p class=\"note\">The timeline is cut after its first " +
               Counted(linesShown, "line") + " (" + std::to_string(timeline.size() - linesShown) +
               " more), so that the report stays small enough to send; kq5trace --read prints "
               "it whole.</p>\n";
    }
    return out + "<pre class=\"timeline\">" + shown + "</pre>\n";
}

}  // namespace

std::string FormatHtml(const TraceReport& report, const std::string& title) {
    std::string out = "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n";
    out += kHead;
    out += "<title>" + EscapeMarkup(title) + "</title>\n</head>\n<body>\n";
    out += "<h1>kq5 trace report</h1>\n<p class=\"what\">" + EscapeMarkup(report.name) + " (" +
           EscapeMarkup(report.layout) + ")</p>\n";
    out += FindingsSection(report.findings);
    out += PictureSection(report.picture, title);
    out += TimelineSection(report.timeline);
    out += kScript;
    out += "</body>\n</html>\n";
    return out;
}
