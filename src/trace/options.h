// kq5trace's command line and the capture's decisions, in standard C++: the options and forms
// for the one parser, the numbers' bounds and their refusals, which of capture, record and read
// runs with which values, when a capture refuses to start and when it ends. kq5trace.cpp is the
// Win32 shell around them (the channel, Ctrl+C, the files); the host's tests ask them directly.
#pragma once

#include <cstdint>
#include <string>

#include "cmdline/cmdline.h"
#include "judge/judge.h"
#include "trace/record_loop.h"
#include "tracelog/retention.h"

// The help, the options and the forms of kq5trace.
extern const cmdline::Program kTraceProgram;

enum class TraceMode { Capture, Record, Read };

// What a command line of kq5trace asks for, with its words as given (UTF-8).
struct TraceCommand {
    TraceMode mode = TraceMode::Capture;
    std::string service = "kq5";  // a capture's or a recording's
    double seconds = -1;          // --for; below 0: not by time
    bool session = false;         // this session's channel instead of the global one
    std::string out = "";         // a capture's --out; empty: standard output
    bool append = false;          // --append: an earlier capture in `out` is continued
    bool replace = false;         // --replace: whatever `out` (or a reading's output) holds goes
    bool wait = false;
    bool untilStop = false;
    std::string folder = "";  // a recording's
    RecordLimits limits = {};
    Thresholds thresholds = {};  // a recording's --alert-after
    std::string trace = "";      // a reading's --read, --html and --svg (empty: none)
    std::string html = "";
    std::string svg = "";
    bool operator==(const TraceCommand&) const = default;
};

// The command of PARSED (parsed with kTraceProgram) into COMMAND; the refusal of a bad number
// (for standard error, exit 2), or empty.
std::string ReadTraceCommand(const cmdline::Parsed& parsed, TraceCommand& command);

// The refusal of a capture when the service SERVICE (its name as shown) does not run (PID 0) and
// --wait is not given, without "kq5trace: "; empty when the capture starts.
std::string CaptureRefusal(const TraceCommand& command, const std::string& service,
                           std::uint32_t pid, bool noSuchService);

// When a capture ends, besides Ctrl+C and an output that can no longer be written.
struct CaptureEnd {
    double seconds = -1;        // --for; below 0: never by time
    bool untilStop = false;     // once the service seen running has stopped
    std::uint64_t startMs = 0;  // the capture's start, on a clock that never goes back
    bool seenRunning = false;   // the service has been seen running
};

CaptureEnd CaptureEndOf(const TraceCommand& command, std::uint64_t startMs);

// Asked before each wait for a line (ListenSink::goOn): whether the capture goes on, with the
// service's process as last answered (0: not running), the clock, whether Ctrl+C was pressed and
// whether everything so far was written.
bool CaptureGoesOn(CaptureEnd& end, std::uint32_t pid, std::uint64_t nowMs, bool stopRequested,
                   bool written);

// Why a capture that CaptureGoesOn has just ended (and whose output was written) ended, for its
// last note.
StopCause CaptureStopCause(const CaptureEnd& end, std::uint32_t pid, bool stopRequested);
