// The run as a picture: an SVG lane chart over simulated time. Each lane is a bar of states
// (what held from one change to the next), a row of marks above it for single happenings, and
// for the queue its port and for the service its output lines below it. Everything carries a
// <title>, so a browser shows the details on hover.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <optional>

#include "common/escape.h"
#include "common/status_code.h"
#include "common/text.h"
#include "picture/picture.h"
#include "picture/timeline.h"

namespace {

constexpr double kLeft = 160;  // the lane names
constexpr double kPlotWidth = 1100;
constexpr double kTop = 70;
constexpr double kLaneHeight = 56;

constexpr const char* kGreen = "#7cc47f";
constexpr const char* kAmber = "#f4b350";
constexpr const char* kRed = "#e0645c";
constexpr const char* kGrey = "#e4e4e4";
constexpr const char* kDarkGrey = "#a8a8a8";
constexpr const char* kPurple = "#b9a3dc";
constexpr const char* kUnknown = "#f6f3ea";  // nothing in the trace tells

struct Span {
    uint64_t fromMs = 0;
    std::string label, fill, title;
    std::string shortLabel;  // for a span too narrow for the label
};
using Track = std::vector<Span>;  // each span holds until the next one starts

struct Mark {
    uint64_t atMs = 0;
    std::string fill, title;
    bool round = false;  // a status report; otherwise a triangle
};

struct Lane {
    std::string id, name, caption;
    Track bar;
    Track strip;  // the queue's port
    std::vector<Mark> marks;
    std::vector<Mark> ticks;  // the service's output lines
};

// A new state from `atMs` on. One that replaces another at the same moment supersedes it, and
// one that changes nothing is no change.
void Set(Track& track, uint64_t atMs, const std::string& label, const std::string& fill,
         const std::string& title, const std::string& shortLabel = "") {
    if (!track.empty() && track.back().fromMs == atMs) {
        track.pop_back();
    }
    if (!track.empty() && track.back().label == label && track.back().title == title) {
        return;
    }
    track.push_back(Span{atMs, label, fill, title, shortLabel});
}

constexpr const char* kSpooler = "Spooler";

// A queue status in words: "PRINTER_STATUS_DOOR_OPEN", and " (commanded)" when a trace tells
// only what the service sent.
std::string StatusWords(const QueueStatusEvent& s) {
    return PrinterStatusName(s.status) + (s.commanded ? " (commanded)" : "");
}

// A queue status as a bar's label: "paper out", "door open | 0x100 (commanded)".
std::string StatusLabel(const QueueStatusEvent& s) {
    static const struct {
        uint32_t bit;
        const char* words;
    } kWords[] = {{kPrinterStatusPaused, "paused"},
                  {kPrinterStatusError, "error"},
                  {kPrinterStatusPaperOut, "paper out"},
                  {kPrinterStatusOffline, "offline"},
                  {kPrinterStatusDoorOpen, "door open"}};
    std::string label;
    uint32_t rest = s.status;
    for (const auto& w : kWords) {
        if ((s.status & w.bit) != 0) {
            label += (label.empty() ? "" : " | ") + std::string(w.words);
            rest &= ~w.bit;
        }
    }
    if (rest != 0) {
        label += (label.empty() ? "" : " | ") + Hex(rest);
    }
    return label + (s.commanded ? " (commanded)" : "");
}

// A lane of a trace starts unknown, until a line tells of it.
void StartUnknown(Track& track, const char* what) {
    Set(track, 0, "unknown", kUnknown,
        std::string("unknown: no line of the trace has told of ") + what);
}

// The stretches no line of the service covers that start before BEFOREMS (from NEXT on), drawn
// unknown until the lane's next state: what held before one is not carried across it. The
// service lane (SERVICE) keeps "stopped" after its process ended, and after a stretch inside one
// process goes on with it (its next line, at the stretch's end, shows it runs); a stretch the
// trace ends in has no next line, so the lane stays unknown to the picture's end.
void Unknowns(Track& track, const Picture& result, size_t& next, uint64_t beforeMs,
              bool service = false) {
    for (; next < result.uncovered.size() && result.uncovered[next].fromMs < beforeMs; ++next) {
        const Uncovered& u = result.uncovered[next];
        if (service && u.afterEnd) {
            continue;
        }
        const Span held = track.empty() ? Span{} : track.back();
        Set(track, u.fromMs, "unknown", kUnknown,
            "unknown: no line of the service came in this stretch");
        if (service && !u.toEnd && !held.label.empty() && held.fill != kUnknown) {
            Set(track, u.toMs, held.label, held.fill, held.title, held.shortLabel);
        }
    }
}

// A trace's lane up to BEFOREMS: the stretches no line covers (Unknowns, from NEXT on) and the
// states a line unsays (Picture::unsaid, from UNSAID on), in time order, each drawn unknown until
// a state at the same moment or later supersedes it.
void Untold(Track& track, const Picture& result, const std::string& lane, size_t& next,
            size_t& unsaid, uint64_t beforeMs) {
    for (;;) {
        const uint64_t stretchMs =
            next < result.uncovered.size() ? result.uncovered[next].fromMs : UINT64_MAX;
        const uint64_t unsaidMs =
            unsaid < result.unsaid.size() ? result.unsaid[unsaid].atMs : UINT64_MAX;
        if (stretchMs < beforeMs && stretchMs <= unsaidMs) {
            Unknowns(track, result, next, stretchMs + 1);
        } else if (unsaidMs <= beforeMs && unsaidMs != UINT64_MAX) {
            const LaneMark& m = result.unsaid[unsaid++];
            if (m.lane == lane && !track.empty() && track.back().fill != kUnknown) {
                Set(track, m.atMs, "unknown", kUnknown, m.text);
            }
        } else {
            return;
        }
    }
}

std::string Number(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", value);
    return text;
}

// ---- The lanes -----------------------------------------------------------------------------

Lane PrinterLane(const Picture& result) {
    Lane lane{"printer", "printer", "present, status", {}, {}, {}, {}};
    if (result.fromTrace) {
        StartUnknown(lane.bar, "the printer");
    }
    size_t next = 0, unsaid = 0;
    for (const PrinterChange& c : result.printer) {
        Untold(lane.bar, result, lane.id, next, unsaid, c.atMs);
        char code[8];
        std::snprintf(code, sizeof code, "0x%02X", static_cast<unsigned>(c.code) & 0xFFu);
        const QueueCommand command = QueueCommandFor(c.code);
        const bool ready = command.action == QueueAction::Ready;
        const bool door = command.action == QueueAction::DoorOpen;
        const bool paper = command.action == QueueAction::PaperOut;
        const std::string meaning = command.words;
        const std::string label = std::string(code) + (meaning.empty() ? "" : " " + meaning);
        if (c.present) {
            Set(lane.bar, c.atMs, label,
                ready   ? kGreen
                : door  ? kAmber
                : paper ? kRed
                        : kPurple,
                "printer present, status " + label, code);
        } else {
            Set(lane.bar, c.atMs, "absent", kGrey, "printer absent");
        }
    }
    Untold(lane.bar, result, lane.id, next, unsaid, UINT64_MAX);
    for (const LaneMark& a : result.actions) {
        if (a.lane == "printer") {
            lane.marks.push_back(Mark{a.atMs, kRed, a.text, false});
        }
    }
    return lane;
}

Lane QueueLane(const Picture& result) {
    Lane lane{
        "queue", "queue", result.queueCaption.empty() ? "state, status; port" : result.queueCaption,
        {},      {},      {},
        {}};
    if (!result.queueExists) {
        Set(lane.bar, 0, "no queue", kGrey, "there is no queue \"Korvane-Q5\"");
        return lane;
    }
    bool paused = false;
    QueueStatusEvent status;
    std::string port = result.queuePort;
    std::vector<std::string> portsSeen;
    auto show = [&](uint64_t atMs) {
        const std::string words = status.status == 0 ? "" : StatusWords(status);
        const std::string label = std::string(paused ? "paused" : "resumed") +
                                  (words.empty() ? "" : ", " + StatusLabel(status));
        const char* fill = !paused                                         ? kGreen
                           : (status.status & kPrinterStatusPaperOut) != 0 ? kRed
                           : (status.status & kPrinterStatusOffline) != 0  ? kDarkGrey
                                                                           : kAmber;
        Set(lane.bar, atMs, label, fill,
            std::string("queue ") + (paused ? "paused" : "resumed") +
                (words.empty() ? ", no status" : ", status " + words),
            paused ? "paused" : "resumed");
        if (std::find(portsSeen.begin(), portsSeen.end(), port) == portsSeen.end()) {
            portsSeen.push_back(port);
        }
        const size_t shade = static_cast<size_t>(
            std::find(portsSeen.begin(), portsSeen.end(), port) - portsSeen.begin());
        static const char* kShades[] = {"#c6dbef", "#9ecae1", "#dadaeb", "#bcbddc"};
        Set(lane.strip, atMs, port.empty() ? "(no port)" : port, kShades[shade % 4],
            port.empty() ? "the queue reports no port" : "the queue prints to " + port);
    };
    show(0);
    if (result.fromTrace) {
        StartUnknown(lane.bar, "the queue");
    }
    size_t next = 0, unsaid = 0;
    for (const TimelineEvent& e : result.timeline) {
        Untold(lane.bar, result, lane.id, next, unsaid, e.timeMs);
        if (const auto* p = As<QueuePausedEvent>(e)) {
            paused = p->paused;
        } else if (const auto* s = As<QueueStatusEvent>(e)) {
            status = *s;
        } else if (const auto* moved = As<QueuePortEvent>(e)) {
            port = moved->to;
        } else {
            continue;
        }
        show(e.timeMs);
    }
    Untold(lane.bar, result, lane.id, next, unsaid, UINT64_MAX);
    return lane;
}

Lane SpoolerLane(const Picture& result) {
    Lane lane{"spooler", "Spooler", "service state", {}, {}, {}, {}};
    static const struct {
        ServiceStep step;
        const char* state;
        const char* fill;
    } kStates[] = {{ServiceStep::StopRequested, "stopping", kAmber},
                   {ServiceStep::Stopped, "stopped", kRed},
                   {ServiceStep::StartRequested, "starting", kAmber},
                   {ServiceStep::Running, "running", kGreen}};
    if (result.fromTrace) {
        StartUnknown(lane.bar, "the Spooler");
    } else {
        Set(lane.bar, 0, "running", kGreen, "Spooler running");
    }
    Span beforeRequest = lane.bar.back();  // what a refused start request leaves
    size_t next = 0, unsaid = 0;
    for (const TimelineEvent& e : result.timeline) {
        Untold(lane.bar, result, lane.id, next, unsaid, e.timeMs);
        const auto* step = As<ServiceStepEvent>(e);
        const auto* refused = As<StartRefusedEvent>(e);
        if (step == nullptr && refused == nullptr) {
            continue;
        }
        const auto known = std::find_if(std::begin(kStates), std::end(kStates), [&](const auto& s) {
            return step != nullptr && step->service == kSpooler && step->step == s.step;
        });
        if (known != std::end(kStates)) {
            if (known->step == ServiceStep::StartRequested) {
                beforeRequest = lane.bar.back();
            }
            Set(lane.bar, e.timeMs, known->state, known->fill,
                std::string("Spooler ") + known->state);
            continue;
        }
        // A refusal (a start refused with its error, a stop refused): a red mark, and a refused
        // start leaves the Spooler as it was.
        lane.marks.push_back(Mark{e.timeMs, kRed, EventText(e), false});
        if (refused != nullptr && refused->service == kSpooler) {
            Set(lane.bar, e.timeMs, beforeRequest.label, beforeRequest.fill, beforeRequest.title);
        }
    }
    Untold(lane.bar, result, lane.id, next, unsaid, UINT64_MAX);
    return lane;
}

// The state a status report gives, or a trace's first or last line of a process.
std::optional<uint32_t> ReportedState(const TimelineEvent& e) {
    if (const auto* report = As<StatusReportEvent>(e)) {
        return report->state;
    }
    if (As<ProcessFirstLineEvent>(e)) {
        return kServiceRunning;
    }
    if (As<ProcessEndedEvent>(e)) {
        return kServiceStopped;
    }
    return std::nullopt;
}

// What a report (or a trace's process start or end, which stands for one) says.
std::string ReportedWords(const TimelineEvent& e) {
    if (const auto* report = As<StatusReportEvent>(e)) {
        return ReportWords(*report);
    }
    if (const auto* first = As<ProcessFirstLineEvent>(e)) {
        return ReportWords(*first);
    }
    const auto* ended = As<ProcessEndedEvent>(e);
    return ended != nullptr ? ReportWords(*ended) : std::string();
}

// An output line on the service lane's ticks: lines at the same moment share one tick.
void Tick(Lane& lane, const TimelineEvent& e, const TraceClock& clock) {
    const std::string line = EventSource(e) + " " + EventText(e);
    if (!lane.ticks.empty() && lane.ticks.back().atMs == e.timeMs) {
        lane.ticks.back().title += "\n" + line;
    } else {
        lane.ticks.push_back(
            Mark{e.timeMs, "#555555", ClockText(clock, e.timeMs) + "\n" + line, false});
    }
    const auto* output = As<OutputEvent>(e);
    if (output != nullptr && output->channel != Channel::Debug) {
        lane.ticks.back().fill = "#8e44ad";
    }
}

// The service's bar from E, a report of STATE.
void Reported(Lane& lane, const TimelineEvent& e, uint32_t state) {
    static const struct {
        uint32_t state;
        const char* name;
        const char* fill;
    } kStates[] = {{kServiceRunning, "running", kGreen},
                   {kServiceStartPending, "start pending", kAmber},
                   {kServiceStopPending, "stop pending", kAmber},
                   {kServiceStopped, "stopped", kDarkGrey}};
    for (const auto& s : kStates) {
        if (state == s.state) {
            Set(lane.bar, e.timeMs, s.name, s.fill, "service reported " + ReportedWords(e));
        }
    }
}

Lane ServiceLane(const Picture& result) {
    Lane lane{"service", "service", "reports, events; output", {}, {}, {}, {}};
    if (result.fromTrace) {
        StartUnknown(lane.bar, "the service");
    } else {
        Set(lane.bar, 0, "no status reported", kGrey, "no status reported yet");
    }
    // A trace's newest process: the end of an older one (the service started again while the old
    // process still wrote its last lines) is a mark only, the service runs on.
    unsigned long newest = 0;
    size_t next = 0;
    for (const TimelineEvent& e : result.timeline) {
        Unknowns(lane.bar, result, next, e.timeMs, true);
        const std::optional<uint32_t> state = ReportedState(e);
        if (state) {
            const auto* first = As<ProcessFirstLineEvent>(e);
            const auto* ended = As<ProcessEndedEvent>(e);
            newest = first != nullptr ? first->pid : newest;
            if (ended == nullptr || ended->pid == newest) {
                Reported(lane, e, *state);
            }
            lane.marks.push_back(Mark{e.timeMs, "#ffffff", EventText(e), true});
        } else if (As<ServiceStartedEvent>(e) || As<ControlRefusedEvent>(e)) {
            lane.marks.push_back(Mark{e.timeMs, "#3a6ea5", EventText(e), false});
        } else if (As<OutputEvent>(e) || As<TickEvent>(e)) {
            Tick(lane, e, result.clock);
        }
    }
    Unknowns(lane.bar, result, next, UINT64_MAX, true);
    for (const LaneMark& a : result.actions) {
        if (a.lane == "service") {
            lane.marks.push_back(Mark{a.atMs, "#3a6ea5", a.text, false});
        }
    }
    return lane;
}

// ---- Drawing -------------------------------------------------------------------------------

struct Scale {
    uint64_t endMs;
    double pixelsPerMs;
    const TraceClock& clock;
    double X(uint64_t ms) const { return kLeft + static_cast<double>(ms) * pixelsPerMs; }
    std::string Time(uint64_t ms) const { return ClockText(clock, ms); }
};

std::string Title(const std::string& text) {
    return "<title>" + EscapeMarkup(text) + "</title>";
}

// Spans narrower than half a pixel are drawn together in bars of about half a pixel, in the most
// serious colour among them, and a bar narrower than a pixel is drawn a pixel wide (towards its
// start, so that the next bar does not hide it): a week of changes costs no more than the
// picture's width, and a Spooler down for 30 s in a week still shows.
constexpr double kNarrowest = 0.5;

int Severity(const std::string& fill) {
    static const char* const kWorstFirst[] = {kRed, kAmber, kPurple, kDarkGrey, kGrey};
    for (size_t i = 0; i < std::size(kWorstFirst); ++i) {
        if (fill == kWorstFirst[i]) {
            return static_cast<int>(std::size(kWorstFirst) - i);
        }
    }
    return 0;
}

void DrawTrack(std::string& out, const Track& track, const Scale& scale, double y, double height,
               const std::string& kind) {
    const auto endOf = [&](size_t i) {
        return i + 1 < track.size() ? track[i + 1].fromMs : scale.endMs;
    };
    for (size_t i = 0; i < track.size();) {
        size_t last = i;
        size_t shown = i;
        const auto narrow = [&](size_t k) {
            return scale.X(endOf(k)) - scale.X(track[k].fromMs) < kNarrowest;
        };
        // Narrow spans join until the bar is half a pixel wide.
        while (last + 1 < track.size() && narrow(last + 1) &&
               scale.X(endOf(last)) - scale.X(track[i].fromMs) < kNarrowest) {
            ++last;
            if (Severity(track[last].fill) > Severity(track[shown].fill)) {
                shown = last;
            }
        }
        const Span& s = track[shown];
        const uint64_t fromMs = track[i].fromMs;
        const uint64_t toMs = endOf(last);
        const double width = scale.X(toMs) - scale.X(fromMs);
        const double drawn = std::max(width, 1.0);
        const double x = scale.X(toMs) - drawn;
        const std::string title =
            last == i ? s.title
                      : std::to_string(last - i + 1) +
                            " states too short to draw apart (the timeline lists them), among "
                            "them: " +
                            s.title;
        out += "<g class=\"" + (s.fill == kUnknown ? std::string("unknown") : kind) + "\">" +
               Title(title + "\n" + scale.Time(fromMs) + " to " + scale.Time(toMs) + " (" +
                     ElapsedText(toMs - fromMs) + ")") +
               "<rect x=\"" + Number(x) + "\" y=\"" + Number(y) + "\" width=\"" + Number(drawn) +
               "\" height=\"" + Number(height) + "\" fill=\"" + s.fill + "\"" +
               (drawn > width ? "" : " stroke=\"#ffffff\" stroke-width=\"0.5\"") + "/>";
        // The label, or the short one, only where it fits (at most 6.5 px a character, 4 px on
        // either side): never on a bar of states drawn together, under a pixel wide.
        for (const std::string& label : {s.label, s.shortLabel}) {
            if (!label.empty() && width >= 6.5 * static_cast<double>(label.size()) + 8) {
                out += "<text x=\"" + Number(x + 4) + "\" y=\"" + Number(y + height / 2 + 4) +
                       "\">" + EscapeMarkup(label) + "</text>";
                break;
            }
        }
        out += "</g>\n";
        i = last + 1;
    }
}

// Marks of one kind closer than a pixel share one, its title listing the first of them.
void DrawMarks(std::string& out, std::vector<Mark> marks, const Scale& scale, double y) {
    std::stable_sort(marks.begin(), marks.end(),
                     [](const Mark& a, const Mark& b) { return a.atMs < b.atMs; });
    for (auto first = marks.cbegin(); first != marks.cend();) {
        const Mark& m = *first;
        const auto apart = std::find_if(first + 1, marks.cend(), [&](const Mark& next) {
            return next.round != m.round || scale.X(next.atMs) - scale.X(m.atMs) >= 1.0;
        });
        std::string title = scale.Time(m.atMs) + "\n" + m.title;
        for (auto k = first + 1; k != apart && title.size() < 240; ++k) {
            title += "\n" + scale.Time(k->atMs) + "\n" + k->title;
        }
        if (apart - first > 1) {
            title = std::to_string(apart - first) + " marks here:\n" + title;
        }
        const double x = scale.X(m.atMs);
        out += "<g class=\"mark\">" + Title(title);
        if (m.round) {
            out += "<circle cx=\"" + Number(x) + "\" cy=\"" + Number(y + 31) +
                   "\" r=\"3\" fill=\"" + m.fill + "\" stroke=\"#333333\"/>";
        } else {
            out += "<path d=\"M" + Number(x - 4.5) + "," + Number(y) + " h9 l-4.5,8 z\" fill=\"" +
                   m.fill + "\"/>";
        }
        out += "</g>\n";
        first = apart;
    }
}

void DrawTicks(std::string& out, const std::vector<Mark>& ticks, const Scale& scale, double y) {
    for (const Mark& t : ticks) {
        const double x = scale.X(t.atMs);
        // A wider invisible rectangle makes the thin tick easy to hover.
        out += "<g class=\"tick\">" + Title(t.title) + "<rect x=\"" + Number(x - 0.75) + "\" y=\"" +
               Number(y) + "\" width=\"1.5\" height=\"12\" fill=\"" + t.fill + "\"/><rect x=\"" +
               Number(x - 3) + "\" y=\"" + Number(y) +
               "\" width=\"6\" height=\"12\" fill=\"#000000\" fill-opacity=\"0\"/></g>\n";
    }
}

// A lane, kLaneHeight high from Y: the marks' triangles in its first 10 px, pointing down at the
// state bar (10 to 32 px, the name beside it), the status reports' circles on the bar's lower
// edge, below the bar the port strip (34 to 48 px) or the ticks (36 to 48 px, the caption beside
// them), and a separator at 54 px.
void DrawLane(std::string& out, const Lane& lane, const Scale& scale, double y) {
    out += "<g class=\"lane\" id=\"lane-" + lane.id + "\">\n";
    out += "<text x=\"12\" y=\"" + Number(y + 20) + "\" font-weight=\"bold\" font-size=\"13\">" +
           EscapeMarkup(lane.name) + "</text>";
    out += "<text x=\"12\" y=\"" + Number(y + 36) + "\" fill=\"#666666\" font-size=\"10\">" +
           EscapeMarkup(lane.caption) + "</text>\n";
    DrawTrack(out, lane.bar, scale, y + 10, 22, "state");
    DrawTrack(out, lane.strip, scale, y + 34, 14, "port");
    DrawMarks(out, lane.marks, scale, y + 1);
    DrawTicks(out, lane.ticks, scale, y + 36);
    out += "<line x1=\"0\" y1=\"" + Number(y + kLaneHeight - 2) + "\" x2=\"" +
           Number(scale.X(scale.endMs) + 20) + "\" y2=\"" + Number(y + kLaneHeight - 2) +
           "\" stroke=\"#dddddd\"/>\n</g>\n";
}

// The time axis: round clock times (a midnight by its date, and a darker line at every midnight
// where they are apart enough), or round times from the first line; what they count at the left.
void DrawAxis(std::string& out, const Scale& scale, double bottom) {
    const Axis axis = AxisOf(scale.clock, scale.endMs, scale.pixelsPerMs);
    out += "<g class=\"axis\">\n<text x=\"12\" y=\"" + Number(kTop - 12) +
           "\" fill=\"#666666\" font-size=\"10\">" + EscapeMarkup(axis.caption) + "</text>\n";
    for (const uint64_t midnight : axis.midnights) {
        const std::string x = Number(scale.X(midnight));
        out += "<line class=\"midnight\" x1=\"" + x + "\" y1=\"" + Number(kTop - 8) + "\" x2=\"" +
               x + "\" y2=\"" + Number(bottom) +
               "\" stroke=\"#999999\" stroke-dasharray=\"3,3\"/>\n";
    }
    // The picture ends 20 pixels after the trace's end: a label there centred on its time would
    // stick out, so it ends at its time instead.
    const double right = scale.X(scale.endMs) + 20;
    for (const AxisLabel& label : axis.labels) {
        const double at = scale.X(label.atMs);
        const double half = kAxisCharPx * static_cast<double>(label.text.size()) / 2;
        const std::string x = Number(at);
        out += "<line x1=\"" + x + "\" y1=\"" + Number(kTop - 8) + "\" x2=\"" + x + "\" y2=\"" +
               Number(bottom) + "\" stroke=\"#eeeeee\"/><text x=\"" + x + "\" y=\"" +
               Number(kTop - 12) + "\" text-anchor=\"" + (at + half > right ? "end" : "middle") +
               "\" fill=\"" + (label.midnight ? "#333333" : "#666666") + "\">" +
               EscapeMarkup(label.text) + "</text>\n";
    }
    out += "</g>\n";
}

// TRACE: a trace's picture, whose lanes can be unknown.
void DrawLegend(std::string& out, double y, bool trace) {
    static const struct {
        const char* shape;
        const char* text;
    } kKeys[] = {
        {"<path d=\"M-4.5,-8 h9 l-4.5,8 z\" fill=\"#3a6ea5\"/>", "device event or control"},
        {"<path d=\"M-4.5,-8 h9 l-4.5,8 z\" fill=\"#e0645c\"/>", "fault or refusal"},
        {"<circle cx=\"0\" cy=\"-4\" r=\"3\" fill=\"#ffffff\" stroke=\"#333333\"/>",
         "status report"},
        {"<rect x=\"-0.75\" y=\"-10\" width=\"1.5\" height=\"12\" fill=\"#555555\"/>",
         "debugger line"},
        {"<rect x=\"-0.75\" y=\"-10\" width=\"1.5\" height=\"12\" fill=\"#8e44ad\"/>",
         "standard output"}};
    out += "<g class=\"legend\" fill=\"#666666\">";
    double x = kLeft + 5;
    for (const auto& key : kKeys) {
        out += "<g transform=\"translate(" + Number(x) + "," + Number(y) + ")\">" + key.shape +
               "<text x=\"9\" y=\"0\">" + key.text + "</text></g>";
        x += 30 + 6.0 * static_cast<double>(std::strlen(key.text));
    }
    if (trace) {
        out += "<g transform=\"translate(" + Number(x) + "," + Number(y) +
               ")\"><rect x=\"-4\" y=\"-9\" width=\"10\" height=\"10\" fill=\"" + kUnknown +
               "\" stroke=\"#999999\"/><text x=\"9\" y=\"0\">unknown: no line tells</text></g>";
    }
    out += "</g>\n";
}

}  // namespace

std::string EscapeMarkup(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size(); ++at) {
        const char c = text[at];
        // A character outside ASCII (a path's "é") stays itself; a byte that is none, a '?'.
        if (const size_t length = c < 0 ? Utf8Length(text, at) : 0; length != 0) {
            out += text.substr(at, length);
            at += length - 1;
            continue;
        }
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += (c >= 0x20 && c < 0x7f) || c == '\n' ? c : '?';
        }
    }
    return out;
}

uint64_t PictureEndMs(const std::vector<TimelineEvent>& timeline) {
    uint64_t lastMs = 0;
    for (const TimelineEvent& e : timeline) {
        lastMs = std::max(lastMs, e.timeMs);
    }
    return (lastMs / 1000 + 1) * 1000;
}

namespace {

std::string SvgElement(const Picture& result, const std::string& title, const char* xmlns) {
    const uint64_t endMs = PictureEndMs(result.timeline);
    const Scale scale{endMs, kPlotWidth / static_cast<double>(endMs), result.clock};
    const std::vector<Lane> lanes = {PrinterLane(result), QueueLane(result), SpoolerLane(result),
                                     ServiceLane(result)};
    const double bottom = kTop + kLaneHeight * static_cast<double>(lanes.size());
    const std::string width = Number(scale.X(endMs) + 20);
    const std::string height = Number(bottom + 24);

    std::string out = std::string("<svg") + xmlns + " width=\"" + width + "\" height=\"" + height +
                      "\" viewBox=\"0 0 " + width + " " + height +
                      "\" font-family=\"sans-serif\" font-size=\"11\">\n";
    out += "<rect width=\"100%\" height=\"100%\" fill=\"#ffffff\"/>\n";
    out += "<text x=\"12\" y=\"24\" font-size=\"15\" font-weight=\"bold\">" + EscapeMarkup(title) +
           "</text>\n";
    out += "<text x=\"12\" y=\"42\" fill=\"#666666\">" + EscapeMarkup(result.subtitle) +
           ". Hover over a bar, mark or tick to read it.</text>\n";
    DrawAxis(out, scale, bottom);
    for (size_t i = 0; i < lanes.size(); ++i) {
        DrawLane(out, lanes[i], scale, kTop + kLaneHeight * static_cast<double>(i));
    }
    DrawLegend(out, bottom + 14, result.fromTrace);
    out += "</svg>\n";
    return out;
}

}  // namespace

std::string FormatSvg(const Picture& picture, const std::string& title) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n" +
           SvgElement(picture, title, " xmlns=\"http://www.w3.org/2000/svg\"");
}

std::string FormatInlineSvg(const Picture& picture, const std::string& title) {
    return SvgElement(picture, title, "");
}

namespace {

// One lane's bar (and port strip) as text: each state's start, label and colour, then its marks
// and ticks (a title's lines apart by '|').
std::string LaneText(const Lane& lane) {
    std::string out = lane.id + ":\n";
    for (const Track* track : {&lane.bar, &lane.strip}) {
        for (const Span& s : *track) {
            out += (track == &lane.bar ? "  " : "  port ") + TimelineSeconds(s.fromMs) + "  " +
                   s.label + " (" + s.fill + ")\n";
        }
    }
    for (const Mark& m : lane.marks) {
        out += "  mark " + TimelineSeconds(m.atMs) + "  " + m.title + "\n";
    }
    for (const Mark& t : lane.ticks) {
        std::string title = t.title;
        std::replace(title.begin(), title.end(), '\n', '|');
        out += "  tick " + TimelineSeconds(t.atMs) + "  " + title + "\n";
    }
    return out;
}

}  // namespace

std::string LanesText(const Picture& picture) {
    std::string out;
    for (const Lane& lane :
         {PrinterLane(picture), QueueLane(picture), SpoolerLane(picture), ServiceLane(picture)}) {
        out += LaneText(lane);
    }
    return out;
}
