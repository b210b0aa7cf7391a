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
    if ((spoolerDown || !spoolerKnown) && wholeCycle && !openFailedThisCycle &&
        QueueCommandFor(code).action != QueueAction::None) {
        spoolerDown = false;
        spoolerKnown = true;
        picture.timeline.push_back(
            TimelineEvent{atMs, ServiceStepEvent{"Spooler", ServiceStep::Running}});
    }
    openFailedThisCycle = false;
}

// The queue could not be opened with CODE; the RPC server unavailable is the Spooler down.
void TraceDrawing::OpenFailed(uint64_t atMs, unsigned long code) {
    openFailedThisCycle = true;
    if (code == kErrorRpcServerUnavailable && (!spoolerDown || !spoolerKnown)) {
        spoolerDown = true;
        spoolerKnown = true;
        picture.timeline.push_back(
            TimelineEvent{atMs, ServiceStepEvent{"Spooler", ServiceStep::Stopped}});
    }
}

// The picture: the printer's new code, and the queue as the service commanded it.
void TraceDrawing::Commanded(uint64_t atMs, int code) {
    picture.printer.push_back(PrinterChange{atMs, true, code});
    const QueueCommand command = QueueCommandFor(code);
    if (command.action != QueueAction::None) {
        picture.timeline.push_back(TimelineEvent{atMs, QueuePausedEvent{command.pause}});
        picture.timeline.push_back(TimelineEvent{atMs, QueueStatusEvent{command.status, true}});
    }
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
