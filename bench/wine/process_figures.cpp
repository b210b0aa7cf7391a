// process_figures.exe SERVICE: one line of figures of the service's process, for the Wine
// benchmark: "cpu_ms=N working_set_kib=N peak_working_set_kib=N handles=N".
#include <windows.h>
#include <psapi.h>

#include <cstdio>

namespace {

DWORD ServiceProcessId(const wchar_t* name) {
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, name, SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS_PROCESS status = {};
    DWORD needed = 0;
    if (service != nullptr) {
        QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<LPBYTE>(&status),
                             sizeof status, &needed);
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
    return status.dwProcessId;
}

unsigned long long Milliseconds(const FILETIME& time) {
    return ((static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime) /
           10000;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: process_figures SERVICE\n");
        return 2;
    }
    const DWORD id = ServiceProcessId(argv[1]);
    HANDLE process =
        id ? OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, id) : nullptr;
    if (process == nullptr) {
        std::fprintf(stderr, "process_figures: no process for %ls\n", argv[1]);
        return 1;
    }
    FILETIME created, exited, kernel, user;
    GetProcessTimes(process, &created, &exited, &kernel, &user);
    PROCESS_MEMORY_COUNTERS memory = {};
    memory.cb = sizeof memory;
    GetProcessMemoryInfo(process, &memory, sizeof memory);
    DWORD handles = 0;
    GetProcessHandleCount(process, &handles);
    std::printf("cpu_ms=%llu working_set_kib=%llu peak_working_set_kib=%llu handles=%lu\n",
                Milliseconds(kernel) + Milliseconds(user),
                static_cast<unsigned long long>(memory.WorkingSetSize / 1024),
                static_cast<unsigned long long>(memory.PeakWorkingSetSize / 1024), handles);
    CloseHandle(process);
    return 0;
}
