#include "tracelog/format.h"

#include <cstdio>
#include <cstdlib>

#include "common/civil_days.h"
#include "common/escape.h"

namespace {

constexpr const char* kHeaderStart = "# kq5trace ";
constexpr const char* kFilePrefix = "kq5trace-";
constexpr const char* kFileSuffix = ".txt";

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// The value of DIGITS characters of TEXT at AT, or -1 when they are not all digits.
long long Digits(const std::string& text, size_t at, size_t digits) {
    if (at + digits > text.size()) {
        return -1;
    }
    long long value = 0;
    for (size_t i = at; i < at + digits; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// "2026-12-07 09:15:02.345 +01:00", the whole of S: the local clock and UTC, in milliseconds
// since 1970.
bool ReadStamp(const std::string& s, long long& utcMs, long long& localMs) {
    if (s.size() != kStampLength || s[4] != '-' || s[7] != '-' || s[10] != ' ' || s[13] != ':' ||
        s[16] != ':' || s[19] != '.' || s[23] != ' ' || (s[24] != '+' && s[24] != '-') ||
        s[27] != ':') {
        return false;
    }
    const long long year = Digits(s, 0, 4), month = Digits(s, 5, 2), day = Digits(s, 8, 2),
                    hour = Digits(s, 11, 2), minute = Digits(s, 14, 2), second = Digits(s, 17, 2),
                    millis = Digits(s, 20, 3), offsetHours = Digits(s, 25, 2),
                    offsetMinutes = Digits(s, 28, 2);
    if (year < 0 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
        minute < 0 || minute > 59 || second < 0 || second > 60 || millis < 0 || offsetHours < 0 ||
        offsetMinutes < 0) {
        return false;
    }
    localMs = ((DaysFromCivil(year, month, day) * 24 + hour) * 60 + minute) * 60000 +
              second * 1000 + millis;
    const long long offset = (offsetHours * 60 + offsetMinutes) * (s[24] == '-' ? -1 : 1);
    utcMs = localMs - offset * 60000;
    return true;
}

// "[1234] text": the process id and the text.
bool SplitPid(const std::string& s, unsigned long& pid, std::string& text) {
    const size_t close = s.find("] ");
    if (s.empty() || s[0] != '[' || close == std::string::npos || close < 2 || close > 11 ||
        Digits(s, 1, close - 1) < 0) {
        return false;
    }
    pid = std::strtoul(s.c_str() + 1, nullptr, 10);
    text = s.substr(close + 2);
    return true;
}

bool ReadEntry(const std::string& text, LogLine& line) {
    line.kind = LogLine::Kind::Entry;
    line.timed = true;
    return text.find('\t') == kStampLength &&
           ReadStamp(text.substr(0, kStampLength), line.utcMs, line.localMs) &&
           SplitPid(text.substr(kStampLength + 1), line.pid, line.text);
}

// A header or a note: its text without "# ", timed when the stamp at AT ends the line or is
// followed by a space.
LogLine Comment(const std::string& text, LogLine::Kind kind, size_t at) {
    LogLine line;
    line.kind = kind;
    line.text = text.substr(2);
    if (text.size() >= at + kStampLength &&
        (at + kStampLength == text.size() || text[at + kStampLength] == ' ')) {
        long long utcMs = 0, localMs = 0;
        if (ReadStamp(text.substr(at, kStampLength), utcMs, localMs)) {
            line.timed = true;
            line.utcMs = utcMs;
            line.localMs = localMs;
        }
    }
    return line;
}

}  // namespace

std::string StampText(const LocalTime& time) {
    const int offset = std::abs(time.offsetMinutes);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d.%03d %c%02d:%02d",
                  time.date.year, time.date.month, time.date.day, time.hour, time.minute,
                  time.second, time.millisecond, time.offsetMinutes < 0 ? '-' : '+', offset / 60,
                  offset % 60);
    return text;
}

std::string HeaderTitle(const std::string& version, const std::string& service) {
    return kHeaderStart + version + ": debugger lines of the service " + service;
}

std::string HeaderLine(const std::string& title, const std::string& stamp) {
    return title + ", from " + stamp + "\n";
}

std::string EntryLine(const std::string& stamp, std::uint32_t pid, const std::string& bytes) {
    return stamp + "\t[" + std::to_string(pid) + "] " + EscapeBytes(bytes) + "\n";
}

std::string NoteLine(const std::string& stamp, const std::string& text) {
    return "# " + stamp + " " + text + "\n";
}

std::string StartLine(const std::string& title, const std::string& stamp, bool continuing) {
    if (!continuing) {
        return HeaderLine(title, stamp);
    }
    return NoteLine(stamp, kStartedNote + title.substr(title.starts_with("# ") ? 2 : 0));
}

bool IsHeader(const std::string& line) {
    return line.starts_with(kHeaderStart);
}

bool OpensLog(const std::string& line) {
    LogLine read;
    return IsHeader(line) || ReadEntry(line, read) ||
           (line.starts_with("# ") && line.find(' ', kStampLength + 2) == kStampLength + 2 &&
            Comment(line, LogLine::Kind::Note, 2).timed);
}

LogLine ReadHeader(const std::string& line) {
    const size_t from = line.rfind(", from ");
    // A header without ", from " has its stamp nowhere: looked for past its end.
    return Comment(line, LogLine::Kind::Header, from == std::string::npos ? line.size() : from + 7);
}

LogLine ReadLogLine(const std::string& line) {
    if (line.starts_with("# ")) {
        return Comment(line, LogLine::Kind::Note, 2);
    }
    LogLine entry;
    if (!ReadEntry(line, entry)) {
        return LogLine{};
    }
    return entry;
}

std::string DayFileName(LocalDate date, int part) {
    char name[64];
    if (part <= 1) {
        std::snprintf(name, sizeof name, "%s%04d-%02d-%02d%s", kFilePrefix, date.year, date.month,
                      date.day, kFileSuffix);
    } else {
        std::snprintf(name, sizeof name, "%s%04d-%02d-%02d.%d%s", kFilePrefix, date.year,
                      date.month, date.day, part, kFileSuffix);
    }
    return name;
}

bool ParseDayFileName(const std::string& name, LocalDate& date, int& part) {
    const std::string prefix = kFilePrefix;
    const std::string suffix = kFileSuffix;
    // "kq5trace-" "YYYY-MM-DD" [".N"] ".txt"
    if (name.size() < prefix.size() + 10 + suffix.size() ||
        name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    const size_t at = prefix.size();
    const auto year = static_cast<int>(Digits(name, at, 4));
    const auto month = static_cast<int>(Digits(name, at + 5, 2));
    const auto day = static_cast<int>(Digits(name, at + 8, 2));
    if (year < 1601 || name[at + 4] != '-' || name[at + 7] != '-' || month < 1 || month > 12 ||
        day < 1 || day > DaysInMonth(year, month)) {
        return false;
    }
    const std::string middle =
        name.substr(at + 10, name.size() - suffix.size() - (at + 10));  // "" or ".N"
    int number = 1;
    if (!middle.empty()) {
        // ".2" to ".99999": no part 1 (that one is unnumbered) and no leading zero.
        if (middle.size() < 2 || middle.size() > 6 || middle[0] != '.' || middle[1] == '0') {
            return false;
        }
        number = static_cast<int>(Digits(middle, 1, middle.size() - 1));
        if (number < 2) {
            return false;
        }
    }
    date = LocalDate{year, month, day};
    part = number;
    return true;
}
