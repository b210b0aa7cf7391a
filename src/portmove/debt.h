// The port move's shared state: what a spooler restart still owes, as named states and the events
// that move it, with the queue's current port and who has the spooler in hand, all under one
// lock. Inside src/portmove only (and the tests that set a debt up); no call into Windows here.
#pragma once

#include <mutex>

#include "common/wide_string.h"
#include "platform/platform.h"

// What the spooler owes: its start (a request not yet made, or refused for a reason that can
// clear), the arrival's follow-up (the re-read of the queue's port and its resume, which failed
// while the spooler was down), or the whole move (the printer moved again while the spooler was
// down: the port looked up and written too), or both.
enum class DebtState : unsigned char {
    Settled,               // nothing owed
    StartOwed,             // the start only
    FollowUpOwed,          // the follow-up, once the spooler runs
    StartAndFollowUpOwed,  // the start, then the follow-up
    MoveOwed,              // the whole move, once the spooler runs
    StartAndMoveOwed,      // the start, then the whole move
    RefusedForGood,        // the start refused for good: nothing owed until a new restart
};
inline constexpr int kDebtStates = 7;

enum class DebtEvent : unsigned char {
    // The arrival (the control handler).
    ArrivalUnanswered,     // neither the ports nor the queue answered: the spooler is down
    ArrivalAnswered,       // the spooler answered: this arrival decides the port
    MovedAnswered,         // the port written, the spooler restarted; the re-read answered
    MovedAnsweredWasDown,  // the same, the spooler down before the write
    MovedSilent,           // the port written, the spooler restarted; the re-read found no port
    MovedSilentWasDown,    // the same, the spooler down before the write
    // The removal (the control handler).
    Removal,
    // The restart's halves (the control handler).
    RestartStopHalf,   // the stop request: the poller stands aside
    RestartStartHalf,  // the start half begins: a new restart
    // A look at the spooler (the handler's wait, the poller's look, kq5's stop).
    SpoolerUp,            // running, or starting on the request just made
    StartNotYet,          // still stopping, or a request answered "already running"
    StartRefusedForNow,   // a refusal that can clear
    StartRefusedForGood,  // a lasting refusal
    // The owed move made by a look (the poller's or the stop's).
    PortRewritten,  // the port written and the spooler stopped to take it
    MoveFinished,   // the queue on the printer's port: re-read, and resumed unless removed
};
inline constexpr int kDebtEvents = 15;

// After a refused start that can clear, the poller asks again on its next few cycles (the common
// case: a spooler that needed a moment), then once every 75 cycles, about a minute at 800 ms a
// cycle: every failed start is an entry in the System event log, and a spooler that crashes as
// it starts would otherwise be started and crash again some 4,500 times an hour. kq5's stop
// gives up after as many quick retries.
inline constexpr int kQuickRetries = 3;

// The state an event leads to; `kIgnored` where the event changes nothing in that state.
inline constexpr int kIgnored = -1;
int NextDebtState(DebtState state, DebtEvent event);

// The spooler in the hands of one thread, and the state's epochs when it was taken.
struct InHand {
    unsigned restarts = 0;
    unsigned moves = 0;
};

// The record's values, apart from its lock, so that a fresh record is one assignment.
struct PortMoveValues {
    DebtState state = DebtState::Settled;
    // MoveOwed, StartAndMoveOwed: the printer's device path whose port the whole move looks up.
    WideString owedPrinterPath;
    // While a move is owed: whether its follow-up still resumes the queue (not once the printer
    // has been removed since: its queue stays paused and offline until it arrives again).
    bool resumes = false;
    // While the start is owed, the pace of its retries: requests refused since the restart
    // began, and poller cycles still to let pass before the next one.
    int startRefusals = 0;
    int cyclesToWait = 0;
    // RefusedForGood: the refusal's error.
    DWORD refusedForGood = 0;
    // The queue's port as last read (the arrival, start-up, the owed move's look).
    WideString currentPort;
    // The poller's look is under way on its own thread.
    bool lookInFlight = false;
    // One thread at a time has the spooler in hand: looks at it, asks it to start, makes the
    // owed move. Nobody waits for it: the poller looks again on a later cycle, the handler's and
    // the stop's waits on their next look.
    bool inHand = false;
    // From a restart's stop request until its start half begins: the poller leaves the spooler
    // alone (a start it asked for in the stop's pause, and was refused for good, would be asked
    // for again by that start half).
    bool restartUnderWay = false;
    // Counted up when a restart's start half begins, and when an arrival owes a move or drops
    // one. A look that began before holds news that is stale by its end: it notes nothing.
    unsigned restarts = 0;
    unsigned moves = 0;
};

struct PortMove : PortMoveValues {
    // Guards every field. Held only to read or change them, never across a call into Windows, so
    // that taking it never waits for long.
    std::mutex lock;
};

// The process's one record.
PortMove& PortMoveRecord();

// Lock held. The event applied: the state it leads to, and the event's own bookkeeping. False,
// and nothing changed, where the table ignores it. `path`: ArrivalUnanswered's and the
// *WasDown events' printer; `error`: StartRefusedForGood's.
bool ApplyLocked(DebtEvent event, const WideString& path = WideString(), DWORD error = 0);

// Lock held: what the state owes.
bool StartOwedLocked();
bool MoveOwedLocked();
bool OwedLocked();
