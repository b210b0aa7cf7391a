// The spooler service's calls: opening it, the stop request, the look and the start request.
#include "queue/spooler.h"

#include "queue/queue.h"

namespace {

constexpr const char* kSpoolerServiceName = "Spooler";
constexpr DWORD kPauseAfterStopMs = 300;

StartOutcome OutcomeOfState(DWORD state) {
    switch (state) {
        case SERVICE_STOPPED:
            return StartOutcome::Retry;
        case SERVICE_STOP_PENDING:
            return StartOutcome::StillStopping;
        case SERVICE_START_PENDING:
            return StartOutcome::Starting;
        default:
            return StartOutcome::Running;  // running (or paused)
    }
}

}  // namespace

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

StartLook LookOfFailure(DWORD error) {
    StartLook look;
    look.outcome = IsLastingRefusal(error) ? StartOutcome::Refused : StartOutcome::Retry;
    look.error = error;
    return look;
}

bool StateUnknown(const StartLook& look) {
    return look.status.dwCurrentState == 0;
}

bool AlreadyRunning(const StartLook& look) {
    return look.outcome == StartOutcome::Retry && look.error == ERROR_SERVICE_ALREADY_RUNNING;
}

SpoolerService OpenSpooler() {
    SpoolerService spooler;
    spooler.manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (spooler.manager != nullptr) {
        spooler.service = OpenServiceA(spooler.manager, kSpoolerServiceName, SERVICE_ALL_ACCESS);
    }
    if (spooler.service == nullptr) {
        spooler.error = GetLastError();
    }
    return spooler;
}

void CloseSpooler(const SpoolerService& spooler) {
    if (spooler.service != nullptr) {
        CloseServiceHandle(spooler.service);
    }
    if (spooler.manager != nullptr) {
        CloseServiceHandle(spooler.manager);
    }
}

void StopSpooler() {
    const SpoolerService spooler = OpenSpooler();
    if (spooler.manager == nullptr) {
        return;  // this half is skipped, its pause included
    }
    if (spooler.service != nullptr) {
        // Not examined: whether the spooler stopped, or refused to (services that depend on it
        // are running), the start half looks at its state before asking it to start.
        SERVICE_STATUS status = {};
        ControlService(spooler.service, SERVICE_CONTROL_STOP, &status);
    }
    CloseSpooler(spooler);
    Sleep(kPauseAfterStopMs);
}

StartLook StartIfStopped(SC_HANDLE service) {
    StartLook look;
    const bool known = QueryServiceStatus(service, &look.status) != 0;
    if (known && look.status.dwCurrentState != SERVICE_STOPPED) {
        look.outcome = OutcomeOfState(look.status.dwCurrentState);
    } else if (StartServiceA(service, 0, nullptr) == 0) {
        look = LookOfFailure(GetLastError());
        // Windows answers "already running" for any service that is not stopped, a stopping one
        // included: only the service's state tells.
        if (AlreadyRunning(look) && QueryServiceStatus(service, &look.status) != 0) {
            look.outcome = OutcomeOfState(look.status.dwCurrentState);
        }
    } else {
        look.outcome = StartOutcome::Starting;
        look.status = {};  // the checkpoint counts from here
        look.status.dwCurrentState = SERVICE_START_PENDING;
    }
    return look;
}
