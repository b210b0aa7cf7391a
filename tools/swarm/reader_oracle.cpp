// The trace reader judged by the day's truth. Each lane the picture draws known must agree with
// the machine within the time the service takes to write what it saw (tolerances below, argued
// from the poller's cycle); what nobody recorded must be drawn unknown; the time the findings
// count in a status must be time the printer held it while someone listened; "no gap" only for
// a trace without a stretch of more than two cycles between its lines.
#include "reader_oracle.h"

#include "recorded_events.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "common/text.h"
#include "picture/picture.h"
#include "tracereader/read.h"

namespace {

constexpr uint64_t kCycleMs = 800;
// The service writes a status line in the cycle that read the status and commands the queue just
// before it, so a lane's state was true when its line was written; it is drawn on until the
// next line changes it, and a line comes every cycle while nothing changes: a state drawn may
// be up to two cycles behind the machine (a cycle without a line: a failed read).
constexpr uint64_t kBehindMs = 2 * kCycleMs;
// The queue and the service lanes hold what the service did at a line: a command whose effect
// a port move's resume undoes until the next cycle, a process that writes " MainError:" just
// before it ends. They may be two cycles ahead of the machine too.
constexpr uint64_t kAheadMs = 2 * kCycleMs;
constexpr uint64_t kStepMs = 100;  // the lanes are looked at every 100 ms of the trace

struct Span {
    uint64_t fromMs = 0;
    std::string label;
};
using Lanes = std::map<std::string, std::vector<Span>>;

// The picture's lanes as LanesText writes them: each lane's bar, a state a line from its start.
Lanes ParseLanes(const std::string& text) {
    Lanes lanes;
    std::string lane;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] != ' ' && line.back() == ':') {
            lane = line.substr(0, line.size() - 1);
            continue;
        }
        const size_t at = line.find_first_not_of(' ');
        const size_t s = line.find("s  ", at);
        const size_t fill = line.rfind(" (");
        if (at == std::string::npos || !std::isdigit(static_cast<unsigned char>(line[at])) ||
            s == std::string::npos || fill == std::string::npos || fill < s + 3) {
            continue;  // a port, a mark or a tick
        }
        const double seconds = std::strtod(line.c_str() + at, nullptr);
        lanes[lane].push_back(Span{static_cast<uint64_t>(std::llround(seconds * 1000)),
                                   line.substr(s + 3, fill - s - 3)});
    }
    return lanes;
}

Span SpanAt(const std::vector<Span>& spans, uint64_t atMs) {
    Span at{0, "unknown"};
    for (const Span& s : spans) {
        if (s.fromMs > atMs) {
            break;
        }
        at = s;
    }
    return at;
}

// Whether the machine held a state that WANTED accepts at some moment of [FROMMS, TOMS].
template <typename Want>
bool HeldWithin(const Truth& truth, uint64_t fromMs, uint64_t toMs, Want wanted) {
    if (wanted(StateAt(truth, fromMs))) {
        return true;
    }
    return std::any_of(truth.begin(), truth.end(), [&](const TruthChange& c) {
        return c.atMs > fromMs && c.atMs <= toMs && wanted(c);
    });
}

bool FaultWithin(const DayTruth& day, uint64_t fromMs, uint64_t toMs) {
    return std::any_of(day.faultsMs.begin(), day.faultsMs.end(),
                       [&](uint64_t at) { return at >= fromMs && at <= toMs; });
}

// What the lane's state (LABEL, drawn since SINCEMS) claims of the machine at ATMS, checked;
// empty when true. A state an injected fault made (an open error, a failed command) holds until a
// line tells otherwise: a fault since the state was drawn excuses it.
std::string LaneClaim(const DayTruth& day, const std::string& lane, const std::string& label,
                      uint64_t sinceMs, uint64_t atMs) {
    const uint64_t from = atMs > kBehindMs ? atMs - kBehindMs : 0;
    const uint64_t faultsFrom = std::min(from, sinceMs);
    if (lane == "printer") {
        const long code = std::strtol(label.c_str(), nullptr, 16);
        return HeldWithin(day.printer, from, atMs,
                          [&](const TruthChange& c) { return c.known && (c.value & 0xFF) == code; })
                   ? ""
                   : "the printer did not report it";
    }
    const bool on = label.rfind("running", 0) == 0 || label.rfind("paused", 0) == 0;
    const auto same = [&](const TruthChange& c) { return (c.value != 0) == on; };
    if (lane == "spooler") {
        // An open error 0x6ba that an injected fault made says the Spooler is down while it runs.
        return HeldWithin(day.spooler, from, atMs, same) ||
                       (!on && FaultWithin(day, faultsFrom, atMs))
                   ? ""
                   : "the Spooler was not";
    }
    if (lane == "queue") {
        // A command fails while the Spooler is down or a fault hits: commanded is not done.
        const auto down = [](const TruthChange& c) { return c.value == 0; };
        return HeldWithin(day.queue, from, atMs + kAheadMs, same) ||
                       HeldWithin(day.spooler, from, atMs, down) ||
                       FaultWithin(day, faultsFrom, atMs + kAheadMs)
                   ? ""
                   : "the queue was not";
    }
    return HeldWithin(day.service, from, atMs + kAheadMs, same) ? "" : "kq5 was not";
}

// Every lane at every step: unknown where nobody listened, else true of the machine.
void JudgeLanes(const DayTruth& day, const Lanes& lanes, uint64_t endMs,
                std::vector<std::string>& problems) {
    for (const auto& [lane, spans] : lanes) {
        for (uint64_t t = 0; t <= endMs; t += kStepMs) {
            const Span span = SpanAt(spans, t);
            const std::string& label = span.label;
            std::string wrong;
            if (label != "unknown") {
                wrong = !Heard(day, t) ? "nobody recorded then"
                                       : LaneClaim(day, lane, label, span.fromMs, t);
            }
            if (!wrong.empty()) {
                problems.push_back("the " + lane + " lane draws \"" + label + "\" at " +
                                   SecondsText(t) + ": " + wrong);
                break;  // one a lane: the first tells where to look
            }
        }
    }
}

// A length as DurationText writes it ("12.3 s", "4 min 5 s", "2 h 10 min"), at its least: the
// seconds rounded to a tenth, the rest cut.
uint64_t LeastMs(const std::string& text) {
    std::istringstream in(text);
    double value = 0;
    uint64_t ms = 0;
    for (std::string unit; in >> value >> unit;) {
        ms += unit == "h"     ? static_cast<uint64_t>(value) * 3600000
              : unit == "min" ? static_cast<uint64_t>(value) * 60000
              : value >= 0.05 ? static_cast<uint64_t>((value - 0.05) * 1000)
                              : 0;
    }
    return ms;
}

// How long the printer held CODE while kq5 ran and someone listened, its breaks shorter than two
// cycles bridged: the service reads the status once a cycle, so the printer away or on another
// code between two reads (status lines at most two cycles apart count as seen) goes unseen.
uint64_t HeardInCode(const DayTruth& day, long code) {
    std::vector<uint64_t> at{0, day.endMs};
    for (const Truth* truth : {&day.printer, &day.service}) {
        for (const TruthChange& c : *truth) {
            at.push_back(c.atMs);
        }
    }
    for (const Unheard& u : day.unheard) {
        at.insert(at.end(), {u.fromMs, u.toMs});
    }
    std::sort(at.begin(), at.end());
    uint64_t ms = 0, heldTo = 0;
    for (size_t i = 0; i + 1 < at.size() && at[i + 1] <= day.endMs; ++i) {
        const TruthChange& printer = StateAt(day.printer, at[i]);
        if (at[i + 1] > at[i] && printer.known && (printer.value & 0xFF) == (code & 0xFF) &&
            StateAt(day.service, at[i]).value != 0 && Heard(day, at[i])) {
            const bool bridged = heldTo != 0 && at[i] - heldTo < kBehindMs;
            ms += at[i + 1] - (bridged ? heldTo : at[i]);
            heldTo = at[i + 1];
        }
    }
    return ms;
}

// "time in each status, as its lines showed it: 32 14 h 2 min; 4 3.0 s; ...": each status's
// time no longer than the printer held it while heard (to the finding's rounding).
void JudgeTimeInStatus(const DayTruth& day, const std::string& says,
                       std::vector<std::string>& problems) {
    std::istringstream in(says.substr(says.find(':') + 1));
    for (std::string entry; std::getline(in, entry, ';');) {
        std::istringstream words(entry);
        long code = 0;
        std::string length;
        if (!(words >> code) || !std::getline(words, length) ||
            entry.find("without") != std::string::npos) {
            continue;
        }
        const uint64_t truth = HeardInCode(day, code);
        if (LeastMs(length) > truth) {
            problems.push_back("the findings count status " + std::to_string(code) + " for" +
                               length + "; the printer reported it, heard, for " +
                               SecondsText(truth));
        }
    }
}

// "No gap" only when no two lines of the service in the trace (nor its start and first line)
// are more than two cycles apart.
void JudgeNoGap(const DayTruth& day, std::vector<std::string>& problems) {
    uint64_t last = 0;
    for (const uint64_t at : day.linesMs) {
        if (at - last > 2 * kCycleMs) {
            problems.push_back("the findings say no gap, but no line of the service came from " +
                               SecondsText(last) + " to " + SecondsText(at));
            return;
        }
        last = at;
    }
}

}  // namespace

namespace {

// Writes DAY's trace at PATH: its file, or its record folder (PATH without ".txt"); false, and
// the path in PATH, when it cannot be written.
bool WriteTrace(const DayTrace& day, std::string& path) {
    std::error_code ignored;  // a folder that cannot be made fails the write below
    if (day.files.empty()) {
        std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ignored);
        return static_cast<bool>(std::ofstream(path, std::ios::binary) << day.text);
    }
    path = path.substr(0, path.size() - 4);
    std::filesystem::remove_all(path, ignored);
    std::filesystem::create_directories(path, ignored);
    return std::all_of(day.files.begin(), day.files.end(), [&](const DayFile& f) {
        return static_cast<bool>(std::ofstream(path + "/" + f.name, std::ios::binary) << f.text);
    });
}

TraceReport ReadDay(const DayTrace& day, const std::string& path) {
    if (day.files.empty()) {
        std::istringstream in(day.text);
        return ReadTrace(in, "the day's trace");
    }
    std::string folder = path;
    if (!WriteTrace(day, folder)) {
        TraceReport refused;
        refused.error = folder + " cannot be written";
        return refused;
    }
    TraceReport report = ReadTracePath(folder);
    std::error_code ignored;
    std::filesystem::remove_all(folder, ignored);
    return report;
}

// One judge: the events kq5trace --record raised as it recorded the day are the events the
// report of the day's trace lists, the same in the same order.
void JudgeEvents(const DayTrace& day, const TraceReport& report,
                 std::vector<std::string>& problems) {
    std::istringstream in(day.text);
    std::string raised, reported;
    for (const auto& [now, e] : RecordedEvents(in)) {
        raised += EventLine(e, false);
    }
    for (const JudgedEvent& e : report.events) {
        reported += EventLine(e, false);
    }
    if (raised != reported) {
        problems.push_back("the recording raised\n" + raised + "the report lists\n" + reported);
    }
}

}  // namespace

std::vector<std::string> JudgeReader(const DayTrace& day, const std::string& path) {
    if (!day.error.empty()) {
        return {day.error};
    }
    const TraceReport report = ReadDay(day, path);
    if (!report.ok) {
        return {"the reader refused the trace: " + report.error};
    }
    std::vector<std::string> problems;
    const uint64_t endMs = day.truth.linesMs.empty() ? 0 : day.truth.linesMs.back();
    JudgeLanes(day.truth, ParseLanes(LanesText(report.picture)), endMs, problems);
    for (const TraceFinding& f : report.findings) {
        if (f.kind == FindingKind::TimeInStatus) {
            JudgeTimeInStatus(day.truth, f.says, problems);
        } else if (f.kind == FindingKind::NoGap) {
            JudgeNoGap(day.truth, problems);
        }
    }
    JudgeEvents(day, report, problems);
    return problems;
}

int JudgeSeeds(const std::vector<uint64_t>& seeds, int minutes, const std::string& out) {
    int failed = 0;
    for (const uint64_t seed : seeds) {
        const DayTrace day = RecordDay(seed, minutes);
        std::string path = out + "/reader-" + std::to_string(seed) + ".txt";
        const std::vector<std::string> problems = JudgeReader(day, path);
        if (problems.empty()) {
            continue;
        }
        ++failed;
        const bool written = WriteTrace(day, path);
        for (const std::string& p : problems) {
            std::printf("seed %llu: %s\n", static_cast<unsigned long long>(seed), p.c_str());
        }
        std::printf("seed %llu: the trace %s %s\n", static_cast<unsigned long long>(seed),
                    written ? "is in" : "could not be written to", path.c_str());
    }
    std::printf("kq5swarm: %zu days read by the trace reader, %d belied by the machine\n",
                seeds.size(), failed);
    return failed == 0 ? 0 : 1;
}
