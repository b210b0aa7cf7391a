// Rewriting the queue's port and restarting the spooler so that it takes the new port.
#include "queue/queue.h"

#include <algorithm>
#include <mutex>

#include "common/service_state.h"
#include "device/device.h"

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
// After a refused start that can clear, the poller asks again on its next few cycles (the common
// case: a spooler that needed a moment), then once every 75 cycles, about a minute at 800 ms a
// cycle: every failed start is an entry in the System event log, and a spooler that crashes as
// it starts would otherwise be started and crash again some 4,500 times an hour.
constexpr int kQuickRetries = 3;
constexpr int kCyclesBetweenSlowRetries = 75;
// kq5's own stop, with a start owed: all of the waiting below ends within this much of the stop,
// well inside the 30 s in which the control handler must return and Windows Installer waits for
// a service it stops (ServiceControl table, Wait column; HandlerEx).
constexpr ULONGLONG kExitWaitCeilingMs = 20000;
// Following the spooler as Windows' service control sample does (DoStopSvc, DoStartSvc on
// learn.microsoft.com, "Stopping a Service"): give up once its checkpoint has not moved for its
// wait hint. The sample looks a tenth of the hint apart, but never more often than once a
// second; with a ceiling of 20 s, once a second it is. A hint under 2 s is taken as 2 s.
constexpr DWORD kLeastSpoolerWaitHintMs = 2000;
constexpr DWORD kLookIntervalMs = 1000;

// The handler's start request and the poller's never overlap: at most one is in flight.
std::mutex startLock;

// Takes the start lock, pausing while another thread holds it: a start request it makes can take
// as long as the spooler's process takes to come up, and a thread that sleeps rather than blocks
// on the lock stays what it is, one that waits for time to pass.
std::unique_lock<std::mutex> TakeStartLock() {
    std::unique_lock<std::mutex> lock(startLock, std::try_to_lock);
    while (!lock.owns_lock()) {
        Sleep(kStopPollMs);
        lock.try_lock();
    }
    return lock;
}

enum class StartOutcome {
    Running,        // running: nothing more to do
    Starting,       // start pending: the request is made, the spooler not yet running
    StillStopping,  // no request sent: it would be refused until the stop is complete
    Retry,          // not started for a reason that can clear
    Refused,        // refused for good: asking again would change nothing
};

// One look at the spooler and what came of it.
struct StartLook {
    StartOutcome outcome = StartOutcome::Running;
    DWORD error = NO_ERROR;  // the refusal, for Retry and Refused
    SERVICE_STATUS status = {};
};

StartLook LookOfFailure(DWORD error) {
    StartLook look;
    look.outcome = IsLastingRefusal(error) ? StartOutcome::Refused : StartOutcome::Retry;
    look.error = error;
    return look;
}

// The start stays owed until the spooler runs, is starting, or has refused for good; a lasting
// refusal ends the port move's follow-up with it. A refusal that can clear sets the pace of the
// poller's next request ("already running" does not: it says only that the spooler is not yet
// stopped). Start lock held.
void NoteOutcome(const StartLook& look) {
    const StartOutcome outcome = look.outcome;
    const bool owed = outcome == StartOutcome::StillStopping || outcome == StartOutcome::Retry;
    serviceState.spoolerStartOwed = owed ? 1 : 0;
    if (outcome == StartOutcome::Retry && look.error != ERROR_SERVICE_ALREADY_RUNNING) {
        ++serviceState.spoolerStartRefusals;
        serviceState.spoolerStartCyclesToWait =
            serviceState.spoolerStartRefusals <= kQuickRetries ? 0 : kCyclesBetweenSlowRetries - 1;
    } else if (!owed) {
        serviceState.spoolerStartRefusals = 0;
        serviceState.spoolerStartCyclesToWait = 0;
    }
    if (outcome == StartOutcome::Refused) {
        serviceState.portMoveOwed = 0;
    }
    if (outcome == StartOutcome::Refused || outcome == StartOutcome::Running ||
        outcome == StartOutcome::Starting) {
        serviceState.spoolerRefusedForGood = outcome == StartOutcome::Refused ? look.error : 0;
    }
}

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

// One look at the spooler and, when it has stopped (or its state cannot be read), one start
// request. Start lock held.
StartLook StartIfStopped(SC_HANDLE service) {
    StartLook look;
    const bool known = QueryServiceStatus(service, &look.status) != 0;
    if (known && look.status.dwCurrentState != SERVICE_STOPPED) {
        look.outcome = OutcomeOfState(look.status.dwCurrentState);
    } else if (StartServiceA(service, 0, nullptr) == 0) {
        const DWORD error = GetLastError();
        look = LookOfFailure(error);
        if (error == ERROR_SERVICE_ALREADY_RUNNING) {
            // Windows answers so for any service that is not stopped, a stopping one included:
            // only the service's state tells.
            if (QueryServiceStatus(service, &look.status) != 0) {
                look.outcome = OutcomeOfState(look.status.dwCurrentState);
            }
        }
    } else {
        look.outcome = StartOutcome::Starting;
        look.status = {};  // the checkpoint counts from here
        look.status.dwCurrentState = SERVICE_START_PENDING;
    }
    NoteOutcome(look);
    return look;
}

void OweStartAfterFailure(DWORD error) {
    const auto lock = TakeStartLock();
    NoteOutcome(LookOfFailure(error));
}

bool StateUnknown(const StartLook& look) {
    return look.status.dwCurrentState == 0;
}

bool WriteQueuePort(WideString newPort);
void StopSpooler();

// The arrival's last two steps, which failed while the spooler was down, once it runs: made
// once. When its state cannot be read, the port read afresh is what tells that it answers.
// When the queue does not print to the printer's port (the spooler was still down from an
// earlier move when the printer moved again, so the port could be neither listed nor written),
// the port is written first and the spooler stopped to take it: its start is owed again, and the
// rest follows once it runs. Start lock held.
void FinishPortMove(bool running) {
    RefreshCurrentPort();
    const WideString current = CurrentPort();
    if (!running && current.empty()) {
        return;  // the queue does not answer yet
    }
    WideString path;
    {
        std::lock_guard<std::mutex> lock(serviceState.portNameLock);
        path = serviceState.owedPrinterPath;
    }
    const WideString port =
        path.empty() ? WideString() : FindPortForDevice(CollectUsbPorts(), path);
    if (!port.empty() && !EqualsIgnoringAsciiCase(port, current)) {
        if (WriteQueuePort(port)) {
            StopSpooler();
            serviceState.spoolerStartOwed = 1;
            serviceState.spoolerStartRefusals = 0;
            serviceState.spoolerStartCyclesToWait = 0;
        }
        return;  // a write refused 21 times is tried again on a later look
    }
    {
        std::lock_guard<std::mutex> lock(serviceState.portNameLock);
        serviceState.owedPrinterPath.clear();
    }
    serviceState.portMoveOwed = 0;
    // A printer removed meanwhile keeps its queue paused and offline until it arrives again.
    if (serviceState.portMoveResumes.exchange(0) != 0) {
        ResumeQueue();
    }
}

// One look and at most one request, then the port move's follow-up once the start is made and
// the spooler runs. Start lock held.
StartLook PayOnce(SC_HANDLE service) {
    const StartLook look = StartIfStopped(service);
    const bool running = look.outcome == StartOutcome::Running;
    // "Already running" with the state unreadable: stopping, starting or running, the queue
    // answering tells; without this look a spooler whose state stays unreadable would keep the
    // port move owed for good.
    const bool mayRun = look.outcome == StartOutcome::Retry &&
                        look.error == ERROR_SERVICE_ALREADY_RUNNING && StateUnknown(look);
    if (serviceState.portMoveOwed != 0 && (serviceState.spoolerStartOwed == 0 || mayRun) &&
        (running || StateUnknown(look))) {
        FinishPortMove(running);
        if (serviceState.portMoveOwed == 0) {
            serviceState.spoolerStartOwed = 0;  // the queue answered: the spooler runs
        }
    }
    return look;
}

bool DebtOwed() {
    return serviceState.spoolerStartOwed != 0 || serviceState.portMoveOwed != 0;
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
    {
        // A new restart: its own start owes nothing yet, and its refusals count afresh.
        const auto lock = TakeStartLock();
        serviceState.spoolerStartRefusals = 0;
        serviceState.spoolerStartCyclesToWait = 0;
        serviceState.spoolerRefusedForGood = 0;
    }
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    if (manager == nullptr) {
        OweStartAfterFailure(GetLastError());
        return false;
    }
    SC_HANDLE service = OpenServiceA(manager, kSpoolerServiceName, SERVICE_ALL_ACCESS);
    if (service == nullptr) {
        OweStartAfterFailure(GetLastError());
    } else {
        auto look = [service] {
            const auto lock = TakeStartLock();
            if (serviceState.spoolerRefusedForGood != 0) {
                // The poller's start, made while this waited, was refused for good.
                return StartOutcome::Refused;
            }
            return StartIfStopped(service).outcome;
        };
        StartOutcome outcome = look();
        for (DWORD waited = 0; outcome == StartOutcome::StillStopping && waited < waitLimitMs;
             waited += kStopPollMs) {
            Sleep(kStopPollMs);
            outcome = look();
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

namespace {

// Writes the port into the queue's record, up to 21 attempts: whether one was accepted.
bool WriteQueuePort(WideString newPort) {
    if (newPort.empty()) {
        return false;
    }
    HANDLE queue = OpenQueue();
    if (queue == INVALID_HANDLE_VALUE) {
        return false;
    }
    QueueInfo info = ReadQueueInfo(queue);
    if (!info) {
        ClosePrinter(queue);
        return false;
    }
    // Only the port changes; every other field goes back exactly as read.
    InfoRecord(info)->pPortName = newPort.data();
    const bool accepted = WriteQueueRecord(queue, InfoRecord(info));
    ClosePrinter(queue);
    return accepted;
}

}  // namespace

void SetQueuePort(WideString newPort) {
    if (WriteQueuePort(std::move(newPort))) {
        RestartSpooler();
    }
}

void ForgetOwedPrinter() {
    std::lock_guard<std::mutex> lock(serviceState.portNameLock);
    serviceState.owedPrinterPath.clear();
}

void OwePortMove(WideString printerPath) {
    {
        std::lock_guard<std::mutex> lock(serviceState.portNameLock);
        serviceState.owedPrinterPath = std::move(printerPath);
    }
    serviceState.portMoveResumes = 1;
    serviceState.portMoveOwed = 1;
}

void RestartSpooler() {
    StopSpooler();
    StartSpooler();
}

namespace {

// The poller's one look at the spooler and at most one request; never waits for the handler at
// work on the same debt (it looks again on a later cycle).
void LookOnce() {
    std::unique_lock<std::mutex> lock(startLock, std::try_to_lock);
    if (!lock.owns_lock()) {
        return;
    }
    if (serviceState.spoolerStartOwed != 0 && serviceState.spoolerStartCyclesToWait > 0) {
        --serviceState.spoolerStartCyclesToWait;
        return;
    }
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = manager == nullptr
                            ? nullptr
                            : OpenServiceA(manager, kSpoolerServiceName, SERVICE_ALL_ACCESS);
    if (service == nullptr) {
        NoteOutcome(LookOfFailure(GetLastError()));
    } else {
        PayOnce(service);
        CloseServiceHandle(service);
    }
    if (manager != nullptr) {
        CloseServiceHandle(manager);
    }
}

DWORD WINAPI LookThread(LPVOID) {
    LookOnce();
    serviceState.spoolerLookInFlight = 0;
    return 0;
}

}  // namespace

void StartOwedSpooler() {
    if (!DebtOwed() || serviceState.spoolerLookInFlight.exchange(1) != 0) {
        return;
    }
    // On a thread of its own: a start request returns only once the spooler's process has come
    // up, which can take 30 s, and status mirroring must not wait for it.
    HANDLE thread = CreateThread(nullptr, 0, LookThread, nullptr, 0, nullptr);
    if (thread == nullptr) {
        LookThread(nullptr);  // here, then
        return;
    }
    CloseHandle(thread);
}

void RefreshCurrentPort() {
    WideString port = QueryQueuePort();
    std::lock_guard<std::mutex> lock(serviceState.portNameLock);
    serviceState.currentPortName = std::move(port);
}

WideString CurrentPort() {
    std::lock_guard<std::mutex> lock(serviceState.portNameLock);
    return serviceState.currentPortName;
}

bool SpoolerDebtOwed() {
    return DebtOwed();
}

namespace {

// Follows the spooler to the end of the debt: its stop, the start request, its start, the port
// move's follow-up. NO_ERROR once the spooler runs and nothing is owed; otherwise why it ended
// first: the lasting refusal, the last of a few refusals that can clear, or
// ERROR_SERVICE_REQUEST_TIMEOUT for a spooler still stopping or starting.
DWORD WaitAndPay(SC_HANDLE service, ULONGLONG deadline) {
    DWORD checkPoint = 0;
    DWORD state = 0;
    ULONGLONG lastProgress = GetTickCount64();
    int refusals = 0;
    for (;;) {
        StartLook look;
        {
            const auto lock = TakeStartLock();
            if (!DebtOwed()) {
                // Paid by the poller meanwhile, or ended by a refusal for good, which is not
                // asked for again.
                return serviceState.spoolerRefusedForGood;
            }
            look = PayOnce(service);
        }
        const bool refusal =
            look.outcome == StartOutcome::Retry && look.error != ERROR_SERVICE_ALREADY_RUNNING;
        if (look.outcome == StartOutcome::Refused || (refusal && ++refusals > kQuickRetries)) {
            return look.error;
        }
        if (!DebtOwed() && (look.outcome == StartOutcome::Running || StateUnknown(look))) {
            return NO_ERROR;
        }
        const ULONGLONG now = GetTickCount64();
        // Progress: a checkpoint or state that moved; a spooler whose state cannot be read is
        // asked again until the ceiling.
        if (StateUnknown(look) || look.status.dwCheckPoint != checkPoint ||
            look.status.dwCurrentState != state) {
            checkPoint = look.status.dwCheckPoint;
            state = look.status.dwCurrentState;
            lastProgress = now;
        }
        const DWORD hint = std::max(look.status.dwWaitHint, kLeastSpoolerWaitHintMs);
        if (now - lastProgress > hint || now >= deadline) {
            // Still stopping or starting when the spooler stopped counting, or at the ceiling.
            return refusal ? look.error : ERROR_SERVICE_REQUEST_TIMEOUT;
        }
        const DWORD pause =
            static_cast<DWORD>(std::min<ULONGLONG>(kLookIntervalMs, deadline - now));
        Sleep(pause);
    }
}

}  // namespace

DWORD PaySpoolerDebtBeforeExit() {
    const ULONGLONG deadline = GetTickCount64() + kExitWaitCeilingMs;
    for (;;) {
        SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        SC_HANDLE service = manager == nullptr
                                ? nullptr
                                : OpenServiceA(manager, kSpoolerServiceName, SERVICE_ALL_ACCESS);
        const DWORD result = service != nullptr ? WaitAndPay(service, deadline) : GetLastError();
        if (service != nullptr) {
            CloseServiceHandle(service);
        }
        if (manager != nullptr) {
            CloseServiceHandle(manager);
        }
        // A service manager that cannot be opened for a reason that can clear is tried again.
        if (service != nullptr || IsLastingRefusal(result) || GetTickCount64() >= deadline) {
            return result;
        }
        Sleep(kLookIntervalMs);
    }
}
