// The judge's conditions: when each begins, when it ends, and the event of each.
#include "judge/judge.h"

#include <algorithm>
#include <cstdio>
#include <sstream>

#include "common/status_code.h"
#include "eventlog/kq5_events.h"
#include "events/events.h"
#include "tracelog/format.h"

namespace {

constexpr uint64_t kCycleMs = 800;
constexpr long long kSpoolerDown = 0x6ba;  // RPC_S_SERVER_UNAVAILABLE: the Spooler does not answer

using Kind = JudgeInput::Kind;

// The thresholds --alert-after sets, by name, and the unit of each in milliseconds (a threshold
// of 0 would raise its condition at the very moment it begins, after every status line).
struct ThresholdKind {
    const char* name;
    uint64_t Thresholds::*slot;
    uint64_t unitMs;
};
constexpr uint64_t kSecondMs = 1000;
constexpr ThresholdKind kThresholdKinds[] = {
    {"away", &Thresholds::awayMs, kSecondMs},
    {"door", &Thresholds::doorMs, kSecondMs},
    {"paper", &Thresholds::paperMs, kSecondMs},
    {"spooler", &Thresholds::spoolerMs, kSecondMs},
    {"stalled", &Thresholds::stalledCycles, 1},
    {"not-running", &Thresholds::notRunningMs, kSecondMs},
    {"not-listening", &Thresholds::notListeningMs, kSecondMs}};
constexpr unsigned long long kLongestThreshold = 10000000;  // in its unit: 115 days in seconds

size_t Index(Condition c) {
    return static_cast<size_t>(c);
}

// Each condition's event when it begins and when it ends (0: it has no end), and their types.
struct Events {
    unsigned long begin;
    EventType beginType;
    unsigned long end;
};

Events EventsOf(Condition c) {
    switch (c) {
        case Condition::PrinterAway:
            return {KQ5_MSG_PRINTER_AWAY, EventType::Warning, KQ5_MSG_PRINTER_BACK};
        case Condition::DoorOpen:
            return {KQ5_MSG_DOOR_OPEN, EventType::Warning, KQ5_MSG_DOOR_CLOSED};
        case Condition::PaperOut:
            return {KQ5_MSG_PAPER_OUT, EventType::Warning, KQ5_MSG_PAPER_BACK};
        case Condition::SpoolerDown:
            return {KQ5_MSG_SPOOLER_DOWN, EventType::Error, KQ5_MSG_SPOOLER_BACK};
        case Condition::Stalled:
            return {KQ5_MSG_STATUS_STALLED, EventType::Error, KQ5_MSG_STATUS_RESUMED};
        case Condition::ServiceEnded:
            return {KQ5_MSG_SERVICE_ENDED_ERROR, EventType::Error, KQ5_MSG_SERVICE_RUNNING};
        case Condition::NotRunning:
            return {KQ5_MSG_SERVICE_NOT_RUNNING, EventType::Warning, KQ5_MSG_SERVICE_RUNNING};
        case Condition::QueueMoved:
            return {KQ5_MSG_QUEUE_MOVED, EventType::Information, 0};
        case Condition::LinesLost:
            return {KQ5_MSG_LINES_LOST, EventType::Warning, 0};
        case Condition::CannotWrite:
            return {KQ5_MSG_CANNOT_WRITE, EventType::Error, KQ5_MSG_WRITING_AGAIN};
        case Condition::NotListening:
            return {KQ5_MSG_NOT_LISTENING, EventType::Warning, KQ5_MSG_LISTENING_AGAIN};
    }
    return {};
}

uint64_t ThresholdOf(const Judge& j, Condition c) {
    switch (c) {
        case Condition::PrinterAway:
            return j.thresholds.awayMs;
        case Condition::DoorOpen:
            return j.thresholds.doorMs;
        case Condition::PaperOut:
            return j.thresholds.paperMs;
        case Condition::SpoolerDown:
            return j.thresholds.spoolerMs;
        case Condition::Stalled:
            return j.thresholds.stalledCycles * kCycleMs;
        case Condition::NotRunning:
            return j.thresholds.notRunningMs;
        case Condition::NotListening:
            return j.thresholds.notListeningMs;
        default:
            return 0;
    }
}

// The status in the events' words: the code and what the service commands the queue for it.
std::string StatusWords(bool have, long long code) {
    if (!have) {
        return "unknown (no status line yet)";
    }
    const char* words = QueueCommandFor(static_cast<int>(code)).words;
    return std::to_string(code) + " (" + (*words != '\0' ? words : "no queue command") + ")";
}

std::string WhereText(const LineRef& where) {
    std::string text = where.file;
    if (where.number != 0) {
        text += (text.empty() ? "line " : ":") + std::to_string(where.number);
    }
    return text + (text.empty() ? "" : ", ") + where.written;
}

// The event of condition C, present since SINCEMS and resting on WHERE.
JudgedEvent MakeEvent(const Judge& j, Condition c, bool begins, uint64_t atMs, uint64_t sinceMs,
                      const LineRef& where) {
    const Events events = EventsOf(c);
    JudgedEvent e;
    e.condition = c;
    e.begins = begins;
    e.id = begins ? events.begin : events.end;
    e.type = begins ? events.beginType : EventType::Information;
    e.atMs = atMs;
    e.strings = {j.queue, j.port, StatusWords(j.haveCode, j.code), LengthWords(atMs - sinceMs),
                 WhereText(where)};
    return e;
}

JudgedEvent HeldEvent(const Judge& j, Condition c, bool begins, uint64_t atMs) {
    const Judge::Held& h = j.held[Index(c)];
    return MakeEvent(j, c, begins, atMs, h.sinceMs, h.where);
}

void Start(Judge& j, Condition c, uint64_t atMs, const LineRef& where) {
    Judge::Held& h = j.held[Index(c)];
    if (!h.on) {
        h = Judge::Held{true, false, atMs, where};
    }
}

// The condition is over: its end is raised when its begin was (only conditions with an end are
// held).
void Stop(Judge& j, Condition c, uint64_t atMs, std::vector<JudgedEvent>& out) {
    Judge::Held& h = j.held[Index(c)];
    if (h.on && h.raised) {
        out.push_back(HeldEvent(j, c, false, atMs));
    }
    h = Judge::Held{};
}

// Raised at once, and not held: it has no end, or (not listening, as the recording stops) the
// next recorder ends it.
void Once(const Judge& j, Condition c, const JudgeInput& in, uint64_t sinceMs,
          std::vector<JudgedEvent>& out) {
    out.push_back(MakeEvent(j, c, true, in.atMs, sinceMs, in.where));
}

// The status lines' silence counts only while someone could have seen them: the recorder listens
// and writes, and the service runs and has not ended. Else it is not the printer's silence.
bool SilenceCounts(const Judge& j) {
    return j.listening && j.writing && j.running && !j.ended && j.haveCode;
}

// The silence conditions that did not pass their threshold are forgotten when the silence stops
// counting; those raised stay until a status line ends them.
void QuietFrom(Judge& j, uint64_t atMs) {
    j.quietFromMs = atMs;
    j.otherLineInSilence = false;
    for (Condition c : {Condition::Stalled, Condition::PrinterAway}) {
        if (!j.held[Index(c)].raised) {
            j.held[Index(c)] = Judge::Held{};
        }
    }
}

// Every threshold passed before NOWMS, raised at the moment it passed, in time order.
void Pending(Judge& j, uint64_t nowMs, std::vector<JudgedEvent>& out) {
    if (SilenceCounts(j)) {
        if (j.otherLineInSilence) {
            Start(j, Condition::Stalled, j.liveFromMs, j.liveWhere);
        }
        Start(j, Condition::PrinterAway, j.quietFromMs, j.lastWhere);
    } else {
        QuietFrom(j, nowMs);  // nobody could see the status lines: no silence of theirs
    }
    std::vector<std::pair<uint64_t, Condition>> due;
    for (size_t i = 0; const Judge::Held& h : j.held) {
        const auto c = static_cast<Condition>(i++);
        const uint64_t at = h.sinceMs + ThresholdOf(j, c);
        if (h.on && !h.raised && at <= nowMs) {
            due.emplace_back(at, c);
        }
    }
    std::stable_sort(due.begin(), due.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (const auto& [at, c] : due) {
        // An ended service is told once: its absence is not told again as not running.
        if (c == Condition::NotRunning && j.held[Index(Condition::ServiceEnded)].on) {
            continue;
        }
        j.held[Index(c)].raised = true;
        out.push_back(HeldEvent(j, c, true, at));
    }
}

// A line of the service: it runs, and a process that ended has been followed by another. (The
// silence of its status lines starts here: Pending began it afresh, as it did not count.)
void ServiceLine(Judge& j, const JudgeInput& in, std::vector<JudgedEvent>& out) {
    if (j.ended || !j.running) {
        Stop(j, Condition::ServiceEnded, in.atMs, out);
        Stop(j, Condition::NotRunning, in.atMs, out);
        j.ended = false;
        j.running = true;
    }
    j.lastWhere = in.where;
}

void Status(Judge& j, const JudgeInput& in, std::vector<JudgedEvent>& out) {
    j.code = in.code;
    j.haveCode = true;
    Stop(j, Condition::Stalled, in.atMs, out);
    Stop(j, Condition::PrinterAway, in.atMs, out);
    QuietFrom(j, in.atMs);
    if (!j.openErrorInCycle) {
        Stop(j, Condition::SpoolerDown, in.atMs, out);
    }
    j.openErrorInCycle = false;
    const QueueAction action = QueueCommandFor(static_cast<int>(in.code)).action;
    for (const auto& [c, a] : {std::pair{Condition::DoorOpen, QueueAction::DoorOpen},
                               std::pair{Condition::PaperOut, QueueAction::PaperOut}}) {
        if (action == a) {
            Start(j, c, in.atMs, in.where);
        } else {
            Stop(j, c, in.atMs, out);
        }
    }
}

void Ended(Judge& j, const JudgeInput& in, std::vector<JudgedEvent>& out) {
    j.ended = true;
    if (in.code != 0) {
        j.held[Index(Condition::ServiceEnded)] = Judge::Held{true, true, in.atMs, in.where};
        out.push_back(HeldEvent(j, Condition::ServiceEnded, true, in.atMs));
    }
}

// Listening and writing again: the silence of the status lines starts here (Pending began it
// afresh, as it did not count).
void Listening(Judge& j, const JudgeInput& in, std::vector<JudgedEvent>& out) {
    Stop(j, Condition::NotListening, in.atMs, out);
    Stop(j, Condition::CannotWrite, in.atMs, out);
    j.listening = j.writing = true;
}

// The recording ends: the recorder that starts next is a new process that knows nothing of this
// one, so everything held is forgotten (the status lines after the start tell anew), and nothing
// is judged until then.
void StopListening(Judge& j) {
    j.held.fill(Judge::Held{});
    j.listening = false;
}

// A line of the service's own.
void ServiceInput(Judge& j, const JudgeInput& in, std::vector<JudgedEvent>& out) {
    ServiceLine(j, in, out);
    if (in.kind == Kind::Status) {
        Status(j, in, out);
    } else if (in.kind == Kind::MainError) {
        Ended(j, in, out);
    } else if (in.kind == Kind::OpenError && in.code == kSpoolerDown) {
        Start(j, Condition::SpoolerDown, in.atMs, in.where);
        j.openErrorInCycle = true;
    } else if (in.kind == Kind::OtherLine && !j.otherLineInSilence) {
        j.otherLineInSilence = true;
        j.liveFromMs = in.atMs;
        j.liveWhere = in.where;
    }
}

// What the recorder notes of itself: whether it listens and writes, and the thresholds it uses.
void RecorderInput(Judge& j, const JudgeInput& in, std::vector<JudgedEvent>& out) {
    if (in.kind == Kind::Listening) {
        Listening(j, in, out);
    } else if (in.kind == Kind::NotListening) {
        j.listening = false;
        Start(j, Condition::NotListening, in.atMs, in.where);
    } else if (in.kind == Kind::LinesLost) {
        Once(j, Condition::LinesLost, in, j.quietFromMs, out);
    } else if (in.kind == Kind::CannotWrite) {
        j.writing = false;
        Once(j, Condition::CannotWrite, in, in.atMs, out);
        j.held[Index(Condition::CannotWrite)] = Judge::Held{true, true, in.atMs, in.where};
    } else if (in.kind == Kind::Stopped) {
        // Said before the recorder goes: a collector then knows that what it last heard of kq5
        // is no longer watched. Its end is the next recorder's first event.
        Once(j, Condition::NotListening, in, in.atMs, out);
        StopListening(j);
    } else if (in.kind == Kind::Unheard) {
        StopListening(j);  // nothing raised: no recorder ran to raise it
    } else if (in.kind == Kind::Thresholds) {
        // The note's words that set no threshold (its own "events after:") are passed over.
        std::istringstream settings(in.text);
        for (std::string setting; settings >> setting;) {
            (void)SetThreshold(j.thresholds, setting);
        }
    }
}

void Apply(Judge& j, const JudgeInput& in, std::vector<JudgedEvent>& out) {
    if (in.kind == Kind::Status || in.kind == Kind::OpenError || in.kind == Kind::MainError ||
        in.kind == Kind::OtherLine) {
        ServiceInput(j, in, out);
    } else if (in.kind == Kind::PortMoved) {
        j.port = in.text;
        Once(j, Condition::QueueMoved, in, in.atMs, out);
    } else if (in.kind == Kind::ServiceRunning) {
        if (!j.running) {
            ServiceLine(j, in, out);
        }
    } else if (in.kind == Kind::ServiceNotRunning) {
        j.running = false;
        Start(j, Condition::NotRunning, in.atMs, in.where);
    } else {
        RecorderInput(j, in, out);  // a tick tells nothing of its own
    }
}

bool Contains(const std::string& text, const char* part) {
    return text.find(part) != std::string::npos;
}

}  // namespace

std::vector<JudgedEvent> JudgeStep(Judge& judge, const JudgeInput& input) {
    std::vector<JudgedEvent> out;
    Pending(judge, input.atMs, out);
    Apply(judge, input, out);
    return out;
}

JudgeInput NoteInput(const std::string& note, bool header, uint64_t atMs) {
    JudgeInput in;
    in.atMs = atMs;
    in.text = note;
    if (Contains(note, kThresholdsNote)) {
        in.kind = Kind::Thresholds;  // after the note's stamp, where the reader keeps it
    } else if (header || Contains(note, "channel is free again") || Contains(note, kStartedNote)) {
        in.kind = Kind::Listening;
    } else if (Contains(note, "holds the channel")) {
        in.kind = Kind::NotListening;
    } else if (Contains(note, "recording stopped: cannot ")) {
        in.kind = Kind::CannotWrite;
    } else if (Contains(note, "recording stopped")) {
        in.kind = Kind::Stopped;  // asked to, its time up, the service stopped
    } else if (Contains(note, " lines dropped")) {
        in.kind = Kind::LinesLost;
    } else if (Contains(note, " is not running")) {
        in.kind = Kind::ServiceNotRunning;
    } else if (Contains(note, " runs as process ")) {
        in.kind = Kind::ServiceRunning;
    }
    return in;
}

JudgeInput LineInput(const std::string& text, bool keepsEnds, uint64_t atMs) {
    const OutputEvent line = ReadServiceLine(Channel::Debug, text, keepsEnds);
    JudgeInput in;
    in.atMs = atMs;
    in.code = line.code;
    in.kind = line.says == LineSays::Status && line.whole ? Kind::Status
              : line.says == LineSays::OpenError          ? Kind::OpenError
              : line.says == LineSays::MainError          ? Kind::MainError
                                                          : Kind::OtherLine;
    return in;
}

std::string ConditionName(Condition c) {
    static const char* const kNames[kConditions] = {
        "PRINTER_AWAY",   "DOOR_OPEN",     "PAPER_OUT",    "SPOOLER_DOWN",
        "STATUS_STALLED", "SERVICE_ENDED", "NOT_RUNNING",  "QUEUE_MOVED",
        "LINES_LOST",     "CANNOT_WRITE",  "NOT_LISTENING"};
    return kNames[Index(c)];
}

const char* TypeName(EventType type) {
    return type == EventType::Error     ? "error"
           : type == EventType::Warning ? "warning"
                                        : "information";
}

std::string LengthWords(uint64_t ms) {
    const uint64_t s = ms / 1000;
    if (s < 60) {
        return std::to_string(s) + " s";
    }
    if (s < 3600) {
        return std::to_string(s / 60) + " min " + std::to_string(s % 60) + " s";
    }
    return std::to_string(s / 3600) + " h " + std::to_string(s / 60 % 60) + " min";
}

std::string ThresholdsNote(const Thresholds& t) {
    const Thresholds defaults;
    std::string note;
    for (const ThresholdKind& k : kThresholdKinds) {
        if (t.*k.slot != defaults.*k.slot) {
            note += (note.empty() ? "" : " ") + std::string(k.name) + "=" +
                    std::to_string(t.*k.slot / k.unitMs);
        }
    }
    return note.empty() ? note : kThresholdsNote + note;
}

std::string SetThreshold(Thresholds& t, const std::string& setting) {
    const size_t eq = setting.find('=');
    const std::string kind = setting.substr(0, eq);
    char* end = nullptr;
    const std::string number = eq == std::string::npos ? "" : setting.substr(eq + 1);
    // strtoull takes "-1" as the largest number: refused as too large.
    const unsigned long long value = std::strtoull(number.c_str(), &end, 10);
    if (number.empty() || *end != '\0' || value < 1 || value > kLongestThreshold) {
        return "--alert-after takes KIND=SECONDS (a whole number from 1 to 10000000), not '" +
               setting + "'";
    }
    for (const ThresholdKind& k : kThresholdKinds) {
        if (kind == k.name) {
            t.*k.slot = value * k.unitMs;
            return "";
        }
    }
    return "--alert-after knows away, door, paper, spooler, stalled (in cycles of 0.8 s), "
           "not-running and not-listening, not '" +
           kind + "'";
}
