// Internal state of the simulated machine, shared by the files that implement the Win32 calls.
#pragma once

#include <cstdint>
#include <deque>
#include <initializer_list>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "common/text.h"
#include "platform/sim/sim.h"

namespace sim {

struct HandleEntry {
    std::string kind;
    int number = 0;  // per kind, from 1
    bool mustClose = true;
    // What the handle refers to.
    Text16 printer;             // printer
    uint64_t generation = 0;    // printer, device: handles die with a spooler restart or an unplug
    std::string service;        // service
    std::string keyPath;        // key
    std::vector<Text16> paths;  // devinfo: the snapshot of device paths
    Text16 devicePath;          // device
    DWORD access = 0;           // device
    DWORD shareMode = 0;        // device
    void* memory = nullptr;     // memory
    void* thread = nullptr;     // thread: the simulated thread, null when it was never run
};

struct PrinterRecord : PrinterState {
    bool growAfterSizeQuery = false;
};

struct PortRecord {
    Text16 name;
    Text16 monitor;
};

struct ServiceRecord {
    std::string name;
    std::vector<std::string> dependsOn;
    DWORD state = SERVICE_RUNNING;
    uint64_t stopMs = 0;
    uint64_t startMs = 0;
    uint64_t transitionStartedAt = 0;
    uint64_t transitionDoneAt = 0;
    bool hangs = false;          // a stop never completes and its checkpoint stays where it is
    uint64_t startBlocksMs = 0;  // how long an accepted start request holds its caller
    ServiceConfig config;        // what the service database reads back (InstallService)
};

struct RegistryValue {
    DWORD type = REG_SZ;
    std::vector<BYTE> data;
};

struct RegistryKey {
    std::string path;                             // as written when created
    std::map<std::string, RegistryValue> values;  // by lower-case name
};

struct ScriptedRead {
    bool fails = false;
    DWORD error = 0;
    std::vector<BYTE> bytes;
};

struct Device {
    Text16 path;
    bool present = true;
    uint64_t generation = 0;  // counts plug-ins; handles from an earlier one are dead
    std::vector<BYTE> frame = std::vector<BYTE>(5, 0);
    std::deque<ScriptedRead> script;
};

struct Failure {
    std::string function;
    int first = 0;
    int count = 0;
    DWORD error = 0;
    int delivered = 0;
};

struct CallAction {
    std::string function;
    int nth = 0;
    std::function<void()> action;
};

struct Control {
    DWORD control = 0;
    DWORD eventType = 0;
    std::vector<BYTE> data;
    size_t record = 0;  // its entry in Machine::controlRecords
};

// A program file on the simulated disk, for its version resource.
struct ProgramFile {
    Text16 path;
    bool versioned = false;
    bool fixedPart = true;  // the resource carries its VS_FIXEDFILEINFO
    DWORD versionMS = 0;    // major << 16 | minor
    DWORD versionLS = 0;    // patch << 16 | build
};

struct Machine {
    uint64_t nowMs = 0;
    bool recording = true;
    std::vector<std::string> calls;
    // Per function, the calls since Reset: they number the calls for failure injection.
    std::map<std::string, uint64_t, std::less<>> callTotals;
    std::vector<Failure> failures;
    std::vector<FailureHit> failureHits;
    std::vector<CallAction> callActions;

    std::map<uintptr_t, HandleEntry> handles;
    uintptr_t nextHandle = 0x10000;
    std::map<std::string, int> handleNumbers;

    std::vector<std::string> debugLines;
    std::string standardOutput;
    std::vector<TimelineEvent> timeline;

    std::vector<PrinterRecord> printers;
    std::vector<PortRecord> ports;
    std::vector<Text16> drivers;  // installed printer drivers
    bool denyPrinterAdministration = false;
    uint64_t spoolerGeneration = 0;

    std::vector<ServiceRecord> services;
    bool startedByServiceManager = false;
    std::vector<SERVICE_STATUS> statusReports;
    NotificationRegistration notification;
    std::vector<Text16> serviceNamesSeen;
    LPHANDLER_FUNCTION_EX handler = nullptr;
    LPVOID handlerContext = nullptr;
    std::deque<Control> controls;
    bool serviceStopped = false;
    DWORD controlDuringNotification = 0;  // delivered inside RegisterDeviceNotificationW
    uint64_t longestControlMs = 0;
    uint64_t longestStopMs = 0;
    // The service's state and accepted controls as the service manager knows them: its last
    // report.
    DWORD reportedState = SERVICE_START_PENDING;
    DWORD reportedControls = 0;
    std::vector<ControlRecord> controlRecords;

    std::map<std::string, RegistryKey> registry;  // by lower-case path

    std::vector<Device> devices;

    std::vector<ProgramFile> programFiles;

    bool eventLogRunning = true;  // the EventLog service
    std::vector<ReportedEvent> reportedEvents;

    std::map<std::string, uint64_t> callDurations;  // by function: how long its calls take
};

// The machine and the lock that guards it. Every Win32 function takes the lock for its own work
// and never holds it while calling back into system code or waiting.
Machine& TheMachine();
std::mutex& MachineLock();
// A copy of one of the machine's fields, read under the lock: the body of the simple getters.
template <typename T>
T ReadMachine(T Machine::*field) {
    std::lock_guard<std::mutex> lock(MachineLock());
    return TheMachine().*field;
}

// Counts a call, runs the actions set for it, and answers whether an injected failure applies to
// it. Call with the lock held.
std::optional<DWORD> CountCall(Machine& m, const char* function);
// Adds a call with its arguments to the log. Call with the lock held.
void LogCall(Machine& m, const char* function, const std::string& args);

// Records a call in the log (when it is kept), runs the actions set for it, and answers whether
// an injected failure applies to it. `args` makes the text of the arguments; it is not called
// when recording is off, so that a long run pays nothing for a log it does not keep. Call with
// the lock held.
// A point where the schedule may give the turn to another ready thread before the call takes
// effect (process.cpp). Call with the lock held: it is given up while another thread runs.
void CallPoint();
// A call the scenario gives a duration: the calling thread sleeps that long before the call takes
// effect, and other threads run meanwhile (process.cpp). Call with the lock held, given up while
// it lasts.
void CallLasts(Machine& m, const char* function);

template <typename Args>
std::optional<DWORD> RecordCall(Machine& m, const char* function, const Args& args) {
    CallPoint();
    if (!m.callDurations.empty()) {
        CallLasts(m, function);
    }
    if (m.recording) {
        LogCall(m, function, args());
    }
    return CountCall(m, function);
}

// Handle table. Call with the lock held.
// `at` gives the handle a chosen value (a memory block's address); 0 picks a fresh one.
void* NewHandle(Machine& m, HandleEntry entry, uintptr_t at = 0);
HandleEntry* FindHandle(Machine& m, const void* handle, const std::string& kind);
void ReleaseHandle(Machine& m, const void* handle);
std::string HandleName(Machine& m, const void* handle);
// Records the call `function` that closes `handle` and releases the handle when it is one of
// `kinds`; false, with nothing released, for any other handle. Call with the lock held.
bool RecordClose(Machine& m, const char* function, const void* handle,
                 std::initializer_list<const char*> kinds);
// The whole of a BOOL call that closes a handle of one of `kinds` (CloseHandle, ClosePrinter,
// ...): takes the lock, and answers FALSE with ERROR_INVALID_HANDLE for any other handle.
BOOL CloseHandleOf(const char* function, const void* handle,
                   std::initializer_list<const char*> kinds);

// Records the call `function` as RecordCall does, then finds `handle` as a handle of `kind`: null
// with the last error set, to the injected failure or to ERROR_INVALID_HANDLE for a handle that
// is not a `kind`. Call with the lock held.
template <typename Args>
HandleEntry* RecordOnHandle(Machine& m, const char* function, const Args& args, const void* handle,
                            const std::string& kind) {
    if (auto error = RecordCall(m, function, args)) {
        SetLastError(*error);
        return nullptr;
    }
    HandleEntry* entry = FindHandle(m, handle, kind);
    if (entry == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return entry;
}

// Records an event on the timeline, now or at ATMS (a transition that completed earlier).
void AddTimeline(Machine& m, EventDetail detail);
void AddTimelineAt(Machine& m, uint64_t atMs, EventDetail detail);

// Spooler availability follows the "Spooler" service. Call with the lock held.
ServiceRecord* FindService(Machine& m, const std::string& name);
void RefreshService(Machine& m, ServiceRecord& service);
bool SpoolerRunning(Machine& m);
// The service a handle of OpenServiceA/W names, brought up to date; null with the last error set
// (ERROR_INVALID_HANDLE for a handle that is no service's).
ServiceRecord* ServiceOf(Machine& m, SC_HANDLE handle);
// Records the call `function` on a service handle (its arguments after the handle, if any) and
// looks up the service: null with the last error set when a failure was injected or the handle
// names none.
ServiceRecord* ServiceCalled(Machine& m, const char* function, SC_HANDLE handle,
                             const std::string& arguments);
// OpenServiceA/W: records the call `function` (the name as the caller gave it, `quotedName`) and
// gives a new handle to the service `name` through the manager's handle; null with the last
// error set (no `name`: none was given).
SC_HANDLE OpenServiceCalled(Machine& m, const char* function, SC_HANDLE manager,
                            const std::string& quotedName, DWORD access,
                            const std::optional<std::string>& name);

// Formatting of call arguments.
std::string Quote(const char* text);
std::string Quote(const WCHAR* text);
bool EqualsIgnoringCase16(const Text16& a, const Text16& b);

// The scheduler of simulated threads (process.cpp).
bool OnSimulatedThread();
// Sleeps the calling simulated thread until the clock reaches `wakeAt`.
void SleepUntil(uint64_t wakeAt);
// Blocks the calling simulated thread until WakeDispatcher is called.
void WaitForControl();
void WakeDispatcher();
// Starts `body` on a new simulated thread of the running process: the thread, or null outside a
// process.
void* StartSimulatedThread(const std::string& name, std::function<void()> body);
// Lets the calling simulated thread wait until `thread` has ended or the clock reads `deadline`;
// whether it ended.
bool AwaitSimulatedThread(void* thread, uint64_t deadline);

// The dispatcher's loop over delivered controls (services.cpp), run by StartServiceCtrlDispatcherW.
void RunDispatcher();

}  // namespace sim
