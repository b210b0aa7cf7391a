// Counting the status lines: their pace, the gaps within one process, the changes of code and
// the time in each.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tracereader/clock.h"
#include "tracereader/finding.h"

// The status lines: their pace, gaps, the changes of code and the time in each.
struct StatusStats {
    explicit StatusStats(const TraceClock& clockOf) : clock(clockOf), changeTimes(clockOf) {}
    const TraceClock& clock;
    DatedTimes changeTimes;
    size_t lines = 0;
    bool have = false;
    size_t process = 0;  // the process of the last status line
    uint64_t firstMs = 0;
    uint64_t lastMs = 0;
    int code = 0;
    size_t codeLines = 0;
    // The current code's time as its lines showed it: between two lines of one process no
    // further apart than two cycles. The rest (a stretch without lines, a restart) is unseen.
    uint64_t codeSeenMs = 0;
    uint64_t codeUnseenMs = 0;
    uint64_t unseenMs = 0;  // of every code
    std::vector<std::string> changes;
    size_t moreChanges = 0;
    std::map<int, uint64_t> timeInCode;
    // The times between two status lines of one process, by 10 ms: the cycles take a few
    // hundred keys, each gap one at most.
    std::map<uint64_t, size_t> intervals;
    std::vector<std::string> gaps;
    uint64_t firstGapMs = 0;
    size_t moreGaps = 0;
    uint64_t longestGapMs = 0;
    // The current code's time, to the last line that showed it.
    void EndCode();
    // A status line of process OFPROCESS with STATUSCODE at ATMS; true when its code is new.
    // SILENTMS is the longest time between two lines that is no gap.
    bool Add(uint64_t atMs, int statusCode, size_t ofProcess, uint64_t silentMs);
    // The time since the last status line to ATMS, a gap when longer than SILENTMS.
    void Gap(uint64_t atMs, uint64_t silentMs);
    TraceFinding PaceFinding(bool wholeSeconds) const;
    // STRETCHES: the trace has stretches without any line, which its own finding names.
    void Findings(std::vector<TraceFinding>& out, bool wholeSeconds, bool stretches);
};
