#include "tracereader/trace_time.h"

#include <cstdio>

namespace {

constexpr long long kHourMs = 3600000LL;

// A time of day as the log writes it: "19:06:24.512", or "19:06:24" on a clock of whole seconds.
std::string TimeOfDayText(long long ms, bool wholeSeconds) {
    char text[96];  // room for any long long: a damaged line may hold any time
    if (wholeSeconds) {
        std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", ms / kHourMs, ms / 60000 % 60,
                      ms / 1000 % 60);
    } else {
        std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld.%03lld", ms / kHourMs,
                      ms / 60000 % 60, ms / 1000 % 60, ms % 1000);
    }
    return text;
}

// A step forward of whole hours, give or take two cycles and a second: a time zone or daylight
// saving change as likely as that long without a line.
bool WholeHours(long long forwardMs) {
    constexpr long long kSlackMs = 2600;
    const long long over = forwardMs % kHourMs;
    return forwardMs >= kHourMs - kSlackMs && (over <= kSlackMs || kHourMs - over <= kSlackMs);
}

}  // namespace

// A change of the clock between two lines, named with both times as the log writes them.
void TraceTime::ClockChange(FindingKind kind, const std::string& says, const std::string& file,
                            size_t number) {
    if (clockBack.size() < kListed) {
        TraceFinding f = MakeFinding(kind, lastRelMs, says);
        f.file = file;
        f.lineNumber = number;
        clockBack.push_back(f);
    }
}

// The time of a line relative to the first, with the day's rollover and clock jumps.
uint64_t TraceTime::Relative(long long writtenMs, bool timeOfDay, const std::string& file,
                             size_t number) {
    if (!haveStart) {
        haveStart = true;
        startMs = previousMs = writtenMs;
    }
    const std::string both = timeOfDay ? ", from " + TimeOfDayText(previousMs, wholeSeconds) +
                                             " to " + TimeOfDayText(writtenMs, wholeSeconds)
                                       : "";
    long long forward = writtenMs - previousMs;
    if (writtenMs < previousMs) {
        const long long back = previousMs - writtenMs;
        if (timeOfDay && back > 12 * kHourMs) {
            shiftMs += 24 * kHourMs;  // past midnight
            forward += 24 * kHourMs;
        } else {
            shiftMs += back;  // the clock was set back: the line follows the one before
            ClockChange(FindingKind::ClockBack,
                        "the clock goes back by " + DurationText(static_cast<uint64_t>(back)) +
                            both +
                            " (a time zone or daylight saving change, or a clock set back); the "
                            "times after it are drawn as if it had not",
                        file, number);
        }
    }
    if (timeOfDay && forward > 0 && WholeHours(forward)) {
        ClockChange(FindingKind::ClockForward,
                    "the clock moves forward by " + DurationText(static_cast<uint64_t>(forward)) +
                        both +
                        ": a time zone or daylight saving change, or that long without a line; "
                        "the times after it are drawn as written",
                    file, number);
    }
    previousMs = writtenMs;
    // Never below the line before's: a time that goes back is shifted forward as far (a clock
    // set back) or by a day (past midnight), so no clamp at 0 is needed.
    lastRelMs = static_cast<uint64_t>(writtenMs + shiftMs - startMs);
    return lastRelMs;
}
