// What a spooler restart still owes, and the looks at the spooler that pay it.
#include "queue/spooler_debt.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "common/service_state.h"
#include "device/device.h"
#include "queue/queue.h"
#include "queue/spooler.h"

namespace {

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

using Guard = std::lock_guard<std::mutex>;

SpoolerDebt& Debt() {
    return serviceState.spoolerDebt;
}

bool OwedLocked() {
    return Debt().startOwed || Debt().portMoveOwed;
}

// The spooler in the hands of one thread, and what the debt looked like when it was taken.
struct InHand {
    unsigned restarts = 0;
    unsigned moves = 0;
};

// Takes the spooler in hand, unless another thread has it. Lock held.
std::optional<InHand> TakeInHandLocked() {
    if (Debt().inHand) {
        return std::nullopt;
    }
    Debt().inHand = true;
    return InHand{Debt().restarts, Debt().moves};
}

void GiveBack() {
    const Guard guard(Debt().lock);
    Debt().inHand = false;
}

// The owed start's pace starts afresh.
void RestartPaceLocked() {
    Debt().startRefusals = 0;
    Debt().cyclesToWait = 0;
}

// The start stays owed until the spooler runs, is starting, or has refused for good; a lasting
// refusal ends the port move's follow-up with it. A refusal that can clear sets the pace of the
// poller's next request ("already running" does not: it says only that the spooler is not yet
// stopped). A look older than the handler's latest restart notes nothing: that restart's own
// looks decide.
void NoteOutcome(const InHand& hand, const StartLook& look) {
    const Guard guard(Debt().lock);
    SpoolerDebt& debt = Debt();
    if (hand.restarts != debt.restarts) {
        return;
    }
    const StartOutcome outcome = look.outcome;
    const bool owed = outcome == StartOutcome::StillStopping || outcome == StartOutcome::Retry;
    debt.startOwed = owed;
    if (outcome == StartOutcome::Retry && !AlreadyRunning(look)) {
        ++debt.startRefusals;
        debt.cyclesToWait = debt.startRefusals <= kQuickRetries ? 0 : kCyclesBetweenSlowRetries - 1;
    } else if (!owed) {
        RestartPaceLocked();
    }
    if (outcome == StartOutcome::Refused) {
        debt.portMoveOwed = false;
    }
    if (!owed) {
        debt.refusedForGood = outcome == StartOutcome::Refused ? look.error : 0;
    }
}

void OwePortMoveLocked(WideString printerPath) {
    Debt().owedPrinterPath = std::move(printerPath);
    Debt().portMoveResumes = true;
    Debt().portMoveOwed = true;
    ++Debt().moves;
}

// The port move is finished: nothing more is owed. Whether the queue is to be resumed; nothing
// changes, and no resume, when an arrival owed or dropped a move since the look began.
bool EndPortMove(const InHand& hand) {
    const Guard guard(Debt().lock);
    SpoolerDebt& debt = Debt();
    if (hand.moves != debt.moves) {
        return false;
    }
    debt.owedPrinterPath.clear();
    debt.portMoveOwed = false;
    debt.startOwed = false;  // the queue answered: the spooler runs
    // A printer removed meanwhile keeps its queue paused and offline until it arrives again.
    return std::exchange(debt.portMoveResumes, false);
}

// The arrival's last two steps, which failed while the spooler was down, once it runs: made
// once. When its state cannot be read, the port read afresh is what tells that it answers.
// When the queue does not print to the printer's port (the spooler was still down from an
// earlier move when the printer moved again, so the port could be neither listed nor written),
// the port is written first and the spooler stopped to take it: its start is owed again, and the
// rest follows once it runs.
void FinishPortMove(const InHand& hand, bool running) {
    RefreshCurrentPort();
    const WideString current = CurrentPort();
    if (!running && current.empty()) {
        return;  // the queue does not answer yet
    }
    WideString path;
    {
        const Guard guard(Debt().lock);
        path = Debt().owedPrinterPath;
    }
    const WideString port =
        path.empty() ? WideString() : FindPortForDevice(CollectUsbPorts(), path);
    if (!port.empty() && !EqualsIgnoringAsciiCase(port, current)) {
        if (WriteQueuePort(port)) {
            StopSpooler();
            const Guard guard(Debt().lock);
            Debt().startOwed = true;
            RestartPaceLocked();
        }
        return;  // a write refused 21 times is tried again on a later look
    }
    if (EndPortMove(hand)) {
        ResumeQueue();
    }
}

// One look and at most one request, then the port move's follow-up once the start is made and
// the spooler runs. The spooler in hand.
StartLook PayOnce(const InHand& hand, SC_HANDLE service) {
    const StartLook look = StartIfStopped(service);
    NoteOutcome(hand, look);
    const bool running = look.outcome == StartOutcome::Running;
    // "Already running" with the state unreadable: stopping, starting or running, the queue
    // answering tells; without this look a spooler whose state stays unreadable would keep the
    // port move owed for good.
    const bool mayRun = AlreadyRunning(look) && StateUnknown(look);
    bool finish = false;
    {
        const Guard guard(Debt().lock);
        finish =
            Debt().portMoveOwed && (!Debt().startOwed || mayRun) && (running || StateUnknown(look));
    }
    if (finish) {
        FinishPortMove(hand, running);
    }
    return look;
}

// The handler's look while it waits for the spooler to stop: nothing when another thread has
// the spooler in hand (its look stands for this one; the handler looks again 100 ms later).
std::optional<StartOutcome> HandlerLook(SC_HANDLE service) {
    std::optional<InHand> hand;
    {
        const Guard guard(Debt().lock);
        hand = TakeInHandLocked();
        if (!hand) {
            return std::nullopt;
        }
        if (Debt().refusedForGood != 0) {
            // The poller's start, made while this waited, was refused for good.
            Debt().inHand = false;
            return StartOutcome::Refused;
        }
    }
    const StartLook look = StartIfStopped(service);
    NoteOutcome(*hand, look);
    GiveBack();
    return look.outcome;
}

// Looks every 100 ms while the spooler is still stopping, for 10 s at most; the start request
// once it has stopped. A look that another thread had in hand is made again and not counted.
void WaitToStart(SC_HANDLE service) {
    DWORD looks = 0;
    for (;;) {
        const std::optional<StartOutcome> outcome = HandlerLook(service);
        looks += outcome ? 1 : 0;
        const DWORD waited = looks > 0 ? (looks - 1) * kStopPollMs : 0;
        if (outcome && !(*outcome == StartOutcome::StillStopping && waited < kStopWaitLimitMs)) {
            return;
        }
        Sleep(kStopPollMs);
    }
}

}  // namespace

void ResetSpoolerDebt() {
    const Guard guard(Debt().lock);
    SpoolerDebt& debt = Debt();
    debt.startOwed = false;
    debt.portMoveOwed = false;
    debt.portMoveResumes = false;
    debt.owedPrinterPath.clear();
    debt.startRefusals = 0;
    debt.cyclesToWait = 0;
    debt.refusedForGood = 0;
    debt.lookInFlight = false;
    debt.inHand = false;
    debt.restartUnderWay = false;
    debt.restarts = 0;
    debt.moves = 0;
    serviceState.currentPortName.clear();
}

void BeginSpoolerRestart() {
    const Guard guard(Debt().lock);
    Debt().restartUnderWay = true;
}

bool StartSpoolerOrOweIt() {
    InHand restart;
    {
        // A new restart: its own start owes nothing yet, and its refusals count afresh.
        const Guard guard(Debt().lock);
        restart.restarts = ++Debt().restarts;
        RestartPaceLocked();
        Debt().refusedForGood = 0;
        Debt().restartUnderWay = false;  // this thread's looks take the spooler in hand from here
    }
    const SpoolerService spooler = OpenSpooler();
    if (spooler.service == nullptr) {
        NoteOutcome(restart, LookOfFailure(spooler.error));
    } else {
        WaitToStart(spooler.service);
    }
    CloseSpooler(spooler);
    return spooler.manager != nullptr;
}

bool SpoolerStartOwed() {
    const Guard guard(Debt().lock);
    return Debt().startOwed;
}

void OweWholePortMove(WideString printerPath) {
    const Guard guard(Debt().lock);
    if (Debt().refusedForGood == 0) {
        OwePortMoveLocked(std::move(printerPath));
    }
}

void ForgetOwedPrinter() {
    const Guard guard(Debt().lock);
    Debt().owedPrinterPath.clear();
    ++Debt().moves;
}

void OweFollowUpIfUnfinished(WideString printerPath) {
    const Guard guard(Debt().lock);
    // A spooler not back yet failed the re-read and the resume (one that refused its start for
    // good ended the debt).
    if (Debt().startOwed || (serviceState.currentPortName.empty() && Debt().refusedForGood == 0)) {
        OwePortMoveLocked(std::move(printerPath));
    }
}

void DropOwedResume() {
    const Guard guard(Debt().lock);
    Debt().portMoveResumes = false;
}

void RefreshCurrentPort() {
    WideString port = QueryQueuePort();
    const Guard guard(Debt().lock);
    serviceState.currentPortName = std::move(port);
}

WideString CurrentPort() {
    const Guard guard(Debt().lock);
    return serviceState.currentPortName;
}

bool SpoolerDebtOwed() {
    const Guard guard(Debt().lock);
    return OwedLocked();
}

namespace {

// The poller's one look at the spooler and at most one request; never waits for another thread
// that has the spooler in hand (it looks again on a later cycle).
void LookOnce() {
    std::optional<InHand> hand;
    {
        const Guard guard(Debt().lock);
        if (Debt().inHand || Debt().restartUnderWay) {
            return;
        }
        if (Debt().startOwed && Debt().cyclesToWait > 0) {
            --Debt().cyclesToWait;
            return;
        }
        hand = TakeInHandLocked();
    }
    const SpoolerService spooler = OpenSpooler();
    if (spooler.service == nullptr) {
        NoteOutcome(*hand, LookOfFailure(spooler.error));
    } else {
        PayOnce(*hand, spooler.service);
    }
    CloseSpooler(spooler);
    GiveBack();
}

DWORD WINAPI LookThread(LPVOID) {
    LookOnce();
    const Guard guard(Debt().lock);
    Debt().lookInFlight = false;
    return 0;
}

}  // namespace

void StartOwedSpooler() {
    {
        const Guard guard(Debt().lock);
        if (!OwedLocked() || Debt().lookInFlight) {
            return;
        }
        Debt().lookInFlight = true;
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

namespace {

// How kq5's stop follows the spooler: its last state and checkpoint, when either last moved, and
// the refusals that can clear so far.
struct ExitWait {
    ULONGLONG deadline = 0;
    ULONGLONG now = 0;  // the time of the last look
    ULONGLONG lastProgress = 0;
    DWORD checkPoint = 0;
    DWORD state = 0;
    int refusals = 0;
};

// The stop's look: one look and at most one request, unless nothing is owed any more (then the
// answer: paid by the poller meanwhile, or ended by a refusal for good, which is not asked for
// again) or another thread has the spooler in hand (then no look).
std::optional<StartLook> ExitLook(SC_HANDLE service, std::optional<DWORD>& ended) {
    std::optional<InHand> hand;
    {
        const Guard guard(Debt().lock);
        if (!OwedLocked()) {
            ended = Debt().refusedForGood;
            return std::nullopt;
        }
        hand = TakeInHandLocked();
    }
    if (!hand) {
        return std::nullopt;
    }
    const StartLook look = PayOnce(*hand, service);
    GiveBack();
    return look;
}

// What one look tells the stop: its answer, or nothing while it waits on.
std::optional<DWORD> JudgeExitLook(ExitWait& wait, const StartLook& look) {
    const bool refusal = look.outcome == StartOutcome::Retry && !AlreadyRunning(look);
    if (look.outcome == StartOutcome::Refused || (refusal && ++wait.refusals > kQuickRetries)) {
        return look.error;
    }
    if (!SpoolerDebtOwed() && (look.outcome == StartOutcome::Running || StateUnknown(look))) {
        return NO_ERROR;
    }
    const ULONGLONG now = wait.now = GetTickCount64();
    // Progress: a checkpoint or state that moved; a spooler whose state cannot be read is asked
    // again until the ceiling.
    if (StateUnknown(look) || look.status.dwCheckPoint != wait.checkPoint ||
        look.status.dwCurrentState != wait.state) {
        wait.checkPoint = look.status.dwCheckPoint;
        wait.state = look.status.dwCurrentState;
        wait.lastProgress = now;
    }
    const DWORD hint = std::max(look.status.dwWaitHint, kLeastSpoolerWaitHintMs);
    if (now - wait.lastProgress > hint || now >= wait.deadline) {
        // Still stopping or starting when the spooler stopped counting, or at the ceiling.
        return refusal ? look.error : ERROR_SERVICE_REQUEST_TIMEOUT;
    }
    return std::nullopt;
}

// Follows the spooler to the end of the debt: its stop, the start request, its start, the port
// move's follow-up. A look another thread has in hand counts as progress: the stop waits for it
// until the ceiling.
DWORD WaitAndPay(SC_HANDLE service, ULONGLONG deadline) {
    ExitWait wait;
    wait.deadline = deadline;
    wait.lastProgress = GetTickCount64();
    for (;;) {
        std::optional<DWORD> ended;
        const std::optional<StartLook> look = ExitLook(service, ended);
        if (ended) {
            return *ended;
        }
        if (look) {
            ended = JudgeExitLook(wait, *look);
        } else if ((wait.now = GetTickCount64()) >= deadline) {
            ended = ERROR_SERVICE_REQUEST_TIMEOUT;
        } else {
            wait.lastProgress = wait.now;
        }
        if (ended) {
            return *ended;
        }
        Sleep(static_cast<DWORD>(std::min<ULONGLONG>(kLookIntervalMs, deadline - wait.now)));
    }
}

}  // namespace

DWORD PaySpoolerDebtBeforeExit() {
    const ULONGLONG deadline = GetTickCount64() + kExitWaitCeilingMs;
    for (;;) {
        const SpoolerService spooler = OpenSpooler();
        const DWORD result =
            spooler.service != nullptr ? WaitAndPay(spooler.service, deadline) : spooler.error;
        CloseSpooler(spooler);
        // A service manager that cannot be opened for a reason that can clear is tried again.
        if (spooler.service != nullptr || IsLastingRefusal(result) ||
            GetTickCount64() >= deadline) {
            return result;
        }
        Sleep(kLookIntervalMs);
    }
}
