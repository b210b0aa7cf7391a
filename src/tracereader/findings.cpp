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
}

void TraceAnalysis::Finish() {
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

void TraceAnalysis::Status(uint64_t atMs, int code) {
    ++statusLines_;
    if (haveStatus_) {
        const uint64_t gap = atMs - lastStatusMs_;
        ++intervals_[std::min<uint64_t>(gap / 10, 100000)];
        // A clock with whole seconds makes two lines 0.8 s apart up to 1 s further apart.
        if (gap > 2 * kCycleMs + (wholeSeconds_ ? 1000 : 0)) {
            longestGapMs_ = std::max(longestGapMs_, gap);
            if (gaps_.empty() && moreGaps_ == 0) {
                firstGapMs_ = lastStatusMs_;
            }
            if (gaps_.size() < kListed) {
                gaps_.push_back("    no status line for " + Duration(gap) + ", from " +
                                SecondsText(lastStatusMs_) + " to " + SecondsText(atMs));
            } else {
                ++moreGaps_;
            }
        }
    } else {
        firstStatusMs_ = atMs;
    }
    if (!haveStatus_ || code != currentCode_) {
        if (haveStatus_) {
            EndState(atMs);
            if (changes_.size() < kListed) {
                changes_.back() += ", " + Duration(atMs - codeSinceMs_) + " (" +
                                   std::to_string(codeLines_) + " lines)";
            }
        }
        if (changes_.size() < kListed) {
            changes_.push_back("    at " + SecondsText(atMs) + ": status " + std::to_string(code) +
                               " (" + CodeMeaning(code) + ")");
        } else {
            ++moreChanges_;
        }
        currentCode_ = code;
        codeSinceMs_ = atMs;
        codeLines_ = 0;
        DrawCommanded(atMs, code);
    }
    ++codeLines_;
    haveStatus_ = true;
    lastStatusMs_ = atMs;
    // A cycle whose queue command got through: the Spooler answers again.
    if (spoolerDown_ && !openFailedThisCycle_ &&
        ClassifyStatus(static_cast<std::int8_t>(code)) != QueueAction::None) {
        spoolerDown_ = false;
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
        picture_.timeline.push_back(TimelineEvent{atMs, ProcessFirstLineEvent{pid}});
    }
    // kq5trace keeps the line end; DebugView shows the line without it.
    const OutputEvent line = ReadServiceLine(Channel::Debug, text, layout_ == Layout::Kq5trace);
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
            mainError_ = true;
            mainErrorMs_ = atMs;
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
    if (code == kErrorRpcServerUnavailable && !spoolerDown_) {
        spoolerDown_ = true;
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
            Event(lastRelMs, NoteEvent{"trace", line.text});
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
    ServiceLine(Relative(line.writtenMs, number), line.pid, line.text, number);
}

std::vector<TraceFinding> TraceAnalysis::Findings() {
    std::vector<TraceFinding> out;
    const auto add = [&out](int rank, uint64_t atMs, const std::string& line) {
        out.emplace_back(rank, atMs, line);
    };
    std::string summary = "  " + std::to_string(lines_) + " lines read, " +
                          std::to_string(serviceLines_) + " of the service (process" +
                          (servicePids_.size() == 1 ? " " : "es ");
    for (size_t i = 0; i < servicePids_.size(); ++i) {
        summary += (i ? ", " : "") + std::to_string(servicePids_[i]);
    }
    summary += std::string(servicePids_.empty() ? "none" : "") + "), over " + Duration(lastRelMs);
    add(kOrdinary, 0, summary);
    if (!before_.empty()) {
        std::string named;
        for (const std::string& b : before_) {
            named += (named.empty() ? "" : ", ") + b;
        }
        add(kOrdinary, 0,
            "  " + std::to_string(before_.size()) +
                " lines before the first log line skipped (a computer name, a title): " + named);
    }
    if (otherProcessLines_ > 0) {
        add(kOrdinary, 0,
            "  " + std::to_string(otherProcessLines_) + " lines of other processes skipped");
    }
    if (kernelLines_ > 0) {
        add(kOrdinary, 0,
            "  " + std::to_string(kernelLines_) +
                " kernel lines (no [process id]: written by drivers) skipped");
    }
    for (const auto& [why, what] : skipped_) {
        add(kOrdinary, 0,
            "  " + std::to_string(what.first) + " lines skipped: " + why + " (line" +
                (what.first == 1 ? " " : "s ") + what.second + (what.first > 5 ? ", ..." : "") +
                ")");
    }
    for (const std::string& file : cut_) {
        add(kOrdinary, lastRelMs,
            "  the last line" + (file.empty() ? "" : " of " + file) +
                " has no line end: it was cut (skipped)");
    }
    for (const auto& [atMs, text] : clockBack_) {
        add(kOrdinary, atMs, text);
    }
    if (statusLines_ == 0) {
        add(kPrinterNeverFound, 0,
            "  the printer was never found: no \"KQ5 STATUS\" line" +
                std::string(discoveryLines_ > 0 ? " (" + std::to_string(discoveryLines_) +
                                                      " devices listed, none opened and read)"
                                                : " and no device listed"));
    } else {
        if (wholeSeconds_) {
            // Lines 0.8 s apart read as 0 s or 1 s apart: only the time over the count tells
            // the pace.
            char pace[32];
            std::snprintf(pace, sizeof pace, "%.1f s",
                          statusLines_ < 2 ? 0.0
                                           : static_cast<double>(lastStatusMs_ - firstStatusMs_) /
                                                 1000.0 / static_cast<double>(statusLines_ - 1));
            add(kOrdinary, firstStatusMs_,
                "  " + std::to_string(statusLines_) + " status lines, one every " + pace +
                    " on average (the log's clock has whole seconds only: the pace is measured "
                    "to the second; the service polls every 0.800 s)");
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
            add(kOrdinary, firstStatusMs_,
                "  " + std::to_string(statusLines_) + " status lines, one every " +
                    SecondsText(median) + " (median; the service polls every 0.800 s)");
        }
        if (gaps_.empty()) {
            add(kOrdinary, firstStatusMs_, "  no gap longer than two cycles");
        } else {
            TraceFinding gaps(kGaps, firstGapMs_,
                              "  gaps longer than two cycles (the service was held, or the printer "
                              "was away):");
            gaps.lines.insert(gaps.lines.end(), gaps_.begin(), gaps_.end());
            if (moreGaps_ > 0) {
                gaps.lines.push_back("  ... and " + std::to_string(moreGaps_) +
                                     " more; the longest " + Duration(longestGapMs_));
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
        add(kOrdinary, firstStatusMs_, times);
    }
    for (const auto& [code, what] : openErrors_) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%lx", code);
        add(code == 0x6ba ? kSpoolerDown : kOrdinary, what.second,
            "  the queue could not be opened " + std::to_string(what.first) + " times with " + hex +
                ", the first at " + SecondsText(what.second) + ": " + OpenErrorMeaning(code));
    }
    for (const auto& [code, what] : registryErrors_) {
        add(kOrdinary, what.second,
            "  " + std::to_string(what.first) + " registry reads failed with GetLastError:" +
                std::to_string(code) + ": " + RegistryMeaning(code));
    }
    if (readFailures_ > 0) {
        add(kOrdinary, firstReadFailureMs_,
            "  the queue's record could not be read " + std::to_string(readFailures_) + " times");
    }
    if (mainError_) {
        add(kServiceEnded, mainErrorMs_, "  the service ended: \"" + mainErrorText_ + "\"");
    } else {
        add(kOrdinary, lastRelMs,
            "  the trace ends without \" MainError:\": the process was killed or is still "
            "running");
    }
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
