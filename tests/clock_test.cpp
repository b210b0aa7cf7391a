// The trace reader's clock as a reader of the report sees it: the clock time of every moment
// across clock changes and midnight, the texts of dates, times and lengths of time at their
// boundaries, and the picture's time axis.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "trace_clock.h"
#include "tracereader/clock.h"

namespace {

constexpr long long kSec = 1000, kMin = 60 * kSec, kHr = 60 * kMin;

// Labels never overlap, with a gap between them; every label inside the axis.
void ExpectApart(const Axis& axis, uint64_t endMs, double perMs) {
    for (size_t i = 0; i < axis.labels.size(); ++i) {
        EXPECT_LE(axis.labels[i].atMs, endMs) << axis.labels[i].text;
        if (i == 0) {
            continue;
        }
        const AxisLabel &a = axis.labels[i - 1], &b = axis.labels[i];
        const double halves = kAxisCharPx * static_cast<double>(a.text.size() + b.text.size()) / 2;
        EXPECT_GE(static_cast<double>(b.atMs - a.atMs) * perMs, halves + 8)
            << "'" << a.text << "' and '" << b.text << "' crowd";
    }
}

std::vector<std::string> Texts(const Axis& axis) {
    std::vector<std::string> out;
    for (const AxisLabel& l : axis.labels) {
        out.push_back(l.text);
    }
    return out;
}

}  // namespace

// The clock time of each moment: a line less than a second off where the clock ran (threads'
// lines out of order, a clock in whole seconds) changes nothing; a second or more is a clock
// change, followed from its line on; a clock set back across midnight gives the date again.
TEST(TraceClock, ClockTimesFollowClockChangesAndMidnight) {
    TraceClock clock = ClockFrom(ClockKind::DateTime, kDec7 + 9 * kHr);
    clock.Note(5000, kDec7 + 9 * kHr + 5999);  // 999 ms ahead: the same clock
    clock.Note(6000, kDec7 + 9 * kHr + 5001);  // 999 ms behind: the same clock
    EXPECT_EQ(ClockText(clock, 7000), "2026-12-07 09:00:07.000");
    clock.Note(10000, kDec7 + 9 * kHr + 11000);  // set on by a second
    EXPECT_EQ(ClockText(clock, 9999), "2026-12-07 09:00:09.999");
    EXPECT_EQ(ClockText(clock, 12000), "2026-12-07 09:00:13.000");
    clock.Note(20000, kDec7 + 8 * kHr + 21000);  // set back an hour
    EXPECT_EQ(ClockText(clock, 22000), "2026-12-07 08:00:23.000");

    // Across midnight, and back across it: the date whenever the day changes.
    TraceClock night = ClockFrom(ClockKind::DateTime, kDec7 + 24 * kHr - 500);
    night.Note(2000, kDec7 + 23 * kHr + 1500);  // 00:00:01.500 set back to 23:00:01.500
    DatedTimes times(night);
    const std::pair<uint64_t, const char*> cases[] = {
        {0, "2026-12-07 23:59:59.500"}, {499, "23:59:59.999"},  {500, "2026-12-08 00:00:00.000"},
        {501, "00:00:00.001"},          {1999, "00:00:01.499"}, {2000, "2026-12-07 23:00:01.500"},
        {3000, "23:00:02.500"},
    };
    for (const auto& [atMs, text] : cases) {
        EXPECT_EQ(times.At(atMs), text) << atMs;
    }

    // The time of day only: set back an hour at 00:30 of day 2 is 23:30 of day 1, not of day 2.
    TraceClock ofDay = ClockFrom(ClockKind::TimeOfDay, 24 * kHr - 30 * kMin);
    ofDay.Note(kHr, 23 * kHr + 30 * kMin);
    EXPECT_EQ(ClockText(ofDay, kHr - 1), "day 2 00:29:59.999");
    EXPECT_EQ(ClockText(ofDay, kHr), "day 1 23:30:00.000");
    // At 21:00 of day 1 a line at 08:00: 11 hours on is nearer than 13 back.
    TraceClock morning = ClockFrom(ClockKind::TimeOfDay, 20 * kHr);
    morning.Note(kHr, 8 * kHr);
    EXPECT_EQ(ClockText(morning, kHr), "day 2 08:00:00.000");

    // A clock that jumps all day: its first 10000 changes are followed, then it runs on.
    TraceClock jumpy = ClockFrom(ClockKind::DateTime, kDec7);
    for (uint64_t i = 1; i <= 10001; ++i) {
        jumpy.Note(i * kSec, kDec7 + static_cast<long long>(i % 2) * kHr);
    }
    EXPECT_EQ(jumpy.LocalAt(9999 * kSec), kDec7 + kHr);
    EXPECT_EQ(jumpy.LocalAt(10000 * kSec + 5), kDec7 + kHr + 1005);
    EXPECT_EQ(jumpy.LocalAt(10001 * kSec), kDec7 + kHr + 2 * kSec);
}

// Dates, times of day and lengths of time at the edges of their units.
TEST(TraceClock, TextsAtTheEdgesOfTheirUnits) {
    const std::pair<uint64_t, const char*> underAnHour[] = {
        {0, "0 s"},        {999, "0.9 s"},   {1500, "1.5 s"},  {30015, "30.0 s"},
        {59999, "59.9 s"}, {60000, "1 min"}, {60999, "1 min"}, {61000, "1 min 1 s"},
    };
    for (const auto& [ms, text] : underAnHour) {
        EXPECT_EQ(ElapsedText(ms), text) << ms;
    }
    // Only neighbouring units: a day and a minute is "1 d".
    const std::pair<uint64_t, const char*> longer[] = {
        {kHr - 1, "59 min 59 s"},      {kHr, "1 h"},      {kHr + kMin, "1 h 1 min"},
        {24 * kHr - 1, "23 h 59 min"}, {24 * kHr, "1 d"}, {24 * kHr + kMin, "1 d"},
        {49 * kHr + kSec, "2 d 1 h"},
    };
    for (const auto& [ms, text] : longer) {
        EXPECT_EQ(ElapsedText(ms), text) << ms;
    }
    // Without a clock, a moment is the seconds from the first line.
    const TraceClock none;
    EXPECT_EQ(ClockText(none, 12300), "12.300 s");
    EXPECT_EQ(DatedTimes(none).Whole(12300), "12.300 s");
    EXPECT_EQ(TimeOfDayText(kDec7, true), "00:00:00.000");
    EXPECT_EQ(TimeOfDayText(kDec7 - 1, true), "23:59:59.999");
    EXPECT_EQ(TimeOfDayText(kDec7 - 1, false), "23:59:59");
    EXPECT_EQ(TimeOfDayText(-1, true), "23:59:59.999");  // before 1970: the day before
    EXPECT_EQ(DateText(ClockKind::DateTime, kDec7 - 1), "2026-12-06");
    EXPECT_EQ(DateText(ClockKind::DateTime, -1), "1969-12-31");
    EXPECT_EQ(DateText(ClockKind::TimeOfDay, 24 * kHr - 1), "day 1");
    EXPECT_EQ(DateText(ClockKind::TimeOfDay, 24 * kHr), "day 2");
}

// The axis is labelled every round step: the finest of 1, 2, 5, 10, 15, 30 s, 1, 2, 5, 10, 15,
// 30 min, 1, 2, 3, 6, 12 h, 1, 2, 7, 14, 28, 56, 112, 364 days whose labels stand apart, each
// with the clock time it stands at: seconds on steps under a minute, hours and minutes on longer
// ones, the date at midnight.
TEST(TraceClock, AxisLabelsEveryRoundStep) {
    const long long morning = kDec7 + 9 * kHr + 15 * kMin + 2345;   // 09:15:02.345
    const long long evening = kDec7 + 22 * kHr + 15 * kMin + 2345;  // midnight on the axis
    // Each case: the step, the clock at the start, the pixels of a step. 8 characters and the gap
    // need 60 px; 5 need 40.5; a date beside 5 needs 56.75, two dates 73: each case gives its step
    // a little more, and the finer step too little.
    const std::tuple<long long, long long, double> cases[] = {
        {kSec, morning, 60},         // exactly enough
        {2 * kSec, morning, 119.8},  // 1 s would be 59.9 px: too little
        {2 * kSec, morning, 70},      {5 * kSec, morning, 70},       {10 * kSec, morning, 70},
        {15 * kSec, morning, 70},     {30 * kSec, morning, 70},      {kMin, morning, 48},
        {2 * kMin, morning, 48},      {5 * kMin, morning, 48},       {10 * kMin, morning, 48},
        {15 * kMin, morning, 48},     {30 * kMin, morning, 48},      {kHr, evening, 68},
        {2 * kHr, evening, 68},       {3 * kHr, evening, 68},        {6 * kHr, evening, 68},
        {12 * kHr, evening, 68},      {24 * kHr, morning, 85},       {48 * kHr, morning, 85},
        {7 * 24 * kHr, morning, 85},  {14 * 24 * kHr, morning, 85},  {28 * 24 * kHr, morning, 85},
        {56 * 24 * kHr, morning, 85}, {112 * 24 * kHr, morning, 85}, {364 * 24 * kHr, morning, 85},
    };
    for (const auto& [stepMs, startMs, pxPerStep] : cases) {
        SCOPED_TRACE(ElapsedText(static_cast<uint64_t>(stepMs)) + " at " +
                     std::to_string(pxPerStep) + " px");
        const TraceClock clock = ClockFrom(ClockKind::DateTime, startMs);
        const auto end = static_cast<uint64_t>(4 * stepMs);
        const double perMs = pxPerStep / static_cast<double>(stepMs);
        const Axis axis = AxisOf(clock, end, perMs);
        ASSERT_GE(axis.labels.size(), 3u);
        ExpectApart(axis, end, perMs);
        for (size_t i = 0; i < axis.labels.size(); ++i) {
            const AxisLabel& l = axis.labels[i];
            const long long local = clock.LocalAt(l.atMs);
            EXPECT_EQ(local % stepMs, 0) << l.text;
            if (i > 0) {
                EXPECT_EQ(l.atMs - axis.labels[i - 1].atMs, static_cast<uint64_t>(stepMs));
            }
            const std::string time = TimeOfDayText(local, false);
            const std::string expected = local % (24 * kHr) == 0 ? DateText(clock.kind, local)
                                         : stepMs < kMin         ? time
                                                                 : time.substr(0, 5);
            EXPECT_EQ(l.text, expected);
            EXPECT_EQ(l.midnight, local % (24 * kHr) == 0) << l.text;
        }
    }
}

// The axis runs from the first line to the end, both included, and no further; a clock change
// is labelled on both of its sides; midnights are marked where a day is at least 3 px wide; a
// trace of any length, a century even, is labelled; the caption says what the labels count.
TEST(TraceClock, AxisEndsMidnightsAndCaptions) {
    const long long nine = kDec7 + 9 * kHr;
    const double hourPx = 200.0 / kHr;  // 10 minutes are 33 px: labels every 15 minutes
    EXPECT_EQ(Texts(AxisOf(ClockFrom(ClockKind::DateTime, nine), kHr, hourPx)),
              (std::vector<std::string>{"09:00", "09:15", "09:30", "09:45", "10:00"}));
    EXPECT_EQ(Texts(AxisOf(ClockFrom(ClockKind::DateTime, nine + 1), kHr, hourPx)),
              (std::vector<std::string>{"09:15", "09:30", "09:45", "10:00"}));
    EXPECT_EQ(Texts(AxisOf(ClockFrom(ClockKind::DateTime, nine - 1), kHr, hourPx)),
              (std::vector<std::string>{"09:00", "09:15", "09:30", "09:45"}));
    EXPECT_EQ(
        Texts(AxisOf(ClockFrom(ClockKind::DateTime, kDec7), kHr, hourPx)),
        (std::vector<std::string>{"2026-12-07", "00:30", "01:00"}));  // a date needs more room

    // Set back in the middle: each side labelled by its own clock; a change after the end of
    // the picture changes nothing on it; set back at the last line to a round time.
    TraceClock set = ClockFrom(ClockKind::DateTime, nine);
    set.Note(30 * kMin, nine - 30 * kMin);  // 09:30 set back to 08:30
    const std::vector<std::string> setBack = {"09:00", "09:15", "08:30", "08:45", "09:00"};
    EXPECT_EQ(Texts(AxisOf(set, kHr, hourPx)), setBack);
    set.Note(2 * kHr, nine + 5 * kMin);
    EXPECT_EQ(Texts(AxisOf(set, kHr, hourPx)), setBack);
    TraceClock atEnd = ClockFrom(ClockKind::DateTime, nine);
    atEnd.Note(kHr, nine);
    const Axis atEndAxis = AxisOf(atEnd, kHr, hourPx);
    EXPECT_EQ(Texts(atEndAxis),
              (std::vector<std::string>{"09:00", "09:15", "09:30", "09:45", "09:00"}));
    EXPECT_EQ(atEndAxis.labels.back().atMs, static_cast<uint64_t>(kHr));

    // Elapsed time: from "0 s" to the end.
    const Axis elapsed = AxisOf(TraceClock{}, kMin, 1100.0 / kMin);
    ASSERT_GE(elapsed.labels.size(), 3u);
    EXPECT_EQ(elapsed.labels.front().text, "0 s");
    EXPECT_EQ(elapsed.labels.back().text, "1 min");
    EXPECT_EQ(elapsed.labels.back().atMs, static_cast<uint64_t>(kMin));
    EXPECT_EQ(elapsed.caption, "time from the first line");

    // A midnight as the first label needs room for its date beside the next label.
    const auto late = static_cast<uint64_t>(4 * kMin);
    const Axis beforeMidnight =
        AxisOf(ClockFrom(ClockKind::DateTime, kDec7 - 30 * kSec), late, 48.0 / kMin);
    ExpectApart(beforeMidnight, late, 48.0 / kMin);
    EXPECT_EQ(beforeMidnight.labels.front().text, "2026-12-07");

    // Midnights: a day 3 px wide is marked, one narrower not; a century still gets labels.
    const TraceClock years = ClockFrom(ClockKind::DateTime, kDec7 + 9 * kHr);
    const auto fiveDays = static_cast<uint64_t>(5 * 24 * kHr);
    EXPECT_EQ(AxisOf(years, fiveDays, 3.0 / (24 * kHr)).midnights.size(), 5u);
    EXPECT_TRUE(AxisOf(years, fiveDays, 2.99 / (24 * kHr)).midnights.empty());
    for (const TraceClock& clock : {years, TraceClock{}}) {
        const auto century = static_cast<uint64_t>(36525 * 24 * kHr);
        const double perMs = 1100.0 / static_cast<double>(century);
        const Axis axis = AxisOf(clock, century, perMs);
        EXPECT_GE(axis.labels.size(), 3u) << axis.caption;
        ExpectApart(axis, century, perMs);
        for (const AxisLabel& l : axis.labels) {  // on the coarsest round step, 52 weeks
            const long long at =
                clock.Known() ? clock.LocalAt(l.atMs) : static_cast<long long>(l.atMs);
            EXPECT_EQ(at % (364 * 24 * kHr), 0) << l.text;
        }
        EXPECT_TRUE(axis.midnights.empty());
    }

    EXPECT_EQ(AxisOf(years, kHr, hourPx).caption, "local time, 2026-12-07");
    const TraceClock lastMs = ClockFrom(ClockKind::DateTime, kDec7 - 1);  // 23:59:59.999
    EXPECT_EQ(AxisOf(lastMs, kHr, hourPx).caption, "local time, 2026-12-06");
    const TraceClock ofDay = ClockFrom(ClockKind::TimeOfDay, 9 * kHr);
    EXPECT_EQ(AxisOf(ofDay, kHr, hourPx).caption, "time of day (no date)");
    const std::vector<std::string> days = Texts(AxisOf(ofDay, 24 * kHr, 1100.0 / (24 * kHr)));
    EXPECT_NE(std::find(days.begin(), days.end(), "day 2"), days.end());
}
