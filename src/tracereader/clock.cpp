// Clock times of a trace and the picture's time axis.
#include "tracereader/clock.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>

#include "tracereader/timeline.h"

namespace {

constexpr long long kSecondMs = 1000, kMinuteMs = 60 * kSecondMs, kHourMs = 60 * kMinuteMs;

// At most this many anchors are kept: a clock that jumps back and forth all day is drawn with the
// first jumps, and runs on with the trace after them.
constexpr size_t kMostAnchors = 10000;
// A line within a second of where the clock ran to needs no anchor (the lines of two threads
// come a few milliseconds out of order; a clock in whole seconds rounds).
constexpr long long kSlackMs = 1000;

// The axis's steps, finest first: round clock (or elapsed) times.
constexpr long long kSteps[] = {
    kSecondMs,      2 * kSecondMs,  5 * kSecondMs, 10 * kSecondMs, 15 * kSecondMs,
    30 * kSecondMs, kMinuteMs,      2 * kMinuteMs, 5 * kMinuteMs,  10 * kMinuteMs,
    15 * kMinuteMs, 30 * kMinuteMs, kHourMs,       2 * kHourMs,    3 * kHourMs,
    6 * kHourMs,    12 * kHourMs,   kDayMs,        2 * kDayMs,     7 * kDayMs,
    14 * kDayMs,    28 * kDayMs,    56 * kDayMs,   112 * kDayMs,   364 * kDayMs};

// Labels never closer than the two half widths and this gap, in pixels.
constexpr double kLabelGapPx = 8;

// The label of the round clock time LOCALMS on an axis of STEP.
AxisLabel ClockLabel(ClockKind kind, uint64_t atMs, long long localMs, long long step) {
    if (FloorDiv(localMs, kDayMs) * kDayMs == localMs) {
        return AxisLabel{atMs, DateText(kind, localMs), true};
    }
    const std::string time = TimeOfDayText(localMs, false);
    return AxisLabel{atMs, step < kMinuteMs ? time : time.substr(0, 5), false};
}

// The clock's stretches between its anchors, [from, to) in the trace's time (the last to ENDMS,
// included), with the clock at FROM.
struct Stretch {
    uint64_t fromMs, toMs;
    long long localMs;
};

std::vector<Stretch> Stretches(const TraceClock& clock, uint64_t endMs) {
    std::vector<Stretch> out;
    const uint64_t end = endMs + 1;  // ENDMS is on the axis
    const size_t count = clock.anchors.size();
    for (size_t i = 0; i < count; ++i) {
        const uint64_t from = i == 0 ? 0 : clock.anchors.at(i).first;
        const uint64_t to = i + 1 < count ? std::min(clock.anchors.at(i + 1).first, end) : end;
        if (from < to) {
            out.push_back(Stretch{from, to, clock.LocalAt(from)});
        }
    }
    return out;
}

// Calls EACH(atMs, localMs) at every multiple of STEP the local clock shows from 0 to ENDMS.
template <typename Each>
void ClockMultiples(const TraceClock& clock, uint64_t endMs, long long step, Each each) {
    for (const Stretch& s : Stretches(clock, endMs)) {
        const long long last = s.localMs + static_cast<long long>(s.toMs - s.fromMs) - 1;
        for (long long m = (FloorDiv(s.localMs - 1, step) + 1) * step; m <= last; m += step) {
            each(s.fromMs + static_cast<uint64_t>(m - s.localMs), m);
        }
    }
}

std::vector<AxisLabel> LabelsEvery(const TraceClock& clock, uint64_t endMs, long long step) {
    std::vector<AxisLabel> labels;
    if (!clock.Known()) {
        for (uint64_t ms = 0; ms <= endMs; ms += static_cast<uint64_t>(step)) {
            labels.push_back(AxisLabel{ms, ElapsedText(ms), false});
        }
        return labels;
    }
    ClockMultiples(clock, endMs, step, [&](uint64_t atMs, long long localMs) {
        labels.push_back(ClockLabel(clock.kind, atMs, localMs, step));
    });
    return labels;
}

bool Apart(const AxisLabel& a, const AxisLabel& b, double pixelsPerMs) {
    const auto width = [](const AxisLabel& l) {
        return kAxisCharPx * static_cast<double>(l.text.size());
    };
    return static_cast<double>(b.atMs - a.atMs) * pixelsPerMs >=
           (width(a) + width(b)) / 2 + kLabelGapPx;
}

bool StandApart(const std::vector<AxisLabel>& labels, double pixelsPerMs) {
    const auto crowded = [&](const AxisLabel& a, const AxisLabel& b) {
        return !Apart(a, b, pixelsPerMs);
    };
    return std::adjacent_find(labels.begin(), labels.end(), crowded) == labels.end();
}

// Past the coarsest step (a trace of years): every label that stands apart from the one before.
std::vector<AxisLabel> Thinned(const std::vector<AxisLabel>& labels, double pixelsPerMs) {
    std::vector<AxisLabel> kept;
    for (const AxisLabel& l : labels) {
        if (kept.empty() || Apart(kept.back(), l, pixelsPerMs)) {
            kept.push_back(l);
        }
    }
    return kept;
}

std::vector<uint64_t> Midnights(const TraceClock& clock, uint64_t endMs, double pixelsPerMs) {
    if (!clock.Known() || static_cast<double>(kDayMs) * pixelsPerMs < 3) {
        return {};
    }
    std::vector<uint64_t> out;
    ClockMultiples(clock, endMs, kDayMs, [&](uint64_t atMs, long long) { out.push_back(atMs); });
    return out;
}

}  // namespace

void TraceClock::Note(uint64_t relMs, long long localMs) {
    if (kind == ClockKind::Elapsed) {
        return;
    }
    if (anchors.empty()) {
        anchors.emplace_back(relMs, localMs);
        return;
    }
    const long long ran = LocalAt(relMs);
    if (kind == ClockKind::TimeOfDay) {
        // The day nearest where the clock has run to. The trace's times take a time of day up to
        // half a day behind the line before as the clock set back, so up to half a day behind
        // (and the slack the clock may have run past that line) is the same day.
        localMs += FloorDiv(ran - localMs + kDayMs / 2 - kSlackMs, kDayMs) * kDayMs;
    }
    if (std::llabs(localMs - ran) >= kSlackMs && anchors.size() < kMostAnchors) {
        anchors.emplace_back(relMs, localMs);
    }
}

long long TraceClock::LocalAt(uint64_t relMs) const {
    auto it = std::upper_bound(
        anchors.begin(), anchors.end(), relMs,
        [](uint64_t ms, const std::pair<uint64_t, long long>& a) { return ms < a.first; });
    if (it != anchors.begin()) {
        --it;
    }
    return it->second + (static_cast<long long>(relMs) - static_cast<long long>(it->first));
}

std::string DateText(ClockKind kind, long long localMs) {
    const long long days = FloorDiv(localMs, kDayMs);
    if (kind == ClockKind::TimeOfDay) {
        return "day " + std::to_string(days + 1);
    }
    long long year = 0, month = 0, day = 0;
    CivilFromDays(days, year, month, day);
    char text[72];  // room for any three long longs, as the compiler checks
    std::snprintf(text, sizeof text, "%04lld-%02lld-%02lld", year, month, day);
    return text;
}

std::string TimeOfDayText(long long localMs, bool millis) {
    const long long ms = localMs - FloorDiv(localMs, kDayMs) * kDayMs;
    char text[32];
    std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", ms / kHourMs, ms / kMinuteMs % 60,
                  ms / kSecondMs % 60);
    std::string out = text;
    if (millis) {
        std::snprintf(text, sizeof text, ".%03lld", ms % kSecondMs);
        out += text;
    }
    return out;
}

std::string ElapsedText(uint64_t ms) {
    if (ms < kMinuteMs && ms % kSecondMs != 0) {
        char text[32];
        // Tenths cut as the whole units are, never rounded up: 59.999 s is "59.9 s", not "60.0 s".
        const auto tenths = static_cast<unsigned>(ms / 100);
        std::snprintf(text, sizeof text, "%u.%u s", tenths / 10, tenths % 10);
        return text;
    }
    static const struct {
        uint64_t ms;
        const char* unit;
    } kUnits[] = {{kDayMs, "d"}, {kHourMs, "h"}, {kMinuteMs, "min"}, {kSecondMs, "s"}};
    std::string out;
    int shown = 0;
    for (const auto& u : kUnits) {
        const uint64_t count = ms / u.ms;
        ms %= u.ms;
        if (count > 0 && shown < 2) {
            out += (out.empty() ? "" : " ") + std::to_string(count) + " " + u.unit;
            ++shown;
        } else if (shown > 0) {
            break;  // only neighbouring units: "1 d 3 h", never "1 d 5 s"
        }
    }
    return out.empty() ? "0 s" : out;
}

std::string ClockText(const TraceClock& clock, uint64_t relMs) {
    if (!clock.Known()) {
        return SecondsText(relMs);
    }
    const long long local = clock.LocalAt(relMs);
    return DateText(clock.kind, local) + " " + TimeOfDayText(local, true);
}

std::string DatedTimes::At(uint64_t relMs) {
    if (!clock.Known()) {
        return SecondsText(relMs);
    }
    return Dated(clock.LocalAt(relMs));
}

std::string DatedTimes::First() {
    return Dated(clock.anchors.front().second);
}

std::string DatedTimes::Dated(long long local) {
    const long long day = FloorDiv(local, kDayMs);
    const std::string date = day != lastDay ? DateText(clock.kind, local) + " " : "";
    lastDay = day;
    return date + TimeOfDayText(local, true);
}

std::string DatedTimes::Whole(uint64_t relMs) const {
    if (!clock.Known()) {
        return SecondsText(relMs);
    }
    return ClockText(clock, relMs) + " (" + SecondsText(relMs) + " from the start)";
}

Axis AxisOf(const TraceClock& clock, uint64_t endMs, double pixelsPerMs) {
    Axis axis;
    axis.caption = clock.Known() && clock.kind == ClockKind::DateTime
                       ? "local time, " + DateText(clock.kind, clock.LocalAt(0))
                   : clock.Known() ? "time of day (no date)"
                                   : "time from the first line";
    for (const long long step : kSteps) {
        // A step narrower than two characters cannot hold a label.
        if (static_cast<double>(step) * pixelsPerMs < 2 * kAxisCharPx) {
            continue;
        }
        axis.labels = LabelsEvery(clock, endMs, step);
        if (StandApart(axis.labels, pixelsPerMs)) {
            break;
        }
    }
    // A trace of decades, too long for every step: the coarsest's labels, thinned.
    if (axis.labels.empty()) {
        axis.labels = LabelsEvery(clock, endMs, std::end(kSteps)[-1]);
    }
    axis.labels = Thinned(axis.labels, pixelsPerMs);
    axis.midnights = Midnights(clock, endMs, pixelsPerMs);
    return axis;
}
