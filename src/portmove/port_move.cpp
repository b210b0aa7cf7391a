// The port move from the arrival to the resumed queue, and the looks at the spooler that pay what
// a restart still owes. Every change of the state is an event of the table in debt.cpp, applied
// under the record's lock; no call into Windows is made with the lock held.
#include "portmove/port_move.h"

#include <algorithm>
#include <optional>
#include <utility>

#include "device/device.h"
#include "portmove/debt.h"
#include "queue/queue.h"
#include "queue/spooler.h"

namespace {

// The control handler waits this long at most for a stopping spooler, so that later controls
// (stop, device events) are not held up for long; a spooler that takes longer is started by the
// poller once it has stopped.
constexpr DWORD kStopWaitLimitMs = 10000;
constexpr DWORD kStopPollMs = 100;
constexpr DWORD kPauseAfterStartMs = 300;
constexpr DWORD kSettleAfterStartMs = 1000;
// kq5's own stop, with a start owed: all of the waiting below ends within this much of the stop,
// well inside the 30 s in which the control handler must return and Windows Installer waits for
// a service it stops (ServiceControl table, Wait column; HandlerEx).
constexpr ULONGLONG kExitWaitCeilingMs = 20000;
// Following the spooler as Windows' service control sample does (DoStopSvc, DoStartSvc on
// learn.microsoft.com, "Stopping a Service"): give up once its checkpoint has not moved for its
// wait hint. The sample looks a tenth of the hint apart, but never more often than once a
// second; with a ceiling of 20 s, once a second it is. A hint under two looks is taken as two.
constexpr DWORD kLookIntervalMs = 1000;
constexpr DWORD kLeastSpoolerWaitHintMs = 2 * kLookIntervalMs;

using Guard = std::lock_guard<std::mutex>;

PortMove& State() {
    return PortMoveRecord();
}

// An event from outside a look, under the lock.
bool Apply(DebtEvent event, const WideString& path = WideString()) {
    const Guard guard(State().lock);
    return ApplyLocked(event, path);
}

// Takes the spooler in hand, unless another thread has it. Lock held.
std::optional<InHand> TakeInHandLocked() {
    if (State().inHand) {
        return std::nullopt;
    }
    State().inHand = true;
    return InHand{State().restarts, State().moves};
}

void GiveBack() {
    const Guard guard(State().lock);
    State().inHand = false;
}

// The event a look's outcome is. "Already running" is no refusal: it says only that the spooler
// is not yet stopped.
DebtEvent EventOfLook(const StartLook& look) {
    switch (look.outcome) {
        case StartOutcome::Running:
        case StartOutcome::Starting:
            return DebtEvent::SpoolerUp;
        case StartOutcome::StillStopping:
            return DebtEvent::StartNotYet;
        case StartOutcome::Retry:
            return AlreadyRunning(look) ? DebtEvent::StartNotYet : DebtEvent::StartRefusedForNow;
        case StartOutcome::Refused:
            break;
    }
    return DebtEvent::StartRefusedForGood;
}

// A look's outcome, unless it is older than the handler's latest restart: that restart's own
// looks decide.
void NoteOutcome(const InHand& hand, const StartLook& look) {
    const Guard guard(State().lock);
    if (hand.restarts == State().restarts) {
        ApplyLocked(EventOfLook(look), WideString(), look.error);
    }
}

// The owed move is finished: whether the queue is to be resumed. Nothing changes, and no
// resume, when an arrival owed or dropped a move since the look began.
bool EndPortMove(const InHand& hand) {
    const Guard guard(State().lock);
    if (hand.moves != State().moves) {
        return false;
    }
    const bool resumes = State().resumes;
    ApplyLocked(DebtEvent::MoveFinished);
    return resumes;
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
        const Guard guard(State().lock);
        path = State().owedPrinterPath;
    }
    const WideString port =
        path.empty() ? WideString() : FindPortForDevice(CollectUsbPorts(), path);
    if (!port.empty() && !EqualsIgnoringAsciiCase(port, current)) {
        if (WriteQueuePort(port)) {
            StopSpooler();
            Apply(DebtEvent::PortRewritten);
        }
        return;  // a write refused 21 times is tried again on a later look
    }
    if (EndPortMove(hand)) {
        ResumeQueue();
    }
}

// One look and at most one request, then the owed move once the start is made and the spooler
// runs. The spooler in hand.
StartLook PayOnce(const InHand& hand, SC_HANDLE service) {
    const StartLook look = StartIfStopped(service);
    NoteOutcome(hand, look);
    const bool running = look.outcome == StartOutcome::Running;
    // "Already running" with the state unreadable: stopping, starting or running, the queue
    // answering tells; without this look a spooler whose state stays unreadable would keep the
    // move owed for good.
    const bool mayRun = AlreadyRunning(look) && StateUnknown(look);
    bool finish = false;
    {
        const Guard guard(State().lock);
        finish =
            MoveOwedLocked() && (!StartOwedLocked() || mayRun) && (running || StateUnknown(look));
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
        const Guard guard(State().lock);
        hand = TakeInHandLocked();
        if (!hand) {
            return std::nullopt;
        }
        if (State().state == DebtState::RefusedForGood) {
            // The poller's start, made while this waited, was refused for good.
            State().inHand = false;
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

// The restart's start half, after its stop: a new restart, whose refusals count afresh; waits
// for the spooler to stop and asks it to start. False when the service manager cannot be opened
// (the half's pauses are then skipped).
bool StartSpoolerOrOweIt() {
    InHand restart;
    {
        const Guard guard(State().lock);
        ApplyLocked(DebtEvent::RestartStartHalf);
        restart.restarts = State().restarts;
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
    const Guard guard(State().lock);
    return StartOwedLocked();
}

// After the arrival's move (written, re-read, resumed): when the spooler was not back in time
// (its start owed, or the re-read found no port), the follow-up is owed, and with `printerPath`
// (the spooler was down before the move, so the write may not have reached it) the move itself.
void OweFollowUpIfUnfinished(const WideString& printerPath) {
    const Guard guard(State().lock);
    const bool answered = !State().currentPort.empty();
    const bool wasDown = !printerPath.empty();
    if (answered) {
        ApplyLocked(wasDown ? DebtEvent::MovedAnsweredWasDown : DebtEvent::MovedAnswered,
                    printerPath);
    } else {
        ApplyLocked(wasDown ? DebtEvent::MovedSilentWasDown : DebtEvent::MovedSilent, printerPath);
    }
}

}  // namespace

void ResetPortMove() {
    PortMove& m = State();
    const Guard guard(m.lock);
    static_cast<PortMoveValues&>(m) = PortMoveValues{};
}

void PortMoveOnArrival(WideString printerPath) {
    // Still down from an earlier move: a write of the port now may not reach the spooler.
    const bool spoolerWasDown = SpoolerStartOwed();
    const WideString devicePort = FindPortForDevice(CollectUsbPorts(), printerPath);
    // The queue's port is read afresh: the value stored at start-up may be stale.
    RefreshCurrentPort();
    if (devicePort.empty() && CurrentPort().empty()) {
        // Neither the ports nor the queue answer: the spooler is down (still restarting after an
        // earlier move). The whole move is made once it runs.
        Apply(DebtEvent::ArrivalUnanswered, printerPath);
        return;
    }
    // The spooler answers: this arrival decides where the queue prints, not one before it.
    Apply(DebtEvent::ArrivalAnswered);
    // No port found for the printer: there is nothing to move the queue to.
    if (!devicePort.empty() && !EqualsIgnoringAsciiCase(devicePort, CurrentPort())) {
        SetQueuePort(devicePort);
        RefreshCurrentPort();
        ResumeQueue();
        // The port written now needs no second look, unless the spooler was down.
        OweFollowUpIfUnfinished(spoolerWasDown ? printerPath : WideString());
    }
}

void PortMoveOnRemoval() {
    Apply(DebtEvent::Removal);
}

void SetQueuePort(WideString newPort) {
    if (WriteQueuePort(std::move(newPort))) {
        RestartSpooler();
    }
}

void RestartSpooler() {
    Apply(DebtEvent::RestartStopHalf);
    StopSpooler();
    if (StartSpoolerOrOweIt()) {
        Sleep(kPauseAfterStartMs);
        Sleep(kSettleAfterStartMs);
    }
}

void RefreshCurrentPort() {
    WideString port = QueryQueuePort();
    const Guard guard(State().lock);
    State().currentPort = std::move(port);
}

WideString CurrentPort() {
    const Guard guard(State().lock);
    return State().currentPort;
}

bool SpoolerDebtOwed() {
    const Guard guard(State().lock);
    return OwedLocked();
}

namespace {

// The poller's one look at the spooler and at most one request; never waits for another thread
// that has the spooler in hand (it looks again on a later cycle).
void LookOnce() {
    std::optional<InHand> hand;
    {
        const Guard guard(State().lock);
        // Owed when the poller made this thread; the handler may have paid or ended it since.
        if (!OwedLocked() || State().inHand || State().restartUnderWay) {
            return;
        }
        if (StartOwedLocked() && State().cyclesToWait > 0) {
            --State().cyclesToWait;
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
    const Guard guard(State().lock);
    State().lookInFlight = false;
    return 0;
}

}  // namespace

void StartOwedSpooler() {
    {
        const Guard guard(State().lock);
        if (!OwedLocked() || State().lookInFlight) {
            return;
        }
        State().lookInFlight = true;
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
        const Guard guard(State().lock);
        if (!OwedLocked()) {
            ended = State().refusedForGood;
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
