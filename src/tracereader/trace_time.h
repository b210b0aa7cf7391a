// The trace's time-keeping: each line's time since the first, across a day's rollover and a
// clock set back.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "tracereader/finding.h"

// The trace's time-keeping: each line's time since the first, across a day's rollover and a
// clock set back.
struct TraceTime {
    bool haveStart = false;
    long long startMs = 0;     // the first line's time (kq5trace: UTC; DebugView: as written)
    long long previousMs = 0;  // the previous line's time, as written
    long long shiftMs = 0;     // added after a day's rollover or a clock set back
    uint64_t lastRelMs = 0;
    bool wholeSeconds = false;            // the log's clock has whole seconds only
    std::vector<TraceFinding> clockBack;  // the first few changes of the clock, back or forward
    // WRITTENMS since the first line; a clock of the time of day only rolls over at midnight.
    // FILE and NUMBER name the line in a finding.
    uint64_t Relative(long long writtenMs, bool timeOfDay, const std::string& file, size_t number);
    void ClockChange(FindingKind kind, const std::string& says, const std::string& file,
                     size_t number);
};
