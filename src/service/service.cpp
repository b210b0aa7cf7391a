#include "service/service.h"

#include <algorithm>
#include <cstring>
#include <mutex>

#include "common/diagnostics.h"
#include "common/format.h"
#include "common/service_state.h"
#include "monitor/status_poller.h"
#include "portmove/port_move.h"
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
// The status record is changed and reported under serviceState.statusLock. Nothing is reported
// once the service manager has taken SERVICE_STOPPED: it has let the service go, and whichever
// thread comes last must not bring it back.

bool Stopped() {
    return serviceState.serviceStatus.dwCurrentState == SERVICE_STOPPED;
}

// Reports the status record as it stands (under its lock), unless STOPPED has been taken.
void ReportLocked() {
    if (serviceState.stoppedReported) {
        return;
    }
    if (SetServiceStatus(serviceState.statusHandle, &serviceState.serviceStatus) != 0 &&
        Stopped()) {
        serviceState.stoppedReported = true;
    }
}

void ReportServiceStatus() {
    std::lock_guard<std::mutex> lock(serviceState.statusLock);
    ReportLocked();
}

// exitCode goes to the System event log: non-zero when the spooler could not be restored. The
// first SERVICE_STOPPED the service manager takes stands.
void ReportStopped(DWORD exitCode) {
    std::lock_guard<std::mutex> lock(serviceState.statusLock);
    if (serviceState.stoppedReported) {
        return;
    }
    serviceState.serviceStatus.dwCurrentState = SERVICE_STOPPED;
    serviceState.serviceStatus.dwWin32ExitCode = exitCode;
    serviceState.serviceStatus.dwCheckPoint = 0;
    serviceState.serviceStatus.dwWaitHint = kWaitHintMs;
    ReportLocked();
}

// One step of a stop that waits for the spooler: the checkpoint goes up with every report, and the
// hint covers the next look and pause. False once the service has stopped: nothing reported.
bool ReportStopPending() {
    std::lock_guard<std::mutex> lock(serviceState.statusLock);
    if (Stopped()) {
        return false;
    }
    serviceState.serviceStatus.dwCurrentState = SERVICE_STOP_PENDING;
    ++serviceState.serviceStatus.dwCheckPoint;
    serviceState.serviceStatus.dwWaitHint = kStopStepHintMs;
    ReportLocked();
    return true;
}

// Stopping or stopped: the service is going away.
bool StopBegun() {
    std::lock_guard<std::mutex> lock(serviceState.statusLock);
    const DWORD state = serviceState.serviceStatus.dwCurrentState;
    return state == SERVICE_STOP_PENDING || state == SERVICE_STOPPED;
}

// Start-up's one report. False when a stop came first: a stopped or stopping service stays so.
bool ReportRunning() {
    std::lock_guard<std::mutex> lock(serviceState.statusLock);
    const DWORD state = serviceState.serviceStatus.dwCurrentState;
    if (state == SERVICE_STOPPED || state == SERVICE_STOP_PENDING) {
        return false;
    }
    serviceState.serviceStatus.dwCurrentState = SERVICE_RUNNING;
    ReportLocked();
    return true;
}

// May block in the service manager: a start request returns only once the spooler's process has
// come up.
DWORD WINAPI PayDebtThread(LPVOID) {
    serviceState.stopWaitResult = PaySpoolerDebtBeforeExit();
    return 0;
}

// A stop with the spooler debt owed: reported stopping at once, the debt paid by one thread and
// the progress reported by another, so that the handler returns at once. Without threads the
// handler does the work itself, bounded all the same: printing comes first.
void StopAfterPayingDebt() {
    ReportStopPending();  // checkpoint 1; the service is not stopped yet (StopBegun), so it reports
    HANDLE payer = CreateThread(nullptr, 0, PayDebtThread, nullptr, 0, nullptr);
    if (payer == nullptr) {
        ReportStopped(PaySpoolerDebtBeforeExit());  // bounded but for a blocked call
        return;
    }
    HANDLE reporter = CreateThread(nullptr, 0, ReportStopProgress, payer, 0, nullptr);
    if (reporter == nullptr) {
        ReportStopProgress(payer);  // here, then: the payer is still on its own
        return;
    }
    CloseHandle(reporter);  // never waited for; it reports SERVICE_STOPPED itself
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
    DebugPrint(diagnostics::kMainErrorFormat, GetLastError());
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
        std::lock_guard<std::mutex> lock(serviceState.statusLock);
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
        std::lock_guard<std::mutex> lock(serviceState.statusLock);
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

DWORD WINAPI ReportStopProgress(LPVOID payer) {
    HANDLE worker = payer;
    ULONGLONG now = GetTickCount64();
    const ULONGLONG deadline = now + kStopWaitLimitMs;
    DWORD result = ERROR_SERVICE_REQUEST_TIMEOUT;
    for (;;) {
        const DWORD slice =
            static_cast<DWORD>(std::min<ULONGLONG>(kStopReportIntervalMs, deadline - now));
        const DWORD waited = WaitForSingleObject(worker, slice);
        if (waited == WAIT_OBJECT_0) {
            result = serviceState.stopWaitResult;
            break;
        }
        if (waited != WAIT_TIMEOUT) {
            Sleep(slice);  // the wait itself failed: the payer is looked at again after a pause
        }
        now = GetTickCount64();
        if (now >= deadline) {
            break;  // the spooler's answer did not come in time
        }
        if (!ReportStopPending()) {
            break;  // stopped meanwhile (a shutdown): nothing more to say
        }
    }
    CloseHandle(worker);
    ReportStopped(result);  // nothing, when the service has stopped already
    return 0;
}

DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID) {
    switch (control) {
        case SERVICE_CONTROL_STOP:
            // A spooler restart that still owes its start would die with the process and leave
            // printing down: it is paid first, bounded, while the service reports its progress.
            // The service manager sends no second stop to a service that is stopping
            // (ERROR_SERVICE_CANNOT_ACCEPT_CTRL); should one come, the stop under way goes on.
            if (StopBegun()) {
                break;
            }
            if (SpoolerDebtOwed()) {
                StopAfterPayingDebt();
                return NO_ERROR;
            }
            ReportStopped(NO_ERROR);
            return NO_ERROR;
        case SERVICE_CONTROL_SHUTDOWN:
            // The machine is going down and the spooler starts with it again: no wait, also not
            // for a stop under way (whether Windows sends a shutdown to a service that is
            // stopping is not documented: unproven, so it is accepted). Nothing is torn down:
            // the process exit ends the poller and the stop's threads.
            ReportStopped(NO_ERROR);
            return NO_ERROR;
        case SERVICE_CONTROL_DEVICEEVENT:
            // The service is going away: no port move and no spooler restart beside the stop's,
            // also when the service manager did not hear of the stop (its report failed): a port
            // move begun now would end with the process and leave the spooler stopped.
            if (!StopBegun()) {
                OnDeviceEvent(eventType, eventData);
            }
            break;
        default:
            break;
    }
    ReportServiceStatus();
    return NO_ERROR;
}
