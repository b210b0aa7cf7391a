// A swarm day recorded as kq5trace would have: the service's lines as the simulation recorded
// them, written with kq5trace's own format functions, with the damage a real record has.
#include "day_trace.h"

#include <algorithm>

#include "common/civil_days.h"
#include "platform/sim/sim.h"
#include "scenario.h"
#include "swarm.h"
#include "tracelog/format.h"

namespace {

constexpr uint64_t kMinuteMs = 60000;
constexpr long long kClockMinuteMs = 60000;  // the same, for the clock's signed arithmetic
constexpr uint32_t kFirstPid = 2000;

// The day's own random numbers: the same seed, the same damage.
struct DayRandom {
    uint64_t state;
    uint64_t Next() {
        uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
    uint64_t Below(uint64_t n) { return n == 0 ? 0 : Next() % n; }
};

// The recorder's clock: UTC from a base, the local offset changing once (daylight saving ends).
struct DayClock {
    long long baseUtcMs = 0;
    uint64_t changeMs = UINT64_MAX;
    int offsetBefore = 120, offsetAfter = 60;
    LocalTime Local(uint64_t atMs) const {
        const int offset = atMs < changeMs ? offsetBefore : offsetAfter;
        const long long local = baseUtcMs + static_cast<long long>(atMs) + offset * kClockMinuteMs;
        const long long ms = local % 86400000;
        long long y = 0, m = 0, d = 0;
        CivilFromDays(local / 86400000, y, m, d);
        const LocalDate date{static_cast<int>(y), static_cast<int>(m), static_cast<int>(d)};
        return LocalTime{date,
                         static_cast<int>(ms / 3600000),
                         static_cast<int>(ms / 60000 % 60),
                         static_cast<int>(ms / 1000 % 60),
                         static_cast<int>(ms % 1000),
                         offset};
    }
    std::string Stamp(uint64_t atMs) const { return StampText(Local(atMs)); }
};

// A line of the trace at its time; lines at one time keep the order they were made in.
struct Written {
    uint64_t atMs;
    size_t order;
    std::string line;
};

struct Writer {
    const DayClock& clock;
    std::vector<Written> lines;
    void Note(uint64_t atMs, const std::string& text) {
        lines.push_back(Written{atMs, lines.size(), NoteLine(clock.Stamp(atMs), text)});
    }
    void Started(uint64_t atMs) {
        lines.push_back(Written{atMs, lines.size(),
                                StartLine(HeaderTitle("1.0.0", "kq5"), clock.Stamp(atMs), true)});
    }
    void Header(uint64_t atMs) {
        lines.push_back(Written{atMs, lines.size(),
                                HeaderLine(HeaderTitle("1.0.0", "kq5"), clock.Stamp(atMs))});
    }
};

// The day's stretches without the recorder: up to three, 10 s to 5 min each, apart.
std::vector<Unheard> DrawUnheard(DayRandom& r, uint64_t endMs) {
    std::vector<Unheard> unheard;
    const uint64_t count = r.Below(4);
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t slot = endMs / count;
        const uint64_t length = 10000 + r.Below(5 * kMinuteMs - 10000);
        const uint64_t from = i * slot + 5000 + r.Below(slot > length + 10000 ? slot - length : 1);
        unheard.push_back(Unheard{from, std::min(from + length, endMs), r.Below(2) == 0});
    }
    return unheard;
}

// The stretches' notes: a recorder that waited for the channel says when it has it again; one
// that stopped, started again, continues the day's file with the service manager's answer
// (NoteProcesses); the trace may end inside either.
void NoteUnheard(Writer& w, const std::vector<Unheard>& unheard, uint64_t endMs) {
    for (const Unheard& u : unheard) {
        w.Note(u.fromMs, u.viewer ? "another debug-output viewer holds the channel; waiting"
                                  : "recording stopped: the disk is full");
        if (u.viewer && u.toMs < endMs) {
            w.Note(u.toMs, "the debug-output channel is free again; recording");
        } else if (u.toMs < endMs) {
            w.Started(u.toMs);  // a new recorder, in the same file
        }
    }
}

Truth Changes(const std::vector<TimelineEvent>& timeline, int initial,
              int (*valueOf)(const TimelineEvent&)) {
    Truth truth{TruthChange{0, initial, true}};
    for (const TimelineEvent& e : timeline) {
        const int value = valueOf(e);
        if (value >= 0 && value != truth.back().value) {
            truth.push_back(TruthChange{e.timeMs, value, true});
        }
    }
    return truth;
}

int SpoolerValue(const TimelineEvent& e) {
    const auto* s = As<ServiceStepEvent>(e);
    // A start request changes nothing until the Spooler runs (a refused one leaves it as it was);
    // a refused stop leaves it running.
    if (s == nullptr || s->service != "Spooler" || s->step == ServiceStep::StopRefused ||
        s->step == ServiceStep::StartRequested) {
        return -1;
    }
    return s->step == ServiceStep::Running ? 1 : 0;
}

int QueueValue(const TimelineEvent& e) {
    const auto* p = As<QueuePausedEvent>(e);
    return p == nullptr ? -1 : p->paused ? 1 : 0;
}

}  // namespace

const TruthChange& StateAt(const Truth& truth, uint64_t atMs) {
    const auto after =
        std::upper_bound(truth.begin(), truth.end(), atMs,
                         [](uint64_t t, const TruthChange& c) { return t < c.atMs; });
    return after == truth.begin() ? truth.front() : *(after - 1);
}

bool Heard(const DayTruth& day, uint64_t atMs) {
    return std::none_of(day.unheard.begin(), day.unheard.end(),
                        [&](const Unheard& u) { return u.fromMs <= atMs && atMs < u.toMs; });
}

namespace {

struct Process {
    uint64_t fromMs = 0, toMs = UINT64_MAX;
    uint32_t pid = 0;
};

// The last debugger line's time: the end of a last process that ended before the day did.
uint64_t LastLineMs(const std::vector<TimelineEvent>& timeline) {
    for (auto e = timeline.rbegin(); e != timeline.rend(); ++e) {
        const auto* line = As<OutputEvent>(*e);
        if (line != nullptr && line->channel == Channel::Debug) {
            return e->timeMs;
        }
    }
    return 0;
}

// kq5's processes, one after another: the first from the day's start, each later one from the
// scenario's first start after the end of the one before (a start while kq5 runs does nothing);
// each to its end, the last to the day's end when it runs on, with the pid the trace gives it.
std::vector<Process> Processes(const Scenario& scenario, const ScenarioResult& result) {
    std::vector<Process> processes{Process{0, UINT64_MAX, kFirstPid}};
    for (const ScenarioEvent& e : scenario.events) {
        const size_t i = processes.size() - 1;
        if (i < result.processes.size()) {
            processes.back().toMs = result.processes[i].endedAt;
        }
        if (e.kind == EventKind::Start && processes.back().toMs <= e.atMs) {
            processes.push_back(
                Process{e.atMs, UINT64_MAX, kFirstPid + 4 * static_cast<uint32_t>(i + 1)});
        }
    }
    if (processes.size() <= result.processes.size()) {
        processes.back().toMs = result.processes[processes.size() - 1].endedAt;
    } else if (result.exitCode != -1) {
        processes.back().toMs = LastLineMs(result.timeline);
    }
    return processes;
}

// The service's truth, and the recorder's notes of it where it listened: each process's start
// (before its first line, which the recorder holds until the service manager names it), its
// end, and its state again after the recording started anew.
void NoteProcesses(Writer& w, DayTruth& day, const std::vector<Process>& processes) {
    day.service = Truth{TruthChange{0, 0, true}};
    for (size_t i = 0; i < processes.size(); ++i) {
        const Process& p = processes[i];
        day.service.push_back(TruthChange{p.fromMs, 1, true});
        if (Heard(day, p.fromMs)) {
            w.Note(p.fromMs, "service kq5 runs as process " + std::to_string(p.pid));
        }
        // The recorder asks the service manager at most once a second: it notes the end a
        // moment later, unless the next process has started by then.
        const uint64_t askedMs = p.toMs + 700;
        const bool next = i + 1 < processes.size() && processes[i + 1].fromMs <= askedMs;
        if (p.toMs != UINT64_MAX) {
            day.service.push_back(TruthChange{p.toMs, 0, true});
            if (!next && Heard(day, askedMs) && askedMs < day.endMs) {
                w.Note(askedMs, "service kq5 is not running");
            }
        }
    }
    for (const Unheard& u : day.unheard) {
        if (u.viewer || u.toMs >= day.endMs) {
            continue;
        }
        const auto running =
            std::find_if(processes.begin(), processes.end(),
                         [&](const Process& p) { return p.fromMs <= u.toMs && u.toMs < p.toMs; });
        w.Note(u.toMs, running == processes.end()
                           ? std::string("service kq5 is not running")
                           : "service kq5 runs as process " + std::to_string(running->pid));
    }
}

// The service's debugger lines where the recorder listened, each with its process's pid.
std::string WriteLines(Writer& w, DayTruth& day, const ScenarioResult& result,
                       const std::vector<Process>& processes) {
    const std::vector<std::string> raw = sim::DebugLines();
    size_t k = 0;
    for (const TimelineEvent& e : result.timeline) {
        const auto* line = As<OutputEvent>(e);
        if (line == nullptr || line->channel != Channel::Debug) {
            continue;
        }
        if (k >= raw.size()) {
            return "the machine recorded fewer debugger lines than its timeline shows";
        }
        const std::string& bytes = raw[k++];
        const auto process = std::find_if(processes.rbegin(), processes.rend(),
                                          [&](const Process& p) { return p.fromMs <= e.timeMs; });
        if (!Heard(day, e.timeMs) || process == processes.rend()) {
            continue;
        }
        w.lines.push_back(Written{e.timeMs, w.lines.size(),
                                  EntryLine(w.clock.Stamp(e.timeMs), process->pid, bytes)});
        day.linesMs.push_back(e.timeMs);
    }
    return k == raw.size() ? ""
                           : "the machine recorded more debugger lines than its timeline shows";
}

// A listening recorder notes that it still listens after each kStillListeningMs in which it
// wrote nothing, with the service manager's answer; LINES in time order.
void StillListening(Writer& w, const DayTruth& day, const std::vector<Process>& processes) {
    const std::vector<Written> lines = w.lines;
    for (size_t i = 0; i < lines.size(); ++i) {
        const uint64_t nextMs = i + 1 < lines.size() ? lines[i + 1].atMs : day.endMs;
        for (uint64_t at = lines[i].atMs + kStillListeningMs; at < nextMs;
             at += kStillListeningMs) {
            if (!Heard(day, at)) {
                break;  // the recorder stopped, or waits for the channel: no note
            }
            const auto running = std::find_if(processes.begin(), processes.end(), [&](auto& p) {
                return p.fromMs <= at && at < p.toMs;
            });
            w.Note(at, running == processes.end()
                           ? std::string("still listening; service kq5 is not running")
                           : "still listening; service kq5 runs as process " +
                                 std::to_string(running->pid));
        }
    }
}

// The trace as a record folder holds it: a file for each local day, each begun with a header
// when its first line came (the day's first header, at the trace's start, is the first file's).
std::vector<DayFile> DayFiles(const DayClock& clock, const std::vector<Written>& lines) {
    std::vector<DayFile> files;
    for (size_t i = 1; i < lines.size(); ++i) {
        const LocalDate date = clock.Local(lines[i].atMs).date;
        const std::string name = DayFileName(date, 1);
        if (files.empty() || files.back().name != name) {
            const uint64_t startMs = files.empty() ? 0 : lines[i].atMs;
            files.push_back(
                DayFile{name, HeaderLine(HeaderTitle("1.0.0", "kq5"), clock.Stamp(startMs))});
        }
        files.back().text += lines[i].line;
    }
    return files;
}

void MachineTruth(DayTruth& day, const ScenarioResult& result) {
    for (const PrinterChange& c : result.printer) {
        day.printer.push_back(TruthChange{c.atMs, c.code, c.present});
    }
    day.spooler = Changes(result.timeline, 1, SpoolerValue);
    day.queue = Changes(result.timeline, 0, QueueValue);
    for (const sim::FailureHit& hit : sim::FailureHits()) {
        day.faultsMs.push_back(hit.atMs);
    }
}

}  // namespace

DayTrace RecordDay(uint64_t seed, int minutes) {
    Scenario scenario = GenerateScenario(seed, minutes);
    std::erase_if(scenario.events,
                  [](const ScenarioEvent& e) { return e.kind == EventKind::ReadReturns; });
    ScenarioResult result = RunScenario(scenario);
    sim::WaitUntil(scenario.endMs);
    // The Spooler's stop or start is recorded, at its time, once someone looks at it: a last
    // look brings the timeline up to date.
    sim::SpoolerState();
    result.timeline = sim::Timeline();
    DayTrace trace;
    DayTruth& day = trace.truth;
    day.endMs = scenario.endMs;
    MachineTruth(day, result);
    DayRandom r{seed * 0x2545f4914f6cdd1dULL + 1};
    DayClock clock;
    // From 23:30 to 00:30 local time at +01:00: a day of files may cross midnight into two.
    clock.baseUtcMs = (DaysFromCivil(2026, 10, 24) * 1440 + 22LL * 60 + 30 +
                       static_cast<long long>(r.Below(60))) *
                      kClockMinuteMs;
    clock.changeMs = r.Below(2) == 0 ? r.Below(day.endMs) : UINT64_MAX;
    // A day of files has its clock put forward, if at all: put back across midnight, it would go
    // on in the day before's file, which a folder read in date order reads first.
    const bool files = r.Below(2) == 0;
    if (files || r.Below(2) == 0) {
        std::swap(clock.offsetBefore, clock.offsetAfter);
    }
    day.unheard = DrawUnheard(r, day.endMs);
    Writer w{clock, {}};
    w.Header(0);
    NoteUnheard(w, day.unheard, day.endMs);
    const std::vector<Process> processes = Processes(scenario, result);
    NoteProcesses(w, day, processes);
    trace.error = WriteLines(w, day, result, processes);
    const auto inTimeOrder = [](const Written& a, const Written& b) {
        return a.atMs != b.atMs ? a.atMs < b.atMs : a.order < b.order;
    };
    std::stable_sort(w.lines.begin(), w.lines.end(), inTimeOrder);
    StillListening(w, day, processes);
    std::stable_sort(w.lines.begin(), w.lines.end(), inTimeOrder);
    for (const Written& line : w.lines) {
        trace.text += line.line;
    }
    if (files) {
        trace.files = DayFiles(clock, w.lines);
    }
    return trace;
}
