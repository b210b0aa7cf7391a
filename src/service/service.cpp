#include "service/service.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <mutex>

#include "common/format.h"
#include "common/service_state.h"
#include "monitor/status_poller.h"
#include "queue/queue.h"

namespace {

constexpr const WCHAR* kDispatchServiceName = WSTR("testserviceZ47M55");
constexpr const WCHAR* kServiceName = WSTR("testservice");
constexpr DWORD kWaitHintMs = 60000;
// A stop that waits for the spooler reports its progress every second, with a hint that covers
// the next second and then some. It waits 21 s at most: the 20 s in which the wait begins its
// last look, and a second for that look; a call that blocks longer (a start request returns
// only once the spooler's process has come up) is left to finish after the process has gone,
// which the service manager carries out all the same.
constexpr DWORD kStopReportIntervalMs = 1000;
constexpr DWORD kStopStepHintMs = 3000;
constexpr ULONGLONG kStopWaitLimitMs = 21000;
// Why the stop's wait ended; it runs on a thread of its own so that nothing it calls can hold
// the stop past its bound.
std::atomic<DWORD> stopWaitResult{ERROR_SERVICE_REQUEST_TIMEOUT};

// Start-up and the handler run on different threads and both write the current state, so the
// status record is changed and reported under one lock.
std::mutex statusLock;

void ReportServiceStatus() {
    std::lock_guard<std::mutex> lock(statusLock);
    SetServiceStatus(serviceState.statusHandle, &serviceState.serviceStatus);
}

// exitCode goes to the System event log: non-zero when the spooler could not be restored.
void ReportStopped(DWORD exitCode) {
    std::lock_guard<std::mutex> lock(statusLock);
    serviceState.serviceStatus.dwCurrentState = SERVICE_STOPPED;
    serviceState.serviceStatus.dwWin32ExitCode = exitCode;
    serviceState.serviceStatus.dwCheckPoint = 0;
    serviceState.serviceStatus.dwWaitHint = kWaitHintMs;
    SetServiceStatus(serviceState.statusHandle, &serviceState.serviceStatus);
}

// One step of a stop that waits for the spooler: the checkpoint goes up with every report, and the
// hint covers the next look and pause.
void ReportStopPending() {
    std::lock_guard<std::mutex> lock(statusLock);
    serviceState.serviceStatus.dwCurrentState = SERVICE_STOP_PENDING;
    ++serviceState.serviceStatus.dwCheckPoint;
    serviceState.serviceStatus.dwWaitHint = kStopStepHintMs;
    SetServiceStatus(serviceState.statusHandle, &serviceState.serviceStatus);
}

// Start-up's one report. False when a stop came first: a stopped service stays stopped.
bool ReportRunning() {
    std::lock_guard<std::mutex> lock(statusLock);
    if (serviceState.serviceStatus.dwCurrentState == SERVICE_STOPPED) {
        return false;
    }
    serviceState.serviceStatus.dwCurrentState = SERVICE_RUNNING;
    SetServiceStatus(serviceState.statusHandle, &serviceState.serviceStatus);
    return true;
}

bool StopTaken() {
    std::lock_guard<std::mutex> lock(statusLock);
    return serviceState.serviceStatus.dwCurrentState == SERVICE_STOPPED;
}

DWORD WINAPI StopWaitThread(LPVOID) {
    stopWaitResult = PaySpoolerDebtBeforeExit();
    return 0;
}

// The spooler debt paid before the process ends, within kStopWaitLimitMs: the exit code.
DWORD PayDebtBeforeStopping() {
    stopWaitResult = ERROR_SERVICE_REQUEST_TIMEOUT;
    HANDLE worker = CreateThread(nullptr, 0, StopWaitThread, nullptr, 0, nullptr);
    if (worker == nullptr) {
        ReportStopPending();
        return PaySpoolerDebtBeforeExit();  // on this thread, then: bounded but for a blocked call
    }
    const ULONGLONG deadline = GetTickCount64() + kStopWaitLimitMs;
    DWORD result = ERROR_SERVICE_REQUEST_TIMEOUT;
    for (;;) {
        ReportStopPending();
        const ULONGLONG now = GetTickCount64();
        const DWORD slice =
            static_cast<DWORD>(std::min<ULONGLONG>(kStopReportIntervalMs, deadline - now));
        const DWORD waited = now < deadline ? WaitForSingleObject(worker, slice) : WAIT_TIMEOUT;
        if (waited == WAIT_OBJECT_0) {
            result = stopWaitResult;
            break;
        }
        if (waited != WAIT_TIMEOUT) {
            Sleep(slice);  // the wait itself failed: the worker is looked at again after a pause
        }
        if (GetTickCount64() >= deadline) {
            break;  // the spooler's answer did not come in time
        }
    }
    CloseHandle(worker);
    return result;
}

void RegisterUsbNotifications() {
    DEV_BROADCAST_DEVICEINTERFACE_W filter;
    static_assert(sizeof filter == 32);
    std::memset(&filter, 0, sizeof filter);  // the padding too: the platform copies the bytes
    filter.dbcc_size = sizeof filter;
    filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    filter.dbcc_classguid = GUID_DEVINTERFACE_USB_DEVICE;
    serviceState.deviceNotification = RegisterDeviceNotificationW(
        serviceState.statusHandle, &filter, DEVICE_NOTIFY_SERVICE_HANDLE);
}

}  // namespace

int ServiceProgramMain() {
    WideString name = kDispatchServiceName;
    SERVICE_TABLE_ENTRYW table[] = {{name.data(), ServiceMain}, {nullptr, nullptr}};
    // Blocks while the service runs; fails at once outside the service manager.
    StartServiceCtrlDispatcherW(table);
    DebugPrint(" MainError:%d\n", GetLastError());
    return 0;
}

void WINAPI ServiceMain(DWORD, LPWSTR*) {
    const WideString name = kServiceName;
    // A probe: only its diagnostics matter when the queue is missing.
    HANDLE queue = OpenQueueChecked();
    if (queue != INVALID_HANDLE_VALUE) {
        ClosePrinter(queue);
    }
    RefreshCurrentPort();
    {
        std::lock_guard<std::mutex> lock(statusLock);
        SERVICE_STATUS& status = serviceState.serviceStatus;
        status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
        status.dwCurrentState = SERVICE_START_PENDING;
        status.dwControlsAccepted = SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_SHUTDOWN;
        status.dwWin32ExitCode = 0;
        status.dwServiceSpecificExitCode = 0;
        status.dwCheckPoint = 0;
        status.dwWaitHint = kWaitHintMs;
    }
    const SERVICE_STATUS_HANDLE statusHandle =
        RegisterServiceCtrlHandlerExW(name.c_str(), ServiceCtrlHandler, nullptr);
    {
        // From here on the handler may run on the dispatcher thread and report with this handle.
        std::lock_guard<std::mutex> lock(statusLock);
        serviceState.statusHandle = statusHandle;
    }
    RegisterUsbNotifications();
    if (!ReportRunning()) {
        return;  // stopped during start-up: no poller
    }
    HANDLE poller = CreateThread(nullptr, 0, StatusPollThread, nullptr, 0, nullptr);
    if (poller == nullptr) {
        // A service without its poller does nothing: it says so, and the service manager's
        // recovery actions can restart it.
        ReportStopped(GetLastError());
        return;
    }
    CloseHandle(poller);  // never waited for; the thread runs on
}

DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            // A spooler restart that still owes its start would die with the process and leave
            // printing down: it is paid first, bounded, while the service reports its progress.
            if (SpoolerDebtOwed()) {
                ReportStopped(PayDebtBeforeStopping());
                return NO_ERROR;
            }
            ReportStopped(NO_ERROR);
            return NO_ERROR;
        case SERVICE_CONTROL_SHUTDOWN:
            // The machine is going down and the spooler starts with it again: no wait. Nothing
            // is torn down: the process exit ends the poller.
            ReportStopped(NO_ERROR);
            return NO_ERROR;
        case SERVICE_CONTROL_DEVICEEVENT:
            // A service that has taken a stop acts on nothing more, also when the service manager
            // did not hear of it (its report failed, and the report below says it again): a port
            // move begun now would end with the process and leave the spooler stopped.
            if (!StopTaken()) {
                OnDeviceEvent(eventType, eventData);
            }
            break;
        default:
            break;
    }
    ReportServiceStatus();
    return NO_ERROR;
}
