#include "trace/listen.h"

#include "tracelog/format.h"

Stamp LocalStamp() {
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
    const LocalDate date{local.wYear, local.wMonth, local.wDay};
    return Stamp{date, StampText(LocalTime{date, local.wHour, local.wMinute, local.wSecond,
                                           local.wMilliseconds, static_cast<int>(minutes)})};
}

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

void Listen(const DbwinChannel& channel, const std::wstring& service, ListenSink& sink) {
    const std::string name = Narrow(service);
    ListenSystem system;
    system.nowMs = [] { return static_cast<std::uint64_t>(GetTickCount64()); };
    system.stamp = LocalStamp;
    system.receive = [&channel](std::uint32_t timeoutMs, std::uint32_t& pid, std::string& text) {
        DWORD from = 0;
        const bool received = ReceiveMessage(channel, timeoutMs, from, text);
        pid = from;
        return received;
    };
    system.ask = [&] {
        DWORD error = 0;
        const DWORD pid = ServiceProcessId(service, error);
        return AnswerOf(name, pid, error == ERROR_SERVICE_DOES_NOT_EXIST);
    };
    ListenLoop(system, sink);
}
