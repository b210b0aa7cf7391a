// kq5sim: runs the real kq5 service in the simulated Windows on a scenario and prints what it did
// to the print queue, in simulated time; with --svg it also draws the run as a picture.
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/escape.h"
#include "scenario.h"
#include "tracereader/read.h"

namespace {

constexpr const char* kUsage =
    "usage: kq5sim [--svg FILE] [SCENARIO]\n"
    "       kq5sim --trace TRACE|FOLDER [--html REPORT] [--svg FILE]\n"
    "\n"
    "Runs the real kq5 service in a simulated Windows on SCENARIO (a scenario file; without\n"
    "one, the built-in default scenario) and prints the timeline in simulated time, then the\n"
    "final state. The same scenario always gives the same output.\n"
    "\n"
    "  --svg FILE   also write the run as an SVG lane chart to FILE (printer, queue, Spooler,\n"
    "               service; hover in a browser to read the details)\n"
    "  --trace TRACE  read the debugger lines kq5 wrote on a real machine instead (captured\n"
    "               by kq5trace, or saved by DebugView as a text log with elapsed or clock\n"
    "               time; a FOLDER written by kq5trace --record is read as one trace) and\n"
    "               print their timeline, folded, and findings in plain words; with --svg,\n"
    "               draw them in the same lanes; as kq5trace --read does\n"
    "  --html REPORT  with --trace: also write REPORT, one HTML file with the findings, the\n"
    "               picture and the timeline\n"
    "  --help       print this text and exit\n"
    "\n";

// False with the reason when PATH cannot be read as a file: a directory opens on Linux but
// reads as nothing, which must not pass for an empty scenario.
bool ReadFile(const char* path, std::string& text, std::string& why) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        why = "is a directory, not a scenario file";
        return false;
    }
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        why = "cannot be opened";
        return false;
    }
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad()) {
        why = "cannot be read";
        return false;
    }
    text = content.str();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const char* scenarioFile = nullptr;
    const char* svgFile = nullptr;
    const char* traceFile = nullptr;
    const char* htmlFile = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
            std::printf("%s%s", kUsage, kScenarioFormat);
            return 0;
        }
        if (std::strcmp(argv[i], "--svg") == 0 && i + 1 < argc) {
            svgFile = argv[++i];
        } else if (std::strcmp(argv[i], "--trace") == 0 && i + 1 < argc) {
            traceFile = argv[++i];
        } else if (std::strcmp(argv[i], "--html") == 0 && i + 1 < argc) {
            htmlFile = argv[++i];
        } else if (argv[i][0] == '-' && argv[i][1] != '\0') {
            std::fprintf(stderr, "kq5sim: %s '%s' (see kq5sim --help)\n",
                         std::strcmp(argv[i], "--svg") == 0 ||
                                 std::strcmp(argv[i], "--trace") == 0 ||
                                 std::strcmp(argv[i], "--html") == 0
                             ? "a file name must follow"
                             : "unknown option",
                         argv[i]);
            return 2;
        } else if (scenarioFile != nullptr) {
            std::fprintf(stderr, "kq5sim: one scenario at a time ('%s' and '%s')\n", scenarioFile,
                         argv[i]);
            return 2;
        } else {
            scenarioFile = argv[i];
        }
    }
    if (traceFile != nullptr) {
        if (scenarioFile != nullptr) {
            std::fprintf(stderr, "kq5sim: a trace or a scenario, not both\n");
            return 2;
        }
        ReadCommand command;
        command.trace = traceFile;
        command.svg = svgFile != nullptr ? svgFile : "";
        command.html = htmlFile != nullptr ? htmlFile : "";
        return RunTraceRead("kq5sim", command, stdout, stderr);
    }
    if (htmlFile != nullptr) {
        std::fprintf(stderr, "kq5sim: --html is for a trace (see kq5sim --help)\n");
        return 2;
    }
    std::string text = DefaultScenarioText();
    const std::string name = scenarioFile ? scenarioFile : "built-in default scenario";
    std::string why;
    if (scenarioFile != nullptr && !ReadFile(scenarioFile, text, why)) {
        std::fprintf(stderr, "kq5sim: %s %s\n", EscapeBytes(name).c_str(), why.c_str());
        return 2;
    }
    Scenario scenario;
    std::string error;
    if (!ParseScenario(text, scenario, error)) {
        std::fprintf(stderr, "kq5sim: %s: %s\n", EscapeBytes(name).c_str(), error.c_str());
        return 2;
    }
    std::printf("kq5sim: %s\n\n", name.c_str());
    const ScenarioResult result = RunScenario(scenario);
    std::fputs(FormatTimeline(result).c_str(), stdout);
    if (svgFile != nullptr) {
        std::ofstream out(svgFile, std::ios::binary);
        out << FormatSvg(scenario, result, "kq5sim: " + name);
        if (!out.flush()) {
            std::fprintf(stderr, "kq5sim: cannot write %s\n", svgFile);
            return 1;
        }
        std::printf("\nPicture: %s\n", svgFile);
    }
    return 0;
}
