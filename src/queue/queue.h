// Every operation on the print queue "Korvane-Q5" and on the spooler service. Each operation
// opens the queue by name and closes it before returning; nothing is cached between calls.
#pragma once

#include <memory>

#include "common/wide_string.h"
#include "platform/platform.h"
// What a restart still owes, for the readers of the queue that also ask after the debt (the
// swarm's checker).
#include "queue/spooler_debt.h"

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
// clear, leaves the start owed to the status poller (queue/spooler_debt.h).
void RestartSpooler();

// Refusals that asking again will not change (the spooler disabled, no right to start it, ...):
// a start refused so, or the service manager or the spooler's service opened so, ends the debt.
bool IsLastingRefusal(DWORD error);
