// conformance_service.exe: an own-process service that takes its time, for the conformance cases
// under Wine. It reports SERVICE_START_PENDING for 1.5 s before it runs and SERVICE_STOP_PENDING
// for 1.5 s before it stops, so that a case meets the service manager in every state. While it
// stops it still lists stop among its controls, as kq5 does: the service manager's refusal of a
// second stop must come from the state alone.
#include <windows.h>

namespace {

constexpr DWORD kTransitionMs = 1500;

SERVICE_STATUS_HANDLE statusHandle = nullptr;
HANDLE stopRequested = nullptr;

void Report(DWORD state, DWORD controls) {
    const bool pending = state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING;
    SERVICE_STATUS status = {};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = controls;
    status.dwCheckPoint = pending ? 1 : 0;
    status.dwWaitHint = pending ? 2 * kTransitionMs : 0;
    SetServiceStatus(statusHandle, &status);
}

DWORD WINAPI Handler(DWORD control, DWORD, LPVOID, LPVOID) {
    if (control == SERVICE_CONTROL_STOP) {
        Report(SERVICE_STOP_PENDING, SERVICE_ACCEPT_STOP);
        SetEvent(stopRequested);
        return NO_ERROR;
    }
    return control == SERVICE_CONTROL_INTERROGATE ? NO_ERROR : ERROR_CALL_NOT_IMPLEMENTED;
}

void WINAPI ServiceMain(DWORD, LPWSTR* argv) {
    statusHandle = RegisterServiceCtrlHandlerExW(argv[0], Handler, nullptr);
    Report(SERVICE_START_PENDING, 0);
    Sleep(kTransitionMs);
    Report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
    WaitForSingleObject(stopRequested, INFINITE);
    Sleep(kTransitionMs);
    Report(SERVICE_STOPPED, 0);
}

}  // namespace

int wmain() {
    stopRequested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    wchar_t name[] = L"kq5-conformance";
    const SERVICE_TABLE_ENTRYW table[] = {{name, ServiceMain}, {nullptr, nullptr}};
    return StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
