// Every operation on the print queue "Korvane-Q5" and on the spooler service. Each operation
// opens the queue by name and closes it before returning; nothing is cached between calls.
#pragma once

#include <memory>

#include "common/wide_string.h"
#include "platform/platform.h"

// The queue's level-2 record with its strings, in a buffer of exactly the size the spooler
// reported. Owned by the operation that read it.
using QueueInfo = std::unique_ptr<BYTE[]>;

inline PRINTER_INFO_2W* InfoRecord(const QueueInfo& info) {
    return reinterpret_cast<PRINTER_INFO_2W*>(info.get());
}

// Opens the queue with full access. INVALID_HANDLE_VALUE after the open-failure report.
HANDLE OpenQueue();

// Reads the open queue's level-2 record. Null after the read-failure message.
QueueInfo ReadQueueInfo(HANDLE queue);

// A queue handle whose record could be read, or INVALID_HANDLE_VALUE. The caller closes it.
HANDLE OpenQueueChecked();

// The queue's port name; empty when the queue cannot be opened or read or has no port.
WideString QueryQueuePort();

// Sends one queue command (pause or resume), then sets the printer status word.
void ApplyQueueState(DWORD command, DWORD status);

// Resumes the queue and clears its status.
void ResumeQueue();

// Writes a new port into the queue's record (up to 21 attempts) and restarts the spooler once a
// write is accepted. An empty name is refused: a queue without a port prints nowhere.
void SetQueuePort(WideString newPort);

// Stops the "Spooler" service and starts it again, each half with its own manager connection.
// A spooler still stopping when the handler's wait ends, or a start refused for a reason that can
// clear, leaves the start owed (ServiceState::spoolerStartOwed) to StartOwedSpooler.
void RestartSpooler();

// Pays what a restart still owes, one step a call, never waiting: the start request once the
// spooler has stopped (at most one request, none while it runs or is stopping, none while the
// handler is at it; after a refusal that can clear, the next few cycles ask again, then every
// 75th), and, once it runs, the arrival's re-read of the port and resume
// (ServiceState::portMoveOwed). A lasting refusal ends the debt. The poller calls it every cycle.
void StartOwedSpooler();

// The arrival of the printer at `printerPath` is finished once the spooler runs: its port looked
// up and written (with a restart) should the queue not print to it by then, the queue's port read
// afresh, the queue resumed.
void OwePortMove(WideString printerPath);
// A later arrival that the spooler answered decides the port: the earlier one owed is dropped.
void ForgetOwedPrinter();

// Whether a restart still owes a start request or the port move's follow-up.
bool SpoolerDebtOwed();

// Refusals that asking again will not change (the spooler disabled, no right to start it, ...):
// a start refused so, or the service manager or the spooler's service opened so, ends the debt.
bool IsLastingRefusal(DWORD error);

// Before kq5's process ends with a debt owed: waits for the spooler to stop, makes the start,
// waits for it to run and makes the port move's follow-up, following the spooler's checkpoint
// and wait hint, looking once a second, and beginning no look later than 20 s after the call
// (kExitWaitCeilingMs). NO_ERROR when the spooler runs and nothing is owed; otherwise the reason:
// the service manager's error when it or the spooler cannot be opened, the start's own error
// when it was refused (for good, or still after a few quick retries), and
// ERROR_SERVICE_REQUEST_TIMEOUT when the spooler was still stopping or starting.
DWORD PaySpoolerDebtBeforeExit();

// ServiceState::currentPortName, under its lock: the queue's port read afresh into it, and a copy
// of it.
void RefreshCurrentPort();
WideString CurrentPort();
