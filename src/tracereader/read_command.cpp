// kq5trace --read and kq5sim --trace: a trace read and printed, its picture and report written.
#include "tracereader/read_command.h"

#include <string>
#include <vector>

#include "cmdline/outputs.h"
#include "picture/timeline.h"
#include "tracereader/read.h"
#include "tracereader/report.h"

int RunTraceRead(const char* program, const ReadCommand& command, FILE* out, FILE* err) {
    std::vector<cmdline::NamedFile> outputs;
    if (!command.svg.empty()) {
        outputs.push_back({command.svg, "the picture"});
    }
    if (!command.html.empty()) {
        outputs.push_back({command.html, "the report"});
    }
    std::vector<std::string> notices;
    const std::string refused = cmdline::CheckOutputs({{command.trace, "the trace"}}, outputs,
                                                      {command.replace, false}, &notices);
    if (!refused.empty()) {
        std::fprintf(err, "%s: %s\n", program, refused.c_str());
        return 2;
    }
    const TraceReport report = ReadTracePath(command.trace);
    if (!report.ok) {
        std::fprintf(err, "%s: %s: %s\n", program, report.name.c_str(), report.error.c_str());
        return 2;
    }
    const std::string text = std::string(program) + ": trace " + report.name + " (" +
                             report.layout + ")\n\n" + TimelineText(report.timeline) + "\n" +
                             FormatFindings(report.findings);
    std::fwrite(text.data(), 1, text.size(), out);
    // The picture and the report are written both or neither.
    const std::string title = std::string(program) + ": " + report.name;
    std::vector<cmdline::Written> written;
    written.reserve(outputs.size());
    for (const cmdline::NamedFile& file : outputs) {
        written.push_back({file, file.what == "the picture" ? FormatSvg(report.picture, title)
                                                            : FormatHtml(report, title)});
    }
    const std::string failed = cmdline::WriteAll(written);
    if (!failed.empty()) {
        std::fflush(out);
        std::fprintf(err, "%s: %s\n", program, failed.c_str());
        return 1;
    }
    for (const cmdline::NamedFile& file : outputs) {
        std::fprintf(out, "\n%s: %s\n", file.what == "the picture" ? "Picture" : "Report",
                     EscapedPath(file.path).c_str());
    }
    std::fflush(out);
    for (const std::string& notice : notices) {
        std::fprintf(err, "%s: %s\n", program, notice.c_str());
    }
    return 0;
}
