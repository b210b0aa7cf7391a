// The judge: follows what the service's lines and the recorder's own state say, as they come,
// and tells when each condition worth a Windows event begins (once it has lasted its threshold)
// and when it ends. kq5trace --record raises its events as it records; the trace reader runs the
// same judge over a record read later, so that both tell one story. Standard C++, no Win32.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

enum class Condition {
    PrinterAway,
    DoorOpen,
    PaperOut,
    SpoolerDown,
    Stalled,
    ServiceEnded,
    NotRunning,
    QueueMoved,
    LinesLost,
    CannotWrite,
    NotListening,
};
inline constexpr size_t kConditions = 11;

enum class EventType { Error, Warning, Information };

// How long a condition lasts before it is worth an event. A printer is unplugged for a moment
// when it is moved to another socket, a door is opened to clear a jam and paper takes a minute or
// two to load: an event for each would teach people to ignore them. Five minutes away and ten of
// door open or paper out is past any such handling. The Spooler is down for under a second in a
// port move; two minutes is a Spooler that stopped for good or hangs. Ten cycles (8 s) without a
// status line is far past the jitter of a busy machine (two cycles) yet quick to tell a poller
// that hangs. The service manager restarts a failed service within a minute when it is set to;
// a viewer such as DebugView holding the channel for half a minute is someone looking, not a loss.
// The service writes a status line only for a frame it read: an unplugged or switched-off printer
// leaves the status lines silent, and nothing else comes (the poller's reads fail quietly): a
// long silence of the status lines is the printer away. A poller that hangs is silent too; it is
// told apart, sooner, only where the service shows it lives: another of its lines (a discovery,
// "GetPrinterHandle" of an arrival) and no status line for the stalled threshold after it. A
// poller that hangs while nothing else happens shows as the printer away.
struct Thresholds {
    uint64_t awayMs = uint64_t{5} * 60 * 1000;
    uint64_t doorMs = uint64_t{10} * 60 * 1000;
    uint64_t paperMs = uint64_t{10} * 60 * 1000;
    uint64_t spoolerMs = uint64_t{2} * 60 * 1000;
    uint64_t stalledCycles = 10;  // of the poller's 800 ms
    uint64_t notRunningMs = uint64_t{60} * 1000;
    uint64_t notListeningMs = uint64_t{30} * 1000;
    bool operator==(const Thresholds&) const = default;
};

// KIND=SECONDS of --alert-after into THRESHOLDS (KIND: away, door, paper, spooler, stalled (in
// cycles), not-running, not-listening); the refusal's words, or empty.
std::string SetThreshold(Thresholds& thresholds, const std::string& setting);

// The recorder's note of the thresholds it judges by, where they are not the defaults, so that
// a reader of its record judges by the same ("events after: away=2 door=60"); empty when all
// are the defaults. The judge takes the note back from the record.
inline constexpr const char* kThresholdsNote = "events after: ";
std::string ThresholdsNote(const Thresholds& thresholds);

// The line of the record a condition rests on: its file, line number (0: not known) and the
// log's own time as written.
struct LineRef {
    std::string file;
    size_t number = 0;
    std::string written;
};

struct JudgeInput {
    enum class Kind {
        Status,             // "KQ5 STATUS:%d": `code`
        OpenError,          // the queue could not be opened: `code`, the error
        MainError,          // the process ended: `code`
        OtherLine,          // any other line of the service (discovery, "GetPrinterHandle")
        PortMoved,          // the queue is on port `text` now
        ServiceRunning,     // the service manager's answer
        ServiceNotRunning,  //
        Listening,          // the recorder listens on the channel (again)
        NotListening,       // another viewer holds the channel, or the recording stopped
        LinesLost,          // the recorder dropped lines
        CannotWrite,        // the recorder cannot write its files
        Stopped,            // the recording ended and said so: it listens no more
        Unheard,     // (a reader's finding) the recording had ended unsaid before a new start
        Thresholds,  // the recorder's thresholds: `text`, KIND=SECONDS ... as --alert-after
        Tick,        // no line: the clock alone
    };
    Kind kind = Kind::Tick;
    uint64_t atMs = 0;
    long long code = 0;
    std::string text;
    LineRef where;
};

struct JudgedEvent {
    Condition condition = Condition::PrinterAway;
    bool begins = true;
    unsigned long id = 0;  // the message file's ID
    EventType type = EventType::Information;
    uint64_t atMs = 0;
    // %1 queue, %2 port, %3 status, %4 how long, %5 the record's line
    std::array<std::string, 5> strings;
};

struct Judge {
    Thresholds thresholds;
    std::string queue = "Korvane-Q5";
    // Per condition: present (since `sinceMs`, resting on `where`) and whether its begin was
    // raised.
    struct Held {
        bool on = false;
        bool raised = false;
        uint64_t sinceMs = 0;
        LineRef where;
    };
    std::array<Held, kConditions> held{};
    std::string port = "unknown";
    long long code = 0;  // the last status code (a signed byte, as the service writes it)
    bool haveCode = false;
    bool listening = true;
    bool writing = true;
    bool running = true;
    bool ended = false;             // a " MainError:" since the last line of a process
    bool openErrorInCycle = false;  // a 0x6ba since the last status line
    uint64_t quietFromMs = 0;       // the status lines' silence counts from here
    // A line of the service other than a status line came in the silence, the first at
    // `liveFromMs`: the service is alive and its poller should write again.
    bool otherLineInSilence = false;
    uint64_t liveFromMs = 0;
    LineRef liveWhere;
    LineRef lastWhere;
};

// One input: first every threshold the clock passed before it (raised at the moment it passed),
// then what the input says. Inputs come in time order.
std::vector<JudgedEvent> JudgeStep(Judge& judge, const JudgeInput& input);

// What the recorder's own note (as kq5trace writes it) tells the judge, if anything (a Tick
// when nothing).
JudgeInput NoteInput(const std::string& note, bool header, uint64_t atMs);
// What one of the service's lines (its escaped text) tells the judge.
JudgeInput LineInput(const std::string& text, bool keepsEnds, uint64_t atMs);

// "PRINTER_AWAY begins": a condition's name, for the tests' and the reader's words.
std::string ConditionName(Condition condition);
const char* TypeName(EventType type);
// "6 min 2 s", "1 h 3 min", "12 s": a length in plain words.
std::string LengthWords(uint64_t ms);
