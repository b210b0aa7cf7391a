// The simulated Windows machine: the control panel through which tests and the simulator set up
// a machine, drive it, inject failures and read back everything the system did to it.
// Every Win32 function declared in win32.h records its call here.
#pragma once

#include <climits>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/sim/win32.h"
#include "events/events.h"

namespace sim {

using Text16 = std::u16string;

// ---- The machine as a whole --------------------------------------------------------------------
// Replaces the machine with a fresh one: the "Spooler" service running, no printers, ports,
// registry keys, devices, calls, handles or output; the clock at 0.
void Reset();

uint64_t NowMs();

// The service's process has ended: Windows closes every handle it still held (its device handle
// included) and frees its memory; everything else on the machine stays as it was.
void EndProcess();

// ---- Call log, handles, failure injection ------------------------------------------------------
// Every platform call as "Name(arg, arg, ...)", in order.
std::vector<std::string> Calls();
// Only the calls whose name is one of `names`.
std::vector<std::string> CallsOf(const std::vector<std::string>& names);
int CallCount(const std::string& function);  // in the log since the last ClearCalls
// Empties the log; failure injection goes on counting calls from the start.
void ClearCalls();

// Per function, how many calls the machine has received since Reset (kept when recording is off).
std::map<std::string, uint64_t> CallTotals();

// With recording off the machine keeps no call log, output, timeline or status reports (only the
// call totals), so that long runs measure the system and not the recorder.
void SetRecording(bool on);

// Handles, keys, lists and buffers that must be released and are still open, e.g. "printer#2".
std::vector<std::string> OpenHandles();
// Open handles of one kind: "printer", "scmanager", "service", "key", "devinfo", "memory",
// "device", "thread".
int OpenHandleCount(const std::string& kind);

// Makes calls number nth .. nth+count-1 (counted from 1, per function) of `function` fail with
// `error`; with kEveryLaterCall, call nth and every call after it (a service that stays away).
// The failure is what the real function reports: its failure result and the error as last error
// (or, for the registry, as the returned status). An injection must never be a silent no-op: a
// function the simulation does not know, or cannot make fail (see CanFail), is refused with
// std::invalid_argument, and UndeliveredInjections names those whose calls never came.
inline constexpr int kEveryLaterCall = INT_MAX;
void FailCall(const std::string& function, int nth, DWORD error, int count = 1);
// Every later call of `function` (one CanFail names) takes `ms` of simulated time, on a simulated
// thread taking turns: the clock moves and other threads run while it lasts, and the call takes
// effect at its end. Elsewhere calls complete at once.
void SetCallDuration(const std::string& function, uint64_t ms);
// Each injected failure as it happened (with recording on): the call, its error, when.
struct FailureHit {
    std::string function;
    DWORD error = 0;
    uint64_t atMs = 0;
};
std::vector<FailureHit> FailureHits();
// Whether FailCall accepts `function`: not for the calls that return nothing or only release
// what the caller owns (Sleep, OutputDebugStringA, the close and free calls).
bool CanFail(const std::string& function);
// "no call 3 of OpenPrinterW came (2 made)" for each failure (FailCall) or action (AtCall) whose
// call has not come yet.
std::vector<std::string> UndeliveredInjections();
// Runs `action` when call nth of `function` is made, before it is answered: a point in the
// system's work at which a test can act as another thread would (set a flag) or look. The action
// must not call the simulation.
void AtCall(const std::string& function, int nth, std::function<void()> action);

// ---- Output channels ---------------------------------------------------------------------------
std::vector<std::string> DebugLines();  // every OutputDebugStringA text, raw bytes
std::string StandardOutput();           // every byte written to standard output

// ---- Print spooler -----------------------------------------------------------------------------
struct PrinterState {
    bool exists = false;
    bool paused = false;
    DWORD status = 0;  // the status word set by PRINTER_CONTROL_SET_STATUS
    Text16 port;
    bool nullPort = false;
    // The rest of the level-2 record: what a level-2 write sets.
    Text16 name;
    Text16 shareName;
    Text16 driver;
    Text16 comment;
    Text16 location;
    Text16 sepFile;
    Text16 printProcessor;
    Text16 datatype;
    Text16 parameters;
    std::vector<BYTE> devMode;             // a DEVMODEW and its driver's private bytes
    std::vector<BYTE> securityDescriptor;  // self-relative
    DWORD attributes = 0;
    DWORD priority = 0;
    DWORD defaultPriority = 0;
    DWORD startTime = 0;
    DWORD untilTime = 0;
    bool operator==(const PrinterState&) const = default;
};

// Adds a printer (a queue) printing to `port`, with a whole level-2 record as a real queue has
// (comment, location, device mode, security descriptor, ...); `port` is also added to the port
// list and its driver to the installed drivers.
void AddPrinter(const Text16& name, const Text16& port);
void RemovePrinter(const Text16& name);
PrinterState Printer(const Text16& name);
// The printer's level-2 record reports a null port name.
void SetPrinterNullPort(const Text16& name);
// The printer's record grows between the next size query and the read that follows it.
void GrowPrinterRecordAfterSizeQuery(const Text16& name);
// OpenPrinterW with full access is refused (an account without administrative rights).
void DenyPrinterAdministration(bool deny);
// Adds a port to the spooler's port list (in order) with its port monitor.
void AddPort(const Text16& name, const Text16& monitor = u"USB Monitor");
std::vector<Text16> Ports();

// ---- Service control manager -------------------------------------------------------------------
// How long the "Spooler" takes to stop after a stop request and to start after a start request.
void SetSpoolerTimes(uint64_t stopMs, uint64_t startMs);
// A "Spooler" asked to stop that never gets there: it stays SERVICE_STOP_PENDING with a frozen
// checkpoint (a print driver that hangs in its unload).
void SetSpoolerStopHangs(bool hangs);
// An accepted start request of the "Spooler" returns only after `ms` (its process is slow to
// connect to the service manager); the Spooler is starting meanwhile.
void SetSpoolerStartBlocks(uint64_t ms);
// A running service `name` that depends on the "Spooler": the service manager refuses to stop
// the Spooler (ERROR_DEPENDENT_SERVICES_RUNNING) while it runs.
void AddSpoolerDependent(const std::string& name);
// The longest time, in simulated ms, that the service's control handler took over one control.
uint64_t LongestControlMs();
// ... over one stop or shutdown.
uint64_t LongestStopMs();
// Every control the service manager had for the service since Reset, in order: when it was sent,
// when the handler took it and returned (endedAt 0: the handler had not returned when its process
// ended) and its answer; or refused for the state the service last reported (ControlService's
// rules: a stop to a service that is stopping gets ERROR_SERVICE_CANNOT_ACCEPT_CTRL and never
// reaches the handler).
struct ControlRecord {
    DWORD control = 0;
    uint64_t sentAt = 0;
    uint64_t startedAt = 0;
    uint64_t endedAt = 0;
    bool handled = false;  // taken by a handler
    bool refused = false;  // by the service manager, for the service's state
    DWORD answer = 0;      // the handler's result, or the service manager's refusal
};
std::vector<ControlRecord> ControlsSent();
DWORD SpoolerState();  // SERVICE_RUNNING, SERVICE_STOPPED, ...
// The service reports received through SetServiceStatus, in order.
std::vector<SERVICE_STATUS> StatusReports();
// Whether the next process counts as started by the service manager. Such a process has no
// console: it has no standard output, as on Windows.
void SetStartedByServiceManager(bool started);
// The notification filter that RegisterDeviceNotificationW received, and its flags.
struct NotificationRegistration {
    bool registered = false;
    HANDLE recipient = nullptr;
    DWORD flags = 0;
    std::vector<BYTE> filter;
};
NotificationRegistration Notification();
// Delivers `control` to the registered handler while RegisterDeviceNotificationW runs: a control
// that the service manager sends in the middle of start-up.
void DeliverControlDuringNotificationRegistration(DWORD control);
// The names given to the dispatcher table and to the handler registration.
std::vector<Text16> ServiceNamesSeen();

// What the service database holds for a service beside its state, as QueryServiceConfigW and
// QueryServiceConfig2W read it back.
struct ServiceConfig {
    DWORD type = SERVICE_WIN32_SHARE_PROCESS;
    DWORD startType = SERVICE_AUTO_START;
    std::string binaryPath;
    std::string account = "LocalSystem";
    DWORD resetPeriod = 0;
    std::vector<SC_ACTION> failureActions;
    std::vector<std::string> requiredPrivileges;
    // QueryServiceConfig2W answers ERROR_INVALID_LEVEL for both levels, as Wine does.
    bool config2Unsupported = false;
};
// Adds service `name` in `state` with `config` to the service database, or replaces it.
void InstallService(const std::string& name, const ServiceConfig& config,
                    DWORD state = SERVICE_RUNNING);
// Removes service `name` from the service database (sc delete, no handle left open).
void RemoveService(const std::string& name);

// ---- Registry (HKEY_LOCAL_MACHINE) -------------------------------------------------------------
void AddRegistryKey(const std::string& path);
void SetRegistryValue(const std::string& key, const std::string& name, DWORD type,
                      const std::vector<BYTE>& data);
// A REG_SZ value: the text and its terminating NUL.
void SetRegistryString(const std::string& key, const std::string& name, const std::string& text);
void DeleteRegistryKey(const std::string& path);

// ---- USB devices -------------------------------------------------------------------------------
// Makes a device interface of GUID_DEVINTERFACE_USB_DEVICE present under `path`.
void PlugDevice(const Text16& path);
// Removes it: it is no longer listed, and reads on its open handles fail.
void UnplugDevice(const Text16& path);
// The 5-byte frame a read returns when nothing else is scripted.
void SetDeviceFrame(const Text16& path, const std::vector<BYTE>& frame);
// Scripted reads, used once each before the standing frame: a frame of any length (a short
// read when fewer than 5 bytes), or a failure with `error`.
void ScriptDeviceRead(const Text16& path, const std::vector<BYTE>& bytes);
void ScriptDeviceReadFailure(const Text16& path, DWORD error);
bool DeviceOpen(const Text16& path);

// ---- Timeline ----------------------------------------------------------------------------------
// What a person watching the machine would see, in simulated time: debugger and standard
// output text, queue changes, spooler stops and starts, service status reports.
using TimelineEvent = ::TimelineEvent;  // typed; EventText gives its words
std::vector<TimelineEvent> Timeline();
void Note(const std::string& source, const std::string& text);  // adds a scenario event

// ---- Processes and controls --------------------------------------------------------------------
// Runs `entry` as the main thread of a simulated process, with `driver` on a thread of its own
// beside it. Simulated threads take turns deterministically: a thread runs until it sleeps or
// waits (or a schedule, below, preempts it at a call), then the earliest thread due goes next,
// and the clock jumps to its time. The run ends
// when main returns (the process exits and every other thread ends with it), when no thread can
// run any more, or when the clock would pass `timeLimitMs`. Returns main's exit code, or -1; -2
// when the run hung (taking turns: no turn handed on for a minute of real time; concurrent: the
// run did not end within a minute).
//
// Concurrent mode instead lets every thread run at once, as on Windows, for race detection: a
// sleep moves the shared clock forward and yields, and a wait for a time spins until the clock
// gets there. Timelines of such runs differ from run to run.
enum class Threads { TakeTurns, Concurrent };
int RunProcess(int (*entry)(), std::function<void()> driver, uint64_t timeLimitMs,
               Threads threads = Threads::TakeTurns);

// ---- Schedules -----------------------------------------------------------------------------
// Taking turns, every recorded Win32 call is a point where another thread may take the turn: a
// thread that is ready at the current simulated time (runnable, or a sleeper whose time has come)
// may run before the call does, as Windows' scheduler may preempt a thread at any instruction.
// The schedule decides which: the default runs a thread until it blocks (every golden's order).
struct Preemption {
    uint64_t call = 0;  // the index of the call, counted from UseSchedule on every thread
    size_t to = 0;      // which of the threads ready then (in the order they would go) takes it
};
struct Schedule {
    enum class Kind { UntilBlocked, Pct, Points };
    Kind kind = Kind::UntilBlocked;
    // PCT: random thread priorities from `seed`, and depth - 1 points among the first `length`
    // calls where the running thread's priority drops below every other's.
    uint64_t seed = 0;
    int depth = 0;
    uint64_t length = 0;
    std::vector<Preemption> points;  // Points: the preemptions, by call index
};
// A call where another thread was ready: its index and how many were.
struct ChoicePoint {
    uint64_t call = 0;
    size_t others = 0;
};
// Runs from now on follow `schedule`, their calls counted from 0; the choice points are recorded.
void UseSchedule(const Schedule& schedule);
// Back to the default with nothing counted (what every run has before UseSchedule).
void EndSchedule();
// The calls counted since UseSchedule, and the choice points met among them.
uint64_t ScheduledCalls();
std::vector<ChoicePoint> ChoicePoints();

// Lets simulated time pass on the calling simulated thread until the clock reads `timeMs`, without
// a recorded call (for drivers of a run). Outside a process the clock simply moves there.
void WaitUntil(uint64_t timeMs);

// Delivers a control to the service's handler, as the service manager does. `eventData` is
// copied and handed to the handler as lpEventData (null when empty).
void SendControl(DWORD control, DWORD eventType = 0, const std::vector<BYTE>& eventData = {});

// A DEV_BROADCAST_DEVICEINTERFACE_W record for `path`, with dbcc_size covering the name.
std::vector<BYTE> DeviceInterfaceRecord(const Text16& path);

// ---- Files -------------------------------------------------------------------------------------
// Puts the program file PATH on the disk, with a version resource of VERSION ("1.2.3.4", or
// "1.2.3") or none when VERSION is empty; without FIXEDPART the resource has no fixed part (its
// wValueLength 0), as a hand-made resource may.
void AddProgramFile(const std::string& path, const std::string& version, bool fixedPart = true);

struct ReportedEvent {
    std::string source;
    WORD type = 0;
    WORD category = 0;
    DWORD id = 0;
    std::vector<Text16> strings;
    DWORD rawDataSize = 0;
};
// The events written to the event log (ReportEventW), in order: the source registered, the type,
// the category, the ID, the insertion strings and the size of the raw data.
std::vector<ReportedEvent> ReportedEvents();
// Stops or starts the EventLog service: while stopped, registering a source and reporting fail.
void SetEventLogRunning(bool running);

// Narrow text for logs and messages (ASCII kept, other code units as '?').
std::string Narrow(const Text16& text);
Text16 Widen(const std::string& text);

}  // namespace sim
