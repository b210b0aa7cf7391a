// Scenarios for the simulator: the machine before the service starts and the timed events that
// happen to it while kq5 runs. kScenarioFormat below is the format's description; `kq5sim --help`
// prints it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/sim/sim.h"
#include "picture/picture.h"

// clang-format off
inline constexpr const char* kScenarioFormat = R"(SCENARIO FORMAT
One statement per line; a '#' at the start of a word starts a comment. SECONDS may have decimals;
CODE and BYTE (0 to 255), NTH and COUNT (1 to 1000000) are decimal or 0x-hex; ERROR is a Win32
error code as a number (2 not found, 5 access denied, 31 device not functioning, 1722 RPC server
unavailable, ...).

The machine when the service starts:
  queue PORT                    the queue "Korvane-Q5" exists and prints to PORT (without a
                                queue line: USB001)
  queue none                    there is no queue "Korvane-Q5"
  queue-null-port               the queue's record reports no port name
  queue-grows                   the queue's record grows once between a size query and the read
                                that follows it
  not-an-administrator          opening the queue with full access is refused
  port NAME [MONITOR]           a spooler port, in order, with its port monitor (default
                                "USB Monitor"); the queue's port comes first
  printer SERIAL PORT CODE      the printer (USB instance SERIAL) is plugged in on PORT and
                                reports status CODE; it registers its "Port Description"
                                (KorvaneQ5) and PORT's "Device Id" (USB\VID_0483&PID_5741\SERIAL)
  registry KEY | VALUE | TEXT   a REG_SZ value under HKEY_LOCAL_MACHINE; it wins over what a
                                printer line or a plug event registers for the same value
  registry-missing KEY | VALUE  the key exists without that value, whatever a printer registers
  spooler-stop-time MS          how long the Spooler takes to stop (default 0)
  spooler-start-time MS         how long the Spooler takes to start (default 0)
  spooler-stop-hangs            a Spooler asked to stop never gets there: it stays stopping,
                                its checkpoint frozen
  spooler-start-blocks MS       an accepted start request of the Spooler returns only after MS
                                (its process is slow to come up)
  spooler-dependent NAME        a running service NAME depends on the Spooler, so the service
                                manager refuses to stop the Spooler (1051)
  fail FUNCTION NTH ERROR [COUNT]
                                calls NTH to NTH+COUNT-1 (counted from 1 over the whole run) of
                                the Win32 function FUNCTION fail with ERROR (COUNT default 1);
                                a name the simulation does not know, or a call it cannot fail
                                (Sleep, OutputDebugStringA, the close and free calls), is an
                                error, and a failure whose call never comes is reported
  call-takes FUNCTION MS        every call of the Win32 function FUNCTION (one the simulation can
                                make fail) takes MS: the clock moves and other threads run
                                while it lasts, and it takes effect at its end (default 0)
  control-at-startup CONTROL    the service manager sends CONTROL (stop, shutdown or
                                interrogate) while the service registers for device events
  not-a-service                 kq5svc.exe is started from a console, not by the service manager
  end SECONDS                   when the run ends if the service has not stopped (default: the
                                last event + 2 s)

What happens while it runs, in time order:
  at SECONDS EVENT              where EVENT is one of
    status CODE                 the printer reports CODE (byte 3 of its frame) from now on
    read-fails [ERROR]          the printer's next status read fails (default 31)
    read-returns BYTE...        the printer's next status read returns these bytes once (fewer
                                than 5: a short read)
    plug SERIAL PORT            the printer (instance SERIAL) is plugged in and Windows gives it
                                PORT
    unplug                      the printer is unplugged
    other-device NAME           another USB device is plugged in
    other-device-gone NAME      ... and unplugged
    stop | shutdown | interrogate
                                the service manager sends that control; a stop or interrogate
                                for a service that reports itself stopping is refused (1061)
                                and never reaches the handler, as on Windows
    fail FUNCTION ERROR [COUNT] the next COUNT calls of FUNCTION fail with ERROR
    start                       the service manager starts kq5svc.exe again, as a new process
                                that keeps nothing of the old one but what Windows keeps (only
                                once kq5 has stopped: while it runs, the start is refused);
                                device events and controls while kq5 is not running reach nobody

The printer's plugs and unplugs must make sense in time order: a plug only while no printer is
plugged in, onto a port a line declares (the queue's, a port line's or the printer line's), an
unplug only of a printer that is plugged in, one printer line, and a SERIAL plugged again only on
the port it had (Windows keeps a known device instance's port: on another socket the printer is
another instance, with another SERIAL). Anything else is refused with its line, but for a plug
while a printer is plugged in: both stay plugged in (a device that is not the printer, then the
printer), with a warning on standard error.
Status CODEs (byte 3 of the printer's frame) and what kq5 does to the queue:
  0x20, 0x28, 0xA0              ready: the queue is resumed, its error bits cleared
  0x04, 0x0C                    door open: paused, PRINTER_STATUS_DOOR_OPEN
  0x00, 0x08, 0x80              paper out: paused, PRINTER_STATUS_PAPER_OUT
  any other code                nothing changes (the queue stays as it was)
The final state after the timeline:
  exit code: N                  how kq5svc.exe's process ended: 0, it returned (after a stop, or
                                at once outside the service manager); -1, it was still running
                                when the run ended (at 'end SECONDS'), as a service normally is;
                                -2, the run hung (no simulated thread moved on)
The registry keys the service reads (SERIAL: the printer's USB instance; PORT: a port name):
  SYSTEM\ControlSet001\Control\DeviceClasses\{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\##?#usb#vid_0483&pid_5741#SERIAL#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\#\Device Parameters
      value "Port Description": KorvaneQ5 for the printer (at most 199 characters can be read)
  SYSTEM\ControlSet001\Control\Print\Monitors\USB Monitor\Ports\PORT
      value "Device Id": USB\VID_0483&PID_5741\SERIAL for the port the printer is on

Example (simulator/scenarios/ has more):
  queue USB001
  port USB002
  spooler-stop-time 450
  printer A1B2C3 USB001 0x20
  at 3 status 0x04                  # the door is opened
  at 6 unplug
  at 8 plug 7&2B4C&0&2 USB002       # on another socket: the queue follows it
  at 12 stop
)";
// clang-format on

// ---- The model: what a scenario says, as the parser reads it and the printer writes it ---------

// The events a scenario can name after "at SECONDS".
enum class EventKind {
    Status,
    ReadFails,
    ReadReturns,
    Plug,
    Unplug,
    OtherDevice,
    OtherDeviceGone,
    Stop,
    Shutdown,
    Interrogate,
    Fail,
    Start,
};

// Calls nth .. nth+count-1 of `function` fail with `error`.
struct CallFailure {
    std::string function;
    int nth = 1;
    DWORD error = 0;
    int count = 1;
    bool operator==(const CallFailure&) const = default;
};

// One timed event; of its fields, only those of its kind mean anything.
struct ScenarioEvent {
    uint64_t atMs = 0;
    EventKind kind = EventKind::Start;
    int code = 0;                     // status: the printer's CODE
    DWORD error = ERROR_GEN_FAILURE;  // read-fails: the read's ERROR (31 when not given)
    std::vector<BYTE> bytes;          // read-returns
    std::string device;               // plug: the printer's SERIAL; other-device(-gone): its NAME
    std::string port;                 // plug
    CallFailure failure;              // fail (its nth is counted when it happens)
    bool operator==(const ScenarioEvent&) const = default;
};

struct Scenario {
    std::vector<std::string> header;  // the comment lines before the first statement, after '#'
    bool queueExists = true;
    std::string queuePort = "USB001";
    bool queueNullPort = false;
    bool queueGrows = false;
    bool notAnAdministrator = false;
    std::vector<std::pair<std::string, std::string>> ports;  // name, monitor (kUsbMonitor)
    bool printerPresent = false;
    std::string printerSerial;
    std::string printerPort;
    int printerCode = 0x20;
    struct RegistryText {
        std::string key, value, text;
        bool missing = false;  // the key without the value
        bool operator==(const RegistryText&) const = default;
    };
    std::vector<RegistryText> registry;
    uint64_t spoolerStopMs = 0;
    uint64_t spoolerStartMs = 0;
    bool spoolerStopHangs = false;
    uint64_t spoolerStartBlocksMs = 0;
    std::vector<std::string> spoolerDependents;
    // Win32 calls that take time (FUNCTION, MS): while one lasts, other threads run.
    std::vector<std::pair<std::string, uint64_t>> callDurations;
    DWORD controlAtStartup = 0;
    std::vector<CallFailure> failures;
    bool startedByServiceManager = true;
    uint64_t endMs = 0;  // always set by the parser: given, or the last event + 2 s
    std::vector<ScenarioEvent> events;
    bool operator==(const Scenario&) const = default;
};

// The port monitor of a port line that names none, and of the ports a printer brings.
inline constexpr const char* kUsbMonitor = "USB Monitor";
// A scenario without an end line ends this long after its last event.
inline constexpr uint64_t kRunOnAfterLastEventMs = 2000;

// Parses a scenario; on failure `error` names the line and what is wrong with it. `warnings`, when
// given, gets the lines accepted that may not do what was meant, each "line N: ..." with its fix.
bool ParseScenario(const std::string& text, Scenario& scenario, std::string& error,
                   std::vector<std::string>* warnings = nullptr);

// The statements, in the order the printer writes them.
enum class Keyword {
    Comment,  // a header line
    Queue,
    QueueNullPort,
    QueueGrows,
    NotAnAdministrator,
    Port,
    Printer,
    Registry,  // registry or registry-missing
    SpoolerStopTime,
    SpoolerStartTime,
    SpoolerStopHangs,
    SpoolerStartBlocks,
    SpoolerDependent,
    CallTakes,
    ControlAtStartup,
    Fail,
    NotAService,
    At,
    End,
};
// One statement of a scenario: its keyword, and which of that keyword's (the nth port, event, ...).
struct Statement {
    Keyword keyword;
    size_t index = 0;
};
// The statements the scenario holds, in print order ("queue" and "end" always).
std::vector<Statement> Statements(const Scenario& scenario);
// The statement's line, without its newline.
std::string StatementText(const Scenario& scenario, Statement statement);
// The scenario as if the statement's line were not there.
void DropStatement(Scenario& scenario, Statement statement);
// The scenario as text, one statement a line, that parses back to the same scenario.
std::string PrintScenario(const Scenario& scenario);

// The words of the format the parser and the printer share.
const char* KeywordText(Keyword keyword);   // "queue", ...; "registry" for both registry kinds
const char* EventName(EventKind kind);      // "status", ...
const char* ControlKeyword(DWORD control);  // "stop", "shutdown", "interrogate"; null for others
std::string CodeText(int code);             // a status code or byte: "0x0C"

const char* DefaultScenarioText();

// A process of kq5 that ended before the run did: when, its exit code, the handles it held.
struct ProcessEnd {
    uint64_t endedAt = 0;
    int exitCode = -1;
    std::vector<std::string> openHandles;
};

struct ScenarioResult {
    int exitCode = -1;                  // the last process's (-1: still running at the end)
    std::vector<ProcessEnd> processes;  // the processes before the last one
    std::vector<sim::TimelineEvent> timeline;
    sim::PrinterState queue;
    DWORD spoolerState = 0;
    std::vector<std::string> openHandles;
    // What the scenario did, for the picture: the printer's presence and status code, and its
    // other actions as marks in their lanes.
    std::vector<PrinterChange> printer;
    std::vector<LaneMark> actions;
    uint64_t longestControlMs = 0;  // the longest the control handler took over one control
    uint64_t longestStopMs = 0;     // ... over one stop or shutdown
};

// Sets up a fresh simulated machine, runs the real service program in it and drives the events.
// With concurrent threads the events still come in order, but the service's threads run at once
// and the run ends only when the service stops.
// `arrange`, when given, runs once the machine is set up, before the service starts (for failure
// injection).
// `beforeEvent`, when given, runs at each event's time before the event happens (to look at the
// machine). A `start` event after kq5's process has ended runs a new process (taking turns only).
ScenarioResult RunScenario(const Scenario& scenario, sim::Threads threads = sim::Threads::TakeTurns,
                           const std::function<void()>& arrange = nullptr,
                           const std::function<void(const ScenarioEvent&)>& beforeEvent = nullptr);

// The readable timeline: one line per event, identical consecutive lines and groups of lines
// folded with a count, then the final state.
std::string FormatTimeline(const ScenarioResult& result);
// Its "Final state:" lines: the queue, the Spooler, the exit code, the longest control handling,
// the handles left open.
std::string FormatFinalState(const ScenarioResult& result);

// The run as an SVG lane chart over simulated time (printer, queue, Spooler, service, with the
// output lines as ticks to hover); the same run always gives the same bytes.
std::string FormatSvg(const Scenario& scenario, const ScenarioResult& result,
                      const std::string& title);

// The printer's device interface path for an instance part (serial).
sim::Text16 PrinterDevicePath(const std::string& serial);
