// kq5sim: runs the real kq5 service in the simulated Windows on a scenario and prints what it did
// to the print queue, in simulated time; with --svg it also draws the run as a picture.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "cmdline/cmdline.h"
#include "cmdline/outputs.h"
#include "platform/files.h"
#include "scenario.h"
#include "tracereader/read_command.h"

namespace {

constexpr const char* kUsage =
    "usage: kq5sim [--svg FILE] [--replace] [SCENARIO]\n"
    "       kq5sim --trace TRACE|FOLDER [--html REPORT] [--svg FILE] [--replace]\n"
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
    "  --replace    write over a FILE or REPORT there already that is not kq5's own picture\n"
    "               or report (an earlier one of kq5's is written over, and that is said)\n"
    "  --help       print this text and exit (also -h, /?)\n"
    "  --version    print the version and exit\n"
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
        why = "cannot be opened: " + files::WhyNotReadable(path).text;
        return false;
    }
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad()) {
        why = "cannot be read: " + files::WhyNotReadable(path).text;
        return false;
    }
    text = content.str();
    return true;
}

const cmdline::Program kProgram{
    .name = "kq5sim",
    .version = KQ5_VERSION,
    .help = std::string(kUsage) + kScenarioFormat,
    .options = {{"--svg", "FILE"}, {"--trace", "TRACE"}, {"--html", "REPORT"}, {"--replace"}},
    .forms = {
        {"kq5sim [--svg FILE] [--replace] [SCENARIO]", {"--svg", "--replace"}, "", 1, "SCENARIO"},
        {"kq5sim --trace TRACE|FOLDER [--html REPORT] [--svg FILE] [--replace]",
         {"--trace", "--html", "--svg", "--replace"},
         "--trace"}}};

// Runs SCENARIO_FILE (empty: the built-in one) and prints its timeline; draws it to SVG_FILE.
int RunScenarioFile(const std::string& scenarioFile, const std::string& svgFile, bool replace) {
    std::string text = DefaultScenarioText();
    const std::string name = scenarioFile.empty() ? "built-in default scenario" : scenarioFile;
    std::string why;
    if (!scenarioFile.empty() && !ReadFile(scenarioFile.c_str(), text, why)) {
        std::fprintf(stderr, "kq5sim: %s %s\n", cmdline::Shown(name).c_str(), why.c_str());
        return 2;
    }
    std::vector<std::string> notices;
    if (!svgFile.empty()) {
        const std::string refused = cmdline::CheckOutputs(
            scenarioFile.empty() ? std::vector<cmdline::NamedFile>{}
                                 : std::vector<cmdline::NamedFile>{{scenarioFile, "the scenario"}},
            {{svgFile, "the picture"}}, {replace, false}, &notices);
        if (!refused.empty()) {
            std::fprintf(stderr, "kq5sim: %s\n", refused.c_str());
            return 2;
        }
    }
    Scenario scenario;
    std::string error;
    std::vector<std::string> warnings;
    if (!ParseScenario(text, scenario, error, &warnings)) {
        std::fprintf(stderr, "kq5sim: %s: %s\n", cmdline::Shown(name).c_str(), error.c_str());
        return 2;
    }
    for (const std::string& warning : warnings) {
        std::fprintf(stderr, "kq5sim: %s: warning: %s\n", cmdline::Shown(name).c_str(),
                     warning.c_str());
    }
    std::printf("kq5sim: %s\n\n", name.c_str());
    const ScenarioResult result = RunScenario(scenario);
    std::fputs(FormatTimeline(result).c_str(), stdout);
    if (svgFile.empty()) {
        return 0;
    }
    const std::string failed = cmdline::WriteAll(
        {{{svgFile, "the picture"}, FormatSvg(scenario, result, "kq5sim: " + name)}});
    std::fflush(stdout);
    if (!failed.empty()) {
        std::fprintf(stderr, "kq5sim: %s\n", failed.c_str());
        return 1;
    }
    std::printf("\nPicture: %s\n", svgFile.c_str());
    std::fflush(stdout);
    for (const std::string& notice : notices) {
        std::fprintf(stderr, "kq5sim: %s\n", notice.c_str());
    }
    return 0;
}

int Run(const cmdline::Parsed& parsed) {
    if (parsed.Has("--trace")) {
        ReadCommand command;
        command.trace = parsed.Value("--trace");
        command.svg = parsed.Value("--svg");
        command.html = parsed.Value("--html");
        command.replace = parsed.Has("--replace");
        return RunTraceRead("kq5sim", command, stdout, stderr);
    }
    return RunScenarioFile(parsed.operands.empty() ? "" : parsed.operands[0], parsed.Value("--svg"),
                           parsed.Has("--replace"));
}

}  // namespace

int main(int argc, char** argv) {
    return cmdline::Main(kProgram, {argv + 1, argv + argc}, Run);
}
