// Rewriting the queue's port and restarting the spooler so that it takes the new port.
#include "queue/queue.h"

#include <mutex>

#include "common/service_state.h"

namespace {

constexpr int kPortWriteAttempts = 21;  // the first write and up to 20 immediate repeats
constexpr const char* kSpoolerServiceName = "Spooler";
constexpr DWORD kPauseAfterStopMs = 300;
constexpr DWORD kPauseAfterStartMs = 300;
constexpr DWORD kSettleAfterStartMs = 1000;
// The control handler waits this long at most for a stopping spooler, so that later controls
// (stop, device events) are not held up for long; a spooler that takes longer is started by the
// poller once it has stopped.
constexpr DWORD kStopWaitLimitMs = 10000;
constexpr DWORD kStopPollMs = 100;

// The handler's start request and the poller's never overlap: at most one is in flight.
std::mutex startLock;

enum class StartOutcome {
    Running,        // running or starting: nothing more to do
    StillStopping,  // no request sent: it would be refused until the stop is complete
    Retry,          // not started for a reason that can clear
    Refused,        // refused for good: asking again would change nothing
};

// Refusals that asking again will not change (the spooler disabled, no right to start it, ...).
bool IsLastingRefusal(DWORD error) {
    switch (error) {
        case ERROR_ACCESS_DENIED:
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_SERVICE_DISABLED:
        case ERROR_SERVICE_DOES_NOT_EXIST:
        case ERROR_SERVICE_LOGON_FAILED:
        case ERROR_SERVICE_MARKED_FOR_DELETE:
        case ERROR_SERVICE_DEPENDENCY_DELETED:
            return true;
        default:
            return false;
    }
}

StartOutcome OutcomeOfFailure(DWORD error) {
    return IsLastingRefusal(error) ? StartOutcome::Refused : StartOutcome::Retry;
}

// The start stays owed to the poller until the spooler runs or has refused for good.
void NoteOutcome(StartOutcome outcome) {
    const bool owed = outcome == StartOutcome::StillStopping || outcome == StartOutcome::Retry;
    serviceState.spoolerStartOwed = owed ? 1 : 0;
}

StartOutcome OutcomeOfState(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED:
            return StartOutcome::Retry;
        case SERVICE_STOP_PENDING:
            return StartOutcome::StillStopping;
        default:
            return StartOutcome::Running;  // running, starting (or paused)
    }
}

// One look at the spooler and, when it has stopped (or its state cannot be read), one start
// request.
StartOutcome StartIfStopped(SC_HANDLE service) {
    std::lock_guard<std::mutex> lock(startLock);
    SERVICE_STATUS status = {};
    StartOutcome outcome = StartOutcome::Running;
    if (QueryServiceStatus(service, &status) != 0 && status.dwCurrentState != SERVICE_STOPPED) {
        outcome = OutcomeOfState(status.dwCurrentState);
    } else if (StartServiceA(service, 0, nullptr) == 0) {
        const DWORD error = GetLastError();
        if (error == ERROR_SERVICE_ALREADY_RUNNING) {
            // Windows answers so for any service that is not stopped, a stopping one included:
            // only the service's state tells.
            outcome = QueryServiceStatus(service, &status) != 0
                          ? OutcomeOfState(status.dwCurrentState)
                          : StartOutcome::Retry;
        } else {
            outcome = OutcomeOfFailure(error);
        }
    }
    NoteOutcome(outcome);
    return outcome;
}

void OweStartAfterFailure(DWORD error) {
    std::lock_guard<std::mutex> lock(startLock);
    NoteOutcome(OutcomeOfFailure(error));
}

bool WriteQueueRecord(HANDLE queue, PRINTER_INFO_2W* record) {
    for (int attempt = 0; attempt < kPortWriteAttempts; ++attempt) {
        if (SetPrinterW(queue, 2, reinterpret_cast<LPBYTE>(record), 0) != 0) {
            return true;
        }
    }
    return false;
}

void StopSpooler() {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        return;  // this half is skipped, its pause included
    }
    SC_HANDLE service = OpenServiceA(manager, kSpoolerServiceName, SERVICE_ALL_ACCESS);
    if (service != nullptr) {
        // Not examined: whether the spooler stopped, or refused to (services that depend on it
        // are running), the start half looks at its state before asking it to start.
        SERVICE_STATUS status = {};
        ControlService(service, SERVICE_CONTROL_STOP, &status);
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    Sleep(kPauseAfterStopMs);
}

// Asks the spooler to start once it has stopped, waiting at most waitLimitMs for a stopping one;
// a start that cannot be asked for now is owed to the poller. False when the service manager
// cannot be opened.
bool StartSpoolerWhenStopped(DWORD waitLimitMs) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        OweStartAfterFailure(GetLastError());
        return false;
    }
    SC_HANDLE service = OpenServiceA(manager, kSpoolerServiceName, SERVICE_ALL_ACCESS);
    if (service == nullptr) {
        OweStartAfterFailure(GetLastError());
    } else {
        StartOutcome outcome = StartIfStopped(service);
        for (DWORD waited = 0; outcome == StartOutcome::StillStopping && waited < waitLimitMs;
             waited += kStopPollMs) {
            Sleep(kStopPollMs);
            outcome = StartIfStopped(service);
        }
        CloseServiceHandle(service);
    }
    CloseServiceHandle(manager);
    return true;
}

void StartSpooler() {
    if (StartSpoolerWhenStopped(kStopWaitLimitMs)) {
        Sleep(kPauseAfterStartMs);
        Sleep(kSettleAfterStartMs);
    }
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

void StartOwedSpooler() {
    if (serviceState.spoolerStartOwed != 0) {
        StartSpoolerWhenStopped(0);  // the poller does not wait: it looks again next cycle
    }
}
