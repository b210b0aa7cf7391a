#include "trace/options.h"

#ifndef KQ5_VERSION
#define KQ5_VERSION "0"
#endif

namespace {

constexpr const char* kUsage =
    "usage: kq5trace [--service NAME] [--out FILE [--append|--replace]] [--for SECONDS]\n"
    "                [--wait] [--until-stop] [--session]\n"
    "       kq5trace --record FOLDER [--keep-days N] [--max-mib M] [--service NAME]\n"
    "                [--for SECONDS] [--session] [--alert-after KIND=SECONDS ...]\n"
    "       kq5trace --read TRACE|FOLDER [--html REPORT] [--svg PICTURE] [--replace]\n"
    "\n"
    "Writes the debugger lines of the service NAME (default kq5) while it runs, one line each:\n"
    "the local time with milliseconds and UTC offset, a tab, [process id] and the text, its\n"
    "non-printable bytes escaped (\\r, \\n, \\xNN). Runs until Ctrl+C or for SECONDS.\n"
    "Read the capture with: kq5trace --read FILE [--html REPORT] [--svg PICTURE]\n"
    "\n"
    "  --service NAME  the service whose process is captured (default kq5)\n"
    "  --out FILE      write to FILE instead of standard output; a FILE there already is\n"
    "                  refused unless one of these is given:\n"
    "  --append        continue the earlier capture in FILE\n"
    "  --replace       write over FILE, whatever it holds\n"
    "  --for SECONDS   stop after SECONDS\n"
    "  --wait          wait for the service to run instead of exiting\n"
    "  --until-stop    end when the service has stopped (one run of it)\n"
    "  --session       use this session's channel instead of the global one (the global one\n"
    "                  carries the lines of services; it needs an elevated prompt)\n"
    "\n"
    "Recording, for days and unattended (e.g. started at boot as SYSTEM):\n"
    "  --record FOLDER one file per local day, FOLDER\\kq5trace-YYYY-MM-DD.txt; a day that\n"
    "                  reaches an eighth of --max-mib goes on in kq5trace-YYYY-MM-DD.2.txt, ...\n"
    "                  Follows the service across restarts and waits while it does not run;\n"
    "                  while another viewer holds the channel it says so in the file, waits and\n"
    "                  takes the channel when it is free.\n"
    "  --keep-days N   keep today and the N-1 days before (default 14)\n"
    "  --max-mib M     keep at most M MiB of these files in all (default 256); the oldest\n"
    "                  file goes first. Other files in FOLDER are never touched; each\n"
    "                  deletion is said and noted in the record. One recorder to a FOLDER.\n"
    "  --alert-after KIND=SECONDS\n"
    "                  the recording raises Windows events (source kq5, the Application log)\n"
    "                  when a condition has lasted its time: away (no status line of the\n"
    "                  printer; default 300), door (open; 600), paper (out; 600), spooler (the\n"
    "                  queue cannot be opened, 0x6ba; 120), stalled (status lines stopped while\n"
    "                  the service writes others; in cycles of 0.8 s, 10), not-running (the\n"
    "                  service; 60), not-listening (another viewer holds the channel; 30).\n"
    "                  Given again for each KIND changed; each condition's end is raised too.\n"
    "\n"
    "Reading, on this machine or another (kq5sim --trace reads the same):\n"
    "  --read TRACE    reads TRACE (a capture of kq5trace, or a DebugView log saved as text) or\n"
    "                  a FOLDER written by --record, and prints the service's timeline, folded,\n"
    "                  and findings in plain words\n"
    "  --html REPORT   also write REPORT: one HTML file to open in a browser or attach to a\n"
    "                  ticket (the findings, the most serious first; the picture; the timeline)\n"
    "  --svg PICTURE   also write the picture alone, an SVG lane chart\n"
    "  --replace       write over a file there already that is not kq5's report or picture\n"
    "  An output is never written over what is read (the trace, a file in the folder read, a\n"
    "  file of --record), and is written whole or not at all; an earlier report or picture of\n"
    "  kq5 is written over, and that is said.\n"
    "\n"
    "  --help, -h, /?  print this text; --version: the version\n"
    "\n"
    "Exit codes: 0 done; 1 the output cannot be written (a recording keeps the files it wrote;\n"
    "with --read, the report or the picture); 2 bad usage, an output that is there already\n"
    "(without --append or --replace), another debug-output viewer holds the channel (a\n"
    "capture), another recorder holds the folder, no rights for the global channel, the\n"
    "service is not running (a capture without --wait), or the trace cannot be read or is no\n"
    "trace.\n";

}  // namespace

const cmdline::Program kTraceProgram{
    .name = "kq5trace",
    .version = KQ5_VERSION,
    .help = kUsage,
    .options = {{"--service", "NAME"},
                {"--out", "FILE"},
                {"--for", "SECONDS"},
                {"--wait"},
                {"--until-stop"},
                {"--session"},
                {"--record", "FOLDER"},
                {"--keep-days", "N"},
                {"--max-mib", "M"},
                {"--alert-after", "KIND=SECONDS", true},
                {"--read", "TRACE"},
                {"--html", "REPORT"},
                {"--svg", "PICTURE"},
                {"--append"},
                {"--replace"}},
    .forms = {{"kq5trace [--service NAME] [--out FILE [--append|--replace]] [--for SECONDS]\n"
               "                [--wait] [--until-stop] [--session]",
               {"--service", "--out", "--append", "--replace", "--for", "--wait", "--until-stop",
                "--session"}},
              {"kq5trace --record FOLDER [--keep-days N] [--max-mib M] [--service NAME]\n"
               "                [--for SECONDS] [--session] [--alert-after KIND=SECONDS ...]",
               {"--record", "--keep-days", "--max-mib", "--service", "--for", "--session",
                "--alert-after"},
               "--record"},
              {"kq5trace --read TRACE|FOLDER [--html REPORT] [--svg PICTURE] [--replace]",
               {"--read", "--html", "--svg", "--replace"},
               "--read"}}};

namespace {

// The numbers of the command line into SECONDS and LIMITS; empty when all are good.
std::string ReadNumbers(const cmdline::Parsed& parsed, double& seconds, RecordLimits& limits) {
    const cmdline::Program& program = kTraceProgram;
    if (parsed.Has("--for") && !cmdline::Number(parsed.Value("--for"), 0, 1e7, seconds)) {
        return cmdline::Refusal(program, parsed.form,
                                "--for takes a number of seconds from 0 to 10000000, not '" +
                                    parsed.Value("--for") + "'");
    }
    long long value = 0;
    if (parsed.Has("--keep-days")) {
        if (!cmdline::WholeNumber(parsed.Value("--keep-days"), 1, 36500, value)) {
            return cmdline::Refusal(program, parsed.form,
                                    "--keep-days takes a number of days from 1 to 36500, not '" +
                                        parsed.Value("--keep-days") + "'");
        }
        limits.keepDays = static_cast<int>(value);
    }
    if (parsed.Has("--max-mib")) {
        if (!cmdline::WholeNumber(parsed.Value("--max-mib"), 1, 1024LL * 1024, value)) {
            return cmdline::Refusal(program, parsed.form,
                                    "--max-mib takes a number of MiB from 1 to 1048576, not '" +
                                        parsed.Value("--max-mib") + "'");
        }
        limits.maxBytes = MibToBytes(static_cast<std::uint64_t>(value));
    }
    return "";
}

// --append and --replace: one of them, and only with --out.
std::string ReadExisting(const cmdline::Parsed& parsed, TraceCommand& command) {
    command.append = parsed.Has("--append");
    command.replace = parsed.Has("--replace");
    if (command.append && command.replace) {
        return cmdline::Refusal(kTraceProgram, parsed.form,
                                "--append and --replace do not go together");
    }
    if ((command.append || command.replace) && command.out.empty()) {
        return cmdline::Refusal(
            kTraceProgram, parsed.form,
            std::string(command.append ? "--append" : "--replace") + " goes with --out");
    }
    return "";
}

// Each --alert-after into THRESHOLDS; the refusal of the first bad one, or empty.
std::string ReadThresholds(const cmdline::Parsed& parsed, Thresholds& thresholds) {
    for (const std::string& setting : parsed.Values("--alert-after")) {
        if (const std::string refused = SetThreshold(thresholds, setting); !refused.empty()) {
            return cmdline::Refusal(kTraceProgram, parsed.form, refused);
        }
    }
    return "";
}

}  // namespace

std::string ReadTraceCommand(const cmdline::Parsed& parsed, TraceCommand& command) {
    if (parsed.Has("--read")) {
        command.mode = TraceMode::Read;
        command.trace = parsed.Value("--read");
        command.html = parsed.Value("--html");
        command.svg = parsed.Value("--svg");
        command.replace = parsed.Has("--replace");
        return "";
    }
    if (std::string refused = ReadNumbers(parsed, command.seconds, command.limits);
        !refused.empty()) {
        return refused;
    }
    command.service = parsed.Value("--service", "kq5");
    command.session = parsed.Has("--session");
    if (parsed.Has("--record")) {
        command.mode = TraceMode::Record;
        command.folder = parsed.Value("--record");
        return ReadThresholds(parsed, command.thresholds);
    }
    command.mode = TraceMode::Capture;
    command.out = parsed.Value("--out");
    if (std::string refused = ReadExisting(parsed, command); !refused.empty()) {
        return refused;
    }
    command.wait = parsed.Has("--wait");
    command.untilStop = parsed.Has("--until-stop");
    return "";
}

std::string CaptureRefusal(const TraceCommand& command, const std::string& service,
                           std::uint32_t pid, bool noSuchService) {
    if (pid != 0 || command.wait) {
        return "";
    }
    return "the service " + service + " is not running" +
           (noSuchService ? ": there is no such service" : "") + " (--wait waits for it)";
}

CaptureEnd CaptureEndOf(const TraceCommand& command, std::uint64_t startMs) {
    return CaptureEnd{command.seconds, command.untilStop, startMs, false};
}

bool CaptureGoesOn(CaptureEnd& end, std::uint32_t pid, std::uint64_t nowMs, bool stopRequested,
                   bool written) {
    end.seenRunning = end.seenRunning || pid != 0;
    const bool timeUp =
        end.seconds >= 0 && static_cast<double>(nowMs - end.startMs) >= end.seconds * 1000;
    // With --until-stop, the run that was captured is over once it stopped.
    return written && !stopRequested && !timeUp && !(end.untilStop && end.seenRunning && pid == 0);
}

StopCause CaptureStopCause(const CaptureEnd& end, std::uint32_t pid, bool stopRequested) {
    if (stopRequested) {
        return StopCause::Asked;
    }
    // Not asked, and its output written: the service it waited for stopped, or the time is up.
    return end.untilStop && end.seenRunning && pid == 0 ? StopCause::ServiceStopped
                                                        : StopCause::TimeUp;
}
