// service_status.exe: what the service manager and the version API report, for the Wine checks.
//   service_status NAME           the service's status record, e.g.
//                                 "type=0x10 state=4 controls=5 exit=0/0 checkpoint=0
//                                 waithint=60000"
//   service_status -config NAME   its configuration, one field a line: type, start, error, path,
//                                 account, display, description
//   service_status -version FILE  the file's version resource: file and product version numbers
//                                 and the strings of the US English / Unicode block
// Prints "error=N" and exits 1 when a call fails.
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <vector>

namespace {

int PrintError(DWORD error = GetLastError()) {
    std::printf("error=%lu\n", error);
    return 1;
}

int PrintStatus(SC_HANDLE manager, const wchar_t* name) {
    SC_HANDLE service = OpenServiceW(manager, name, SERVICE_QUERY_STATUS);
    SERVICE_STATUS s = {};
    const bool ok = service != nullptr && QueryServiceStatus(service, &s);
    const DWORD error = GetLastError();
    if (service != nullptr)
        CloseServiceHandle(service);
    if (!ok)
        return PrintError(error);
    std::printf("type=0x%lx state=%lu controls=%lu exit=%lu/%lu checkpoint=%lu waithint=%lu\n",
                s.dwServiceType, s.dwCurrentState, s.dwControlsAccepted, s.dwWin32ExitCode,
                s.dwServiceSpecificExitCode, s.dwCheckPoint, s.dwWaitHint);
    return 0;
}

int PrintConfig(SC_HANDLE manager, const wchar_t* name) {
    SC_HANDLE service = OpenServiceW(manager, name, SERVICE_QUERY_CONFIG);
    if (service == nullptr)
        return PrintError();
    DWORD needed = 0;
    QueryServiceConfigW(service, nullptr, 0, &needed);
    std::vector<BYTE> config(needed);
    DWORD described = 0;
    QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, nullptr, 0, &described);
    std::vector<BYTE> description(described);
    const bool ok =
        QueryServiceConfigW(service, reinterpret_cast<QUERY_SERVICE_CONFIGW*>(config.data()),
                            needed, &needed) &&
        QueryServiceConfig2W(service, SERVICE_CONFIG_DESCRIPTION, description.data(), described,
                             &described);
    const DWORD error = GetLastError();
    CloseServiceHandle(service);
    if (!ok)
        return PrintError(error);
    const auto* c = reinterpret_cast<const QUERY_SERVICE_CONFIGW*>(config.data());
    const wchar_t* text =
        reinterpret_cast<const SERVICE_DESCRIPTIONW*>(description.data())->lpDescription;
    std::printf(
        "type=0x%lx\nstart=%lu\nerror=%lu\npath=%ls\naccount=%ls\ndisplay=%ls\n"
        "description=%ls\n",
        c->dwServiceType, c->dwStartType, c->dwErrorControl, c->lpBinaryPathName,
        c->lpServiceStartName ? c->lpServiceStartName : L"",
        c->lpDisplayName ? c->lpDisplayName : L"", text ? text : L"");
    return 0;
}

int PrintVersion(const wchar_t* file) {
    DWORD ignored = 0;
    std::vector<BYTE> block(GetFileVersionInfoSizeW(file, &ignored));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    if (block.empty() ||
        !GetFileVersionInfoW(file, 0, static_cast<DWORD>(block.size()), block.data()) ||
        !VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &size))
        return PrintError();
    std::printf("file=%u.%u.%u.%u\nproduct=%u.%u.%u.%u\n", HIWORD(fixed->dwFileVersionMS),
                LOWORD(fixed->dwFileVersionMS), HIWORD(fixed->dwFileVersionLS),
                LOWORD(fixed->dwFileVersionLS), HIWORD(fixed->dwProductVersionMS),
                LOWORD(fixed->dwProductVersionMS), HIWORD(fixed->dwProductVersionLS),
                LOWORD(fixed->dwProductVersionLS));
    for (const wchar_t* key : {L"FileDescription", L"FileVersion", L"InternalName",
                               L"OriginalFilename", L"ProductName", L"ProductVersion"}) {
        wchar_t path[64];
        std::swprintf(path, 64, L"\\StringFileInfo\\040904b0\\%ls", key);
        wchar_t* value = nullptr;
        if (!VerQueryValueW(block.data(), path, reinterpret_cast<void**>(&value), &size))
            value = const_cast<wchar_t*>(L"(missing)");
        std::printf("%ls=%ls\n", key, value);
    }
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    const bool config = argc == 3 && std::wcscmp(argv[1], L"-config") == 0;
    const bool version = argc == 3 && std::wcscmp(argv[1], L"-version") == 0;
    if (argc != 2 && !config && !version) {
        std::fprintf(stderr, "usage: service_status [-config] NAME | -version FILE\n");
        return 2;
    }
    if (version)
        return PrintVersion(argv[2]);
    SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
    if (manager == nullptr)
        return PrintError();
    const int code = config ? PrintConfig(manager, argv[2]) : PrintStatus(manager, argv[1]);
    CloseServiceHandle(manager);
    return code;
}
