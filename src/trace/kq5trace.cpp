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

#include "common/escape.h"
#include "trace/dbwin_channel.h"
#include "trace/read_main.h"

#ifndef KQ5_VERSION
#define KQ5_VERSION "0"
#endif

namespace {

constexpr const char* kUsage =
    "usage: kq5trace [--service NAME] [--out FILE] [--for SECONDS] [--wait] [--until-stop]\n"
    "                [--session]\n"
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
    "Exit codes: 0 done; 1 the output cannot be written; 2 bad usage, another debug-output viewer\n"
    "holds the channel, no rights for the global channel, or the service is not running.\n";

volatile LONG stopRequested = 0;

BOOL WINAPI OnConsoleControl(DWORD) {
    InterlockedExchange(&stopRequested, 1);
    return TRUE;
}

// The service's process id, or 0 while it does not run (or cannot be asked).
DWORD ServiceProcessId(const std::wstring& name, DWORD& error) {
    error = 0;
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr) {
        error = GetLastError();
        return 0;
    }
    DWORD pid = 0;
    SC_HANDLE service = OpenServiceW(manager, name.c_str(), SERVICE_QUERY_STATUS);
    if (service == nullptr) {
        error = GetLastError();
    } else {
        SERVICE_STATUS_PROCESS status{};
        DWORD needed = 0;
        if (QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                                 sizeof status, &needed) == 0) {
            error = GetLastError();
        } else if (status.dwCurrentState != SERVICE_STOPPED) {
            pid = status.dwProcessId;
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return pid;
}

// "2026-12-07 09:15:02.345 +01:00": the local time now, with its offset from UTC.
std::string LocalTimestamp() {
    SYSTEMTIME utc{};
    SYSTEMTIME local{};
    GetSystemTime(&utc);
    if (SystemTimeToTzSpecificLocalTime(nullptr, &utc, &local) == 0) {
        local = utc;
    }
    FILETIME u{};
    FILETIME l{};
    SystemTimeToFileTime(&utc, &u);
    SystemTimeToFileTime(&local, &l);
    const auto ticks = [](const FILETIME& f) {
        return static_cast<long long>((static_cast<unsigned long long>(f.dwHighDateTime) << 32) |
                                      f.dwLowDateTime);
    };
    const long long minutes = (ticks(l) - ticks(u)) / 600000000LL;
    const long long offset = minutes < 0 ? -minutes : minutes;
    char text[48];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u %c%02lld:%02lld",
                  local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond,
                  local.wMilliseconds, minutes < 0 ? '-' : '+', offset / 60, offset % 60);
    return text;
}

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (const wchar_t c : text) {
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
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
        } else {
            std::fprintf(stderr, "kq5trace: unknown option or missing value '%s' (see --help)\n",
                         Narrow(option).c_str());
            return 2;
        }
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
                                      name + ", from " + LocalTimestamp() + "\n");
    DWORD shownPid = 0;
    ULONGLONG askedMs = GetTickCount64();
    while (written && !timeUp()) {
        // The service may stop and start again in another process: ask again once a second.
        if (GetTickCount64() - askedMs >= 1000) {
            pid = ServiceProcessId(service, error);
            askedMs = GetTickCount64();
        }
        if (untilStop && shownPid != 0 && pid == 0) {
            break;  // the run that was captured is over
        }
        if (pid != shownPid) {
            written = WriteLine(out, "# " + LocalTimestamp() + " service " + name +
                                         (pid == 0 ? std::string(" is not running")
                                                   : " runs as process " + std::to_string(pid)) +
                                         "\n");
            shownPid = pid;
        }
        DWORD from = 0;
        std::string text;
        if (!ReceiveMessage(channel, 100, from, text)) {
            continue;
        }
        if (from != pid) {
            // Another process, or the service started again: asked at once, so that the first
            // lines of a new service process are kept too.
            pid = ServiceProcessId(service, error);
            askedMs = GetTickCount64();
            if (pid != shownPid && pid != 0) {
                written = WriteLine(out, "# " + LocalTimestamp() + " service " + name +
                                             " runs as process " + std::to_string(pid) + "\n");
                shownPid = pid;
            }
        }
        if (written && from == pid && pid != 0) {
            written = WriteLine(out, LocalTimestamp() + "\t[" + std::to_string(from) + "] " +
                                         EscapeBytes(text) + "\n");
        }
    }
    CloseChannel(channel);
    if (!written || (outFile != nullptr && std::fclose(out) != 0)) {
        std::fprintf(stderr, "kq5trace: the output cannot be written\n");
        return 1;
    }
    return 0;
}
