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
    switch (ClassifyStatus(static_cast<std::int8_t>(code))) {
        case QueueAction::DoorOpen:
            return "door open: the service commanded pause, status door open";
        case QueueAction::PaperOut:
            return "paper out: the service commanded pause, status paper out";
        case QueueAction::Ready:
            return "ready: the service commanded resume, no status";
        case QueueAction::None:
            break;
    }
    return "unknown code: the service commanded nothing";
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

TraceAnalysis::TraceAnalysis() : folder_([this](const std::string& piece) { timeline += piece; }) {}

void TraceAnalysis::BeginFile(const std::string& label) {
    file_ = label;
    layout_ = Layout::Unknown;
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
    coverage_.Finish(lastRelMs);
    folder_.Finish();
}

std::string TraceAnalysis::Where(size_t number) const {
    return file_.empty() ? std::to_string(number) : file_ + ":" + std::to_string(number);
}

void TraceAnalysis::Skip(size_t number, const std::string& why) {
    auto& [count, first] = skipped_[why];
    if (++count <= 5) {
        first += (first.empty() ? "" : ", ") + Where(number);
    }
}

void TraceAnalysis::Cut() {
    cut_.push_back(file_);
}

void TraceAnalysis::Event(uint64_t atMs, EventDetail detail) {
    folder_.Add(TimelineEvent{atMs, std::move(detail)});
}

void TraceAnalysis::EndState(uint64_t untilMs) {
    if (haveStatus_) {
        timeInCode_[currentCode_] += untilMs - codeSinceMs_;
    }
}

// The time since the last status line of the same process: the pace, and a gap when it is
// longer than two cycles. The time between two processes is a restart, told apart.
void TraceAnalysis::Gap(uint64_t atMs) {
    const uint64_t gap = atMs - lastStatusMs_;
    ++intervals_[std::min<uint64_t>(gap / 10, 100000)];
    if (gap <= coverage_.silentMs) {
        return;
    }
    longestGapMs_ = std::max(longestGapMs_, gap);
    if (gaps_.empty() && moreGaps_ == 0) {
        firstGapMs_ = lastStatusMs_;
    }
    if (gaps_.size() < kListed) {
        DatedTimes times(clock_);
        const std::string from = times.At(lastStatusMs_);
        gaps_.push_back("    no status line for " + Duration(gap) + ", from " + from + " to " +
                        times.At(atMs));
    } else {
        ++moreGaps_;
    }
}

void TraceAnalysis::Status(uint64_t atMs, int code) {
    ++statusLines_;
    if (haveStatus_ && statusProcess_ == coverage_.current) {
        Gap(atMs);
    } else if (!haveStatus_) {
        firstStatusMs_ = atMs;
    }
    statusProcess_ = coverage_.current;
    if (!haveStatus_ || code != currentCode_) {
        if (haveStatus_) {
            EndState(atMs);
            if (changes_.size() < kListed) {
                changes_.back() += ", " + Duration(atMs - codeSinceMs_) + " (" +
                                   std::to_string(codeLines_) + " lines)";
            }
        }
        if (changes_.size() < kListed) {
            changes_.push_back("    at " + changeTimes_.At(atMs) + ": status " +
                               std::to_string(code) + " (" + CodeMeaning(code) + ")");
        } else {
            ++moreChanges_;
        }
        currentCode_ = code;
        codeSinceMs_ = atMs;
        codeLines_ = 0;
        DrawCommanded(atMs, code);
    } else if (!printerKnown_) {
        DrawCommanded(atMs, code);  // the first after a stretch without lines
    }
    printerKnown_ = true;
    ++codeLines_;
    haveStatus_ = true;
    lastStatusMs_ = atMs;
    // A cycle whose queue command got through: the Spooler answers (again).
    if ((spoolerDown_ || !spoolerKnown_) && !openFailedThisCycle_ &&
        ClassifyStatus(static_cast<std::int8_t>(code)) != QueueAction::None) {
        spoolerDown_ = false;
        spoolerKnown_ = true;
        picture_.timeline.push_back(
            TimelineEvent{atMs, ServiceStepEvent{"Spooler", ServiceStep::Running}});
    }
    openFailedThisCycle_ = false;
}

// The picture: the printer's new code, and the queue as the service commanded it.
void TraceAnalysis::DrawCommanded(uint64_t atMs, int code) {
    picture_.printer.push_back(PrinterChange{atMs, true, code});
    const QueueAction action = ClassifyStatus(static_cast<std::int8_t>(code));
    const bool pause = action == QueueAction::DoorOpen || action == QueueAction::PaperOut;
    if (action != QueueAction::None) {
        picture_.timeline.push_back(TimelineEvent{atMs, QueuePausedEvent{pause}});
        const uint32_t status = action == QueueAction::DoorOpen   ? kPrinterStatusDoorOpen
                                : action == QueueAction::PaperOut ? kPrinterStatusPaperOut
                                                                  : 0;
        picture_.timeline.push_back(TimelineEvent{atMs, QueueStatusEvent{status, true}});
    }
}

// One line of the service (TEXT escaped) at ATMS since the first line.
void TraceAnalysis::ServiceLine(uint64_t atMs, unsigned long pid, const std::string& text,
                                size_t number) {
    if (std::find(servicePids_.begin(), servicePids_.end(), pid) == servicePids_.end()) {
        servicePids_.push_back(pid);
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
        picture_.timeline.push_back(TimelineEvent{atMs, ProcessFirstLineEvent{pid}});
    }
    if (line.says == LineSays::Status && !line.whole) {
        Skip(number, "a status line cut or malformed");
        return;
    }
    Said(atMs, line);
    ++serviceLines_;
    const std::string shown = "debug " + EventText(TimelineEvent{atMs, line});
    Event(atMs, line);
    if (line.says != LineSays::Status || buckets_.ticks.count(atMs / buckets_.widthMs) == 0) {
        buckets_.Add(atMs, shown);
    } else {
        ++buckets_.counts[atMs / buckets_.widthMs];
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
            auto& [count, first] = registryErrors_[static_cast<long>(line.code)];
            if (count++ == 0) {
                first = atMs;
            }
            picture_.actions.push_back(
                LaneMark{atMs, "printer", "registry read failed: " + line.text});
            break;
        }
        case LineSays::DevicePath:
            ++discoveryLines_;
            picture_.actions.push_back(LaneMark{atMs, "service", "discovery:" + line.path});
            break;
        case LineSays::MainError:
            mainErrorText_ = line.text;
            picture_.timeline.push_back(TimelineEvent{atMs, ProcessEndedEvent{line.text}});
            break;
        case LineSays::ReadFailure:
            if (readFailures_++ == 0) {
                firstReadFailureMs_ = atMs;
            }
            break;
        case LineSays::GetPrinterHandle:
        case LineSays::Other:
            break;
    }
}

void TraceAnalysis::OpenError(uint64_t atMs, unsigned long code) {
    auto& [count, first] = openErrors_[code];
    if (count++ == 0) {
        first = atMs;
    }
    openFailedThisCycle_ = true;
    if (code == kErrorRpcServerUnavailable && (!spoolerDown_ || !spoolerKnown_)) {
        spoolerDown_ = true;
        spoolerKnown_ = true;
        picture_.timeline.push_back(
            TimelineEvent{atMs, ServiceStepEvent{"Spooler", ServiceStep::Stopped}});
    }
}

// The time of a line relative to the first, with the day's rollover and clock jumps.
uint64_t TraceAnalysis::Relative(long long writtenMs, size_t number) {
    if (!haveStart_) {
        haveStart_ = true;
        startMs_ = previousMs_ = writtenMs;
    }
    if (writtenMs < previousMs_) {
        const long long back = previousMs_ - writtenMs;
        if (layout_ == Layout::DebugViewClock && back > 12 * 3600000LL) {
            shiftMs_ += 24 * 3600000LL;  // past midnight
        } else {
            shiftMs_ += back;  // the clock was set back: the line follows the one before
            if (clockBack_.size() < kListed) {
                clockBack_.emplace_back(
                    lastRelMs, "  line " + Where(number) + ": the clock goes back by " +
                                   Duration(static_cast<uint64_t>(back)) +
                                   " (daylight saving or a clock set back); the times after it "
                                   "are drawn as if it had not");
            }
        }
    }
    previousMs_ = writtenMs;
    const long long rel = writtenMs + shiftMs_ - startMs_;
    lastRelMs = static_cast<uint64_t>(rel < 0 ? 0 : rel);
    return lastRelMs;
}

void TraceAnalysis::Line(const TraceLine& line, size_t number) {
    ++lines_;
    switch (line.kind) {
        case LineKind::Before:
            before_.push_back("line " + Where(number) + " \"" + line.text + "\"");
            return;
        case LineKind::Header:
        case LineKind::Note:
            Note(line, number);
            return;
        case LineKind::Kernel:
            ++kernelLines_;
            return;
        case LineKind::Damaged:
        case LineKind::NotATrace:
            Skip(number, line.text);
            return;
        case LineKind::Entry:
            break;
    }
    // kq5trace keeps the service's lines only; a DebugView log has every process's.
    const bool known =
        std::find(servicePids_.begin(), servicePids_.end(), line.pid) != servicePids_.end();
    if (layout_ != Layout::Kq5trace && !known && !IsServiceText(line.text)) {
        ++otherProcessLines_;
        return;
    }
    const uint64_t atMs = Relative(line.writtenMs, number);
    clock_.Note(atMs, line.localMs);
    ServiceLine(atMs, line.pid, line.text, number);
}

// A kq5trace header or note, at its own time where it has one.
void TraceAnalysis::Note(const TraceLine& line, size_t number) {
    uint64_t atMs = lastRelMs;
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
        printerKnown_ = false;
        spoolerKnown_ = false;
    }
}

// How the trace was read: its lines, the service's processes, what was skipped.
void TraceAnalysis::ReadFindings(std::vector<TraceFinding>& out) const {
    const auto add = [&out](uint64_t atMs, const std::string& line) {
        out.emplace_back(kOrdinary, atMs, line);
    };
    std::string summary = "  " + std::to_string(lines_) + " lines read, " +
                          std::to_string(serviceLines_) + " of the service (process" +
                          (servicePids_.size() == 1 ? " " : "es ");
    for (size_t i = 0; i < servicePids_.size(); ++i) {
        summary += (i ? ", " : "") + std::to_string(servicePids_[i]);
    }
    summary += std::string(servicePids_.empty() ? "none" : "") + "), over " + Duration(lastRelMs);
    if (clock_.Known()) {
        DatedTimes times(clock_);
        const std::string from = times.At(0);
        summary += ", from " + from + " to " + times.At(lastRelMs);
    }
    add(0, summary);
    if (!before_.empty()) {
        std::string named;
        for (const std::string& b : before_) {
            named += (named.empty() ? "" : ", ") + b;
        }
        add(0, "  " + std::to_string(before_.size()) +
                   " lines before the first log line skipped (a computer name, a title, "
                   "DebugView++'s identification header): " +
                   named);
    }
    if (otherProcessLines_ > 0) {
        add(0, "  " + std::to_string(otherProcessLines_) + " lines of other processes skipped");
    }
    if (kernelLines_ > 0) {
        add(0, "  " + std::to_string(kernelLines_) +
                   " kernel lines (no [process id]: written by drivers) skipped");
    }
    for (const auto& [why, what] : skipped_) {
        add(0, "  " + std::to_string(what.first) + " lines skipped: " + why + " (line" +
                   (what.first == 1 ? " " : "s ") + what.second + (what.first > 5 ? ", ..." : "") +
                   ")");
    }
    for (const std::string& file : cut_) {
        add(lastRelMs, "  the last line" + (file.empty() ? "" : " of " + file) +
                           " has no line end: it was cut (skipped)");
    }
    for (const auto& [atMs, text] : clockBack_) {
        add(atMs, text);
    }
}

// A trace without a line of the service tells nothing of the printer: it says why that usually
// is, rather than that the printer was never found.
TraceFinding TraceAnalysis::NoServiceLine() const {
    TraceFinding f(kNoServiceLine, 0,
                   "  no line of the service in this trace: nothing in it tells of the printer, "
                   "the queue or the Spooler");
    f.lines.push_back(
        "    this usually means that the service was not running (sc query kq5 tells), or that "
        "the capture listened on the other channel: the service writes to the global "
        "debug-output channel, which kq5trace captures unless started with --session, and "
        "DebugView and DebugView++ only with Capture Global Win32 (DebugView: the Capture menu; "
        "DebugView++: the Log menu)");
    if (!serviceNote_.empty()) {
        f.lines.push_back("    the capture's last word on the service: \"" + serviceNote_ + "\"");
    }
    return f;
}

// The pace of the status lines, their gaps and the status changes.
void TraceAnalysis::StatusFindings(std::vector<TraceFinding>& out) {
    if (wholeSeconds_) {
        // Lines 0.8 s apart read as 0 s or 1 s apart: only the time over the count tells the
        // pace.
        char pace[32];
        std::snprintf(pace, sizeof pace, "%.1f s",
                      statusLines_ < 2 ? 0.0
                                       : static_cast<double>(lastStatusMs_ - firstStatusMs_) /
                                             1000.0 / static_cast<double>(statusLines_ - 1));
        out.emplace_back(kOrdinary, firstStatusMs_,
                         "  " + std::to_string(statusLines_) + " status lines, one every " + pace +
                             " on average (the log's clock has whole seconds only: the pace is "
                             "measured to the second; the service polls every 0.800 s)");
    } else {
        // The pace: the median time between status lines.
        size_t seen = 0;
        uint64_t median = 0;
        for (const auto& [bucket, count] : intervals_) {
            seen += count;
            if (seen * 2 >= statusLines_ - 1) {
                median = bucket * 10;
                break;
            }
        }
        out.emplace_back(kOrdinary, firstStatusMs_,
                         "  " + std::to_string(statusLines_) + " status lines, one every " +
                             SecondsText(median) + " (median; the service polls every 0.800 s)");
    }
    if (gaps_.empty()) {
        out.emplace_back(kOrdinary, firstStatusMs_, "  no gap longer than two cycles");
    } else {
        TraceFinding gaps(kGaps, firstGapMs_,
                          "  gaps longer than two cycles within one process (the service was "
                          "held, the printer was away, or the capture was not running):");
        gaps.lines.insert(gaps.lines.end(), gaps_.begin(), gaps_.end());
        if (moreGaps_ > 0) {
            gaps.lines.push_back("  ... and " + std::to_string(moreGaps_) + " more; the longest " +
                                 Duration(longestGapMs_));
        }
        out.push_back(gaps);
    }
    EndState(lastStatusMs_);
    if (changes_.size() <= kListed && moreChanges_ == 0 && !changes_.empty()) {
        changes_.back() += ", " + Duration(lastStatusMs_ - codeSinceMs_) + " (" +
                           std::to_string(codeLines_) + " lines) to the last status line";
    }
    TraceFinding changes(kOrdinary, firstStatusMs_, "  status changes:");
    changes.lines.insert(changes.lines.end(), changes_.begin(), changes_.end());
    if (moreChanges_ > 0) {
        changes.lines.push_back("  ... and " + std::to_string(moreChanges_) + " more changes");
    }
    out.push_back(changes);
    std::string times = "  time in each status:";
    for (const auto& [code, ms] : timeInCode_) {
        times += " " + std::to_string(code) + " " + Duration(ms) + ";";
    }
    out.emplace_back(kOrdinary, firstStatusMs_, times);
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
        out.emplace_back(
            kOrdinary, now.firstMs,
            "  the service restarted: process " + std::to_string(was.pid) +
                (was.ended ? " ended at " + ended + " with " + LastErrorText(was.lastError)
                           : " wrote its last line at " + ended +
                                 ", without \" MainError:\" (killed, or its end not captured)") +
                "; process " + std::to_string(now.pid) + " wrote its first line at " +
                times.At(now.firstMs) + ", the service away " + Duration(now.firstMs - was.lastMs));
    }
    if (processes.empty()) {
        return;
    }
    if (processes.back().ended) {
        out.emplace_back(kServiceEnded, processes.back().lastMs,
                         "  the service ended: \"" + mainErrorText_ + "\" at " +
                             DatedTimes(clock_).At(processes.back().lastMs) + " " +
                             LastErrorMeaning(processes.back().lastError) +
                             ", and no later process follows");
    } else {
        out.emplace_back(kOrdinary, lastRelMs,
                         "  the trace ends without \" MainError:\": the process was killed or is "
                         "still running");
    }
}

std::vector<TraceFinding> TraceAnalysis::Findings() {
    std::vector<TraceFinding> out;
    if (serviceLines_ == 0) {
        out.push_back(NoServiceLine());
    }
    ReadFindings(out);
    if (serviceLines_ > 0 && statusLines_ == 0) {
        out.emplace_back(
            kPrinterNeverFound, 0,
            "  the printer was never found: no \"KQ5 STATUS\" line" +
                std::string(discoveryLines_ > 0 ? " (" + std::to_string(discoveryLines_) +
                                                      " devices listed, none opened and read)"
                                                : " and no device listed"));
    } else if (statusLines_ > 0) {
        StatusFindings(out);
    }
    for (const auto& [code, what] : openErrors_) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%lx", code);
        out.emplace_back(code == 0x6ba ? kSpoolerDown : kOrdinary, what.second,
                         "  the queue could not be opened " + std::to_string(what.first) +
                             " times with " + hex + ", the first at " +
                             DatedTimes(clock_).At(what.second) + ": " + OpenErrorMeaning(code));
    }
    for (const auto& [code, what] : registryErrors_) {
        out.emplace_back(kOrdinary, what.second,
                         "  " + std::to_string(what.first) +
                             " registry reads failed with GetLastError:" + std::to_string(code) +
                             ": " + RegistryMeaning(code));
    }
    if (readFailures_ > 0) {
        out.emplace_back(
            kOrdinary, firstReadFailureMs_,
            "  the queue's record could not be read " + std::to_string(readFailures_) + " times");
    }
    ProcessFindings(out);
    return out;
}

Picture TraceAnalysis::Draw(const std::string& layoutName) const {
    Picture p = picture_;
    p.queuePort = "port not traced";
    for (const auto& [bucket, tick] : buckets_.ticks) {
        const size_t count = buckets_.counts.at(bucket);
        p.timeline.push_back(TimelineEvent{
            tick.first, TickEvent{std::to_string(count) + (count == 1 ? " line" : " lines") +
                                  " from here:\n" + tick.second}});
    }
    p.timeline.push_back(TimelineEvent{lastRelMs, TraceEndEvent{}});
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

std::string FormatFindings(const std::vector<TraceFinding>& findings) {
    std::string out = "Findings:\n";
    for (const TraceFinding& f : findings) {
        for (const std::string& line : f.lines) {
            out += line + "\n";
        }
    }
    return out;
}
