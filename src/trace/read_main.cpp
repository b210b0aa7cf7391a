// kq5trace --read: a capture, a saved DebugView log or a record folder read on the machine
// itself, with the reader kq5sim --trace uses, so both print the same findings.
#include "trace/read_main.h"

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>

#include "tracereader/read.h"

namespace {

constexpr const char* kReadUsage =
    "usage: kq5trace --read TRACE|FOLDER [--html REPORT] [--svg PICTURE]\n"
    "\n"
    "Reads TRACE (a capture of kq5trace, or a DebugView log saved as text) or a FOLDER written\n"
    "by kq5trace --record, and prints the service's timeline, folded, and findings in plain\n"
    "words.\n"
    "\n"
    "  --html REPORT   also write REPORT: one HTML file to open in a browser or attach to a\n"
    "                  ticket (the findings, the most serious first; the picture; the timeline)\n"
    "  --svg PICTURE   also write the picture alone, an SVG lane chart\n"
    "\n"
    "Exit codes: 0 done; 1 the report or the picture cannot be written; 2 bad usage, or the\n"
    "trace cannot be read or is no trace.\n";

}  // namespace

bool IsReadCommand(int argc, wchar_t** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::wstring(argv[i]) == L"--read") {
            return true;
        }
    }
    return false;
}

int ReadMain(int argc, wchar_t** argv) {
    ReadCommand command;
    for (int i = 1; i < argc; ++i) {
        const std::wstring option = argv[i];
        const bool hasValue = i + 1 < argc;
        if (option == L"--help" || option == L"-h") {
            std::fputs(kReadUsage, stdout);
            return 0;
        }
        if (option == L"--read" && hasValue && command.trace.empty()) {
            command.trace = argv[++i];
        } else if (option == L"--html" && hasValue) {
            command.html = argv[++i];
        } else if (option == L"--svg" && hasValue) {
            command.svg = argv[++i];
        } else {
            std::fputs(kReadUsage, stderr);
            return 2;
        }
    }
    // The findings byte for byte as on any other machine: "\n", not "\r\n".
    (void)_setmode(_fileno(stdout), _O_BINARY);
    return RunTraceRead("kq5trace", command, stdout, stderr);
}
