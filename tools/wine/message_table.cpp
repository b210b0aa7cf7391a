// message_table.exe: kq5's events as a reader of the Application log sees them, for the Wine
// checks.
//   message_table EXE        loads EXE as data, as the event log's readers load the source's
//                            EventMessageFile, and prints every event ID of kq5's message file
//                            formatted with the insertion strings "<queue>", "<port>",
//                            "<status>", "<duration>" and "<record>": "ID<TAB>text" a line
//   message_table --report   reports three events as source "kq5" (1050 error, 1000 warning,
//                            1001 information), each with those five strings
//   message_table EXE ID S1 S2 S3 S4 S5
//                            prints event ID of EXE formatted with the five strings given (an
//                            event as a reader of the log shows it, its strings as raised)
// Prints "error=N ..." and exits 1 when a call fails.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "eventlog/kq5_events.h"

namespace {

// Distinct and unlike any word of the texts, so that each one placed can be found.
const wchar_t* const kStrings[] = {L"<queue>", L"<port>", L"<status>", L"<duration>", L"<record>"};

int PrintError(const char* what, DWORD error = GetLastError()) {
    std::printf("error=%lu %s\n", error, what);
    return 1;
}

std::string Utf8(const wchar_t* text, int length) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, length, nullptr, 0, nullptr, nullptr);
    std::string out(static_cast<size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, length, out.data(), size, nullptr, nullptr);
    return out;
}

// One event's text, its line break at the end dropped (a break inside stays, and shows).
int PrintMessage(HMODULE module, DWORD id, const wchar_t* const* strings = kStrings) {
    wchar_t text[4096];
    DWORD_PTR arguments[5];
    for (int i = 0; i < 5; ++i) arguments[i] = reinterpret_cast<DWORD_PTR>(strings[i]);
    DWORD length = FormatMessageW(FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY,
                                  module, id, 0, text, 4096, reinterpret_cast<va_list*>(arguments));
    if (length == 0)
        return PrintError(("FormatMessageW " + std::to_string(id)).c_str());
    while (length > 0 && (text[length - 1] == L'\n' || text[length - 1] == L'\r')) --length;
    std::printf("%lu\t%s\n", id, Utf8(text, static_cast<int>(length)).c_str());
    return 0;
}

int PrintTable(const wchar_t* exe) {
    HMODULE module = LoadLibraryExW(exe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr)
        return PrintError("LoadLibraryExW");
    int failed = 0;
    for (DWORD id : kKq5EventIds) failed |= PrintMessage(module, id);
    FreeLibrary(module);
    return failed;
}

int PrintOne(const wchar_t* exe, const wchar_t* id, const wchar_t* const* strings) {
    HMODULE module = LoadLibraryExW(exe, nullptr, LOAD_LIBRARY_AS_DATAFILE);
    if (module == nullptr)
        return PrintError("LoadLibraryExW");
    const int failed =
        PrintMessage(module, static_cast<DWORD>(std::wcstoul(id, nullptr, 10)), strings);
    FreeLibrary(module);
    return failed;
}

int ReportEvents() {
    HANDLE source = RegisterEventSourceW(nullptr, L"kq5");
    if (source == nullptr)
        return PrintError("RegisterEventSourceW");
    const struct {
        WORD type;
        DWORD id;
    } events[] = {{EVENTLOG_ERROR_TYPE, KQ5_MSG_SERVICE_ENDED_ERROR},
                  {EVENTLOG_WARNING_TYPE, KQ5_MSG_PRINTER_AWAY},
                  {EVENTLOG_INFORMATION_TYPE, KQ5_MSG_PRINTER_BACK}};
    int failed = 0;
    for (const auto& event : events) {
        if (!ReportEventW(source, event.type, 0, event.id, nullptr, 5, 0,
                          const_cast<const wchar_t**>(kStrings), nullptr))
            failed = PrintError(("ReportEventW " + std::to_string(event.id)).c_str());
    }
    DeregisterEventSource(source);
    return failed;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc == 2 && std::wstring(argv[1]) == L"--report")
        return ReportEvents();
    if (argc == 2)
        return PrintTable(argv[1]);
    if (argc == 8)
        return PrintOne(argv[1], argv[2], argv + 3);
    std::printf("usage: message_table EXE [ID S1 S2 S3 S4 S5] | message_table --report\n");
    return 2;
}
