// service_status.exe NAME: prints the service's status record as the service manager reports it,
// e.g. "type=0x10 state=4 controls=5 exit=0/0 checkpoint=0 waithint=60000".
#include <windows.h>

#include <cstdio>

int wmain(int argc, wchar_t** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: service_status NAME\n");
        return 2;
    }
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    SC_HANDLE service = manager ? OpenServiceW(manager, argv[1], SERVICE_QUERY_STATUS) : nullptr;
    SERVICE_STATUS s = {};
    const bool ok = service != nullptr && QueryServiceStatus(service, &s);
    if (service)
        CloseServiceHandle(service);
    if (manager)
        CloseServiceHandle(manager);
    if (!ok) {
        std::printf("error=%lu\n", GetLastError());
        return 1;
    }
    std::printf("type=0x%lx state=%lu controls=%lu exit=%lu/%lu checkpoint=%lu waithint=%lu\n",
                s.dwServiceType, s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode,
                s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint);
    return 0;
}
