// The record that the service host, the status poller and the control handler share. Each field
// says its owner (the one who writes it) and its guard. The port move's state (the spooler's
// debt and the queue's current port) is not here: src/portmove keeps it under its own lock.
#pragma once

#include <atomic>
#include <mutex>

#include "common/wide_string.h"
#include "platform/platform.h"

inline constexpr size_t kStatusFrameSize = 5;

struct ServiceState {
    // Owner: the poller's thread, the only one to touch it; no guard.
    HANDLE deviceHandle = INVALID_HANDLE_VALUE;
    // Owner: start-up (ServiceMain), which writes it once; no guard.
    HDEVNOTIFY deviceNotification = nullptr;
    // Owner: the control handler, which sets them; the poller reads them (and clears
    // reopenRequested). Guard: each is an atomic byte, written and read whole.
    std::atomic<BYTE> reopenRequested{0};
    std::atomic<BYTE> deviceRemoved{0};
    // Owner: the poller's thread, the only one to touch it; no guard.
    BYTE statusFrame[kStatusFrameSize] = {};
    // Owner: the service host (src/service/service.cpp): start-up, the handler and the stop's
    // progress thread all report, on different threads. Guard: statusLock, for every read and
    // write of the three fields after it.
    std::mutex statusLock;
    SERVICE_STATUS serviceStatus = {};
    // The service manager has taken a SERVICE_STOPPED report: from then on nothing more is
    // reported. A STOPPED report that failed leaves the service running as far as the service
    // manager knows, so a later report says it again.
    bool stoppedReported = false;
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    // What the stop's payer thread found: NO_ERROR once the spooler runs and nothing is owed.
    // Owner: the payer, which writes it as it ends; the progress thread reads it once the payer
    // has ended. Guard: an atomic.
    std::atomic<DWORD> stopWaitResult{ERROR_SERVICE_REQUEST_TIMEOUT};
};

extern ServiceState serviceState;

// Puts every field back to its start value. The whole process's state, the port move's with it,
// is put back by ResetServiceState (src/service/service.h).
void ResetServiceRecord();

// The print queue that every queue operation works on.
inline constexpr const WCHAR* kQueueName = WSTR("Korvane-Q5");
