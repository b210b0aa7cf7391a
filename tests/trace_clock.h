// Trace clocks for the tests of the trace reader.
#pragma once

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
