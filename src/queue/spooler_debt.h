// What a spooler restart still owes, in one record under one lock, and the three parties that
// settle it: the control handler (a port move's restart and the printer's arrivals and
// removals), the status poller (one look a cycle) and kq5's stop (paid before the process ends).
//
// The debt: the spooler's start (still stopping when the handler's wait ended, or refused for a
// reason that can clear), the port move's follow-up (the arrival's re-read of the queue's port
// and its resume, which failed while the spooler was down) and, when the printer moved again
// while the spooler was down, the move itself.
#pragma once

#include <mutex>

#include "common/wide_string.h"
#include "platform/platform.h"

struct SpoolerDebt {
    // Guards every field below and ServiceState::currentPortName. Held only to read or change
    // them, never across a call into Windows, so that taking it never waits for long.
    std::mutex lock;
    bool startOwed = false;  // a start request not yet made, or refused for a reason that can clear
    bool portMoveOwed = false;  // the port move's follow-up
    // Whether the follow-up still resumes the queue: not once the printer has been removed since
    // (its queue stays paused and offline until it arrives again).
    bool portMoveResumes = false;
    // The printer's device path of an arrival whose port the spooler could not list or take:
    // the follow-up makes the whole move. Empty when only the follow-up is owed.
    WideString owedPrinterPath;
    // The pace of the owed start's retries: requests refused since the restart began, and poller
    // cycles still to let pass before the next one.
    int startRefusals = 0;
    int cyclesToWait = 0;
    // The last start request was refused for good (the spooler disabled, no logon, ...): its error,
    // 0 for none. Nothing is owed to such a spooler until a new restart.
    DWORD refusedForGood = 0;
    // The poller's look at the spooler is under way on its own thread.
    bool lookInFlight = false;
    // One thread at a time has the spooler in hand: looks at it, asks it to start, finishes the
    // port move. Taken and given back under `lock`; a thread that finds it taken does not wait
    // for it: the poller looks again on a later cycle, the handler's and the stop's waits for the
    // spooler on their next look.
    bool inHand = false;
    // A port move's restart is under way from its stop request until its start half begins: the
    // poller leaves the spooler alone meanwhile (a start it asked for in the stop's pause, and
    // was refused for good, would be asked for again by that start half).
    bool restartUnderWay = false;
    // Counted up when the handler begins a restart's start half, and when an arrival owes a move
    // or drops one. A look that began before holds news of the spooler or the move that is
    // stale by its end: it neither clears nor paces what the newer one owes.
    unsigned restarts = 0;
    unsigned moves = 0;
};

// Puts the record back to its start value (a fresh process, for the simulation and tests).
void ResetSpoolerDebt();

// --- The control handler ---

// A port move's restart begins: from its stop request until StartSpoolerOrOweIt, the poller does
// not look at the spooler.
void BeginSpoolerRestart();

// The restart's start half, after its stop: waits up to 10 s for the spooler to stop (looking
// every 100 ms), asks it to start, and leaves what it could not do owed. A new restart counts its
// refusals afresh. False when the service manager cannot be opened (the half's pauses are then
// skipped).
bool StartSpoolerOrOweIt();

// The spooler's start is still owed (it is down from an earlier move).
bool SpoolerStartOwed();

// An arrival of the printer at `printerPath` that neither the ports nor the queue answered (the
// spooler is down): the whole move is owed, unless the spooler refused its start for good.
void OweWholePortMove(WideString printerPath);

// An arrival the spooler answered decides the port: a move owed by an earlier one is dropped.
void ForgetOwedPrinter();

// After the arrival's port move (written, re-read, resumed): when the spooler was not back in
// time, the follow-up is owed, and with `printerPath` (the spooler was down before the move, so
// the write may not have reached it) the move itself.
void OweFollowUpIfUnfinished(WideString printerPath);

// The printer was removed: an owed follow-up leaves its queue paused and offline.
void DropOwedResume();

// ServiceState::currentPortName, under the debt's lock: the queue's port read afresh into it,
// and a copy of it.
void RefreshCurrentPort();
WideString CurrentPort();

// --- The status poller ---

// Pays what a restart still owes, one step a call, never waiting: the start request once the
// spooler has stopped (none while it runs or is stopping, none while another thread has it in
// hand; after a refusal that can clear, the next few cycles ask again, then every 75th), and,
// once it runs, the port move's follow-up. A lasting refusal ends the debt. The look runs on a
// thread of its own, since a start request returns only once the spooler's process has come up.
void StartOwedSpooler();

// --- kq5's stop ---

// Whether a restart still owes a start request or the port move's follow-up.
bool SpoolerDebtOwed();

// Before kq5's process ends with a debt owed: waits for the spooler to stop, makes the start,
// waits for it to run and makes the port move's follow-up, following the spooler's checkpoint
// and wait hint, looking once a second, and beginning no look later than 20 s after the call.
// NO_ERROR when the spooler runs and nothing is owed; otherwise the reason: the service
// manager's error when it or the spooler cannot be opened, the start's own error when it was
// refused (for good, or still after a few quick retries), and ERROR_SERVICE_REQUEST_TIMEOUT when
// the spooler was still stopping or starting.
DWORD PaySpoolerDebtBeforeExit();
