#include "tracereader/drawing.h"

#include <algorithm>

#include "common/status_code.h"

namespace {

constexpr size_t kColumns = 1100;  // the picture's width in pixels

}  // namespace

void Buckets::Add(uint64_t atMs, const std::string& line) {
    while (atMs / widthMs >= 2 * kColumns) {
        widthMs *= 2;
        std::map<uint64_t, std::pair<uint64_t, std::string>> merged;
        std::map<uint64_t, size_t> mergedCounts;
        for (auto& [bucket, tick] : ticks) {
            auto [it, fresh] = merged.emplace(bucket / 2, tick);
            if (!fresh && it->second.second.size() < 240) {
                it->second.second += "\n" + tick.second;
            }
            mergedCounts[bucket / 2] += counts[bucket];
        }
        ticks.swap(merged);
        counts.swap(mergedCounts);
    }
    const uint64_t bucket = atMs / widthMs;
    auto [it, fresh] = ticks.emplace(bucket, std::make_pair(atMs, line));
    std::string& lines = it->second.second;
    if (!fresh && lines.size() < 240 && lines.find(line) == std::string::npos) {
        lines += "\n" + line;
    }
    ++counts[bucket];
}

// The Spooler lane holds only what lines say of the Spooler: an open error 0x6ba says it is
// down, a queue command that went through says it answers. The service commands the queue before
// it writes the status line, so a status line with a command, after a line of the same cycle's
// start (WHOLECYCLE) and without an open error since, is a command that went through. A status
// line alone says nothing of the Spooler: its command may have failed before the capture began.
void TraceDrawing::SpoolerAnswered(uint64_t atMs, int code, bool wholeCycle) {
    const bool commands = QueueCommandFor(code).action != QueueAction::None;
    told[kPrinter] = atMs;
    if (commands) {
        told[kQueue] = atMs;
    }
    if (!commands && spoolerKnown) {
        // This cycle asked nothing of the Spooler: it may have stopped or started since the
        // line that told of it (a port move restarts it, a late start is paid, without a line).
        spoolerKnown = false;
        Unsay(atMs, kSpooler, "unknown: the status code commands nothing, so no line tells of it");
    }
    if (wholeCycle && !openFailedThisCycle && commands) {
        told[kSpooler] = atMs;
        if (spoolerDown || !spoolerKnown) {
            spoolerDown = false;
            spoolerKnown = true;
            picture.timeline.push_back(
                TimelineEvent{atMs, ServiceStepEvent{"Spooler", ServiceStep::Running}});
        }
    }
    openFailedThisCycle = false;
}

// The queue could not be opened with CODE; the RPC server unavailable is the Spooler down.
void TraceDrawing::OpenFailed(uint64_t atMs, unsigned long code) {
    openFailedThisCycle = true;
    if (code != kErrorRpcServerUnavailable) {
        return;
    }
    told[kSpooler] = atMs;
    if (!spoolerDown || !spoolerKnown) {
        spoolerDown = true;
        spoolerKnown = true;
        picture.timeline.push_back(
            TimelineEvent{atMs, ServiceStepEvent{"Spooler", ServiceStep::Stopped}});
    }
}

// LANE's state no longer holds from ATMS, or from just after the last line that told it, when
// that line came at the same moment: it held at that line.
void TraceDrawing::Unsay(uint64_t atMs, Told lane, const std::string& why) {
    static const char* const kLanes[] = {"printer", "queue", "spooler"};
    picture.unsaid.push_back(LaneMark{std::max(atMs, told[lane] + 1), kLanes[lane], why});
}

// The picture: the printer's new code, and the queue as the service commanded it.
void TraceDrawing::Commanded(uint64_t atMs, int code) {
    picture.printer.push_back(PrinterChange{atMs, true, code});
    const QueueCommand command = QueueCommandFor(code);
    if (command.action != QueueAction::None) {
        queueKnown = true;
        picture.timeline.push_back(TimelineEvent{atMs, QueuePausedEvent{command.pause}});
        picture.timeline.push_back(TimelineEvent{atMs, QueueStatusEvent{command.status, true}});
    }
}

void TraceDrawing::QueueRead(uint64_t atMs) {
    if (queueKnown) {
        queueKnown = false;
        Unsay(atMs, kQueue,
              "unknown: an arrival read the queue's port; a port move resumes the queue without a "
              "line");
    }
}

void TraceDrawing::StatusesStopped(uint64_t atMs) {
    const std::string why = "unknown: no status line came from the cycle after the last one";
    for (const Told lane : {kPrinter, kQueue, kSpooler}) {
        Unsay(atMs, lane, why);
    }
    printerKnown = queueKnown = spoolerKnown = false;
}

// The process ended: nothing reads the printer or asks the Spooler until the next one (whose stop
// may have started the Spooler without a line).
void TraceDrawing::ProcessEnded(uint64_t atMs) {
    const std::string why = "unknown: the service's process ended";
    for (const Told lane : {kPrinter, kSpooler}) {
        Unsay(atMs, lane, why);
    }
    printerKnown = spoolerKnown = false;
}

Picture TraceDrawing::Draw(const std::string& layoutName, uint64_t endMs, const TraceClock& clock,
                           const std::vector<Uncovered>& uncovered) const {
    Picture p = picture;
    p.queuePort = "port not traced";
    for (const auto& [bucket, tick] : buckets.ticks) {
        const size_t count = buckets.counts.at(bucket);
        p.timeline.push_back(TimelineEvent{
            tick.first, TickEvent{std::to_string(count) + (count == 1 ? " line" : " lines") +
                                  " from here:\n" + tick.second}});
    }
    p.timeline.push_back(TimelineEvent{endMs, TraceEndEvent{}});
    // What a gap in the status lines unsays is known only after it, at a later line.
    std::stable_sort(p.unsaid.begin(), p.unsaid.end(),
                     [](const LaneMark& a, const LaneMark& b) { return a.atMs < b.atMs; });
    std::stable_sort(
        p.timeline.begin(), p.timeline.end(),
        [](const TimelineEvent& a, const TimelineEvent& b) { return a.timeMs < b.timeMs; });
    p.subtitle = "A trace of kq5 on a real machine (" + layoutName +
                 "); the queue lane shows what the service commanded, which the trace cannot see "
                 "done";
    p.queueCaption = "as commanded";
    p.fromTrace = true;
    p.clock = clock;
    p.uncovered = uncovered;
    return p;
}
