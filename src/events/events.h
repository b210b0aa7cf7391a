// What happened, as typed events: the simulated Windows records them as it runs, and the trace
// reader makes them from a captured trace's lines. Readers (the picture, the findings, the
// swarm's checks, the tests) look at the fields; the timeline's text is made from them in one
// place, EventSource and EventText.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>

#include "common/status_code.h"

// Win32 values the events carry, named here so that the trace reader needs no Windows header.
inline constexpr uint32_t kServiceStopped = 1;
inline constexpr uint32_t kServiceStartPending = 2;
inline constexpr uint32_t kServiceStopPending = 3;
inline constexpr uint32_t kServiceRunning = 4;
inline constexpr uint32_t kPrinterStatusPaused = 0x1;
inline constexpr uint32_t kPrinterStatusError = 0x2;
inline constexpr uint32_t kPrinterStatusOffline = 0x80;
inline constexpr uint32_t kErrorRpcServerUnavailable = 0x6ba;  // the Spooler does not answer

// A statement of a scenario ("scenario") or a trace's own line ("trace": a header, a note).
struct NoteEvent {
    std::string source;
    std::string text;
};

// What one of the service's output lines says, told from its text.
enum class LineSays {
    Other,
    Status,            // "KQ5 STATUS:%d\r\n": `code` is the printer's status code
    OpenError,         // " Open Printer Error :GetLastError() returns: 0x%x": `code`
    RegistryError,     // "GetLastError:%d\r\n": `code`, a failed registry read
    DevicePath,        // " DevicePath:...": a device listed
    GetPrinterHandle,  // "GetPrinterHandle": the queue opened for a command
    MainError,         // " MainError:%d\n": the process's last line, `code` its last error
    ReadFailure,       // the code page 936 message: the queue's record could not be read
};

enum class Channel { Debug, Stdout, StdoutLost };

// A line the service wrote, escaped for display (common/escape.h), with what it says.
struct OutputEvent {
    Channel channel = Channel::Debug;
    std::string text;
    LineSays says = LineSays::Other;
    long long code = 0;
    bool whole = true;  // a status line with its line end and a code that fits a byte
    std::string path;   // DevicePath: the device listed
};

// Tells what an escaped line of the service says; LAYOUT_KEEPS_ENDS: the line end was captured
// (kq5trace and the simulation; DebugView drops it).
OutputEvent ReadServiceLine(Channel channel, const std::string& text, bool keepsEnds = true);
// Whether the escaped text is one of the service's own lines.
bool IsServiceText(const std::string& text);

// Lines a picture's tick stands for ("3 lines from here: ..."), drawn as debug output.
struct TickEvent {
    std::string text;
};

struct QueuePausedEvent {
    bool paused = false;
};

// The queue's printer status set; `commanded`: what the service sent, as a trace tells it.
struct QueueStatusEvent {
    uint32_t status = 0;
    bool commanded = false;
};

struct QueuePortEvent {
    std::string from, to;
};

// Any other setting of the queue's record changed (a list of names).
struct QueueSettingsEvent {
    std::string changed;
};

// A service (the Spooler) asked to stop or start, and its getting there.
enum class ServiceStep { StopRequested, Stopped, StartRequested, Running, StopRefused };
struct ServiceStepEvent {
    std::string service;
    ServiceStep step = ServiceStep::Running;
};

// A start request refused with ERROR; STATE: the service's state when that was the reason.
struct StartRefusedEvent {
    std::string service;
    uint32_t error = 0;
    std::optional<uint32_t> state;
};

// kq5's process started by the service manager.
struct ServiceStartedEvent {};

// A status report of kq5 to the service manager, field by field.
struct StatusReportEvent {
    uint32_t state = 0, type = 0, controlsAccepted = 0, win32ExitCode = 0,
             serviceSpecificExitCode = 0, checkPoint = 0, waitHint = 0;
};

// A control the service manager did not pass on, with its answer and the state it went by.
struct ControlRefusedEvent {
    uint32_t control = 0, error = 0, reportedState = 0;
};

// A trace: a process's first line (it runs), and its last (" MainError:", it ended).
struct ProcessFirstLineEvent {
    unsigned long pid = 0;
};
struct ProcessEndedEvent {
    std::string line;
    unsigned long pid = 0;
};
struct TraceEndEvent {};

using EventDetail =
    std::variant<NoteEvent, OutputEvent, TickEvent, QueuePausedEvent, QueueStatusEvent,
                 QueuePortEvent, QueueSettingsEvent, ServiceStepEvent, StartRefusedEvent,
                 ServiceStartedEvent, StatusReportEvent, ControlRefusedEvent, ProcessFirstLineEvent,
                 ProcessEndedEvent, TraceEndEvent>;

struct TimelineEvent {
    uint64_t timeMs = 0;
    EventDetail detail;
};

// What a status report says, without the timeline's leading "status ": "SERVICE_RUNNING (type
// 0x10, ...)". A trace's first line of a process and its end stand for a report of their own.
std::string ReportWords(const StatusReportEvent& report);
std::string ReportWords(const ProcessFirstLineEvent& first);
std::string ReportWords(const ProcessEndedEvent& ended);

// The event's column on the timeline: "debug", "stdout", "queue", "spooler", "service",
// "scenario", "trace".
std::string EventSource(const TimelineEvent& event);
// The event in words, as the timeline prints it.
std::string EventText(const TimelineEvent& event);

// The event's detail of type T, or null.
template <typename T>
const T* As(const TimelineEvent& event) {
    return std::get_if<T>(&event.detail);
}

// "SERVICE_RUNNING"; a printer status as its flags ("PRINTER_STATUS_PAUSED | 0x4000000",
// "0 (cleared)"), named in events/win32_names.h.
std::string ServiceStateName(uint32_t state);
std::string PrinterStatusName(uint32_t status);
