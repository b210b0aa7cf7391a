// The "Spooler" service's own calls for a port move and its debt, and the queue's port write:
// no state of their own (what is owed is kept by src/portmove, their only caller).
#pragma once

#include "common/wide_string.h"
#include "platform/platform.h"

enum class StartOutcome {
    Running,        // running: nothing more to do
    Starting,       // start pending: the request is made, the spooler not yet running
    StillStopping,  // no request sent: it would be refused until the stop is complete
    Retry,          // not started for a reason that can clear
    Refused,        // refused for good: asking again would change nothing
};

// One look at the spooler and what came of it.
struct StartLook {
    StartOutcome outcome = StartOutcome::Running;
    DWORD error = NO_ERROR;  // the refusal, for Retry and Refused
    SERVICE_STATUS status = {};
};

// A failure to open or start the spooler, as a look: lasting or not.
StartLook LookOfFailure(DWORD error);

// The look could not read the spooler's state.
bool StateUnknown(const StartLook& look);

// "Already running": Windows' answer to a start of any service that is not stopped, a stopping
// one included. Not a refusal.
bool AlreadyRunning(const StartLook& look);

// The service manager and the spooler's service in it, each with full access; the service is
// null (and `error` says why) when either cannot be opened.
struct SpoolerService {
    SC_HANDLE manager = nullptr;
    SC_HANDLE service = nullptr;
    DWORD error = NO_ERROR;
};
SpoolerService OpenSpooler();
void CloseSpooler(const SpoolerService& spooler);

// The restart's stop half: a stop request on a connection of its own, then its pause. Neither
// when the service manager cannot be opened.
void StopSpooler();

// One look at the spooler and, when it has stopped (or its state cannot be read), one start
// request. It can block as long as the spooler's process takes to come up.
StartLook StartIfStopped(SC_HANDLE service);

// Writes the port into the queue's record, up to 21 attempts: whether one was accepted. An empty
// name is refused.
bool WriteQueuePort(WideString newPort);
