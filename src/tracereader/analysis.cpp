// A trace line by line: each line's time, and what it says handed to the status count, the
// error tally, the drawing and the timeline.
#include "tracereader/analysis.h"

#include <algorithm>

#include "common/status_code.h"
#include "tracelog/format.h"

namespace {

constexpr uint64_t kCycleMs = 800;

}  // namespace

TraceAnalysis::TraceAnalysis()
    : folder_([this](const std::string& line) { timeline.push_back(line); }) {}

void TraceAnalysis::BeginFile(const std::string& label) {
    file_ = label;
}

void TraceAnalysis::FileLayout(Layout layout, bool wholeSeconds) {
    layout_ = layout;
    wholeSeconds_ = wholeSeconds_ || wholeSeconds;
    time_.wholeSeconds = wholeSeconds;
    // A clock with whole seconds makes two lines 0.8 s apart up to 1 s further apart.
    coverage_.silentMs = 2 * kCycleMs + (wholeSeconds_ ? 1000 : 0);
    if (clock_.anchors.empty()) {
        clock_.kind = ClockOf(layout);
        folder_.UseClock(&clock_);
    }
}

void TraceAnalysis::Finish() {
    const size_t before = coverage_.uncovered.size();
    const unsigned long lastPid =
        coverage_.haveLine ? coverage_.processes[coverage_.current].pid : 0;
    coverage_.Finish(time_.lastRelMs);
    Judge(NoteInput("", false, time_.lastRelMs), 0);  // the clock alone, to the trace's end
    Stretches(before, lastPid, lastPid);              // no line after it: told apart by its toEnd
    folder_.Finish();
}

std::string TraceAnalysis::Where(size_t number) const {
    return LineWhere(file_, number);
}

void TraceAnalysis::Skip(size_t number, const std::string& why) {
    auto& [count, first] = read_.skipped[why];
    if (++count <= 5) {
        first += (first.empty() ? "" : ", ") + Where(number);
    }
}

void TraceAnalysis::Cut() {
    read_.cut.push_back(file_);
}

void TraceAnalysis::Event(uint64_t atMs, EventDetail detail) {
    folder_.Add(TimelineEvent{atMs, std::move(detail)});
}

void TraceAnalysis::Status(uint64_t atMs, int code) {
    // The status line before this one, of the same process, came within two cycles: whatever
    // this cycle wrote before its status line is in the trace.
    const bool wholeCycle = status_.have && status_.process == coverage_.current &&
                            atMs - status_.lastMs <= coverage_.silentMs;
    // A gap of the status lines holds the stretches since the status line before.
    for (size_t i = stretchNotes_.size(); status_.have && status_.process == coverage_.current &&
                                          i-- > 0 &&
                                          coverage_.uncovered[i].fromMs >= status_.lastMs;) {
        stretchNotes_[i].inStatusGap = true;
    }
    const bool changed = status_.Add(atMs, code, coverage_.current, coverage_.silentMs);
    if (changed || !drawing_.printerKnown || !drawing_.queueKnown) {
        // A new code, or the first after a stretch without lines or a queue read.
        drawing_.Commanded(atMs, code);
    }
    drawing_.printerKnown = true;
    drawing_.SpoolerAnswered(atMs, code, wholeCycle);
}

// One line of the service (TEXT escaped) at ATMS since the first line.
void TraceAnalysis::ServiceLine(uint64_t atMs, unsigned long pid, const std::string& text,
                                size_t number) {
    if (std::find(read_.servicePids.begin(), read_.servicePids.end(), pid) ==
        read_.servicePids.end()) {
        read_.servicePids.push_back(pid);
    }
    // kq5trace keeps the line end; DebugView shows the line without it.
    const OutputEvent line = ReadServiceLine(Channel::Debug, text, layout_ == Layout::Kq5trace);
    StatusLinesStopped(atMs);
    Known(atMs);
    Judge(LineInput(text, layout_ == Layout::Kq5trace, atMs), number);
    const size_t processes = coverage_.processes.size();
    const size_t stretches = coverage_.uncovered.size();
    const unsigned long lastPid =
        coverage_.haveLine ? coverage_.processes[coverage_.current].pid : 0;
    if (line.says == LineSays::MainError) {
        coverage_.Ended(atMs, pid, line.code);
    } else {
        coverage_.Line(atMs, pid);
    }
    Stretches(stretches, lastPid, pid);
    if (coverage_.processes.size() > processes) {
        drawing_.picture.timeline.push_back(TimelineEvent{atMs, ProcessFirstLineEvent{pid}});
    }
    if (line.says == LineSays::Status && !line.whole) {
        Skip(number, "a status line cut or malformed");
        return;
    }
    Said(atMs, line);
    ++read_.serviceLines;
    const std::string shown = "debug " + EventText(TimelineEvent{atMs, line});
    Event(atMs, line);
    if (line.says != LineSays::Status ||
        drawing_.buckets.ticks.count(atMs / drawing_.buckets.widthMs) == 0) {
        drawing_.buckets.Add(atMs, shown);
    } else {
        ++drawing_.buckets.counts[atMs / drawing_.buckets.widthMs];
    }
}

// What the line says, counted for the findings and drawn in the picture.
void TraceAnalysis::Said(uint64_t atMs, const OutputEvent& line) {
    switch (line.says) {
        case LineSays::Status:
            Status(atMs, static_cast<int>(line.code));
            break;
        case LineSays::OpenError:
            OpenError(atMs, static_cast<unsigned long>(line.code));
            break;
        case LineSays::RegistryError: {
            errors_.RegistryError(atMs, static_cast<long>(line.code));
            drawing_.picture.actions.push_back(
                LaneMark{atMs, "printer", "registry read failed: " + line.text});
            break;
        }
        case LineSays::DevicePath:
            ++errors_.discoveryLines;
            drawing_.picture.actions.push_back(LaneMark{atMs, "service", "discovery:" + line.path});
            break;
        case LineSays::MainError:
            errors_.mainErrorText = line.text;
            drawing_.ProcessEnded(atMs);
            drawing_.picture.timeline.push_back(TimelineEvent{
                atMs, ProcessEndedEvent{line.text, coverage_.processes[coverage_.current].pid}});
            break;
        case LineSays::ReadFailure:
            errors_.ReadFailure(atMs);
            break;
        case LineSays::GetPrinterHandle:
            drawing_.QueueRead(atMs);
            break;
        case LineSays::Other:
            break;
    }
}

void TraceAnalysis::OpenError(uint64_t atMs, unsigned long code) {
    errors_.OpenError(atMs, code);
    drawing_.OpenFailed(atMs, code);
}

uint64_t TraceAnalysis::Relative(long long writtenMs, size_t number) {
    return time_.Relative(writtenMs, layout_ == Layout::DebugViewClock, file_, number);
}

void TraceAnalysis::Line(const TraceLine& line, size_t number) {
    ++read_.lines;
    switch (line.kind) {
        case LineKind::Before:
            read_.before.push_back("line " + Where(number) + " \"" + line.text + "\"");
            return;
        case LineKind::Header:
        case LineKind::Note:
            Note(line, number);
            return;
        case LineKind::Kernel:
            ++read_.kernelLines;
            return;
        case LineKind::Damaged:
        case LineKind::NotATrace:
            Skip(number, line.text);
            return;
        case LineKind::Entry:
            break;
    }
    // kq5trace keeps the service's lines only; a DebugView log has every process's.
    const bool known = std::find(read_.servicePids.begin(), read_.servicePids.end(), line.pid) !=
                       read_.servicePids.end();
    if (layout_ != Layout::Kq5trace && !known && !IsServiceText(line.text)) {
        ++read_.otherProcessLines;
        return;
    }
    const uint64_t atMs = Relative(line.writtenMs, number);
    clock_.Note(atMs, line.localMs);
    ServiceLine(atMs, line.pid, line.text, number);
}

// The notes since the last line of the service go with the stretch without lines that a line
// (or the trace's end) has just closed, if any.
void TraceAnalysis::Stretches(size_t before, unsigned long fromPid, unsigned long toPid) {
    if (coverage_.uncovered.size() > before) {
        pending_.fromPid = fromPid;
        pending_.toPid = toPid;
        stretchNotes_.push_back(pending_);
    }
    pending_ = StretchNotes{};
}

// A kq5trace header or note, at its own time where it has one.
void TraceAnalysis::Note(const TraceLine& line, size_t number) {
    const uint64_t beforeMs = time_.lastRelMs;
    uint64_t atMs = time_.lastRelMs;
    if (line.timed) {
        atMs = Relative(line.writtenMs, number);
        clock_.Note(atMs, line.localMs);
    }
    StartAfterUnheard(line, number, beforeMs, atMs);
    // The recorder's and the capture's word on the service ("service kq5 runs as process 428",
    // "... is not running"), for a trace that holds none of its lines.
    if (line.text.find(" runs as process ") != std::string::npos ||
        line.text.find(" is not running") != std::string::npos) {
        serviceNote_ = line.text;
    }
    // Whether kq5trace was recording: a header, or the note of a recording started again in its
    // file, starts a recording; a stop, or another viewer on the channel, ends one; any other
    // note was written while it listened.
    if (line.kind == LineKind::Header || line.text.find(kStartedNote) != std::string::npos) {
        pending_.started = true;  // the latest start: it listened from then on
        pending_.startedMs = atMs;
    } else if (line.text.find("recording stopped") != std::string::npos ||
               line.text.find("holds the channel") != std::string::npos) {
        if (pending_.unrecorded.empty()) {
            pending_.unrecorded = line.text;
            pending_.unrecordedMs = atMs;
        }
    } else if (pending_.listened.empty()) {
        pending_.listened = line.text;
    }
    if (line.text.find("recording stopped") != std::string::npos) {
        recordingStopped_ = true;
    }
    Event(atMs, NoteEvent{"trace", line.text});
    Judge(NoteInput(line.text, line.kind == LineKind::Header, atMs), number);
}

// A new recording's start: the note of one started again in its file, a header later in a file,
// or a day file's header after a stopped recording or after a stretch in which a listening
// recorder would have written its "still listening" note (else it is the same recorder's next
// day). The recording before ended there (unsaid, if it did not say so: killed, the machine
// off), and the new recorder knows nothing of it: the judge raises what was due by the last line
// before, and starts again.
void TraceAnalysis::StartAfterUnheard(const TraceLine& line, size_t number, uint64_t beforeMs,
                                      uint64_t atMs) {
    const bool restart = line.text.find(kStartedNote) != std::string::npos;
    if (read_.lines <= 1 || (!restart && line.kind != LineKind::Header)) {
        return;
    }
    if (!restart && number == 1 && !recordingStopped_ &&
        (!judge_.listening || atMs <= beforeMs + kStillListeningMs + 2 * kCycleMs)) {
        return;  // the recorder's next day file (while it listens, or waits for the channel)
    }
    recordingStopped_ = false;
    if (judge_.listening) {
        JudgeInput unheard;
        unheard.kind = JudgeInput::Kind::Unheard;
        unheard.atMs = beforeMs;
        Judge(unheard, 0);
    }
    judge_ = ::Judge{};
}

// The judge that kq5trace --record runs as it records, given the same lines, resting its events
// on the log's lines.
void TraceAnalysis::Judge(JudgeInput input, size_t number) {
    if (number != 0) {
        input.where = LineRef{file_, number, DatedTimes(clock_).At(input.atMs)};
    }
    for (JudgedEvent& e : JudgeStep(judge_, input)) {
        judged_.push_back(std::move(e));
    }
}

// Before a line of the service at ATMS that comes within two cycles of the line before, but more
// than two cycles after the last status line: the printer was not read since (removed, its reads
// failing), so its status, the queue's command (a removal pauses the queue without a line) and
// the Spooler no longer hold from the cycle after that status line.
void TraceAnalysis::StatusLinesStopped(uint64_t atMs) {
    if (drawing_.printerKnown && coverage_.haveLine &&
        atMs - coverage_.lastLineMs <= coverage_.silentMs &&
        atMs - status_.lastMs > coverage_.silentMs) {
        drawing_.StatusesStopped(status_.lastMs + kCycleMs);
    }
}

// Before a line of the service at ATMS: after a stretch without any, nothing drawn before it
// holds until a line says it again.
void TraceAnalysis::Known(uint64_t atMs) {
    if (coverage_.haveLine && atMs - coverage_.lastLineMs > coverage_.silentMs) {
        drawing_.printerKnown = false;
        drawing_.spoolerKnown = false;
        drawing_.queueKnown = false;
    }
}

// A stretch after a process's end is drawn with the service stopped, unless kq5trace's notes say
// it did not listen throughout: a new process may have come and gone unheard.
Picture TraceAnalysis::Draw(const std::string& layoutName) const {
    std::vector<Uncovered> drawn = coverage_.uncovered;
    for (size_t i = 0; i < drawn.size() && i < stretchNotes_.size(); ++i) {
        const StretchNotes& notes = stretchNotes_[i];
        const bool unheard =
            !notes.unrecorded.empty() || (notes.started && notes.startedMs > drawn[i].fromMs);
        drawn[i].afterEnd = drawn[i].afterEnd && !unheard;
    }
    return drawing_.Draw(layoutName, time_.lastRelMs, clock_, drawn);
}
