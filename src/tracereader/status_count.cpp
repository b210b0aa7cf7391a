#include "tracereader/status_count.h"

#include <algorithm>
#include <cstdio>

#include "common/status_code.h"
#include "picture/timeline.h"

namespace {

std::string CodeMeaning(int code) {
    const QueueCommand command = QueueCommandFor(code);
    if (command.action == QueueAction::None) {
        return "unknown code: the service commanded nothing";
    }
    const std::string words = command.words;
    return words + ": the service commanded " +
           (command.pause ? "pause, status " + words : "resume, no status");
}

}  // namespace

// The current code's seen time into its total, and the end of its entry in the changes: its
// length ends at the last line that showed it.
void StatusStats::EndCode() {
    timeInCode[code] += codeSeenMs;
    unseenMs += codeUnseenMs;
    if (moreChanges == 0) {  // the code that ends is the last one listed
        changes.back() += ", seen for " + DurationText(codeSeenMs) + " (" +
                          Counted(codeLines, "line") + ") to its last line at " +
                          changeTimes.At(lastMs);
        if (codeUnseenMs > 0) {
            changes.back() +=
                ", " + DurationText(codeUnseenMs) + " without a status line between not counted";
        }
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
        gaps.push_back("no status line for " + DurationText(gap) + ", from " + from + " to " +
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
    const bool seen = have && process == ofProcess && atMs - lastMs <= silentMs;
    process = ofProcess;
    const bool changed = !have || statusCode != code;
    if (!changed) {
        (seen ? codeSeenMs : codeUnseenMs) += atMs - lastMs;
    }
    if (changed) {
        if (have) {
            EndCode();
        }
        if (changes.size() < kListed) {
            changes.push_back("at " + changeTimes.At(atMs) + ": status " +
                              std::to_string(statusCode) + " (" + CodeMeaning(statusCode) + ")");
        } else {
            ++moreChanges;
        }
        code = statusCode;
        codeSeenMs = 0;
        codeUnseenMs = 0;
        codeLines = 0;
    }
    ++codeLines;
    have = true;
    lastMs = atMs;
    return changed;
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
                           Counted(lines, "status line") + ", one every " + pace +
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
                       Counted(lines, "status line") + ", " + pace);
}

// The pace of the status lines, their gaps and the status changes.
void StatusStats::Findings(std::vector<TraceFinding>& out, bool wholeSeconds, bool stretches) {
    out.push_back(PaceFinding(wholeSeconds));
    if (gaps.empty() && !stretches) {
        out.push_back(
            MakeFinding(FindingKind::NoGap, firstMs,
                        "no gap longer than two cycles, from the first line to the last"));
    } else if (!gaps.empty()) {
        TraceFinding gapFinding = MakeFinding(
            FindingKind::Gaps, firstGapMs,
            "gaps longer than two cycles within one process (the service was held, the printer "
            "was away, or the capture was not running):",
            Severity::Gaps);
        gapFinding.detail = gaps;
        if (moreGaps > 0) {
            gapFinding.more = "... and " + std::to_string(moreGaps) + " more; the longest " +
                              DurationText(longestGapMs);
        }
        out.push_back(gapFinding);
    }
    EndCode();
    TraceFinding changeFinding =
        MakeFinding(FindingKind::StatusChanges, firstMs, "status changes:");
    changeFinding.detail = changes;
    if (moreChanges > 0) {
        changeFinding.more = "... and " + Counted(moreChanges, "more change");
    }
    out.push_back(changeFinding);
    std::string times = "time in each status, as its lines showed it:";
    for (const auto& [each, ms] : timeInCode) {
        times += " " + std::to_string(each) + " " + DurationText(ms) + ";";
    }
    if (unseenMs > 0) {
        times += " " + DurationText(unseenMs) + " without a status line not counted";
    }
    out.push_back(MakeFinding(FindingKind::TimeInStatus, firstMs, times));
}
