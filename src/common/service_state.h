// The process-wide record that the service host, the status poller and the control handler share.
#pragma once

#include <atomic>

#include "common/wide_string.h"
#include "platform/platform.h"
#include "queue/spooler_debt.h"

inline constexpr size_t kStatusFrameSize = 5;

struct ServiceState {
    HANDLE deviceHandle = INVALID_HANDLE_VALUE;  // the printer's USB device, owned by the poller
    HDEVNOTIFY deviceNotification = nullptr;
    // Shared by the poller and the control handler without locks: each flag is one byte, written
    // and read whole, so they are atomics (a plain byte would be a data race in C++).
    std::atomic<BYTE> reopenRequested{0};
    std::atomic<BYTE> deviceRemoved{0};
    BYTE statusFrame[kStatusFrameSize] = {};
    SERVICE_STATUS serviceStatus = {};
    // The service manager has taken a SERVICE_STOPPED report (under the status lock): from then on
    // nothing more is reported. A STOPPED report that failed leaves the service running as far as
    // the service manager knows, so a later report says it again.
    bool stoppedReported = false;
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    // The queue's port as last read; written and read under spoolerDebt.lock (RefreshCurrentPort,
    // CurrentPort in queue/spooler_debt.h): the poller's look finishes a port move too.
    WideString currentPortName;
    // What a spooler restart still owes, in a record of its own under its own lock.
    SpoolerDebt spoolerDebt;
};

extern ServiceState serviceState;

// Puts every field back to its start value (a fresh process, for the simulation and tests).
void ResetServiceState();

// The print queue that every queue operation works on.
inline constexpr const WCHAR* kQueueName = WSTR("Korvane-Q5");
