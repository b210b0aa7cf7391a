// What a trace says: counts, the pace of the status lines, gaps, status changes, failures and
// the service's end, and the picture's lanes, gathered line by line.
#include "tracereader/findings.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "common/status_code.h"
#include "tracereader/timeline.h"

namespace {

constexpr uint64_t kCycleMs = 800;
constexpr size_t kListed = 40;     // gaps and changes listed one by one, then summed up
constexpr size_t kColumns = 1100;  // the picture's width in pixels

std::string Duration(uint64_t ms) {
    char text[48];
    if (ms < 60000) {
        std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000);
    } else if (ms < 3600000) {
        std::snprintf(text, sizeof text, "%llu min %llu s",
                      static_cast<unsigned long long>(ms / 60000),
                      static_cast<unsigned long long>(ms / 1000 % 60));
    } else {
        std::snprintf(text, sizeof text, "%llu h %llu min",
                      static_cast<unsigned long long>(ms / 3600000),
                      static_cast<unsigned long long>(ms / 60000 % 60));
    }
    return text;
}

std::string CodeMeaning(int code) {
    const QueueCommand command = QueueCommandFor(code);
    if (command.action == QueueAction::None) {
        return "unknown code: the service commanded nothing";
    }
    const std::string words = command.words;
    return words + ": the service commanded " +
           (command.pause ? "pause, status " + words : "resume, no status");
}

std::string OpenErrorMeaning(unsigned long code) {
    switch (code) {
        case 0x709:
            return "there is no queue \"Korvane-Q5\"";
        case 0x5:
            return "access denied: the service may not open the queue with full access";
        case 0x6ba:
            return "the Spooler is not running (RPC server unavailable)";
        default:
            return "see the Win32 error list";
    }
}

std::string RegistryMeaning(long code) {
    switch (code) {
        case 2:
            return "a registry value is missing (a port without \"Device Id\", a device without "
                   "\"Port Description\")";
        case 234:
            return "a port description longer than the service can read (199 characters)";
        default:
            return "the registry read failed";
    }
}

// One more of KEY, and the time of the first.
template <typename Key>
void Tally(std::map<Key, std::pair<size_t, uint64_t>>& tally, Key key, uint64_t atMs) {
    auto& [count, first] = tally[key];
    if (count++ == 0) {
        first = atMs;
    }
}

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

TraceAnalysis::TraceAnalysis()
    : folder_([this](const std::string& line) { timeline.push_back(line); }) {}

void TraceAnalysis::BeginFile(const std::string& label) {
    file_ = label;
}

void TraceAnalysis::FileLayout(Layout layout, bool wholeSeconds) {
    layout_ = layout;
    wholeSeconds_ = wholeSeconds_ || wholeSeconds;
    // A clock with whole seconds makes two lines 0.8 s apart up to 1 s further apart.
    coverage_.silentMs = 2 * kCycleMs + (wholeSeconds_ ? 1000 : 0);
    if (clock_.anchors.empty()) {
        clock_.kind = ClockOf(layout);
        folder_.UseClock(&clock_);
    }
}

void TraceAnalysis::Finish() {
    coverage_.Finish(time_.lastRelMs);
    folder_.Finish();
}

// Line NUMBER, of FILE when the trace has more than one.
std::string LineWhere(const std::string& file, size_t number) {
    return file.empty() ? std::to_string(number) : file + ":" + std::to_string(number);
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

void StatusStats::EndCode(uint64_t untilMs) {
    if (have) {
        timeInCode[code] += untilMs - codeSinceMs;
    }
}

// The time since the last status line of the same process: the pace, and a gap when it is
// longer than two cycles. The time between two processes is a restart, told apart.
void StatusStats::Gap(uint64_t atMs, uint64_t silentMs) {
    const uint64_t gap = atMs - lastMs;
    ++intervals[gap / 10];
    if (gap <= silentMs) {
        return;
    }
    longestGapMs = std::max(longestGapMs, gap);
    if (gaps.empty() && moreGaps == 0) {
        firstGapMs = lastMs;
    }
    if (gaps.size() < kListed) {
        DatedTimes times(clock);
        const std::string from = times.At(lastMs);
        gaps.push_back("no status line for " + Duration(gap) + ", from " + from + " to " +
                       times.At(atMs));
    } else {
        ++moreGaps;
    }
}

bool StatusStats::Add(uint64_t atMs, int statusCode, size_t ofProcess, uint64_t silentMs) {
    ++lines;
    if (have && process == ofProcess) {
        Gap(atMs, silentMs);
    } else if (!have) {
        firstMs = atMs;
    }
    process = ofProcess;
    const bool changed = !have || statusCode != code;
    if (changed) {
        if (have) {
            EndCode(atMs);
            if (moreChanges == 0) {  // the code that ends is the last one listed
                changes.back() += ", " + Duration(atMs - codeSinceMs) + " (" +
                                  std::to_string(codeLines) + " lines)";
            }
        }
        if (changes.size() < kListed) {
            changes.push_back("at " + changeTimes.At(atMs) + ": status " +
                              std::to_string(statusCode) + " (" + CodeMeaning(statusCode) + ")");
        } else {
            ++moreChanges;
        }
        code = statusCode;
        codeSinceMs = atMs;
        codeLines = 0;
    }
    ++codeLines;
    have = true;
    lastMs = atMs;
    return changed;
}

// A cycle whose queue command got through: the Spooler answers (again).
void TraceDrawing::SpoolerAnswered(uint64_t atMs, int code) {
    if ((spoolerDown || !spoolerKnown) && !openFailedThisCycle &&
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

void TraceAnalysis::Status(uint64_t atMs, int code) {
    const bool changed = status_.Add(atMs, code, coverage_.current, coverage_.silentMs);
    if (changed || !drawing_.printerKnown) {
        // A new code, or the first after a stretch without lines.
        drawing_.Commanded(atMs, code);
    }
    drawing_.printerKnown = true;
    drawing_.SpoolerAnswered(atMs, code);
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

// One line of the service (TEXT escaped) at ATMS since the first line.
void TraceAnalysis::ServiceLine(uint64_t atMs, unsigned long pid, const std::string& text,
                                size_t number) {
    if (std::find(read_.servicePids.begin(), read_.servicePids.end(), pid) ==
        read_.servicePids.end()) {
        read_.servicePids.push_back(pid);
    }
    // kq5trace keeps the line end; DebugView shows the line without it.
    const OutputEvent line = ReadServiceLine(Channel::Debug, text, layout_ == Layout::Kq5trace);
    Known(atMs);
    const size_t processes = coverage_.processes.size();
    if (line.says == LineSays::MainError) {
        coverage_.Ended(atMs, pid, line.code);
    } else {
        coverage_.Line(atMs, pid);
    }
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
            Tally(errors_.registryErrors, static_cast<long>(line.code), atMs);
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
            drawing_.picture.timeline.push_back(TimelineEvent{
                atMs, ProcessEndedEvent{line.text, coverage_.processes[coverage_.current].pid}});
            break;
        case LineSays::ReadFailure:
            if (errors_.readFailures++ == 0) {
                errors_.firstReadFailureMs = atMs;
            }
            break;
        case LineSays::GetPrinterHandle:
        case LineSays::Other:
            break;
    }
}

void TraceAnalysis::OpenError(uint64_t atMs, unsigned long code) {
    Tally(errors_.openErrors, code, atMs);
    drawing_.OpenFailed(atMs, code);
}

// The time of a line relative to the first, with the day's rollover and clock jumps.
uint64_t TraceTime::Relative(long long writtenMs, bool timeOfDay, const std::string& file,
                             size_t number) {
    if (!haveStart) {
        haveStart = true;
        startMs = previousMs = writtenMs;
    }
    if (writtenMs < previousMs) {
        const long long back = previousMs - writtenMs;
        if (timeOfDay && back > 12 * 3600000LL) {
            shiftMs += 24 * 3600000LL;  // past midnight
        } else {
            shiftMs += back;  // the clock was set back: the line follows the one before
            if (clockBack.size() < kListed) {
                TraceFinding f = MakeFinding(
                    FindingKind::ClockBack, lastRelMs,
                    "the clock goes back by " + Duration(static_cast<uint64_t>(back)) +
                        " (daylight saving or a clock set back); the times after it are drawn "
                        "as if it had not");
                f.file = file;
                f.lineNumber = number;
                clockBack.push_back(f);
            }
        }
    }
    previousMs = writtenMs;
    // Never below the line before's: a time that goes back is shifted forward as far (a clock
    // set back) or by a day (past midnight), so no clamp at 0 is needed.
    lastRelMs = static_cast<uint64_t>(writtenMs + shiftMs - startMs);
    return lastRelMs;
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

// A kq5trace header or note, at its own time where it has one.
void TraceAnalysis::Note(const TraceLine& line, size_t number) {
    uint64_t atMs = time_.lastRelMs;
    if (line.timed) {
        atMs = Relative(line.writtenMs, number);
        clock_.Note(atMs, line.localMs);
    }
    // The recorder's and the capture's word on the service ("service kq5 runs as process 428",
    // "... is not running"), for a trace that holds none of its lines.
    if (line.text.find(" runs as process ") != std::string::npos ||
        line.text.find(" is not running") != std::string::npos) {
        serviceNote_ = line.text;
    }
    Event(atMs, NoteEvent{"trace", line.text});
}

// Before a line of the service at ATMS: after a stretch without any, nothing drawn before it
// holds until a line says it again.
void TraceAnalysis::Known(uint64_t atMs) {
    if (coverage_.haveLine && atMs - coverage_.lastLineMs > coverage_.silentMs) {
        drawing_.printerKnown = false;
        drawing_.spoolerKnown = false;
    }
}

// How the trace was read: its lines, the service's processes, what was skipped.
void TraceAnalysis::ReadFindings(std::vector<TraceFinding>& out) const {
    const auto add = [&out](FindingKind kind, uint64_t atMs, const std::string& says) {
        out.push_back(MakeFinding(kind, atMs, says));
    };
    std::string summary = std::to_string(read_.lines) + " lines read, " +
                          std::to_string(read_.serviceLines) + " of the service (process" +
                          (read_.servicePids.size() == 1 ? " " : "es ");
    for (size_t i = 0; i < read_.servicePids.size(); ++i) {
        summary += (i ? ", " : "") + std::to_string(read_.servicePids[i]);
    }
    summary += std::string(read_.servicePids.empty() ? "none" : "") + "), over " +
               Duration(time_.lastRelMs);
    if (clock_.Known()) {
        DatedTimes times(clock_);
        const std::string from = times.First();
        summary += ", from " + from + " to " + times.At(time_.lastRelMs);
    }
    add(FindingKind::LinesRead, 0, summary);
    if (!read_.before.empty()) {
        std::string named;
        for (const std::string& b : read_.before) {
            named += (named.empty() ? "" : ", ") + b;
        }
        add(FindingKind::LinesBefore, 0,
            std::to_string(read_.before.size()) +
                " lines before the first log line skipped (a computer name, a title, "
                "DebugView++'s identification header): " +
                named);
    }
    if (read_.otherProcessLines > 0) {
        add(FindingKind::OtherProcesses, 0,
            std::to_string(read_.otherProcessLines) + " lines of other processes skipped");
    }
    if (read_.kernelLines > 0) {
        add(FindingKind::KernelLines, 0,
            std::to_string(read_.kernelLines) +
                " kernel lines (no [process id]: written by drivers) skipped");
    }
    for (const auto& [why, what] : read_.skipped) {
        add(FindingKind::LinesSkipped, 0,
            std::to_string(what.first) + " lines skipped: " + why + " (line" +
                (what.first == 1 ? " " : "s ") + what.second + (what.first > 5 ? ", ..." : "") +
                ")");
    }
    for (const std::string& file : read_.cut) {
        add(FindingKind::LastLineCut, time_.lastRelMs,
            "the last line" + (file.empty() ? "" : " of " + file) +
                " has no line end: it was cut (skipped)");
    }
    out.insert(out.end(), time_.clockBack.begin(), time_.clockBack.end());
}

// A trace without a line of the service tells nothing of the printer: it says why that usually
// is, rather than that the printer was never found.
TraceFinding TraceAnalysis::NoServiceLine() const {
    TraceFinding f =
        MakeFinding(FindingKind::NoServiceLine, 0,
                    "no line of the service in this trace: nothing in it tells of the printer, "
                    "the queue or the Spooler",
                    Severity::Blocking);
    f.detail.push_back(
        "this usually means that the service was not running (sc query kq5 tells), or that "
        "the capture listened on the other channel: the service writes to the global "
        "debug-output channel, which kq5trace captures unless started with --session, and "
        "DebugView and DebugView++ only with Capture Global Win32 (DebugView: the Capture menu; "
        "DebugView++: the Log menu)");
    if (!serviceNote_.empty()) {
        f.detail.push_back("the capture's last word on the service: \"" + serviceNote_ + "\"");
    }
    return f;
}

// The pace of the status lines.
TraceFinding StatusStats::PaceFinding(bool wholeSeconds) const {
    if (wholeSeconds) {
        // Lines 0.8 s apart read as 0 s or 1 s apart: only the time over the count tells the
        // pace.
        char pace[32];
        std::snprintf(pace, sizeof pace, "%.1f s",
                      lines < 2 ? 0.0
                                : static_cast<double>(lastMs - firstMs) / 1000.0 /
                                      static_cast<double>(lines - 1));
        return MakeFinding(FindingKind::StatusPace, firstMs,
                           std::to_string(lines) + " status lines, one every " + pace +
                               " on average (the log's clock has whole seconds only: the pace is "
                               "measured to the second; the service polls every 0.800 s)");
    }
    // The pace: the median time between two status lines of one process (of an even count,
    // the lower middle). A restart's time is no interval: there are fewer than the lines.
    size_t paced = 0;
    for (const auto& each : intervals) {
        paced += each.second;
    }
    std::string pace = "no two of one process to measure the pace by";
    size_t seen = 0;
    for (const auto& [bucket, count] : intervals) {
        seen += count;
        if (seen * 2 >= paced) {
            pace = "one every " + SecondsText(bucket * 10) +
                   " (median; the service polls every 0.800 s)";
            break;
        }
    }
    return MakeFinding(FindingKind::StatusPace, firstMs,
                       std::to_string(lines) + " status lines, " + pace);
}

// The pace of the status lines, their gaps and the status changes.
void StatusStats::Findings(std::vector<TraceFinding>& out, bool wholeSeconds) {
    out.push_back(PaceFinding(wholeSeconds));
    if (gaps.empty()) {
        out.push_back(MakeFinding(FindingKind::NoGap, firstMs, "no gap longer than two cycles"));
    } else {
        TraceFinding gapFinding = MakeFinding(
            FindingKind::Gaps, firstGapMs,
            "gaps longer than two cycles within one process (the service was held, the printer "
            "was away, or the capture was not running):",
            Severity::Gaps);
        gapFinding.detail = gaps;
        if (moreGaps > 0) {
            gapFinding.more = "... and " + std::to_string(moreGaps) + " more; the longest " +
                              Duration(longestGapMs);
        }
        out.push_back(gapFinding);
    }
    EndCode(lastMs);
    if (moreChanges == 0 && !changes.empty()) {
        changes.back() += ", " + Duration(lastMs - codeSinceMs) + " (" + std::to_string(codeLines) +
                          " lines) to the last status line";
    }
    TraceFinding changeFinding =
        MakeFinding(FindingKind::StatusChanges, firstMs, "status changes:");
    changeFinding.detail = changes;
    if (moreChanges > 0) {
        changeFinding.more = "... and " + std::to_string(moreChanges) + " more changes";
    }
    out.push_back(changeFinding);
    std::string times = "time in each status:";
    for (const auto& [each, ms] : timeInCode) {
        times += " " + std::to_string(each) + " " + Duration(ms) + ";";
    }
    out.push_back(MakeFinding(FindingKind::TimeInStatus, firstMs, times));
}

namespace {

// " MainError:N" in words: the last error code the process held when it ended.
std::string LastErrorMeaning(long long code) {
    return std::string("(its last error code when it ended") +
           (code == 0 ? ": none" : ", see the Win32 error list") + "; not by itself a fault)";
}

std::string LastErrorText(long long code) {
    return "\" MainError:" + std::to_string(code) + "\" " + LastErrorMeaning(code);
}

}  // namespace

// Each restart in time order (not a fault: the time between two processes is no gap), and the
// service's end, serious only when no later process follows.
void TraceAnalysis::ProcessFindings(std::vector<TraceFinding>& out) const {
    const std::vector<ServiceProcess>& processes = coverage_.processes;
    for (size_t i = 1; i < processes.size(); ++i) {
        const ServiceProcess& was = processes[i - 1];
        const ServiceProcess& now = processes[i];
        DatedTimes times(clock_);
        const std::string ended = times.At(was.lastMs);
        // A service started again while its old process still wrote its last lines was never
        // away: the old process's end may come after the new one's first line.
        const uint64_t awayMs = std::max(now.firstMs, was.lastMs) - was.lastMs;
        out.push_back(MakeFinding(
            FindingKind::Restart, now.firstMs,
            "the service restarted: process " + std::to_string(was.pid) +
                (was.ended ? " ended at " + ended + " with " + LastErrorText(was.lastError)
                           : " wrote its last line at " + ended +
                                 ", without \" MainError:\" (killed, or its end not captured)") +
                "; process " + std::to_string(now.pid) + " wrote its first line at " +
                times.At(now.firstMs) + ", the service away " + Duration(awayMs)));
    }
    if (processes.empty()) {
        return;
    }
    if (processes.back().ended) {
        out.push_back(MakeFinding(FindingKind::ServiceEnded, processes.back().lastMs,
                                  "the service ended: \"" + errors_.mainErrorText + "\" at " +
                                      DatedTimes(clock_).At(processes.back().lastMs) + " " +
                                      LastErrorMeaning(processes.back().lastError) +
                                      ", and no later process follows",
                                  Severity::ServiceEnded));
    } else {
        out.push_back(MakeFinding(FindingKind::NoEnd, time_.lastRelMs,
                                  "the trace ends without \" MainError:\": the process was killed "
                                  "or is still running"));
    }
}

// The queue's open errors, the registry's and the failed reads of the queue's record.
void ErrorTallies::Findings(std::vector<TraceFinding>& out, const TraceClock& clock) const {
    for (const auto& [code, what] : openErrors) {
        char hex[24];  // "0x" and up to 16 digits: a damaged line may hold any code
        std::snprintf(hex, sizeof hex, "0x%lx", code);
        out.push_back(MakeFinding(
            FindingKind::OpenFailed, what.second,
            "the queue could not be opened " + std::to_string(what.first) + " times with " + hex +
                ", the first at " + DatedTimes(clock).At(what.second) + ": " +
                OpenErrorMeaning(code),
            code == kErrorRpcServerUnavailable ? Severity::Blocking : Severity::Ordinary));
    }
    for (const auto& [code, what] : registryErrors) {
        out.push_back(MakeFinding(FindingKind::RegistryFailed, what.second,
                                  std::to_string(what.first) +
                                      " registry reads failed with GetLastError:" +
                                      std::to_string(code) + ": " + RegistryMeaning(code)));
    }
    if (readFailures > 0) {
        out.push_back(MakeFinding(
            FindingKind::RecordUnread, firstReadFailureMs,
            "the queue's record could not be read " + std::to_string(readFailures) + " times"));
    }
}

std::vector<TraceFinding> TraceAnalysis::Findings() {
    std::vector<TraceFinding> out;
    if (read_.serviceLines == 0) {
        out.push_back(NoServiceLine());
    }
    ReadFindings(out);
    if (read_.serviceLines > 0 && status_.lines == 0) {
        out.push_back(
            MakeFinding(FindingKind::PrinterNeverFound, 0,
                        "the printer was never found: no \"KQ5 STATUS\" line" +
                            std::string(errors_.discoveryLines > 0
                                            ? " (" + std::to_string(errors_.discoveryLines) +
                                                  " devices listed, none opened and read)"
                                            : " and no device listed"),
                        Severity::NoPrinter));
    } else if (status_.lines > 0) {
        status_.Findings(out, wholeSeconds_);
    }
    errors_.Findings(out, clock_);
    ProcessFindings(out);
    return out;
}

Picture TraceAnalysis::Draw(const std::string& layoutName) const {
    Picture p = drawing_.picture;
    p.queuePort = "port not traced";
    for (const auto& [bucket, tick] : drawing_.buckets.ticks) {
        const size_t count = drawing_.buckets.counts.at(bucket);
        p.timeline.push_back(TimelineEvent{
            tick.first, TickEvent{std::to_string(count) + (count == 1 ? " line" : " lines") +
                                  " from here:\n" + tick.second}});
    }
    p.timeline.push_back(TimelineEvent{time_.lastRelMs, TraceEndEvent{}});
    std::stable_sort(
        p.timeline.begin(), p.timeline.end(),
        [](const TimelineEvent& a, const TimelineEvent& b) { return a.timeMs < b.timeMs; });
    p.subtitle = "A trace of kq5 on a real machine (" + layoutName +
                 "); the queue lane shows what the service commanded, which the trace cannot see "
                 "done";
    p.queueCaption = "as commanded";
    p.fromTrace = true;
    p.clock = clock_;
    p.uncovered = coverage_.uncovered;
    return p;
}

std::string FindingHeadline(const TraceFinding& f) {
    return f.lineNumber == 0 ? f.says : "line " + LineWhere(f.file, f.lineNumber) + ": " + f.says;
}

// The text: a finding's first line indented by two, its detail by four, its summing up by two.
std::string FormatFindings(const std::vector<TraceFinding>& findings) {
    std::string out = "Findings:\n";
    for (const TraceFinding& f : findings) {
        out += "  " + FindingHeadline(f) + "\n";
        for (const std::string& line : f.detail) {
            out += "    " + line + "\n";
        }
        if (!f.more.empty()) {
            out += "  " + f.more + "\n";
        }
    }
    return out;
}
