// Trace clocks for the tests of the trace reader.
#pragma once

#include "tracelog/format.h"
#include "tracereader/clock.h"

// 2026-12-07 00:00 on the local clock, in milliseconds since 1970 of the same clock.
inline constexpr long long kDec7 = 1796601600000;

// A clock of KIND that shows LOCALMS at the trace's first line.
inline TraceClock ClockFrom(ClockKind kind, long long localMs) {
    TraceClock clock;
    clock.kind = kind;
    clock.Note(0, localMs);
    return clock;
}

// The local time T milliseconds after 2026-12-07 00:00 (up to 2027-01-31), OFFSETMINUTES ahead of
// UTC.
inline LocalTime TimeAt(long long t, int offsetMinutes) {
    const auto day = static_cast<int>(7 + t / kDayMs);
    const auto ms = static_cast<int>(t % kDayMs);
    return LocalTime{day <= 31 ? LocalDate{2026, 12, day} : LocalDate{2027, 1, day - 31},
                     ms / 3600000,
                     ms / 60000 % 60,
                     ms / 1000 % 60,
                     ms % 1000,
                     offsetMinutes};
}
