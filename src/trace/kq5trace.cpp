// kq5trace: captures the debugger lines of the kq5 service on the machine where it runs, as a
// debug-output viewer does, keeping only those of the service's process. Each line gets the local
// time with milliseconds and the UTC offset; its bytes are escaped as the simulator's timeline
// escapes them, so `kq5trace --read` (and `kq5sim --trace`) read the capture back into the
// simulator's timeline and picture.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "cmdline/cmdline.h"
#include "cmdline/outputs.h"
#include "platform/files.h"
#include "trace/dbwin_channel.h"
#include "trace/listen.h"
#include "trace/record.h"
#include "tracereader/read.h"

#ifndef KQ5_VERSION
#define KQ5_VERSION "0"
#endif

namespace {

constexpr const char* kUsage =
    "usage: kq5trace [--service NAME] [--out FILE] [--for SECONDS] [--wait] [--until-stop]\n"
    "                [--session]\n"
    "       kq5trace --record FOLDER [--keep-days N] [--max-mib M] [--service NAME]\n"
    "                [--for SECONDS] [--session]\n"
    "       kq5trace --read TRACE|FOLDER [--html REPORT] [--svg PICTURE]\n"
    "\n"
    "Writes the debugger lines of the service NAME (default kq5) while it runs, one line each:\n"
    "the local time with milliseconds and UTC offset, a tab, [process id] and the text, its\n"
    "non-printable bytes escaped (\\r, \\n, \\xNN). Runs until Ctrl+C or for SECONDS.\n"
    "Read the capture with: kq5trace --read FILE [--html REPORT] [--svg PICTURE]\n"
    "\n"
    "  --service NAME  the service whose process is captured (default kq5)\n"
    "  --out FILE      write to FILE instead of standard output\n"
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
    "                  file goes first. Other files in FOLDER are never touched.\n"
    "\n"
    "Reading, on this machine or another (kq5sim --trace reads the same):\n"
    "  --read TRACE    reads TRACE (a capture of kq5trace, or a DebugView log saved as text) or\n"
    "                  a FOLDER written by --record, and prints the service's timeline, folded,\n"
    "                  and findings in plain words\n"
    "  --html REPORT   also write REPORT: one HTML file to open in a browser or attach to a\n"
    "                  ticket (the findings, the most serious first; the picture; the timeline)\n"
    "  --svg PICTURE   also write the picture alone, an SVG lane chart\n"
    "  An output is never written over what is read (the trace, a file in the folder read, a\n"
    "  file of --record), and is written whole or not at all.\n"
    "\n"
    "  --help, -h, /?  print this text; --version: the version\n"
    "\n"
    "Exit codes: 0 done; 1 the output cannot be written (a recording keeps the files it wrote;\n"
    "with --read, the report or the picture); 2 bad usage, another debug-output viewer holds the\n"
    "channel (a capture), no rights for the global channel, the service is not running (a\n"
    "capture without --wait), or the trace cannot be read or is no trace.\n";

const cmdline::Program kProgram{
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
                {"--read", "TRACE"},
                {"--html", "REPORT"},
                {"--svg", "PICTURE"}},
    .forms = {{"kq5trace [--service NAME] [--out FILE] [--for SECONDS] [--wait] [--until-stop]\n"
               "                [--session]",
               {"--service", "--out", "--for", "--wait", "--until-stop", "--session"}},
              {"kq5trace --record FOLDER [--keep-days N] [--max-mib M] [--service NAME]\n"
               "                [--for SECONDS] [--session]",
               {"--record", "--keep-days", "--max-mib", "--service", "--for", "--session"},
               "--record"},
              {"kq5trace --read TRACE|FOLDER [--html REPORT] [--svg PICTURE]",
               {"--read", "--html", "--svg"},
               "--read"}}};

volatile LONG stopRequested = 0;

BOOL WINAPI OnConsoleControl(DWORD) {
    InterlockedExchange(&stopRequested, 1);
    return TRUE;
}

// Every line is flushed as it is written: a capture cut short loses nothing it was given.
bool WriteLine(FILE* out, const std::string& line) {
    return std::fwrite(line.data(), 1, line.size(), out) == line.size() && std::fflush(out) == 0;
}

int Refuse(const std::string& text) {
    std::fprintf(stderr, "kq5trace: %s\n", text.c_str());
    return 2;
}

std::filesystem::path PathOf(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

struct CaptureOptions {
    std::wstring service = L"kq5";
    std::string outFile;  // empty: standard output
    double seconds = -1;
    bool wait = false;
    bool session = false;
    bool untilStop = false;
};

// The channel opened, or the refusal's exit code.
int OpenCaptureChannel(DbwinChannel& channel, bool session) {
    switch (OpenChannel(channel, session ? L"" : L"Global\\")) {
        case ChannelOpen::Ok:
            return 0;
        case ChannelOpen::Taken:
            return Refuse(
                "another debug-output viewer (DebugView, a debugger, another kq5trace) holds the "
                "channel: close it first");
        case ChannelOpen::NoRights:
            return Refuse(
                "no rights for the global debug-output channel: run kq5trace from an elevated "
                "prompt (or use --session for programs of this session)");
        case ChannelOpen::Failed:
            break;
    }
    SetLastError(channel.error);
    return Refuse("the debug-output channel cannot be opened: " + files::LastError().text);
}

// Captures the service's lines to OUT until the time is up, Ctrl+C or (with --until-stop) the
// end of its run; false when OUT could not be written.
bool CaptureInto(FILE* out, const DbwinChannel& channel, const CaptureOptions& options) {
    const ULONGLONG startMs = GetTickCount64();
    const auto timeUp = [&] {
        return stopRequested != 0 ||
               (options.seconds >= 0 &&
                static_cast<double>(GetTickCount64() - startMs) >= options.seconds * 1000);
    };
    bool written =
        WriteLine(out, "# kq5trace " KQ5_VERSION ": debugger lines of the service " +
                           Narrow(options.service) + ", from " + LocalStamp().text + "\n");
    bool seenRunning = false;
    ListenSink sink{[&](Entry entry) { written = written && WriteLine(out, FormatEntry(entry)); },
                    [&](std::uint32_t running) {
                        seenRunning = seenRunning || running != 0;
                        // With --until-stop, the run that was captured is over once it stopped.
                        return written && !timeUp() &&
                               !(options.untilStop && seenRunning && running == 0);
                    }};
    Listen(channel, options.service, sink);
    return written;
}

// A capture: to standard output, or to --out (never a file of --record's), line by line as it
// comes, so that the file can be read while the capture runs and a capture cut short keeps what
// it was given.
int Capture(const CaptureOptions& options) {
    if (!options.outFile.empty()) {
        const std::string refused =
            cmdline::CheckOutputs({}, {{PathOf(options.outFile), "the capture"}});
        if (!refused.empty()) {
            return Refuse(refused);
        }
    }
    DbwinChannel channel;
    if (const int code = OpenCaptureChannel(channel, options.session); code != 0) {
        return code;
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    DWORD error = 0;
    if (ServiceProcessId(options.service, error) == 0 && !options.wait) {
        CloseChannel(channel);
        return Refuse("the service " + Narrow(options.service) + " is not running" +
                      (error == ERROR_SERVICE_DOES_NOT_EXIST ? ": there is no such service" : "") +
                      " (--wait waits for it)");
    }
    FILE* out = stdout;
    if (!options.outFile.empty() &&
        (out = _wfopen(PathOf(options.outFile).c_str(), L"wb")) == nullptr) {
        const files::SystemError why = files::LastError();
        CloseChannel(channel);
        std::fprintf(stderr, "kq5trace: cannot write %s: %s\n", options.outFile.c_str(),
                     why.text.c_str());
        return 1;
    }
    const bool written = CaptureInto(out, channel, options);
    const files::SystemError why = files::LastError();
    CloseChannel(channel);
    if (written && (options.outFile.empty() || std::fclose(out) == 0)) {
        return 0;
    }
    std::fprintf(stderr, "kq5trace: cannot write %s: %s\n",
                 options.outFile.empty() ? "the standard output" : options.outFile.c_str(),
                 why.text.c_str());
    return 1;
}

// The numbers of the command line into OPTIONS and LIMITS; empty when all are good.
std::string ReadNumbers(const cmdline::Parsed& parsed, double& seconds, RecordLimits& limits) {
    const cmdline::Program& program = kProgram;
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
        if (!cmdline::WholeNumber(parsed.Value("--max-mib"), 1, 1024 * 1024, value)) {
            return cmdline::Refusal(program, parsed.form,
                                    "--max-mib takes a number of MiB from 1 to 1048576, not '" +
                                        parsed.Value("--max-mib") + "'");
        }
        limits.maxBytes = MibToBytes(static_cast<std::uint64_t>(value));
    }
    return "";
}

int Read(const cmdline::Parsed& parsed) {
    ReadCommand command;
    command.trace = PathOf(parsed.Value("--read"));
    command.html = PathOf(parsed.Value("--html"));
    command.svg = PathOf(parsed.Value("--svg"));
    // The findings byte for byte as on any other machine: "\n", not "\r\n".
    (void)_setmode(_fileno(stdout), _O_BINARY);
    return RunTraceRead("kq5trace", command, stdout, stderr);
}

int Run(const cmdline::Parsed& parsed) {
    if (parsed.Has("--read")) {
        return Read(parsed);
    }
    CaptureOptions options;
    RecordLimits limits;
    if (const std::string refused = ReadNumbers(parsed, options.seconds, limits);
        !refused.empty()) {
        std::fputs(refused.c_str(), stderr);
        return 2;
    }
    options.service = PathOf(parsed.Value("--service", "kq5")).wstring();
    options.session = parsed.Has("--session");
    if (!parsed.Has("--record")) {
        options.outFile = parsed.Value("--out");
        options.wait = parsed.Has("--wait");
        options.untilStop = parsed.Has("--until-stop");
        return Capture(options);
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    RecordOptions record;
    record.folder = PathOf(parsed.Value("--record")).wstring();
    record.service = options.service;
    record.limits = limits;
    record.seconds = options.seconds;
    record.session = options.session;
    record.version = KQ5_VERSION;
    return RunRecord(record, stopRequested);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.push_back(PathText(std::filesystem::path(argv[i])));
    }
    return cmdline::Main(kProgram, args, Run);
}
