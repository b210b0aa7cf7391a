// Findings to a report: one self-contained HTML file a person opens and forwards. The findings
// come first, the most serious at the top; then the picture, inline; then the folded timeline.
// Nothing is fetched, and it reads the same with scripts off (a small script only adds the
// detail of what the pointer is over).
#pragma once

#include <string>

struct TraceReport;

// The timeline is shown up to this many bytes, so that a report of weeks stays small enough
// to attach to a message; the page says where it was cut.
inline constexpr size_t kReportTimelineBytes = size_t{2} * 1024 * 1024;

std::string FormatHtml(const TraceReport& report, const std::string& title);
