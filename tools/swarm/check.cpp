// The invariants' checks: what kq5 promises, read from the run as the scenario made it and the
// machine shows it, each with the conditions under which it is not promised. invariants.cpp
// registers each check beside its name, its reason and its exceptions.
#include <algorithm>
#include <optional>
#include <set>

#include "checks.h"
#include "common/diagnostics.h"
#include "common/status_code.h"
#include "common/text.h"
#include "platform/sim/win32_calls.h"
#include "portmove/port_move.h"
#include "queue/queue.h"
#include "service/service.h"

namespace swarm {

namespace {
const std::set<std::string> kArrivalCalls =
    sim::CallsWithRole(sim::kDeviceLookupCall | sim::kPortListCall | sim::kQueueCall);
const std::set<std::string> kQueueCalls = sim::CallsWithRole(sim::kQueueCall);
const std::set<std::string> kDeviceOpenCalls =
    sim::CallsWithRole(sim::kDeviceLookupCall | sim::kDeviceOpenCall);
const std::set<std::string> kServiceCalls = sim::CallsWithRole(sim::kSpoolerStartCall);
constexpr int kLastingCount = 1000;  // a fault of this many calls or more stays

MachineView Look() {
    MachineView f;
    f.spooler = sim::SpoolerState();  // first: it brings the Spooler's timeline up to date
    f.now = sim::NowMs();
    f.timeline = sim::Timeline();
    f.controls = sim::ControlsSent();
    f.hits = sim::FailureHits();
    f.queue = sim::Printer(u"Korvane-Q5");
    return f;
}

// ---- Reading the timeline's events --------------------------------------------------------------

bool SpoolerStep(const sim::TimelineEvent& e, ServiceStep step) {
    const auto* s = As<ServiceStepEvent>(e);
    return s != nullptr && s->service == "Spooler" && s->step == step;
}

// The error of a refused start of the Spooler (0 for any other event).
DWORD RefusalOf(const sim::TimelineEvent& e) {
    const auto* r = As<StartRefusedEvent>(e);
    return r != nullptr && r->service == "Spooler" ? r->error : 0;
}

// A stop or start of a service, or its refusal.
bool ServiceControlEvent(const sim::TimelineEvent& e) {
    return As<ServiceStepEvent>(e) != nullptr || As<StartRefusedEvent>(e) != nullptr;
}

bool ProcessStarted(const sim::TimelineEvent& e) {
    return As<ServiceStartedEvent>(e) != nullptr;
}

// kq5's status report with state STATE (any state when none is given).
const StatusReportEvent* Reported(const sim::TimelineEvent& e,
                                  std::optional<DWORD> state = std::nullopt) {
    const auto* report = As<StatusReportEvent>(e);
    return report != nullptr && (!state || report->state == *state) ? report : nullptr;
}

bool HitIn(const MachineView& f, const std::set<std::string>& calls, uint64_t from, uint64_t to) {
    return std::any_of(f.hits.begin(), f.hits.end(), [&](const sim::FailureHit& h) {
        return calls.count(h.function) != 0 && h.atMs >= from && h.atMs <= to;
    });
}

// How long the handler may take over control C: a stop or a shutdown is answered at once, unless
// no thread could be made for the stop's wait (then the handler pays the debt itself, bounded);
// any other control (an arrival's port move) within the longest its work may take.
uint64_t AnswerBound(const MachineView& f, const sim::ControlRecord& c) {
    const bool stop = c.control == SERVICE_CONTROL_STOP || c.control == SERVICE_CONTROL_SHUTDOWN;
    if (stop && !HitIn(f, {"CreateThread"}, c.startedAt, c.endedAt)) {
        return kStopHandlingBoundMs;
    }
    return kControlAnswerBoundMs;
}

// Since when the Spooler has run without a break at `t`; nothing when it is not running then.
std::optional<uint64_t> SpoolerUpSince(const MachineView& f, uint64_t t) {
    std::optional<uint64_t> stopAt;
    uint64_t runningAt = 0;
    for (const sim::TimelineEvent& e : f.timeline) {
        if (e.timeMs > t) {
            continue;
        }
        if (SpoolerStep(e, ServiceStep::StopRequested)) {
            stopAt = std::max(stopAt.value_or(0), e.timeMs);
        } else if (SpoolerStep(e, ServiceStep::Running)) {
            runningAt = std::max(runningAt, e.timeMs);
        }
    }
    if (stopAt && *stopAt >= runningAt) {
        return std::nullopt;
    }
    return runningAt;
}

// When kq5's process that runs at `t` started, if it runs and is not stopping.
std::optional<uint64_t> AliveSince(const MachineView& f, uint64_t t) {
    std::optional<uint64_t> since;
    for (const sim::TimelineEvent& e : f.timeline) {
        if (e.timeMs > t) {
            continue;
        }
        if (ProcessStarted(e)) {
            since = e.timeMs;
        } else if (Reported(e, SERVICE_STOPPED) || Reported(e, SERVICE_STOP_PENDING)) {
            since.reset();
        }
    }
    return since;
}

// A shutdown that kq5 took after `t`: it leaves a port move's restart and follow-up unfinished
// (the machine is going down).
bool ShutDownSince(const MachineView& f, uint64_t t) {
    return std::any_of(f.controls.begin(), f.controls.end(), [&](const sim::ControlRecord& c) {
        return c.control == SERVICE_CONTROL_SHUTDOWN && c.handled && c.startedAt >= t;
    });
}

// When the process that runs at `t` started (0 when none has).
uint64_t ProcessStartAt(const MachineView& f, uint64_t t) {
    uint64_t start = 0;
    for (const sim::TimelineEvent& e : f.timeline) {
        if (e.timeMs <= t && ProcessStarted(e)) {
            start = e.timeMs;
        }
    }
    return start;
}

// A stop since `t` that gave up and said why (SERVICE_STOPPED with a non-zero exit code): what it
// could not finish is not promised.
bool GaveUpSince(const MachineView& f, uint64_t t) {
    return std::any_of(f.timeline.begin(), f.timeline.end(), [&](const sim::TimelineEvent& e) {
        const StatusReportEvent* stopped = Reported(e, SERVICE_STOPPED);
        return e.timeMs >= t && stopped != nullptr && stopped->win32ExitCode != 0;
    });
}

// Whether kq5's process had taken a stop or shutdown before `t` (its report may have failed, so
// that it runs on): it then acts on no device event.
bool StopTakenBefore(const MachineView& f, uint64_t t) {
    const uint64_t start = ProcessStartAt(f, t);
    return std::any_of(f.controls.begin(), f.controls.end(), [&](const sim::ControlRecord& c) {
        return (c.control == SERVICE_CONTROL_STOP || c.control == SERVICE_CONTROL_SHUTDOWN) &&
               c.handled && c.startedAt >= start && c.startedAt <= t;
    });
}

// The queue's state and status that the printer's code asks for, by kq5's own classification
// of the code (its table has tests of its own): nothing for a code with no queue action.
struct QueueWanted {
    bool paused;
    DWORD status;
};
std::optional<QueueWanted> WantedFor(int code) {
    const QueueCommand command = QueueCommandFor(code);
    if (command.action == QueueAction::None) {
        return std::nullopt;
    }
    return QueueWanted{command.pause, command.status};
}

std::string Ms(uint64_t ms) {
    return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) + "s";
}

// The control event `i` sent, if it sent one (its successor, or `f`, tells).
const sim::ControlRecord* RecordOf(const Run& run, size_t i, size_t happened,
                                   const MachineView& f) {
    const size_t before = run.events[i].controlsBefore;
    const size_t after = i + 1 < happened ? run.events[i + 1].controlsBefore : f.controls.size();
    return before != SIZE_MAX && after > before && before < f.controls.size() ? &f.controls[before]
                                                                              : nullptr;
}

// What the first `happened` events of the scenario have done to the printer.
PrinterPicture PictureAfter(const Run& run, size_t happened) {
    const Scenario& s = run.scenario;
    PrinterPicture p;
    p.present = s.printerPresent;
    p.code = s.printerCode;
    p.port = s.printerPort;
    std::set<std::string> plugged;
    std::string serial = s.printerPresent ? s.printerSerial : "";
    if (!serial.empty()) {
        plugged.insert(serial);
    }
    uint64_t pendingReads = 0;
    for (size_t i = 0; i < happened; ++i) {
        const ScenarioEvent& e = *run.events[i].event;
        const uint64_t at = e.atMs;
        if (e.kind == EventKind::Status) {
            p.code = e.code;
            p.lastChange = at;
        } else if (e.kind == EventKind::ReadFails || e.kind == EventKind::ReadReturns) {
            p.lastChange = at;
            // Scripted while the printer is away, the read waits for it: it is the first read
            // after its return, a cycle each.
            pendingReads += p.present ? 0 : 1;
        } else if (e.kind == EventKind::Plug) {
            p.lastChange = std::max(p.lastChange, at + pendingReads * 800);
            pendingReads = 0;
            p.present = true;
            p.port = e.port;
            serial = e.device;
            plugged.insert(serial);
            p.lastPlug = i;
        } else if (e.kind == EventKind::Unplug && !serial.empty()) {
            plugged.erase(serial);
            p.present = !plugged.empty();
            p.lastUnplug = i;
        }
    }
    p.devices = plugged.size();
    return p;
}

std::string QueueText(const sim::PrinterState& queue) {
    return std::string(queue.paused ? "paused" : "resumed") + " with status " + Hex(queue.status);
}

}  // namespace

// Within two cycles of the arrival's handling with the Spooler running throughout (a move made
// while it was down is made once it runs, with a restart of its own).
Finding QueueOnPrinterPort(const Moment& m) {
    const MachineView& f = m.f;
    const uint64_t t = f.now;
    const sim::ControlRecord* plug = m.plug;
    const std::optional<uint64_t> upSince = SpoolerUpSince(f, t);
    if (m.printer.present && m.plugHandled && t >= kFollowBoundMs &&
        plug->endedAt <= t - kFollowBoundMs && upSince && *upSince <= t - kFollowBoundMs &&
        !HitIn(f, kArrivalCalls, plug->startedAt, t) &&  // a deferred move looks up later
        !ShutDownSince(f, plug->startedAt) && !StopTakenBefore(f, plug->startedAt) &&
        !HitIn(f, {"CreateThread"}, ProcessStartAt(f, plug->startedAt), plug->startedAt) &&
        !GaveUpSince(f, plug->startedAt) &&
        !EqualsIgnoringAsciiCase(f.queue.port, sim::Widen(m.printer.port))) {
        return "at " + Ms(t) + " the printer is on " + m.printer.port + " (arrival handled by " +
               Ms(plug->endedAt) + "), the queue on " + sim::Narrow(f.queue.port);
    }
    return std::nullopt;
}

namespace {

// The poller reads and mirrors the printer once a cycle, the same state again on every one.
constexpr uint64_t kPollCycleMs = 800;

// A resume of the queue within the last cycle up to `t`, though the printer asks for a pause: not
// the poller's, but a port move's follow-up, which resumes the queue once the Spooler runs
// whatever the printer reports; the poller pauses it again on its next cycle.
bool ResumedWithinLastCycle(const MachineView& f, uint64_t t) {
    return std::any_of(f.timeline.begin(), f.timeline.end(), [&](const sim::TimelineEvent& e) {
        const auto* queue = As<QueuePausedEvent>(e);
        return queue != nullptr && !queue->paused && e.timeMs <= t && e.timeMs + kPollCycleMs >= t;
    });
}

}  // namespace

Finding QueueFollowsStatus(const Moment& m) {
    const MachineView& f = m.f;
    const uint64_t t = f.now;
    const PrinterPicture& p = m.printer;
    if (!m.alive || !p.present || t < kFollowBoundMs || StopTakenBefore(f, t)) {
        return std::nullopt;
    }
    const uint64_t alive = *m.alive;
    const uint64_t from = t - kFollowBoundMs;
    const uint64_t plugAt = p.lastPlug ? m.run.events[*p.lastPlug].event->atMs : 0;
    const bool opened =
        p.lastPlug && plugAt >= alive ? m.plugHandled && m.plug->endedAt <= from : alive <= from;
    const uint64_t openedAt = p.lastPlug ? std::max(alive, plugAt) : alive;
    const std::optional<uint64_t> up = SpoolerUpSince(f, t);
    const std::optional<QueueWanted> wanted = WantedFor(p.code);
    if (!opened || !wanted || p.lastChange > from || !up || *up > from ||
        HitIn(f, kDeviceOpenCalls, openedAt, t) || HitIn(f, kQueueCalls, from, t) ||
        HitIn(f, {"ReadFile"}, from, t) || HitIn(f, {"CreateThread"}, alive, t)) {
        return std::nullopt;
    }
    if ((f.queue.paused == wanted->paused && f.queue.status == wanted->status) ||
        (wanted->paused && ResumedWithinLastCycle(f, t))) {
        return std::nullopt;
    }
    return "at " + Ms(t) + " the printer reports " + Hex(p.code) + " since " + Ms(p.lastChange) +
           ", the queue is " + QueueText(f.queue);
}

Finding RemovalPausesOffline(const Moment& m) {
    const MachineView& f = m.f;
    const PrinterPicture& p = m.printer;
    if (!m.alive || p.present || !p.lastUnplug) {
        return std::nullopt;
    }
    const sim::ControlRecord* removal = RecordOf(m.run, *p.lastUnplug, m.happened, f);
    if (removal != nullptr && removal->handled && removal->endedAt != 0 &&
        removal->startedAt >= *m.alive && SpoolerUpSince(f, removal->startedAt) &&
        !StopTakenBefore(f, removal->startedAt) &&
        !HitIn(f, {"CreateThread"}, *m.alive, removal->startedAt) &&  // stopped without a poller
        !HitIn(f, kArrivalCalls, removal->startedAt, removal->endedAt) &&
        (!f.queue.paused || f.queue.status != PRINTER_STATUS_OFFLINE)) {
        return "at " + Ms(f.now) + " the printer was removed at " +
               Ms(m.run.events[*p.lastUnplug].event->atMs) + ", the queue is " + QueueText(f.queue);
    }
    return std::nullopt;
}

namespace {

bool IsKq5DebugLine(const std::string& line) {
    auto digits = [](const std::string& text, size_t from, size_t to, bool hex) {
        if (from >= to) {
            return false;
        }
        for (size_t i = from; i < to; ++i) {
            const char c = text[i];
            const bool ok = (c >= '0' && c <= '9') || (hex && c >= 'a' && c <= 'f') ||
                            (i == from && c == '-' && !hex);
            if (!ok) {
                return false;
            }
        }
        return true;
    };
    auto framed = [&](const char* format, bool hex) {
        const std::string head(diagnostics::PrefixOf(format));
        const std::string tail(diagnostics::SuffixOf(format));
        return line.size() > head.size() + tail.size() && line.starts_with(head) &&
               line.compare(line.size() - tail.size(), tail.size(), tail) == 0 &&
               digits(line, head.size(), line.size() - tail.size(), hex);
    };
    return line == diagnostics::kGetPrinterHandle || line == diagnostics::kReadFailedMessage ||
           framed(diagnostics::kStatusFormat, false) ||
           framed(diagnostics::kOpenErrorFormat, true) ||
           framed(diagnostics::kRegistryErrorFormat, false) ||
           framed(diagnostics::kMainErrorFormat, false) ||
           (line.starts_with(diagnostics::kDevicePathPrefix) && line.back() == '\n');
}

bool Handling(const MachineView& f, uint64_t t) {
    return std::any_of(f.controls.begin(), f.controls.end(), [&](const sim::ControlRecord& c) {
        return c.handled && c.startedAt <= t && (c.endedAt == 0 || c.endedAt >= t);
    });
}

// Whether the poller mirrors status into the queue at `t` (it then fails at the open while the
// Spooler is down, as it always has): the printer present with a code that has a queue action.
bool PollerAsksQueue(const Run& run, uint64_t t) {
    std::set<std::string> plugged;
    std::string serial = run.scenario.printerPresent ? run.scenario.printerSerial : "";
    if (!serial.empty()) {
        plugged.insert(serial);
    }
    int code = run.scenario.printerCode;
    for (const Happened& h : run.events) {
        const ScenarioEvent& e = *h.event;
        if (e.atMs > t) {
            break;
        }
        if (e.kind == EventKind::Status) {
            code = e.code;
        } else if (e.kind == EventKind::Plug) {
            serial = e.device;
            plugged.insert(serial);
        } else if (e.kind == EventKind::Unplug && !serial.empty()) {
            plugged.erase(serial);
        } else if ((e.kind == EventKind::ReadReturns || e.kind == EventKind::ReadFails) &&
                   h.event->atMs + kFollowBoundMs >= t) {
            return true;  // the frame may hold other bytes for a cycle or two
        }
    }
    return plugged.size() > 1 || (!plugged.empty() && WantedFor(code));
}

// A refusal that asking again will not change, or a fault that stays, on opening or starting
// the Spooler: its start is then not promised.
bool SpoolerCannotStart(const RunEnd& end) {
    int startRefusals = 0;
    for (const sim::FailureHit& h : end.f.hits) {
        if (kServiceCalls.count(h.function) != 0 && IsLastingRefusal(h.error)) {
            return true;
        }
        startRefusals += h.function == "StartServiceA" ? 1 : 0;
    }
    if (startRefusals > 4) {
        return true;  // more than the back-off retries within the tail
    }
    for (const CallFailure& c : end.run.scenario.failures) {
        if (kServiceCalls.count(c.function) != 0 && c.count >= kLastingCount) {
            return true;
        }
    }
    return std::any_of(end.run.events.begin(), end.run.events.end(), [](const Happened& h) {
        const ScenarioEvent& e = *h.event;
        return e.kind == EventKind::Fail && kServiceCalls.count(e.failure.function) != 0 &&
               e.failure.count >= kLastingCount;
    });
}

// A stop that gave up and said why: SERVICE_STOPPED reported with a non-zero exit code.
bool AStopGaveUp() {
    const std::vector<SERVICE_STATUS> reports = sim::StatusReports();
    return std::any_of(reports.begin(), reports.end(), [](const SERVICE_STATUS& report) {
        return report.dwCurrentState == SERVICE_STOPPED && report.dwWin32ExitCode != 0;
    });
}

bool ShutDownWithSpoolerDown(const MachineView& f) {
    return std::any_of(f.controls.begin(), f.controls.end(), [&](const sim::ControlRecord& c) {
        return c.control == SERVICE_CONTROL_SHUTDOWN && c.handled &&
               !SpoolerUpSince(f, c.startedAt);
    });
}

// A call still blocked when its process ends (a start request that returns only once the
// Spooler's process has come up; a stop's wait that gave up) holds its handles until the process
// goes, and Windows closes them then. A shutdown stops kq5 at once and tears nothing down: a look
// at the Spooler or a stop's wait under way holds its handles as the process ends.
bool ACallMayBeBlocked(const RunEnd& end) {
    const std::vector<sim::ControlRecord>& controls = end.f.controls;
    return end.run.scenario.spoolerStartBlocksMs > 0 || AStopGaveUp() ||
           std::any_of(controls.begin(), controls.end(), [](const sim::ControlRecord& c) {
               return c.handled && c.control == SERVICE_CONTROL_SHUTDOWN;
           });
}

// The ports the printer was given, and the queue's own.
std::set<std::string> PortsGiven(const Scenario& s) {
    std::set<std::string> ports = {s.queuePort};
    if (s.printerPresent) {
        ports.insert(s.printerPort);
    }
    for (const ScenarioEvent& e : s.events) {
        if (e.kind == EventKind::Plug) {
            ports.insert(e.port);
        }
    }
    return ports;
}

std::string ControlText(const sim::ControlRecord& c) {
    return "control " + std::to_string(c.control) + " taken at " + Ms(c.startedAt);
}

bool IsStop(const sim::ControlRecord& c) {
    return c.control == SERVICE_CONTROL_STOP || c.control == SERVICE_CONTROL_SHUTDOWN;
}

}  // namespace

Finding SpoolerRunsAtEnd(const RunEnd& end) {
    const bool promised = !end.run.scenario.spoolerStopHangs && !SpoolerCannotStart(end) &&
                          !AStopGaveUp() && !ShutDownWithSpoolerDown(end.f);
    if (promised && end.f.spooler != SERVICE_RUNNING) {
        return "the Spooler's state is " + std::to_string(end.f.spooler) + " at the end";
    }
    return std::nullopt;
}

Finding NoStrayHandles(const RunEnd& end) {
    std::vector<std::vector<std::string>> ends;
    for (const ProcessEnd& p : end.result.processes) {
        ends.push_back(p.openHandles);
    }
    ends.push_back(end.result.openHandles);
    const bool lastEnded = end.result.exitCode != -1;
    const bool blockedCall = ACallMayBeBlocked(end);
    for (size_t p = 0; p < ends.size(); ++p) {
        const bool ended = p + 1 < ends.size() || lastEnded;
        int devices = 0;
        for (const std::string& h : ends[p]) {
            devices += h.starts_with("device#") ? 1 : 0;
            const bool held = ended && blockedCall &&
                              (h.starts_with("scmanager#") || h.starts_with("service#") ||
                               h.starts_with("thread#"));
            if ((!h.starts_with("device#") && !held) || devices > 1) {
                return h + " is open when a process ends";
            }
        }
    }
    return std::nullopt;
}

Finding QueueWritesOnlyStateStatusPort(const RunEnd& end) {
    const std::set<std::string> ports = PortsGiven(end.run.scenario);
    for (const sim::TimelineEvent& e : end.f.timeline) {
        // Besides state and status, only a port the printer was given.
        const auto* moved = As<QueuePortEvent>(e);
        if (As<QueueSettingsEvent>(e) || (moved != nullptr && ports.count(moved->to) == 0)) {
            return "at " + Ms(e.timeMs) + ": " + EventText(e);
        }
    }
    sim::PrinterState expected = end.initialQueue;
    expected.paused = end.f.queue.paused;
    expected.status = end.f.queue.status;
    expected.port = end.f.queue.port;
    if (!(expected == end.f.queue)) {
        return "the queue's record changed beyond state, status, port";
    }
    return std::nullopt;
}

Finding ControlsAnswered(const RunEnd& end) {
    const ScenarioResult& result = end.result;
    for (const sim::ControlRecord& c : end.f.controls) {
        if (!c.handled) {
            continue;
        }
        const bool lastProcess =
            result.processes.empty() || c.startedAt > result.processes.back().endedAt;
        if (c.endedAt == 0 && result.exitCode == -1 && lastProcess) {
            // still in the handler at the end of the quiet tail (the last process runs on)
            return ControlText(c) + " is still being handled at the end";
        }
        if (c.endedAt != 0 && c.endedAt - c.startedAt > AnswerBound(end.f, c)) {
            return ControlText(c) + " answered after " + Ms(c.endedAt - c.startedAt);
        }
    }
    return std::nullopt;
}

Finding StopEndsInBound(const RunEnd& end) {
    const MachineView& f = end.f;
    for (const sim::ControlRecord& c : f.controls) {
        if (!c.handled || !IsStop(c)) {
            continue;
        }
        std::optional<uint64_t> stopped;
        for (const sim::TimelineEvent& e : f.timeline) {
            if (e.timeMs >= c.startedAt && Reported(e, SERVICE_STOPPED)) {
                stopped = e.timeMs;
                break;
            }
        }
        const bool reportFailed =
            HitIn(f, {"SetServiceStatus"}, c.startedAt, c.startedAt + kStopEndBoundMs);
        if (!reportFailed && (!stopped || *stopped - c.startedAt > kStopEndBoundMs)) {
            return ControlText(c) + (stopped ? " stopped after " + Ms(*stopped - c.startedAt)
                                             : std::string(" never stopped"));
        }
    }
    return std::nullopt;
}

Finding StoppedIsFinal(const RunEnd& end) {
    bool stopped = false;
    for (const sim::TimelineEvent& e : end.f.timeline) {
        if (ProcessStarted(e)) {
            stopped = false;
        } else if (Reported(e)) {
            if (stopped) {
                return "at " + Ms(e.timeMs) + ": " + EventText(e);
            }
            stopped = stopped || Reported(e, SERVICE_STOPPED);
        }
    }
    return std::nullopt;
}

Finding LastingRefusalEndsDebt(const RunEnd& end) {
    // (plain values: gcc's optimiser takes an optional here for one that may be unset)
    bool forGood = false;
    uint64_t refusedForGood = 0;
    for (const sim::TimelineEvent& e : end.f.timeline) {
        const DWORD refusal = RefusalOf(e);
        if (ProcessStarted(e)) {
            forGood = false;
        } else if (refusal != 0 && IsLastingRefusal(refusal)) {
            forGood = true;
            refusedForGood = e.timeMs;
        } else if (SpoolerStep(e, ServiceStep::StopRequested) || As<QueuePortEvent>(e)) {
            forGood = false;
        } else if (SpoolerStep(e, ServiceStep::StartRequested) && forGood) {
            return "the start refused for good at " + Ms(refusedForGood) +
                   " is asked for again at " + Ms(e.timeMs);
        }
    }
    return std::nullopt;
}

namespace {

// Whether a fault other than "already running" hit opening or starting the Spooler within
// [from, to]: the back-off then sets the pace of its start.
bool StartRefusedWithin(const MachineView& f, uint64_t from, uint64_t to) {
    return std::any_of(f.hits.begin(), f.hits.end(), [&](const sim::FailureHit& h) {
        return kServiceCalls.count(h.function) != 0 && h.error != ERROR_SERVICE_ALREADY_RUNNING &&
               h.atMs >= from && h.atMs <= to;
    });
}

// The first start request of the Spooler at or after `t`.
std::optional<uint64_t> StartRequestedFrom(const MachineView& f, uint64_t t) {
    std::optional<uint64_t> requested;
    for (const sim::TimelineEvent& e : f.timeline) {
        if (SpoolerStep(e, ServiceStep::StartRequested) && e.timeMs >= t &&
            (!requested || e.timeMs < *requested)) {
            requested = e.timeMs;
        }
    }
    return requested;
}

}  // namespace

Finding OwedStartPrompt(const RunEnd& end) {
    const MachineView& f = end.f;
    uint64_t stopRequested = 0;
    for (const sim::TimelineEvent& e : f.timeline) {
        if (SpoolerStep(e, ServiceStep::StopRequested)) {
            stopRequested = e.timeMs;
            continue;
        }
        if (!SpoolerStep(e, ServiceStep::Stopped)) {
            continue;
        }
        const uint64_t stopped = e.timeMs;
        const uint64_t by = stopped + kFollowBoundMs;
        const std::optional<uint64_t> alive = AliveSince(f, stopped);
        // The stop kq5's running process asked for (an earlier one that was shut down with the
        // restart under way leaves it to the machine).
        if (!alive || by > f.now || AliveSince(f, by) != alive || stopRequested < *alive ||
            StartRefusedWithin(f, stopRequested, by)) {
            continue;
        }
        const std::optional<uint64_t> requested = StartRequestedFrom(f, stopped);
        if (!requested || *requested > by) {
            return "the Spooler stopped at " + Ms(stopped) + ", its start requested " +
                   (requested ? "at " + Ms(*requested) : std::string("never"));
        }
    }
    return std::nullopt;
}

namespace {

// The spans in which the Spooler was stopped: from its stop until it runs again or a start
// request of it is accepted (it is starting then).
std::vector<std::pair<uint64_t, uint64_t>> StoppedSpans(const MachineView& f) {
    std::vector<const sim::TimelineEvent*> spooler;
    for (const sim::TimelineEvent& e : f.timeline) {
        if (ServiceControlEvent(e)) {
            spooler.push_back(&e);
        }
    }
    std::stable_sort(spooler.begin(), spooler.end(),
                     [](const auto* a, const auto* b) { return a->timeMs < b->timeMs; });
    std::vector<std::pair<uint64_t, uint64_t>> spans;
    bool stopped = false;
    uint64_t stoppedAt = 0;
    for (size_t i = 0; i < spooler.size(); ++i) {
        const sim::TimelineEvent* e = spooler[i];
        const bool accepted = SpoolerStep(*e, ServiceStep::StartRequested) &&
                              (i + 1 == spooler.size() || RefusalOf(*spooler[i + 1]) == 0);
        if (SpoolerStep(*e, ServiceStep::Stopped)) {
            stopped = true;
            stoppedAt = e->timeMs;
        } else if (stopped && (SpoolerStep(*e, ServiceStep::Running) || accepted)) {
            if (e->timeMs > stoppedAt) {
                spans.emplace_back(stoppedAt, e->timeMs);
            }
            stopped = false;
        }
    }
    return spans;
}

// The port move of the process that runs at the end: when it wrote the queue's port last.
std::optional<uint64_t> LastMoveOfLastProcess(const MachineView& f) {
    const std::optional<uint64_t> aliveAtEnd = AliveSince(f, f.now);
    std::optional<uint64_t> moved;
    for (const sim::TimelineEvent& e : f.timeline) {
        if (aliveAtEnd && As<QueuePortEvent>(e) && e.timeMs >= *aliveAtEnd) {
            moved = e.timeMs;
        }
    }
    return moved;
}

// A start refused as "already running" within the cycle up to `t`, and the Spooler's state
// unreadable after it: kq5 takes the Spooler for possibly running, and only the queue answering
// tells (its port move's follow-up asks for it, and fails at the open while the Spooler is down).
bool AlreadyRunningUnreadableBefore(const MachineView& f, uint64_t t) {
    return std::any_of(f.hits.begin(), f.hits.end(), [&](const sim::FailureHit& start) {
        return start.function == "StartServiceA" && start.error == ERROR_SERVICE_ALREADY_RUNNING &&
               start.atMs <= t && start.atMs + kPollCycleMs >= t &&
               std::any_of(f.hits.begin(), f.hits.end(), [&](const sim::FailureHit& query) {
                   return query.function == "QueryServiceStatus" && query.atMs >= start.atMs &&
                          query.atMs <= t;
               });
    });
}

}  // namespace

Finding QueueLeftAloneWhileSpoolerStopped(const RunEnd& end) {
    const MachineView& f = end.f;
    const std::vector<std::pair<uint64_t, uint64_t>> spans = StoppedSpans(f);
    for (const sim::TimelineEvent& e : f.timeline) {
        const auto* line = As<OutputEvent>(e);
        if (line == nullptr || line->channel != Channel::Debug ||
            line->says != LineSays::GetPrinterHandle) {
            continue;
        }
        for (const auto& [from, to] : spans) {
            // Strictly inside: a line at the moment it runs may be the follow-up.
            // Only while the process that stopped it runs, after its start-up's own reads.
            const std::optional<uint64_t> alive = AliveSince(f, e.timeMs);
            if (e.timeMs > from && e.timeMs < to && alive && *alive < from &&
                !Handling(f, e.timeMs) && !PollerAsksQueue(end.run, e.timeMs) &&
                !AlreadyRunningUnreadableBefore(f, e.timeMs)) {
                return "the queue asked for at " + Ms(e.timeMs) +
                       " with the Spooler stopped since " + Ms(from);
            }
        }
    }
    return std::nullopt;
}

// After a port move of the process that runs at the end, with its reads of the queue whole.
Finding PortReadAfresh(const RunEnd& end) {
    const MachineView& f = end.f;
    const std::optional<uint64_t> moved = LastMoveOfLastProcess(f);
    if (end.result.exitCode != -1 || !moved || f.spooler != SERVICE_RUNNING || SpoolerDebtOwed() ||
        HitIn(f, kQueueCalls, *moved, f.now)) {
        return std::nullopt;
    }
    // A refusal kq5 takes for lasting (access denied, ...) on the Spooler's open or start ends the
    // debt, the follow-up's read of the port with it, even when the fault then clears.
    const bool refusedForGood =
        std::any_of(f.hits.begin(), f.hits.end(), [&](const sim::FailureHit& h) {
            return kServiceCalls.count(h.function) != 0 && IsLastingRefusal(h.error) &&
                   h.atMs >= *moved;
        });
    if (!refusedForGood && !EqualsIgnoringAsciiCase(CurrentPort(), f.queue.port)) {
        return "currentPortName is \"" + sim::Narrow(CurrentPort()) + "\", the queue prints to " +
               sim::Narrow(f.queue.port);
    }
    return std::nullopt;
}

Finding DiagnosticsOnlyKq5sTexts(const RunEnd&) {
    for (const std::string& line : sim::DebugLines()) {
        if (!IsKq5DebugLine(line)) {
            return "debug line \"" + line + "\"";
        }
    }
    if (!sim::StandardOutput().empty()) {
        return "standard output written by a service";
    }
    return std::nullopt;
}

Finding NoCrash(const RunEnd& end) {
    for (const ProcessEnd& p : end.result.processes) {
        if (p.exitCode != 0) {
            return "a process ended at " + Ms(p.endedAt) + " with exit code " +
                   std::to_string(p.exitCode);
        }
    }
    if (end.result.exitCode != 0 && end.result.exitCode != -1) {
        return "the last process ended with exit code " + std::to_string(end.result.exitCode);
    }
    return std::nullopt;
}

namespace {

void Break(Run& run, const Invariant& invariant, const Finding& finding) {
    if (finding && run.seen.insert(invariant.name).second) {
        run.broken.push_back(Broken{invariant.name, *finding});
    }
}

// The checks that hold at any moment: `happened` events have happened by f.now.
void CheckNow(Run& run, size_t happened, const MachineView& f) {
    PrinterPicture printer = PictureAfter(run, happened);
    if (printer.devices > 1) {
        return;  // the checks are for one printer
    }
    const sim::ControlRecord* plug =
        printer.lastPlug ? RecordOf(run, *printer.lastPlug, happened, f) : nullptr;
    const bool plugHandled = plug != nullptr && plug->handled && plug->endedAt != 0;
    const Moment moment{run,  happened,   f, std::move(printer), AliveSince(f, f.now),
                        plug, plugHandled};
    for (const Invariant& invariant : Invariants()) {
        if (invariant.duringRun != nullptr) {
            Break(run, invariant, invariant.duringRun(moment));
        }
    }
}

void CheckEnd(Run& run, const ScenarioResult& result, const MachineView& f,
              const sim::PrinterState& initialQueue) {
    CheckNow(run, run.events.size(), f);
    const RunEnd end{run, result, f, initialQueue};
    for (const Invariant& invariant : Invariants()) {
        if (invariant.atEnd != nullptr) {
            Break(run, invariant, invariant.atEnd(end));
        }
    }
}

}  // namespace

}  // namespace swarm

uint64_t ScenarioSpanMs(const std::string& text) {
    Scenario scenario;
    std::string error;
    return ParseScenario(text, scenario, error) ? scenario.endMs : 0;
}

namespace {

// Runs a parsed scenario and checks every invariant during the run and at its end.
std::vector<Broken> CheckParsed(const Scenario& scenario) {
    swarm::Run run{scenario, {}, {}, {}};
    for (const ScenarioEvent& e : scenario.events) {
        run.events.push_back(swarm::Happened{&e});
    }
    sim::PrinterState initialQueue;
    const ScenarioResult result = RunScenario(
        scenario, sim::Threads::TakeTurns, [&] { initialQueue = sim::Printer(u"Korvane-Q5"); },
        [&](const ScenarioEvent& event) {
            const size_t i = static_cast<size_t>(&event - scenario.events.data());
            run.events[i].controlsBefore = sim::ControlsSent().size();
            swarm::CheckNow(run, i, swarm::Look());
        });
    sim::WaitUntil(scenario.endMs);  // a run whose kq5 stopped early still ends at its end
    swarm::CheckEnd(run, result, swarm::Look(), initialQueue);
    return run.broken;
}

}  // namespace

std::vector<Broken> CheckScenario(const std::string& text) {
    Scenario scenario;
    std::string error;
    if (!ParseScenario(text, scenario, error)) {
        return {Broken{"scenario-parses", error}};
    }
    sim::Schedule schedule;
    int scheduled = 0;
    for (const std::string& line : scenario.header) {
        scheduled = scheduled != 0 ? scheduled : ReadScheduleLine(line, schedule);
    }
    if (scheduled < 0) {
        return {Broken{"scenario-parses", "a schedule line that cannot be read"}};
    }
    if (scheduled > 0) {
        sim::UseSchedule(schedule);
    }
    std::vector<Broken> broken = CheckParsed(scenario);
    sim::EndSchedule();
    return broken;
}
