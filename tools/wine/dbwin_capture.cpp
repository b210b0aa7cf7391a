// dbwin_capture.exe OUTPUT STOPFILE: writes every debug-output message of the session to OUTPUT,
// one line per message: the process id, a blank, and the text in double quotes with \r, \n, \\,
// \" and every byte outside printable ASCII escaped (\xNN), until STOPFILE exists. Creates
// OUTPUT.ready once it listens and OUTPUT.done when it has written everything.
#include <cstdio>
#include <string>

#include "dbwin_capture.h"

namespace {

std::string Escape(const std::string& text) {
    std::string out;
    for (unsigned char c : text) {
        char hex[8];
        if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\\' || c == '"') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20 || c >= 0x7f) {
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

void Touch(const std::wstring& path) {
    if (FILE* f = _wfopen(path.c_str(), L"wb")) {
        std::fclose(f);
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: dbwin_capture OUTPUT STOPFILE\n");
        return 2;
    }
    DebugOutputCapture capture;
    if (!capture.Start()) {
        std::fprintf(stderr, "dbwin_capture: the debug output channel is taken\n");
        return 1;
    }
    size_t written = 0;
    FILE* out = _wfopen(argv[1], L"wb");
    Touch(std::wstring(argv[1]) + L".ready");
    if (out == nullptr) {
        return 1;
    }
    for (;;) {
        const bool stopping = GetFileAttributesW(argv[2]) != INVALID_FILE_ATTRIBUTES;
        const std::vector<DebugMessage> messages = capture.Messages();
        for (; written < messages.size(); ++written) {
            std::fprintf(out, "%lu \"%s\"\n",
                         static_cast<unsigned long>(messages[written].processId),
                         Escape(messages[written].text).c_str());
        }
        std::fflush(out);
        if (stopping) {
            break;
        }
        Sleep(50);
    }
    std::fclose(out);
    capture.Stop();
    Touch(std::wstring(argv[1]) + L".done");
    return 0;
}
