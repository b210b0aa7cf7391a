#include "trace/listen.h"

#include <cstdio>
#include <utility>

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
    const long long offset = minutes < 0 ? -minutes : minutes;
    char text[48];
    std::snprintf(text, sizeof text, "%04u-%02u-%02u %02u:%02u:%02u.%03u %c%02lld:%02lld",
                  local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute, local.wSecond,
                  local.wMilliseconds, minutes < 0 ? '-' : '+', offset / 60, offset % 60);
    return Stamp{LocalDate{local.wYear, local.wMonth, local.wDay}, text};
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

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (const wchar_t c : text) {
        out += c < 0x80 ? static_cast<char>(c) : '?';
    }
    return out;
}

void Listen(const DbwinChannel& channel, const std::wstring& service, ListenSink& sink) {
    const std::string name = Narrow(service);
    const std::function<ServiceAnswer()> ask = [&] {
        DWORD error = 0;
        const DWORD pid = ServiceProcessId(service, error);
        return ServiceAnswer{pid,
                             "service " + name +
                                 (pid != 0 ? " runs as process " + std::to_string(pid)
                                  : error == ERROR_SERVICE_DOES_NOT_EXIST
                                      ? std::string(" is not running: there is no such service")
                                      : std::string(" is not running"))};
    };
    ServiceWatch watch;
    while (sink.goOn(watch.filter.pid)) {
        const ULONGLONG nowMs = GetTickCount64();
        if (TimeToAsk(watch.filter, nowMs)) {  // the clock is read only when it is needed
            const Stamp now = LocalStamp();
            for (Entry& entry : WatchStep(watch, nowMs, now.date, now.text, nullptr, ask)) {
                sink.write(std::move(entry));
            }
        }
        DWORD from = 0;
        std::string text;
        if (!ReceiveMessage(channel, 100, from, text)) {
            continue;
        }
        const Stamp stamp = LocalStamp();
        const Entry line{Entry::Kind::Line, stamp.date, stamp.text, from, std::move(text)};
        for (Entry& entry :
             WatchStep(watch, GetTickCount64(), stamp.date, stamp.text, &line, ask)) {
            sink.write(std::move(entry));
        }
    }
}
