// Rewriting the queue's port and restarting the spooler so that it takes the new port.
#include "queue/queue.h"

namespace {

constexpr int kPortWriteAttempts = 21;  // the first write and up to 20 immediate repeats
constexpr const char* kSpoolerServiceName = "Spooler";
constexpr DWORD kPauseAfterStopMs = 300;
constexpr DWORD kPauseAfterStartMs = 300;
constexpr DWORD kSettleAfterStartMs = 1000;
// A spooler that is still stopping refuses a start request, which would leave printing on the
// whole machine dead; so the start waits for the stop to finish, within a bound.
constexpr DWORD kStopWaitLimitMs = 10000;
constexpr DWORD kStopPollMs = 100;
constexpr int kStartAttempts = 3;
constexpr DWORD kStartRetryMs = 500;

bool WriteQueueRecord(HANDLE queue, PRINTER_INFO_2W* record) {
    for (int attempt = 0; attempt < kPortWriteAttempts; ++attempt) {
        if (SetPrinterW(queue, 2, reinterpret_cast<LPBYTE>(record), 0) != 0) {
            return true;
        }
    }
    return false;
}

void WaitWhileStopping(SC_HANDLE service) {
    SERVICE_STATUS status = {};
    for (DWORD waited = 0; waited < kStopWaitLimitMs; waited += kStopPollMs) {
        if (QueryServiceStatus(service, &status) == 0 ||
            status.dwCurrentState != SERVICE_STOP_PENDING) {
            return;
        }
        Sleep(kStopPollMs);
    }
}

void StopSpooler() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        return;  // this half is skipped, its pause included
    }
    SC_HANDLE service = OpenServiceA(manager, kSpoolerServiceName, SERVICE_ALL_ACCESS);
    if (service != nullptr) {
        SERVICE_STATUS status = {};
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    Sleep(kPauseAfterStopMs);
}

// One start request; true when the spooler is started or already running. A spooler still
// stopping is waited for first.
bool RequestStart(SC_HANDLE manager) {
    SC_HANDLE service = OpenServiceA(manager, kSpoolerServiceName, SERVICE_ALL_ACCESS);
    if (service == nullptr) {
        return false;
    }
    WaitWhileStopping(service);
    const bool started =
        StartServiceA(service, 0, nullptr) != 0 || GetLastError() == ERROR_SERVICE_ALREADY_RUNNING;
    CloseServiceHandle(service);
    return started;
}

void StartSpooler() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        return;
    }
    // A refused start would leave the spooler, and printing on the whole machine, down: when
    // the service manager answers, the request is made again after a pause, a bounded number
    // of times.
    for (int attempt = 1; !RequestStart(manager) && attempt < kStartAttempts; ++attempt) {
        Sleep(kStartRetryMs);
    }
    CloseServiceHandle(manager);
    Sleep(kPauseAfterStartMs);
    Sleep(kSettleAfterStartMs);
}

}  // namespace

void SetQueuePort(WideString newPort) {
    if (newPort.empty()) {
        return;
    }
    HANDLE queue = OpenQueue();
    if (queue == INVALID_HANDLE_VALUE) {
        return;
    }
    QueueInfo info = ReadQueueInfo(queue);
    if (!info) {
        ClosePrinter(queue);
        return;
    }
    // Only the port changes; every other field goes back exactly as read.
    InfoRecord(info)->pPortName = newPort.data();
    const bool accepted = WriteQueueRecord(queue, InfoRecord(info));
    ClosePrinter(queue);
    info.reset();
    if (accepted) {
        RestartSpooler();
    }
}

void RestartSpooler() {
    StopSpooler();
    StartSpooler();
}
