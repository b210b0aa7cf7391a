// kq5trace: captures the debugger lines of the kq5 service on the machine where it runs, as a
// debug-output viewer does, keeping only those of the service's process. Each line gets the local
// time with milliseconds and the UTC offset; its bytes are escaped as the simulator's timeline
// escapes them, so `kq5trace --read` (and `kq5sim --trace`) read the capture back into the
// simulator's timeline and picture.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "trace/dbwin_channel.h"
#include "trace/listen.h"
#include "trace/record.h"
#include "trace/read_main.h"

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
    "Exit codes: 0 done; 1 the output cannot be written (a recording keeps the files it wrote);\n"
    "2 bad usage, another debug-output viewer holds the channel (a capture), no rights for the\n"
    "global channel, or the service is not running (a capture without --wait).\n";

volatile LONG stopRequested = 0;

BOOL WINAPI OnConsoleControl(DWORD) {
    InterlockedExchange(&stopRequested, 1);
    return TRUE;
}

// Every line is flushed as it is written: a capture cut short loses nothing it was given.
bool WriteLine(FILE* out, const std::string& line) {
    return std::fwrite(line.data(), 1, line.size(), out) == line.size() && std::fflush(out) == 0;
}

int Refuse(const char* text) {
    std::fprintf(stderr, "kq5trace: %s\n", text);
    return 2;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (IsReadCommand(argc, argv)) {
        return ReadMain(argc, argv);
    }
    std::wstring service = L"kq5";
    const wchar_t* outFile = nullptr;
    double seconds = -1;
    bool wait = false;
    bool session = false;
    bool untilStop = false;
    const wchar_t* recordFolder = nullptr;
    RecordLimits limits;
    bool limitsGiven = false;
    // A whole number from FROM to TO, or -1.
    const auto count = [](const wchar_t* text, long from, long to) {
        wchar_t* end = nullptr;
        const long value = std::wcstol(text, &end, 10);
        return end == text || *end != L'\0' || value < from || value > to ? -1 : value;
    };
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == L"--help" || option == L"-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (option == L"--service" && hasValue) {
            service = argv[++i];
        } else if (option == L"--out" && hasValue) {
            outFile = argv[++i];
        } else if (option == L"--for" && hasValue) {
            wchar_t* end = nullptr;
            seconds = std::wcstod(argv[++i], &end);
            if (end == argv[i] || *end != L'\0' || !(seconds >= 0) || seconds > 1e7) {
                return Refuse("--for takes a number of seconds (see kq5trace --help)");
            }
        } else if (option == L"--wait") {
            wait = true;
        } else if (option == L"--until-stop") {
            untilStop = true;
        } else if (option == L"--session") {
            session = true;
        } else if (option == L"--record" && hasValue) {
            recordFolder = argv[++i];
        } else if (option == L"--keep-days" && hasValue) {
            const long days = count(argv[++i], 1, 36500);
            if (days < 0) {
                return Refuse("--keep-days takes a number of days from 1 (see kq5trace --help)");
            }
            limits.keepDays = static_cast<int>(days);
            limitsGiven = true;
        } else if (option == L"--max-mib" && hasValue) {
            const long mib = count(argv[++i], 1, 1024 * 1024);
            if (mib < 0) {
                return Refuse("--max-mib takes a number of MiB from 1 (see kq5trace --help)");
            }
            limits.maxBytes = MibToBytes(static_cast<std::uint64_t>(mib));
            limitsGiven = true;
        } else {
            std::fprintf(stderr, "kq5trace: unknown option or missing value '%s' (see --help)\n",
                         Narrow(option).c_str());
            return 2;
        }
    }

    if (recordFolder != nullptr) {
        if (outFile != nullptr || wait || untilStop) {
            return Refuse(
                "--record writes its own files and always waits for the service: no "
                "--out, --wait or --until-stop with it");
        }
        SetConsoleCtrlHandler(OnConsoleControl, TRUE);
        RecordOptions options;
        options.folder = recordFolder;
        options.service = service;
        options.limits = limits;
        options.seconds = seconds;
        options.session = session;
        options.version = KQ5_VERSION;
        return RunRecord(options, stopRequested);
    }
    if (limitsGiven) {
        return Refuse("--keep-days and --max-mib go with --record");
    }

    DbwinChannel channel;
    switch (OpenChannel(channel, session ? L"" : L"Global\\")) {
        case ChannelOpen::Ok:
            break;
        case ChannelOpen::Taken:
            return Refuse(
                "another debug-output viewer (DebugView, a debugger, another kq5trace) holds the "
                "channel: close it first");
        case ChannelOpen::NoRights:
            return Refuse(
                "no rights for the global debug-output channel: run kq5trace from an elevated "
                "prompt (or use --session for programs of this session)");
        case ChannelOpen::Failed:
            std::fprintf(stderr,
                         "kq5trace: the debug-output channel cannot be opened (error %lu)\n",
                         static_cast<unsigned long>(channel.error));
            return 2;
    }
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    const ULONGLONG startMs = GetTickCount64();
    const auto timeUp = [&] {
        return stopRequested != 0 ||
               (seconds >= 0 && static_cast<double>(GetTickCount64() - startMs) >= seconds * 1000);
    };

    const std::string name = Narrow(service);
    DWORD error = 0;
    DWORD pid = ServiceProcessId(service, error);
    if (pid == 0 && !wait) {
        CloseChannel(channel);
        std::fprintf(stderr, "kq5trace: the service %s is not running%s (--wait waits for it)\n",
                     name.c_str(),
                     error == ERROR_SERVICE_DOES_NOT_EXIST ? ": there is no such service" : "");
        return 2;
    }
    FILE* out = stdout;
    if (outFile != nullptr && (out = _wfopen(outFile, L"wb")) == nullptr) {
        CloseChannel(channel);
        std::fprintf(stderr, "kq5trace: cannot write %s\n", Narrow(outFile).c_str());
        return 1;
    }
    bool written = WriteLine(out, "# kq5trace " KQ5_VERSION ": debugger lines of the service " +
                                      name + ", from " + LocalStamp().text + "\n");
    bool seenRunning = false;
    ListenSink sink{[&](Entry entry) { written = written && WriteLine(out, FormatEntry(entry)); },
                    [&](std::uint32_t running) {
                        seenRunning = seenRunning || running != 0;
                        // With --until-stop, the run that was captured is over once it stopped.
                        return written && !timeUp() && !(untilStop && seenRunning && running == 0);
                    }};
    Listen(channel, service, sink);
    CloseChannel(channel);
    if (!written || (outFile != nullptr && std::fclose(out) != 0)) {
        std::fprintf(stderr, "kq5trace: the output cannot be written\n");
        return 1;
    }
    return 0;
}
