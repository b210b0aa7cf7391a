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

// Refusals that asking again will not change (the spooler disabled, no right to start it, ...):
// a start refused so, or the service manager or the spooler's service opened so, ends the debt.
bool IsLastingRefusal(DWORD error);
