// The invariants: what kq5 promises, checked at every event of a run and at its end, each with
// the conditions under which it is not promised.
#include <algorithm>
#include <optional>
#include <set>
#include <sstream>

#include "common/diagnostics.h"
#include "platform/sim/win32_calls.h"
#include "queue/queue.h"
#include "service/service.h"
#include "scenario.h"
#include "swarm.h"

namespace {

// clang-format off
const std::vector<Invariant> kInvariants = {
    {"spooler-runs-at-end",
     "kq5 is never the reason printing stays down: every restart it begins ends with the Spooler running",
     "the Spooler's stop hangs; a lasting refusal or a fault that stays on opening or starting it; more "
     "refusals than the back-off retries within the tail; a stop that gave up and said why (non-zero exit "
     "code); a shutdown taken while the Spooler was down (the machine starts it again)"},
    {"queue-on-printer-port",
     "once the printer stays on one port and kq5 has handled its arrival, the queue prints to that port "
     "within two cycles of the Spooler running",
     "the arrival was not handled (kq5 not running: a move is followed only on an arrival); a fault hit "
     "the arrival's lookups or queue calls since it was handled (a move the Spooler was down for is "
     "looked up once it runs); a shutdown since the arrival (it leaves the "
     "move's restart and follow-up unfinished); a stop taken before it (its report failed, so kq5 ran on "
     "but acts on no device event); a stop since that gave up and said why (non-zero exit code)"},
    {"queue-follows-status",
     "while the printer is present and answering, the queue's state follows its status within two cycles",
     "kq5 not running or stopping; the Spooler not running throughout those two cycles; a status change, "
     "scripted read, or the arrival's handling within them; a fault on the device's discovery since it was "
     "last opened, or on its reads or the queue's calls within them; a failed thread start in this "
     "process (the poller may not run); a stop taken whose report failed; a code with no queue action"},
    {"removal-pauses-offline",
     "after the printer's removal while kq5 runs, the queue is paused and offline",
     "the removal was handled by an earlier process (a printer absent when kq5 starts is not marked); the "
     "Spooler was down, or a fault hit the identity check or a queue call, while the removal was handled; "
     "kq5 not running"},
    {"no-stray-handles",
     "when a process of kq5 ends, and at the end of the run, no handle is open but the poller's device handle",
     "a call still blocked when its process ends (a start request of a Spooler slow to come up, a stop's "
     "wait that gave up, any work under way at a shutdown, which tears nothing down) holds its service-manager "
     "handles and thread until Windows closes them"},
    {"queue-writes-only-state-status-port",
     "kq5 writes the queue's state, status and port and nothing else; the port only to one the printer was given",
     "none"},
    {"controls-answered",
     "every control is answered (the handler returns) within its bound: a stop or a shutdown within 100 ms, any other within the longest an arrival's port move may take",
     "a stop for which no thread could be made pays the debt in the handler: the longer bound"},
    {"stop-ends-in-bound",
     "a stop or shutdown taken by the handler reports SERVICE_STOPPED within its bound",
     "a fault on SetServiceStatus while it reports"},
    {"stopped-is-final",
     "nothing is reported after SERVICE_STOPPED",
     "none"},
    {"lasting-refusal-ends-debt",
     "a start refused for good (disabled, no logon, no right, gone) is not asked for again until a new restart",
     "none"},
    {"owed-start-prompt",
     "a Spooler that kq5 stopped is asked to start within two cycles of its stop",
     "kq5 not running throughout, or the stop asked for by an earlier process; a fault on opening or "
     "starting the Spooler since the stop was requested "
     "(the back-off sets the pace)"},
    {"port-read-afresh",
     "once a restart is paid, kq5's record of the queue's port (currentPortName) is the queue's port",
     "no port move in the process that runs at the end (start-up's read may have failed); a fault on the "
     "queue's calls since the move; a refusal kq5 takes for lasting on the Spooler's open or start since the move; "
     "the Spooler not running at the end"},
    {"queue-left-alone-while-spooler-stopped",
     "while the Spooler is stopped with its start owed, nothing but status mirroring asks for the queue",
     "a control being handled; the printer present with a code that has a queue action (the poller "
     "mirrors it and fails at the open)"},
    {"diagnostics-only-kq5s-texts",
     "only kq5's own diagnostic texts, and nothing on the standard output a service does not have",
     "none"},
    {"no-crash",
     "every process of kq5 ends with exit code 0 (or runs on at the end)",
     "none"},
};
// clang-format on

const std::set<std::string> kArrivalCalls =
    sim::CallsWithRole(sim::kDeviceLookupCall | sim::kPortListCall | sim::kQueueCall);
const std::set<std::string> kQueueCalls = sim::CallsWithRole(sim::kQueueCall);
const std::set<std::string> kDeviceOpenCalls =
    sim::CallsWithRole(sim::kDeviceLookupCall | sim::kDeviceOpenCall);
const std::set<std::string> kServiceCalls = sim::CallsWithRole(sim::kSpoolerStartCall);
// Refusals that asking again will not change.
const std::set<DWORD> kLastingErrors = {2, 3, 5, 1058, 1060, 1069, 1072, 1075};
constexpr int kLastingCount = 1000;  // a fault of this many calls or more stays

// What the machine shows at one moment.
struct Facts {
    uint64_t now = 0;
    DWORD spooler = 0;
    std::vector<sim::TimelineEvent> timeline;
    std::vector<sim::ControlRecord> controls;
    std::vector<sim::FailureHit> hits;
    sim::PrinterState queue;
};

Facts Look() {
    Facts f;
    f.spooler = sim::SpoolerState();  // first: it brings the Spooler's timeline up to date
    f.now = sim::NowMs();
    f.timeline = sim::Timeline();
    f.controls = sim::ControlsSent();
    f.hits = sim::FailureHits();
    f.queue = sim::Printer(u"Korvane-Q5");
    return f;
}

bool Starts(const std::string& text, const std::string& prefix) {
    return text.rfind(prefix, 0) == 0;
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

bool HitIn(const Facts& f, const std::set<std::string>& calls, uint64_t from, uint64_t to) {
    return std::any_of(f.hits.begin(), f.hits.end(), [&](const sim::FailureHit& h) {
        return calls.count(h.function) != 0 && h.atMs >= from && h.atMs <= to;
    });
}

// How long the handler may take over control C: a stop or a shutdown is answered at once, unless
// no thread could be made for the stop's wait (then the handler pays the debt itself, bounded);
// any other control (an arrival's port move) within the longest its work may take.
uint64_t AnswerBound(const Facts& f, const sim::ControlRecord& c) {
    const bool stop = c.control == SERVICE_CONTROL_STOP || c.control == SERVICE_CONTROL_SHUTDOWN;
    if (stop && !HitIn(f, {"CreateThread"}, c.startedAt, c.endedAt)) {
        return kStopHandlingBoundMs;
    }
    return kControlAnswerBoundMs;
}

// Since when the Spooler has run without a break at `t`; nothing when it is not running then.
std::optional<uint64_t> SpoolerUpSince(const Facts& f, uint64_t t) {
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
std::optional<uint64_t> AliveSince(const Facts& f, uint64_t t) {
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
bool ShutDownSince(const Facts& f, uint64_t t) {
    return std::any_of(f.controls.begin(), f.controls.end(), [&](const sim::ControlRecord& c) {
        return c.control == SERVICE_CONTROL_SHUTDOWN && c.handled && c.startedAt >= t;
    });
}

// When the process that runs at `t` started (0 when none has).
uint64_t ProcessStartAt(const Facts& f, uint64_t t) {
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
bool GaveUpSince(const Facts& f, uint64_t t) {
    return std::any_of(f.timeline.begin(), f.timeline.end(), [&](const sim::TimelineEvent& e) {
        const StatusReportEvent* stopped = Reported(e, SERVICE_STOPPED);
        return e.timeMs >= t && stopped != nullptr && stopped->win32ExitCode != 0;
    });
}

// Whether kq5's process had taken a stop or shutdown before `t` (its report may have failed, so
// that it runs on): it then acts on no device event.
bool StopTakenBefore(const Facts& f, uint64_t t) {
    const uint64_t start = ProcessStartAt(f, t);
    return std::any_of(f.controls.begin(), f.controls.end(), [&](const sim::ControlRecord& c) {
        return (c.control == SERVICE_CONTROL_STOP || c.control == SERVICE_CONTROL_SHUTDOWN) &&
               c.handled && c.startedAt >= start && c.startedAt <= t;
    });
}

int Action(int code) {  // 1 door open, 2 paper out, 3 ready, 0 none
    switch (code) {
        case 0x04:
        case 0x0C:
            return 1;
        case 0x00:
        case 0x08:
        case 0x80:
            return 2;
        case 0x20:
        case 0x28:
        case 0xA0:
            return 3;
        default:
            return 0;
    }
}

std::string Hex(uint64_t value) {
    std::ostringstream out;
    out << "0x" << std::hex << value;
    return out.str();
}

std::string Ms(uint64_t ms) {
    return std::to_string(ms / 1000) + "." + std::to_string(ms % 1000 / 100) + "s";
}

// The scenario's events with what became of them.
struct Happened {
    const ScenarioEvent* event = nullptr;
    size_t controlsBefore = SIZE_MAX;  // how many controls had been sent when it happened
};

struct Run {
    const Scenario& scenario;
    std::vector<Happened> events;
    std::vector<Broken> broken;
    std::set<std::string> seen;  // each invariant once per run

    void Break(const std::string& invariant, const std::string& detail) {
        if (seen.insert(invariant).second) {
            broken.push_back(Broken{invariant, detail});
        }
    }

    // The control event `i` sent, if it sent one (its successor, or `f`, tells).
    const sim::ControlRecord* RecordOf(size_t i, size_t happened, const Facts& f) const {
        const size_t before = events[i].controlsBefore;
        const size_t after = i + 1 < happened ? events[i + 1].controlsBefore : f.controls.size();
        return before != SIZE_MAX && after > before && before < f.controls.size()
                   ? &f.controls[before]
                   : nullptr;
    }

    // The checks that hold at any moment: `happened` events have happened by f.now.
    void CheckNow(size_t happened, const Facts& f) {
        const uint64_t t = f.now;
        // The printer devices present: a printer plugged in again before it was unplugged (a
        // shrunk scenario can say so) leaves two, and the checks below are for one.
        std::set<std::string> plugged;
        std::string serial = scenario.printerPresent ? scenario.printerSerial : "";
        if (!serial.empty()) {
            plugged.insert(serial);
        }
        bool present = scenario.printerPresent;
        int code = scenario.printerCode;
        std::string port = scenario.printerPort;
        uint64_t lastChange = 0;
        std::optional<size_t> lastPlug;
        std::optional<size_t> lastUnplug;
        uint64_t pendingReads = 0;
        for (size_t i = 0; i < happened; ++i) {
            const std::vector<std::string>& w = events[i].event->words;
            const uint64_t at = events[i].event->atMs;
            if (w[0] == "status") {
                code = static_cast<int>(std::strtol(w[1].c_str(), nullptr, 0));
                lastChange = at;
            } else if (w[0] == "read-fails" || w[0] == "read-returns") {
                lastChange = at;
                // Scripted while the printer is away, the read waits for it: it is the first read
                // after its return, a cycle each.
                pendingReads += present ? 0 : 1;
            } else if (w[0] == "plug") {
                lastChange = std::max(lastChange, at + pendingReads * 800);
                pendingReads = 0;
                present = true;
                port = w[2];
                serial = w[1];
                plugged.insert(serial);
                lastPlug = i;
            } else if (w[0] == "unplug" && !serial.empty()) {
                plugged.erase(serial);
                present = !plugged.empty();
                lastUnplug = i;
            }
        }
        if (plugged.size() > 1) {
            return;
        }
        const std::optional<uint64_t> alive = AliveSince(f, t);
        const sim::ControlRecord* plug = lastPlug ? RecordOf(*lastPlug, happened, f) : nullptr;
        const bool plugHandled = plug != nullptr && plug->handled && plug->endedAt != 0;

        // Within two cycles of the arrival's handling with the Spooler running throughout (a
        // move made while it was down is made once it runs, with a restart of its own).
        const std::optional<uint64_t> upSince = SpoolerUpSince(f, t);
        if (present && plugHandled && t >= kFollowBoundMs && plug->endedAt <= t - kFollowBoundMs &&
            upSince && *upSince <= t - kFollowBoundMs &&
            !HitIn(f, kArrivalCalls, plug->startedAt, t) &&  // a deferred move looks up later
            !ShutDownSince(f, plug->startedAt) && !StopTakenBefore(f, plug->startedAt) &&
            !GaveUpSince(f, plug->startedAt) &&
            !EqualsIgnoringCase(f.queue.port, sim::Widen(port))) {
            Break("queue-on-printer-port", "at " + Ms(t) + " the printer is on " + port +
                                               " (arrival handled by " + Ms(plug->endedAt) +
                                               "), the queue on " + sim::Narrow(f.queue.port));
        }

        if (alive && present && t >= kFollowBoundMs && !StopTakenBefore(f, t)) {
            const uint64_t from = t - kFollowBoundMs;
            const bool opened = lastPlug && events[*lastPlug].event->atMs >= *alive
                                    ? plugHandled && plug->endedAt <= from
                                    : *alive <= from;
            const uint64_t openedAt =
                lastPlug ? std::max(*alive, events[*lastPlug].event->atMs) : *alive;
            const std::optional<uint64_t> up = SpoolerUpSince(f, t);
            const int action = Action(code);
            if (opened && action != 0 && lastChange <= from && up && *up <= from &&
                !HitIn(f, kDeviceOpenCalls, openedAt, t) && !HitIn(f, kQueueCalls, from, t) &&
                !HitIn(f, {"ReadFile"}, from, t) && !HitIn(f, {"CreateThread"}, *alive, t)) {
                const bool paused = action != 3;
                const DWORD status = action == 1 ? 0x00400000 : action == 2 ? 0x10 : 0;
                if (f.queue.paused != paused || f.queue.status != status) {
                    Break("queue-follows-status", "at " + Ms(t) + " the printer reports " +
                                                      Hex(code) + " since " + Ms(lastChange) +
                                                      ", the queue is " +
                                                      (f.queue.paused ? "paused" : "resumed") +
                                                      " with status " + Hex(f.queue.status));
                }
            }
        }

        if (alive && !present && lastUnplug) {
            const sim::ControlRecord* removal = RecordOf(*lastUnplug, happened, f);
            if (removal != nullptr && removal->handled && removal->endedAt != 0 &&
                removal->startedAt >= *alive && SpoolerUpSince(f, removal->startedAt) &&
                !StopTakenBefore(f, removal->startedAt) &&
                !HitIn(f, kArrivalCalls, removal->startedAt, removal->endedAt) &&
                (!f.queue.paused || f.queue.status != PRINTER_STATUS_OFFLINE)) {
                Break("removal-pauses-offline", "at " + Ms(t) + " the printer was removed at " +
                                                    Ms(events[*lastUnplug].event->atMs) +
                                                    ", the queue is " +
                                                    (f.queue.paused ? "paused" : "resumed") +
                                                    " with status " + Hex(f.queue.status));
            }
        }
    }

    static bool EqualsIgnoringCase(const sim::Text16& a, const sim::Text16& b) {
        auto fold = [](char16_t c) {
            return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
        };
        return a.size() == b.size() &&
               std::equal(a.begin(), a.end(), b.begin(),
                          [&](char16_t x, char16_t y) { return fold(x) == fold(y); });
    }
};

bool LastingFault(const std::vector<std::string>& w, size_t countAt) {
    return w.size() > countAt && std::strtol(w[countAt].c_str(), nullptr, 0) >= kLastingCount;
}

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
        return line.size() > head.size() + tail.size() && Starts(line, head) &&
               line.compare(line.size() - tail.size(), tail.size(), tail) == 0 &&
               digits(line, head.size(), line.size() - tail.size(), hex);
    };
    return line == diagnostics::kGetPrinterHandle || line == diagnostics::kReadFailedMessage ||
           framed(diagnostics::kStatusFormat, false) ||
           framed(diagnostics::kOpenErrorFormat, true) ||
           framed(diagnostics::kRegistryErrorFormat, false) ||
           framed(diagnostics::kMainErrorFormat, false) ||
           (Starts(line, std::string(diagnostics::kDevicePathPrefix)) && line.back() == '\n');
}

bool Handling(const Facts& f, uint64_t t) {
    return std::any_of(f.controls.begin(), f.controls.end(), [&](const sim::ControlRecord& c) {
        return c.handled && c.startedAt <= t && (c.endedAt == 0 || c.endedAt >= t);
    });
}

// The pace and manner of the owed start, from the Spooler's lines on the timeline.
void CheckSpoolerPace(Run& run, const Facts& f) {
    // lasting-refusal-ends-debt
    // (plain values: gcc's optimiser takes an optional here for one that may be unset)
    bool forGood = false;
    uint64_t refusedForGood = 0;
    for (const sim::TimelineEvent& e : f.timeline) {
        if (ProcessStarted(e)) {
            forGood = false;
        } else if (kLastingErrors.count(RefusalOf(e)) != 0) {
            forGood = true;
            refusedForGood = e.timeMs;
        } else if (SpoolerStep(e, ServiceStep::StopRequested) || As<QueuePortEvent>(e)) {
            forGood = false;
        } else if (SpoolerStep(e, ServiceStep::StartRequested) && forGood) {
            run.Break("lasting-refusal-ends-debt", "the start refused for good at " +
                                                       Ms(refusedForGood) +
                                                       " is asked for again at " + Ms(e.timeMs));
        }
    }
    // owed-start-prompt and queue-left-alone-while-spooler-stopped
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
        if (!alive || by > f.now || AliveSince(f, by) != alive || stopRequested < *alive) {
            continue;
        }
        bool refused = false;
        for (const sim::FailureHit& h : f.hits) {
            refused = refused || (kServiceCalls.count(h.function) != 0 && h.error != 1056 &&
                                  h.atMs >= stopRequested && h.atMs <= by);
        }
        std::optional<uint64_t> requested;
        for (const sim::TimelineEvent& r : f.timeline) {
            if (SpoolerStep(r, ServiceStep::StartRequested) && r.timeMs >= stopped &&
                (!requested || r.timeMs < *requested)) {
                requested = r.timeMs;
            }
        }
        if (!refused && (!requested || *requested > by)) {
            run.Break("owed-start-prompt",
                      "the Spooler stopped at " + Ms(stopped) + ", its start requested " +
                          (requested ? "at " + Ms(*requested) : std::string("never")));
        }
    }
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
        const std::vector<std::string>& w = h.event->words;
        if (h.event->atMs > t) {
            break;
        }
        if (w[0] == "status") {
            code = static_cast<int>(std::strtol(w[1].c_str(), nullptr, 0));
        } else if (w[0] == "plug") {
            serial = w[1];
            plugged.insert(serial);
        } else if (w[0] == "unplug" && !serial.empty()) {
            plugged.erase(serial);
        } else if ((w[0] == "read-returns" || w[0] == "read-fails") &&
                   h.event->atMs + kFollowBoundMs >= t) {
            return true;  // the frame may hold other bytes for a cycle or two
        }
    }
    return plugged.size() > 1 || (!plugged.empty() && Action(code) != 0);
}

void CheckQueueLeftAlone(Run& run, const Facts& f) {
    bool stopped = false;
    uint64_t stoppedAt = 0;
    std::vector<std::pair<uint64_t, uint64_t>> stoppedSpans;  // stopped, until running again
    std::vector<const sim::TimelineEvent*> spooler;
    for (const sim::TimelineEvent& e : f.timeline) {
        if (ServiceControlEvent(e)) {
            spooler.push_back(&e);
        }
    }
    std::stable_sort(spooler.begin(), spooler.end(),
                     [](const auto* a, const auto* b) { return a->timeMs < b->timeMs; });
    for (size_t i = 0; i < spooler.size(); ++i) {
        const sim::TimelineEvent* e = spooler[i];
        // A start request that was not refused ends the span: the Spooler is starting.
        const bool accepted = SpoolerStep(*e, ServiceStep::StartRequested) &&
                              (i + 1 == spooler.size() || RefusalOf(*spooler[i + 1]) == 0);
        if (SpoolerStep(*e, ServiceStep::Stopped)) {
            stopped = true;
            stoppedAt = e->timeMs;
        } else if (stopped && (SpoolerStep(*e, ServiceStep::Running) || accepted)) {
            if (e->timeMs > stoppedAt) {
                stoppedSpans.emplace_back(stoppedAt, e->timeMs);
            }
            stopped = false;
        }
    }
    for (const sim::TimelineEvent& e : f.timeline) {
        const auto* line = As<OutputEvent>(e);
        if (line == nullptr || line->channel != Channel::Debug ||
            line->says != LineSays::GetPrinterHandle) {
            continue;
        }
        for (const auto& [from, to] : stoppedSpans) {
            // Strictly inside: a line at the moment it runs may be the follow-up.
            // Only while the process that stopped it runs, after its start-up's own reads.
            const std::optional<uint64_t> alive = AliveSince(f, e.timeMs);
            if (e.timeMs > from && e.timeMs < to && alive && *alive < from &&
                !Handling(f, e.timeMs) && !PollerAsksQueue(run, e.timeMs)) {
                run.Break("queue-left-alone-while-spooler-stopped",
                          "the queue asked for at " + Ms(e.timeMs) +
                              " with the Spooler stopped since " + Ms(from));
            }
        }
    }
}

void CheckEnd(Run& run, const ScenarioResult& result, const Facts& f,
              const sim::PrinterState& initialQueue) {
    const Scenario& s = run.scenario;
    run.CheckNow(run.events.size(), f);

    // spooler-runs-at-end
    bool promised = !s.spoolerStopHangs;
    int startRefusals = 0;
    for (const sim::FailureHit& h : f.hits) {
        if (kServiceCalls.count(h.function) != 0 && kLastingErrors.count(h.error) != 0) {
            promised = false;
        }
        startRefusals += h.function == "StartServiceA" ? 1 : 0;
    }
    promised = promised && startRefusals <= 4;
    for (const CallFailure& c : s.failures) {
        if (kServiceCalls.count(c.function) != 0 && c.count >= kLastingCount) {
            promised = false;
        }
    }
    for (const Happened& h : run.events) {
        const std::vector<std::string>& w = h.event->words;
        if (w[0] == "fail" && kServiceCalls.count(w[1]) != 0 && LastingFault(w, 3)) {
            promised = false;
        }
    }
    for (const SERVICE_STATUS& report : sim::StatusReports()) {
        if (report.dwCurrentState == SERVICE_STOPPED && report.dwWin32ExitCode != 0) {
            promised = false;
        }
    }
    for (const sim::ControlRecord& c : f.controls) {
        if (c.control == SERVICE_CONTROL_SHUTDOWN && c.handled && !SpoolerUpSince(f, c.startedAt)) {
            promised = false;
        }
    }
    if (promised && f.spooler != SERVICE_RUNNING) {
        run.Break("spooler-runs-at-end",
                  "the Spooler's state is " + std::to_string(f.spooler) + " at the end");
    }

    // no-stray-handles
    std::vector<std::vector<std::string>> ends;
    for (const ProcessEnd& p : result.processes) {
        ends.push_back(p.openHandles);
    }
    const bool lastEnded = result.exitCode != -1;
    ends.push_back(result.openHandles);
    // A call still blocked when its process ends (a start request that returns only once the
    // Spooler's process has come up; a stop's wait that gave up) holds its handles until the
    // process goes, and Windows closes them then.
    bool blockedCall = s.spoolerStartBlocksMs > 0;
    for (const SERVICE_STATUS& report : sim::StatusReports()) {
        blockedCall = blockedCall ||
                      (report.dwCurrentState == SERVICE_STOPPED && report.dwWin32ExitCode != 0);
    }
    // A shutdown stops kq5 at once and tears nothing down: a look at the Spooler or a stop's wait
    // under way holds its handles as the process ends.
    for (const sim::ControlRecord& c : f.controls) {
        blockedCall = blockedCall || (c.handled && c.control == SERVICE_CONTROL_SHUTDOWN);
    }
    for (size_t p = 0; p < ends.size(); ++p) {
        const bool ended = p + 1 < ends.size() || lastEnded;
        int devices = 0;
        for (const std::string& h : ends[p]) {
            devices += Starts(h, "device#") ? 1 : 0;
            const bool held =
                ended && blockedCall &&
                (Starts(h, "scmanager#") || Starts(h, "service#") || Starts(h, "thread#"));
            if ((!Starts(h, "device#") && !held) || devices > 1) {
                run.Break("no-stray-handles", h + " is open when a process ends");
            }
        }
    }

    // queue-writes-only-state-status-port
    std::set<std::string> ports = {s.queuePort};
    if (s.printerPresent) {
        ports.insert(s.printerPort);
    }
    for (const Happened& h : run.events) {
        if (h.event->words[0] == "plug") {
            ports.insert(h.event->words[2]);
        }
    }
    for (const sim::TimelineEvent& e : f.timeline) {
        // Besides state and status, only a port the printer was given.
        const auto* moved = As<QueuePortEvent>(e);
        if (As<QueueSettingsEvent>(e) || (moved != nullptr && ports.count(moved->to) == 0)) {
            run.Break("queue-writes-only-state-status-port",
                      "at " + Ms(e.timeMs) + ": " + EventText(e));
        }
    }
    sim::PrinterState expected = initialQueue;
    expected.paused = f.queue.paused;
    expected.status = f.queue.status;
    expected.port = f.queue.port;
    if (!(expected == f.queue)) {
        run.Break("queue-writes-only-state-status-port",
                  "the queue's record changed beyond state, status, port");
    }

    // controls-answered, stop-ends-in-bound
    for (const sim::ControlRecord& c : f.controls) {
        if (!c.handled) {
            continue;
        }
        const bool lastProcess =
            result.processes.empty() || c.startedAt > result.processes.back().endedAt;
        if (c.endedAt == 0 && result.exitCode == -1 && lastProcess) {
            // still in the handler at the end of the quiet tail (the last process runs on)
            run.Break("controls-answered", "control " + std::to_string(c.control) + " taken at " +
                                               Ms(c.startedAt) +
                                               " is still being handled at the end");
        } else if (c.endedAt != 0 && c.endedAt - c.startedAt > AnswerBound(f, c)) {
            run.Break("controls-answered", "control " + std::to_string(c.control) + " taken at " +
                                               Ms(c.startedAt) + " answered after " +
                                               Ms(c.endedAt - c.startedAt));
        }
        if (c.control == SERVICE_CONTROL_STOP || c.control == SERVICE_CONTROL_SHUTDOWN) {
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
                run.Break("stop-ends-in-bound",
                          "control " + std::to_string(c.control) + " taken at " + Ms(c.startedAt) +
                              (stopped ? " stopped after " + Ms(*stopped - c.startedAt)
                                       : std::string(" never stopped")));
            }
        }
    }

    // stopped-is-final
    bool stopped = false;
    for (const sim::TimelineEvent& e : f.timeline) {
        if (ProcessStarted(e)) {
            stopped = false;
        } else if (Reported(e)) {
            if (stopped) {
                run.Break("stopped-is-final", "at " + Ms(e.timeMs) + ": " + EventText(e));
            }
            stopped = stopped || Reported(e, SERVICE_STOPPED);
        }
    }

    CheckSpoolerPace(run, f);
    CheckQueueLeftAlone(run, f);
    // After a port move of the process that runs at the end, with its reads of the queue whole.
    const std::optional<uint64_t> aliveAtEnd = AliveSince(f, f.now);
    std::optional<uint64_t> moved;
    for (const sim::TimelineEvent& e : f.timeline) {
        if (aliveAtEnd && As<QueuePortEvent>(e) && e.timeMs >= *aliveAtEnd) {
            moved = e.timeMs;
        }
    }
    // A refusal kq5 takes for lasting (access denied, ...) on the Spooler's open or start ends the
    // debt, the follow-up's read of the port with it, even when the fault then clears.
    const bool refusedForGood =
        moved && std::any_of(f.hits.begin(), f.hits.end(), [&](const sim::FailureHit& h) {
            return (h.function == "OpenSCManagerA" || h.function == "OpenServiceA" ||
                    h.function == "StartServiceA") &&
                   IsLastingRefusal(h.error) && h.atMs >= *moved;
        });
    if (result.exitCode == -1 && moved && f.spooler == SERVICE_RUNNING && !SpoolerDebtOwed() &&
        !HitIn(f, kQueueCalls, *moved, f.now) && !refusedForGood &&
        !Run::EqualsIgnoringCase(CurrentPort(), f.queue.port)) {
        run.Break("port-read-afresh", "currentPortName is \"" + sim::Narrow(CurrentPort()) +
                                          "\", the queue prints to " + sim::Narrow(f.queue.port));
    }

    // diagnostics-only-kq5s-texts
    for (const std::string& line : sim::DebugLines()) {
        if (!IsKq5DebugLine(line)) {
            run.Break("diagnostics-only-kq5s-texts", "debug line \"" + line + "\"");
        }
    }
    if (!sim::StandardOutput().empty()) {
        run.Break("diagnostics-only-kq5s-texts", "standard output written by a service");
    }

    // no-crash
    for (const ProcessEnd& p : result.processes) {
        if (p.exitCode != 0) {
            run.Break("no-crash", "a process ended at " + Ms(p.endedAt) + " with exit code " +
                                      std::to_string(p.exitCode));
        }
    }
    if (result.exitCode != 0 && result.exitCode != -1) {
        run.Break("no-crash",
                  "the last process ended with exit code " + std::to_string(result.exitCode));
    }
}

}  // namespace

const std::vector<Invariant>& Invariants() {
    return kInvariants;
}

uint64_t ScenarioSpanMs(const std::string& text) {
    Scenario scenario;
    std::string error;
    return ParseScenario(text, scenario, error) ? scenario.endMs : 0;
}

std::vector<Broken> CheckScenario(const std::string& text) {
    Scenario scenario;
    std::string error;
    if (!ParseScenario(text, scenario, error)) {
        return {Broken{"scenario-parses", error}};
    }
    Run run{scenario, {}, {}, {}};
    for (const ScenarioEvent& e : scenario.events) {
        run.events.push_back(Happened{&e});
    }
    sim::PrinterState initialQueue;
    const ScenarioResult result = RunScenario(
        scenario, sim::Threads::TakeTurns, [&] { initialQueue = sim::Printer(u"Korvane-Q5"); },
        [&](const ScenarioEvent& event) {
            const size_t i = static_cast<size_t>(&event - scenario.events.data());
            run.events[i].controlsBefore = sim::ControlsSent().size();
            run.CheckNow(i, Look());
        });
    sim::WaitUntil(scenario.endMs);  // a run whose kq5 stopped early still ends at its end
    CheckEnd(run, result, Look(), initialQueue);
    return run.broken;
}

std::string ShrinkScenario(const std::string& text, const std::string& invariant) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    auto join = [](const std::vector<std::string>& parts) {
        std::string joined;
        for (const std::string& part : parts) {
            joined += part + "\n";
        }
        return joined;
    };
    auto breaks = [&](const std::vector<std::string>& candidate) {
        for (const Broken& b : CheckScenario(join(candidate))) {
            if (b.invariant == invariant) {
                return true;
            }
        }
        return false;
    };
    // The lines that can go: events, faults and the machine's oddities; the queue, its ports and
    // the end stay.
    auto removable = [](const std::string& line) {
        return Starts(line, "at ") || Starts(line, "fail ") || Starts(line, "spooler-") ||
               Starts(line, "printer ") || Starts(line, "#");
    };
    for (bool changed = true; changed;) {
        changed = false;
        for (size_t i = lines.size(); i-- > 0;) {
            if (!removable(lines[i])) {
                continue;
            }
            std::vector<std::string> candidate = lines;
            candidate.erase(candidate.begin() + static_cast<std::ptrdiff_t>(i));
            if (breaks(candidate)) {
                lines = std::move(candidate);
                changed = true;
            }
        }
    }
    return join(lines);
}
