// Days since 1970-01-01 of a date in the proleptic Gregorian calendar, and back: for counting
// days across months, years and leap days (the recorder's retention, a trace's clock times).
// The era arithmetic is Howard Hinnant's days_from_civil and civil_from_days. Standard C++ only.
#pragma once

// Rounds towards minus infinity, so that a time before 1970 still has its own day.
inline long long FloorDiv(long long a, long long b) {
    return a / b - (a % b != 0 && (a < 0) != (b < 0));
}

// Days since 1970-01-01 of YEAR-MONTH-DAY (month 1..12).
inline long long DaysFromCivil(long long y, long long m, long long d) {
    y -= m <= 2;
    const long long era = FloorDiv(y, 400);
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// The date DAYS after 1970-01-01.
inline void CivilFromDays(long long days, long long& year, long long& month, long long& day) {
    days += 719468;
    const long long era = FloorDiv(days, 146097);
    const long long doe = days - era * 146097;
    const long long yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const long long doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const long long mp = (5 * doy + 2) / 153;
    day = doy - (153 * mp + 2) / 5 + 1;
    month = mp < 10 ? mp + 3 : mp - 9;
    year = yoe + era * 400 + (month <= 2);
}
