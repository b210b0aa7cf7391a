// debug_lines.exe COUNT: the writer for bench/record_bench_wine.sh. Run by the service manager, it
// reports running, waits 1.5 s (so that a recorder has asked for its process once), writes COUNT
// debugger lines "KQ5 STATUS:32\r\n" as fast as the listener takes them, writes the wall time per
// line it waited as one line more, and stops. Run from a console, it writes the lines there and
// then (the lines of a process that is not the recorded service).
#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

long count = 1000;
SERVICE_STATUS_HANDLE statusHandle = nullptr;

void WriteLines() {
    LARGE_INTEGER frequency{};
    LARGE_INTEGER start{};
    LARGE_INTEGER end{};
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&start);
    for (long i = 0; i < count; ++i) {
        OutputDebugStringA("KQ5 STATUS:32\r\n");
    }
    QueryPerformanceCounter(&end);
    char line[96];
    std::snprintf(line, sizeof line, "debug_lines: %.2f us per line\n",
                  static_cast<double>(end.QuadPart - start.QuadPart) * 1e6 /
                      static_cast<double>(frequency.QuadPart) / static_cast<double>(count));
    OutputDebugStringA(line);
}

void Report(DWORD state) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = state == SERVICE_RUNNING ? SERVICE_ACCEPT_STOP : 0;
    SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI Handler(DWORD, DWORD, LPVOID, LPVOID) {
    return NO_ERROR;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    statusHandle = RegisterServiceCtrlHandlerExW(L"debug_lines", Handler, nullptr);
    Report(SERVICE_RUNNING);
    Sleep(1500);
    WriteLines();
    Report(SERVICE_STOPPED);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc > 1) {
        count = std::wcstol(argv[1], nullptr, 10);
    }
    if (count <= 0) {
        return 2;
    }
    wchar_t name[] = L"debug_lines";
    SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    if (StartServiceCtrlDispatcherW(table) == 0) {
        WriteLines();  // not a service: from a console
    }
    return 0;
}
