// The port move's states and the one table of their transitions (docs/spooler-restart.md has the
// same table).
#include "portmove/debt.h"

#include <array>

namespace {

// The slow retries' pace (kQuickRetries in debt.h): about a minute at 800 ms a cycle.
constexpr int kCyclesBetweenSlowRetries = 75;

// The states' short names in the table below.
constexpr int Set = static_cast<int>(DebtState::Settled);
constexpr int St = static_cast<int>(DebtState::StartOwed);
constexpr int Fu = static_cast<int>(DebtState::FollowUpOwed);
constexpr int StFu = static_cast<int>(DebtState::StartAndFollowUpOwed);
constexpr int Mv = static_cast<int>(DebtState::MoveOwed);
constexpr int StMv = static_cast<int>(DebtState::StartAndMoveOwed);
constexpr int Ref = static_cast<int>(DebtState::RefusedForGood);
constexpr int No = kIgnored;

using Row = std::array<int, kDebtStates>;
static_assert(static_cast<int>(DebtState::RefusedForGood) + 1 == kDebtStates);
static_assert(static_cast<int>(DebtEvent::MoveFinished) + 1 == kDebtEvents);

// One row an event, one column a state: the state the event leads to, or No where it changes
// nothing at all. Rows in the order of DebtEvent, columns in the order of DebtState.
// clang-format off
constexpr std::array<Row, kDebtEvents> kNext = {{
    //                        Settled StartOwed FollowUp StartFollow Move  StartMove Refused
    /* ArrivalUnanswered    */ {Mv,    StMv,     Mv,      StMv,       Mv,   StMv,     No},
    /* ArrivalAnswered      */ {Set,   St,       Fu,      StFu,       Fu,   StFu,     Ref},
    /* MovedAnswered        */ {No,    StFu,     No,      StFu,       No,   StFu,     No},
    /* MovedAnsweredWasDown */ {No,    StMv,     No,      StMv,       No,   StMv,     No},
    /* MovedSilent          */ {Fu,    StFu,     Fu,      StFu,       Fu,   StFu,     No},
    /* MovedSilentWasDown   */ {Mv,    StMv,     Mv,      StMv,       Mv,   StMv,     No},
    /* Removal              */ {Set,   St,       Fu,      StFu,       Mv,   StMv,     Ref},
    /* RestartStopHalf      */ {Set,   St,       Fu,      StFu,       Mv,   StMv,     Ref},
    /* RestartStartHalf     */ {Set,   St,       Fu,      StFu,       Mv,   StMv,     Set},
    /* SpoolerUp            */ {Set,   Set,      Fu,      Fu,         Mv,   Mv,       Set},
    /* StartNotYet          */ {St,    St,       StFu,    StFu,       StMv, StMv,     St},
    /* StartRefusedForNow   */ {St,    St,       StFu,    StFu,       StMv, StMv,     St},
    /* StartRefusedForGood  */ {Ref,   Ref,      Ref,     Ref,        Ref,  Ref,      Ref},
    /* PortRewritten        */ {St,    St,       StFu,    StFu,       StMv, StMv,     St},
    /* MoveFinished         */ {Set,   Set,      Set,     Set,        Set,  Set,      Ref},
}};
// clang-format on

// A new debt of a move: the follow-up, or with `path` the whole move.
void OweMoveLocked(PortMove& m, const WideString& path) {
    m.owedPrinterPath = path;
    m.resumes = true;
    ++m.moves;
}

void RestartPaceLocked(PortMove& m) {
    m.startRefusals = 0;
    m.cyclesToWait = 0;
}

// Each event's bookkeeping beside its state.
void NoteLocked(PortMove& m, DebtEvent event, const WideString& path, DWORD error) {
    switch (event) {
        case DebtEvent::ArrivalUnanswered:
        case DebtEvent::MovedAnsweredWasDown:
        case DebtEvent::MovedSilentWasDown:
            OweMoveLocked(m, path);
            break;
        case DebtEvent::MovedAnswered:
        case DebtEvent::MovedSilent:
            OweMoveLocked(m, WideString());
            break;
        case DebtEvent::ArrivalAnswered:
            m.owedPrinterPath.clear();
            ++m.moves;
            break;
        case DebtEvent::Removal:
            m.resumes = false;
            break;
        case DebtEvent::RestartStopHalf:
            m.restartUnderWay = true;
            break;
        case DebtEvent::RestartStartHalf:
            ++m.restarts;
            m.restartUnderWay = false;  // this thread's looks take the spooler in hand from here
            RestartPaceLocked(m);
            break;
        case DebtEvent::StartRefusedForNow:
            ++m.startRefusals;
            m.cyclesToWait = m.startRefusals <= kQuickRetries ? 0 : kCyclesBetweenSlowRetries - 1;
            break;
        case DebtEvent::SpoolerUp:
        case DebtEvent::StartRefusedForGood:
        case DebtEvent::PortRewritten:
            RestartPaceLocked(m);
            break;
        case DebtEvent::MoveFinished:
            m.owedPrinterPath.clear();
            m.resumes = false;
            break;
        case DebtEvent::StartNotYet:
            break;
    }
    m.refusedForGood = m.state == DebtState::RefusedForGood ? error : 0;
}

}  // namespace

int NextDebtState(DebtState state, DebtEvent event) {
    return kNext[static_cast<int>(event)][static_cast<int>(state)];
}

PortMove& PortMoveRecord() {
    static PortMove record;
    return record;
}

bool ApplyLocked(DebtEvent event, const WideString& path, DWORD error) {
    PortMove& m = PortMoveRecord();
    const int next = NextDebtState(m.state, event);
    if (next == kIgnored) {
        return false;
    }
    const DWORD kept = m.refusedForGood;
    m.state = static_cast<DebtState>(next);
    NoteLocked(m, event, path, event == DebtEvent::StartRefusedForGood ? error : kept);
    return true;
}

bool StartOwedLocked() {
    const DebtState s = PortMoveRecord().state;
    return s == DebtState::StartOwed || s == DebtState::StartAndFollowUpOwed ||
           s == DebtState::StartAndMoveOwed;
}

bool MoveOwedLocked() {
    const DebtState s = PortMoveRecord().state;
    return s == DebtState::FollowUpOwed || s == DebtState::StartAndFollowUpOwed ||
           s == DebtState::MoveOwed || s == DebtState::StartAndMoveOwed;
}

bool OwedLocked() {
    return StartOwedLocked() || MoveOwedLocked();
}
