#include "doctor/program.h"

#include "cmdline/cmdline.h"
#include "common/format.h"
#include "doctor/report.h"

namespace {

constexpr const char* kUsage =
    "usage: kq5doctor [--json]\n"
    "Tells what stands between the Korvane Q5 printer and its queue Korvane-Q5: the queue, the\n"
    "Spooler, the USB printer and its port, and the kq5 service. Looks only, changes nothing.\n"
    "  --json   one JSON object instead of lines\n"
    "  --help, -h, /?  this text; --version: the version\n"
    "Exit code: 0 nothing wrong, 1 a problem found, 2 kq5doctor could not look.\n";

const cmdline::Program kProgram{.name = "kq5doctor",
                                .version = KQ5_VERSION,
                                .help = kUsage,
                                .options = {{"--json"}},
                                .forms = {{"kq5doctor [--json]", {"--json"}}}};

}  // namespace

int RunDoctor(const std::vector<std::string>& args, std::string& output, std::string& errors) {
    const cmdline::Parsed parsed = cmdline::Parse(kProgram, args);
    if (parsed.action == cmdline::Action::Refused) {
        errors = parsed.message;
        return 2;
    }
    if (parsed.action != cmdline::Action::Run) {
        output = parsed.action == cmdline::Action::Help
                     ? kProgram.help
                     : kProgram.name + " " + kProgram.version + "\n";
        return 0;
    }
    const bool json = parsed.Has("--json");
    // The doctor runs the service's lookups; their debugger lines would pass for the service's.
    const bool wasSilenced = DebugOutputSilenced();
    SilenceDebugOutput(true);
    const Facts facts = GatherFacts();
    SilenceDebugOutput(wasSilenced);
    const std::vector<Finding> findings = Judge(facts);
    output = json ? RenderJson(facts, findings) : RenderText(findings);
    return ExitCode(findings);
}
