// kq5trace: captures the debugger lines of the kq5 service on the machine where it runs, as a
// debug-output viewer does, keeping only those of the service's process. Each line gets the local
// time with milliseconds and the UTC offset; its bytes are escaped as the simulator's timeline
// escapes them, so `kq5trace --read` (and `kq5sim --trace`) read the capture back into the
// simulator's timeline and picture. The Win32 shell: the command line and the capture's decisions
// are in options.h, the loops in record_loop.h, standard C++ that the host's tests drive.
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "cmdline/cmdline.h"
#include "cmdline/outputs.h"
#include "platform/files.h"
#include "trace/dbwin_channel.h"
#include "trace/listen.h"
#include "trace/options.h"
#include "trace/record.h"
#include "tracereader/read_command.h"

#ifndef KQ5_VERSION
#define KQ5_VERSION "0"
#endif

namespace {

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

// The start of a capture continued in OUT: on a line of its own after an earlier one that was
// cut in the middle of a line.
std::string ContinuedStart(const std::filesystem::path& out) {
    std::ifstream in(out, std::ios::binary | std::ios::ate);
    if (in.tellg() <= 0) {
        return "";
    }
    in.seekg(-1, std::ios::end);
    return in.get() == '\n' ? "" : "\n";
}

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

// Captures the service's lines to OUT until the capture ends (CaptureGoesOn); false when OUT
// could not be written.
bool CaptureInto(FILE* out, const DbwinChannel& channel, const TraceCommand& command,
                 bool continuing) {
    const std::wstring service = PathOf(command.service).wstring();
    CaptureEnd end = CaptureEndOf(command, GetTickCount64());
    bool written = WriteLine(out, (continuing ? ContinuedStart(PathOf(command.out)) : "") +
                                      StartLine(HeaderTitle(KQ5_VERSION, Narrow(service)),
                                                LocalStamp().text, continuing));
    std::uint32_t pid = 0;
    ListenSink sink{[&](Entry entry) { written = written && WriteLine(out, FormatEntry(entry)); },
                    [&](std::uint32_t running) {
                        pid = running;
                        return CaptureGoesOn(end, running, GetTickCount64(), stopRequested != 0,
                                             written);
                    }};
    Listen(channel, service, sink);
    const StopCause cause = CaptureStopCause(end, pid, stopRequested != 0);
    return written && WriteLine(out, NoteLine(LocalStamp().text, StoppedNote(cause, end.seconds)));
}

// Ends a capture whose output cannot be written: exit code 1.
int CannotWrite(const std::string& what, const files::SystemError& why) {
    std::fprintf(stderr, "kq5trace: cannot write %s: %s\n", what.c_str(), why.text.c_str());
    return 1;
}

// A capture: to standard output, or to --out (never a file of --record's), line by line as it
// comes, so that the file can be read while the capture runs and a capture cut short keeps what
// it was given.
int Capture(const TraceCommand& command) {
    std::vector<std::string> notices;
    if (!command.out.empty()) {
        const std::string refused =
            cmdline::CheckOutputs({}, {{PathOf(command.out), "the capture"}},
                                  {command.replace, command.append}, &notices);
        if (!refused.empty()) {
            return Refuse(refused);
        }
    }
    std::error_code sizeError;
    const bool continuing = command.append &&
                            std::filesystem::file_size(PathOf(command.out), sizeError) > 0 &&
                            !sizeError;
    DbwinChannel channel;
    if (const int code = OpenCaptureChannel(channel, command.session); code != 0) {
        return code;
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    const std::wstring service = PathOf(command.service).wstring();
    DWORD error = 0;
    const DWORD pid = ServiceProcessId(service, error);
    if (const std::string refused =
            CaptureRefusal(command, Narrow(service), pid, error == ERROR_SERVICE_DOES_NOT_EXIST);
        !refused.empty()) {
        CloseChannel(channel);
        return Refuse(refused);
    }
    FILE* out = stdout;
    if (!command.out.empty() &&
        (out = _wfopen(PathOf(command.out).c_str(), command.append ? L"ab" : L"wb")) == nullptr) {
        const files::SystemError why = files::LastError();
        CloseChannel(channel);
        return CannotWrite(command.out, why);
    }
    for (const std::string& notice : notices) {
        std::fprintf(stderr, "kq5trace: %s\n", notice.c_str());
    }
    const bool written = CaptureInto(out, channel, command, continuing);
    const files::SystemError why = files::LastError();
    CloseChannel(channel);
    if (written && (command.out.empty() || std::fclose(out) == 0)) {
        return 0;
    }
    return CannotWrite(command.out.empty() ? "the standard output" : command.out, why);
}

int Read(const TraceCommand& command) {
    ReadCommand read;
    read.trace = PathOf(command.trace);
    read.html = PathOf(command.html);
    read.svg = PathOf(command.svg);
    read.replace = command.replace;
    // The findings byte for byte as on any other machine: "\n", not "\r\n".
    (void)_setmode(_fileno(stdout), _O_BINARY);
    return RunTraceRead("kq5trace", read, stdout, stderr);
}

int Run(const cmdline::Parsed& parsed) {
    TraceCommand command;
    if (const std::string refused = ReadTraceCommand(parsed, command); !refused.empty()) {
        std::fputs(refused.c_str(), stderr);
        return 2;
    }
    if (command.mode == TraceMode::Read) {
        return Read(command);
    }
    if (command.mode == TraceMode::Capture) {
        return Capture(command);
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    RecordOptions record;
    record.folder = PathOf(command.folder).wstring();
    record.service = PathOf(command.service).wstring();
    record.limits = command.limits;
    record.seconds = command.seconds;
    record.session = command.session;
    record.version = KQ5_VERSION;
    record.thresholds = command.thresholds;
    return RunRecord(record, stopRequested);
}

// The programs write UTF-8 ("C:\\Données" as it is); a console shows it so in its UTF-8 code
// page, which this process takes while it runs and gives back as it was when it ends.
UINT consoleCodePage = 0;

void GiveBackConsole() {
    SetConsoleOutputCP(consoleCodePage);
}

void ConsoleInUtf8() {
    consoleCodePage = GetConsoleOutputCP();  // 0: no console
    if (consoleCodePage != 0 && consoleCodePage != CP_UTF8 && SetConsoleOutputCP(CP_UTF8)) {
        std::atexit(GiveBackConsole);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    ConsoleInUtf8();
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) {
        args.push_back(PathText(std::filesystem::path(argv[i])));
    }
    return cmdline::Main(kTraceProgram, args, Run);
}
