// A trace's local clock: the times of the findings, the timeline and the picture are kept as
// milliseconds since the trace's first line; where the trace carries the local clock, this turns
// them into clock times, with the date once and again when it changes, and labels the picture's
// time axis at round clock times (or round elapsed times), never closer than they can be read.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "common/civil_days.h"
#include "tracereader/layout.h"

inline constexpr long long kDayMs = 24LL * 3600000;

// Where a trace's times meet the local clock. Each anchor says: at RELMS after the first line the
// clock showed LOCALMS (milliseconds since 1970-01-01 00:00 of the local clock for DateTime;
// since the first line's midnight for TimeOfDay); from there the clock runs with the trace until
// the next anchor (a daylight saving change, a clock set, a recorder's next file).
struct TraceClock {
    ClockKind kind = ClockKind::Elapsed;
    std::vector<std::pair<uint64_t, long long>> anchors;  // by RELMS

    // A line at RELMS that shows LOCALMS (for TimeOfDay: the time of day, the day worked out
    // from where the clock was): anchors it where the clock does not run on to it.
    void Note(uint64_t relMs, long long localMs);
    bool Known() const { return kind != ClockKind::Elapsed && !anchors.empty(); }
    // The local clock at RELMS (Known() only).
    long long LocalAt(uint64_t relMs) const;
};

// "2026-12-07", or "day 2" where the log has the time of day only (day 1: the first line's).
std::string DateText(ClockKind kind, long long localMs);
// "09:15:02.345" (MILLIS) or "09:15:02".
std::string TimeOfDayText(long long localMs, bool millis);
// A moment on its own: "2026-12-07 09:15:02.345" (the date and clock, "day 2 ..." for the time of
// day only), or "12.300 s" where the trace has no clock.
std::string ClockText(const TraceClock& clock, uint64_t relMs);

// "1 d 3 h", "2 min 30 s", "45 s": a length of time in its largest whole units.
std::string ElapsedText(uint64_t ms);

// Times for a list read top to bottom (the findings, the timeline): the clock time with the date
// where the date differs from the last one given ("2026-12-08 00:00:01.200", then "00:00:02.000"),
// or the elapsed seconds ("12.300 s") where the trace has no clock.
struct DatedTimes {
    explicit DatedTimes(const TraceClock& clockOf) : clock(clockOf) {}
    std::string At(uint64_t relMs);
    // The first line's time (Known() clocks only): where the clock is set back at once, the
    // clock before it (At(0) gives the clock after it, as the lines after the set back are read).
    std::string First();
    // The date, whatever came before, with the elapsed time where there is a clock:
    // "2026-12-07 09:15:02.345 (12.300 s from the start)".
    std::string Whole(uint64_t relMs) const;
    const TraceClock& clock;
    long long lastDay = -1;  // the day of the last time given; -1: none yet

private:
    std::string Dated(long long localMs);
};

// One label of the picture's time axis, centred at ATMS.
struct AxisLabel {
    uint64_t atMs = 0;
    std::string text;
    bool midnight = false;  // the date, at the day's start
};

struct Axis {
    std::vector<AxisLabel> labels;
    std::vector<uint64_t> midnights;  // every midnight, where they are at least 3 px apart
    std::string caption;              // what the labels count: "local time, 2026-12-07", ...
};

// The average width of a label's character at the axis's font size, in pixels.
inline constexpr double kAxisCharPx = 6.5;

// The axis from 0 to ENDMS, PIXELSPERMS wide: labels at round clock times where the trace has a
// clock (a midnight labelled with its date), at round elapsed times otherwise; the finest step
// whose labels stand apart by at least their own widths.
Axis AxisOf(const TraceClock& clock, uint64_t endMs, double pixelsPerMs);
