// The findings of a whole trace: how it was read, what the status lines and the errors say, and
// the service's processes.
#include "tracereader/analysis.h"

#include <algorithm>

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

// How the trace was read: its lines, the service's processes, what was skipped.
void TraceAnalysis::ReadFindings(std::vector<TraceFinding>& out) const {
    const auto add = [&out](FindingKind kind, uint64_t atMs, const std::string& says) {
        out.push_back(MakeFinding(kind, atMs, says));
    };
    std::string summary = Counted(read_.lines, "line") + " read, " +
                          std::to_string(read_.serviceLines) + " of the service (process" +
                          (read_.servicePids.size() == 1 ? " " : "es ");
    for (size_t i = 0; i < read_.servicePids.size(); ++i) {
        summary += (i ? ", " : "") + std::to_string(read_.servicePids[i]);
    }
    summary += std::string(read_.servicePids.empty() ? "none" : "") + "), over " +
               DurationText(time_.lastRelMs);
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
            Counted(read_.before.size(), "line") +
                " before the first log line skipped (a computer name, a title, "
                "DebugView++'s identification header): " +
                named);
    }
    if (read_.otherProcessLines > 0) {
        add(FindingKind::OtherProcesses, 0,
            Counted(read_.otherProcessLines, "line") + " of other processes skipped");
    }
    if (read_.kernelLines > 0) {
        add(FindingKind::KernelLines, 0,
            Counted(read_.kernelLines, "kernel line") +
                " (no [process id]: written by drivers) skipped");
    }
    for (const auto& [why, what] : read_.skipped) {
        add(FindingKind::LinesSkipped, 0,
            Counted(what.first, "line") + " skipped: " + why + " (line" +
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

// Each restart in time order (not by itself a fault; the time between two processes is a stretch
// nobody saw, named with the stretches), and the service's end, serious only when no later
// process follows.
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
                times.At(now.firstMs) + ", no line of the service between for " +
                DurationText(awayMs)));
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
        out.push_back(MakeFinding(
            FindingKind::NoEnd, time_.lastRelMs,
            "the trace ends without \" MainError:\": the process was killed or is still running, "
            "or the recording stopped; the service's last line at " +
                DatedTimes(clock_).At(coverage_.lastLineMs)));
    }
}

// One stretch without a line of the service: how long, between which lines, and whether
// kq5trace's notes say that it was recording.
std::string TraceAnalysis::StretchText(const Uncovered& stretch, const StretchNotes& notes) const {
    DatedTimes times(clock_);
    const std::string from = times.At(stretch.fromMs);
    std::string text = DurationText(stretch.toMs - stretch.fromMs) + ", from " + from + " to " +
                       times.At(stretch.toMs);
    const std::string was = "process " + std::to_string(notes.fromPid);
    if (notes.fromPid == 0) {
        text += ", before the first line of the service";
    } else if (stretch.afterEnd) {
        text += ": " + was + " had ended";
    } else if (stretch.toEnd) {
        text += ", after the last line of " + was;
    } else if (notes.toPid != notes.fromPid) {
        text +=
            ": the lines of " + was + " stop, process " + std::to_string(notes.toPid) + " starts";
    }
    // A stop or another viewer ends what kq5trace heard: it listened up to its note.
    if (!notes.unrecorded.empty()) {
        return text + "; kq5trace listened, the service writing nothing, until it noted \"" +
               notes.unrecorded + "\"" +
               (notes.unrecordedMs < stretch.toMs ? "; from then on nothing was recorded" : "");
    }
    if (notes.started && notes.startedMs > stretch.fromMs) {
        return text + "; not recorded: kq5trace started again at " + times.At(notes.startedMs);
    }
    if (!notes.listened.empty()) {
        return text + "; kq5trace was recording (it noted \"" + notes.listened +
               "\"): the service wrote nothing";
    }
    if (notes.started) {
        return text + "; kq5trace was recording from its start: the service wrote nothing";
    }
    return text + "; no note of kq5trace in it: the trace does not tell whether anyone recorded";
}

namespace {

// A stretch between two status lines of one process that no note speaks of: the status lines'
// gaps name it.
bool NamedByGaps(const StretchNotes& notes) {
    return notes.inStatusGap && notes.listened.empty() && notes.unrecorded.empty() &&
           !notes.started;
}

// A stretch after the service's process had ended, before the next one's first line, while
// kq5trace listened throughout: the restart's finding tells it, and the recording missed nothing.
bool ToldByRestart(const Uncovered& stretch, const StretchNotes& notes) {
    return stretch.afterEnd && !stretch.toEnd && !notes.listened.empty() &&
           notes.unrecorded.empty();
}

}  // namespace

// The stretches without a line of the service: nothing in them is seen, no state is counted.
// Those after a process's end that kq5trace listened to throughout are restarts, told apart from
// the rest, which are serious.
void TraceAnalysis::StretchFindings(std::vector<TraceFinding>& out) const {
    if (read_.serviceLines == 0) {
        return;
    }
    StretchFinding(out, false);
    StretchFinding(out, true);
}

void TraceAnalysis::StretchFinding(std::vector<TraceFinding>& out, bool restarts) const {
    TraceFinding f = MakeFinding(
        FindingKind::Unseen, 0,
        restarts ? "stretches while the service was not running, kq5trace listening: nobody saw "
                   "the printer or the queue in them, and no status is counted in them:"
                 : "stretches without a line of the service, longer than two cycles: nobody saw "
                   "the printer or the queue in them, and no status is counted in them:",
        restarts ? Severity::Ordinary : Severity::Gaps);
    uint64_t longest = 0;
    size_t named = 0;
    for (size_t i = 0; i < coverage_.uncovered.size(); ++i) {
        const Uncovered& stretch = coverage_.uncovered[i];
        if (NamedByGaps(stretchNotes_[i]) || ToldByRestart(stretch, stretchNotes_[i]) != restarts) {
            continue;
        }
        f.atMs = named == 0 ? stretch.fromMs : f.atMs;
        longest = std::max(longest, stretch.toMs - stretch.fromMs);
        if (++named <= kListed) {
            f.detail.push_back(StretchText(stretch, stretchNotes_[i]));
        }
    }
    if (named > kListed) {
        f.more = "... and " + std::to_string(named - kListed) + " more; the longest " +
                 DurationText(longest);
    }
    if (named > 0) {
        out.push_back(f);
    }
}

// The trace's end after the last status line: the printer away, or nobody there to see it.
void TraceAnalysis::EndFindings(std::vector<TraceFinding>& out) const {
    if (status_.lines == 0 || time_.lastRelMs <= status_.lastMs + coverage_.silentMs) {
        return;
    }
    DatedTimes times(clock_);
    const std::string last = times.At(status_.lastMs);
    const bool serviceWent = coverage_.lastLineMs > status_.lastMs + coverage_.silentMs;
    out.push_back(MakeFinding(
        FindingKind::EndAway, status_.lastMs,
        "the trace ends " + DurationText(time_.lastRelMs - status_.lastMs) +
            " after its last status line (at " + last + ", status " + std::to_string(status_.code) +
            ")" +
            (serviceWent ? ": the service wrote on without one, the printer away"
                         : ": the printer away, or the service or its capture stopped") +
            "; its state at the end is not known",
        Severity::NoPrinter));
}

// The Windows events kq5trace --record raises for what this trace holds, as it records it.
void TraceAnalysis::JudgedFinding(std::vector<TraceFinding>& out) const {
    if (judged_.empty()) {
        return;
    }
    TraceFinding f = MakeFinding(FindingKind::Events, judged_.front().atMs,
                                 "the Windows events kq5trace --record raises for this trace "
                                 "(source kq5, the Application log):");
    DatedTimes times(clock_);
    for (size_t i = 0; i < judged_.size() && i < kListed; ++i) {
        const JudgedEvent& e = judged_[i];
        f.detail.push_back(times.At(e.atMs) + " " + std::to_string(e.id) + " " +
                           ConditionName(e.condition) + (e.begins ? " begins (" : " ends (") +
                           TypeName(e.type) + "), after " + e.strings[3] + "; status " +
                           e.strings[2] + "; from " + e.strings[4]);
    }
    if (judged_.size() > kListed) {
        f.more = "... and " + std::to_string(judged_.size() - kListed) + " more";
    }
    out.push_back(f);
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
        status_.Findings(out, wholeSeconds_, !coverage_.uncovered.empty());
    }
    StretchFindings(out);
    EndFindings(out);
    errors_.Findings(out, clock_);
    ProcessFindings(out);
    JudgedFinding(out);
    return out;
}
