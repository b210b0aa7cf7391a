// The port move, from the printer's arrival to the resumed queue, and what a spooler restart still
// owes: the one owner of the queue's port write and of the spooler's stop and start requests.
// Its state (src/portmove/debt.h) moves only by the events in its table; the control handler,
// the status poller and kq5's stop ask it here. Lives above src/queue and src/device.
#pragma once

#include "common/wide_string.h"
#include "platform/platform.h"

// Puts the state back to its start value (a fresh process, for the simulation and tests).
void ResetPortMove();

// --- The control handler (the dispatcher thread) ---

// The printer arrived at `printerPath`: its port looked up and the queue's read afresh; when
// they differ, the port written, the spooler restarted and the queue resumed. What the spooler
// could not do is owed: the follow-up, or the whole move when it answered nothing.
void PortMoveOnArrival(WideString printerPath);

// The printer was removed: an owed follow-up leaves its queue paused and offline.
void PortMoveOnRemoval();

// Writes a new port into the queue's record (up to 21 attempts) and restarts the spooler once a
// write is accepted. An empty name is refused: a queue without a port prints nowhere.
void SetQueuePort(WideString newPort);

// Stops the "Spooler" service and starts it again, each half with its own manager connection:
// the stop request and 300 ms; a wait of up to 10 s (looking every 100 ms) while it is still
// stopping; the start request; 300 ms and 1000 ms. What it could not do is owed to the poller.
void RestartSpooler();

// The queue's port read afresh into the state (start-up, the arrival), and a copy of it.
void RefreshCurrentPort();
WideString CurrentPort();

// --- The status poller ---

// Pays what a restart still owes, one step a call, never waiting: the start request once the
// spooler has stopped (none while it runs or is stopping, none while another thread has it in
// hand; after a refusal that can clear, the next few cycles ask again, then every 75th), and,
// once it runs, the owed move. A lasting refusal ends the debt. The look runs on a thread of its
// own, since a start request returns only once the spooler's process has come up.
void StartOwedSpooler();

// --- kq5's stop ---

// Whether a restart still owes a start request or the port move's follow-up.
bool SpoolerDebtOwed();

// Before kq5's process ends with a debt owed: waits for the spooler to stop, makes the start,
// waits for it to run and makes the owed move, following the spooler's checkpoint and wait hint,
// looking once a second, and beginning no look later than 20 s after the call. NO_ERROR when the
// spooler runs and nothing is owed; otherwise the reason: the service manager's error when it or
// the spooler cannot be opened, the start's own error when it was refused (for good, or still
// after a few quick retries), and ERROR_SERVICE_REQUEST_TIMEOUT when the spooler was still
// stopping or starting.
DWORD PaySpoolerDebtBeforeExit();
