#include "tracereader/trace_time.h"

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
                    "the clock goes back by " + DurationText(static_cast<uint64_t>(back)) +
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
