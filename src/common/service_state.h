// The process-wide record that the service host, the status poller and the control handler share.
#pragma once

#include <atomic>
#include <mutex>

#include "common/wide_string.h"
#include "platform/platform.h"

inline constexpr size_t kStatusFrameSize = 5;

struct ServiceState {
    HANDLE deviceHandle = INVALID_HANDLE_VALUE;  // the printer's USB device, owned by the poller
    HDEVNOTIFY deviceNotification = nullptr;
    // Shared by the poller and the control handler without locks: each flag is one byte, written
    // and read whole, so they are atomics (a plain byte would be a data race in C++).
    std::atomic<BYTE> reopenRequested{0};
    std::atomic<BYTE> deviceRemoved{0};
    // A spooler restart's start request not yet made (the spooler was still stopping) or refused
    // for a reason that can clear; the poller makes it.
    std::atomic<BYTE> spoolerStartOwed{0};
    // The arrival's re-read of the port and its resume, which failed while the spooler was down:
    // part of the same debt, made once the spooler runs again.
    std::atomic<BYTE> portMoveOwed{0};
    // Whether that follow-up still resumes the queue: not once the printer has been removed
    // since (its queue stays paused and offline until it arrives again).
    std::atomic<BYTE> portMoveResumes{0};
    // The pace of the owed start's retries (touched only under the spooler start lock): requests
    // refused since the debt began, and poller cycles still to let pass before the next one.
    int spoolerStartRefusals = 0;
    int spoolerStartCyclesToWait = 0;
    // The last start request was refused for good (the spooler disabled, no logon, ...): nothing
    // is owed to it until a new restart, or until it runs again.
    std::atomic<DWORD> spoolerRefusedForGood{0};  // the refusal's error, 0 for none
    // Set while the poller's look at the spooler is under way on its own thread.
    std::atomic<BYTE> spoolerLookInFlight{0};
    BYTE statusFrame[kStatusFrameSize] = {};
    SERVICE_STATUS serviceStatus = {};
    // The service manager has taken a SERVICE_STOPPED report (under the status lock): from then on
    // nothing more is reported. A STOPPED report that failed leaves the service running as far as
    // the service manager knows, so a later report says it again.
    bool stoppedReported = false;
    SERVICE_STATUS_HANDLE statusHandle = nullptr;
    WideString currentPortName;  // written and read under portNameLock
    // The printer's device path of an arrival whose port the spooler could not list or take
    // because it was down (under portNameLock): the port move's follow-up makes the move once the
    // spooler runs.
    WideString owedPrinterPath;
    std::mutex portNameLock;  // the handler's arrival and the poller's port-move follow-up
};

extern ServiceState serviceState;

// Puts every field back to its start value (a fresh process, for the simulation and tests).
void ResetServiceState();

// The print queue that every queue operation works on.
inline constexpr const WCHAR* kQueueName = WSTR("Korvane-Q5");
