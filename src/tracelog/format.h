// kq5trace's own log format, in one place: the capture and the recorder write it with these
// functions, the trace reader reads it with them, and the recorder names its day files so.
//   header: "# kq5trace 1.0.0: debugger lines of the service kq5, from <stamp>"
//   entry:  "<stamp>\t[<pid>] <the line's bytes, escaped>"
//   note:   "# <stamp> <text>"
//   stamp:  "2026-12-07 09:15:02.345 +01:00": the local clock and its offset from UTC
//   files:  "kq5trace-2026-12-07.txt", a day too big for one going on in
//           "kq5trace-2026-12-07.2.txt", ".3.txt", ...
// Standard C++ only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

struct LocalDate {
    int year = 0;
    int month = 0;  // 1..12
    int day = 0;    // 1..31
    auto operator<=>(const LocalDate&) const = default;
};

// A moment on the local clock, with the clock's offset from UTC.
struct LocalTime {
    LocalDate date;
    int hour = 0;
    int minute = 0;
    int second = 0;
    int millisecond = 0;
    int offsetMinutes = 0;  // local time minus UTC
};

inline constexpr size_t kStampLength = 30;

// "2026-12-07 09:15:02.345 +01:00".
std::string StampText(const LocalTime& time);

// The header's start, as the recorder repeats it atop each file: "# kq5trace VERSION: debugger
// lines of the service SERVICE".
std::string HeaderTitle(const std::string& version, const std::string& service);
// Each line with its line end.
std::string HeaderLine(const std::string& title, const std::string& stamp);
std::string EntryLine(const std::string& stamp, std::uint32_t pid, const std::string& bytes);
std::string NoteLine(const std::string& stamp, const std::string& text);
// How a capture or a recording begins: the header atop a new file; in a file it goes on in, a
// note "recording started: kq5trace VERSION: ..." (a header there would read as a stray line),
// so that a restart is seen where it happened. The trace reader takes either as a start.
std::string StartLine(const std::string& title, const std::string& stamp, bool continuing);
inline constexpr const char* kStartedNote = "recording started: ";
// After this long with nothing written, a recorder or capture notes that it still listens: a
// reader then tells a service that said nothing from a stretch nobody recorded, to within five
// minutes, for at most 288 short lines a day.
inline constexpr std::uint64_t kStillListeningMs = std::uint64_t{5} * 60 * 1000;

// One line of the format, read back (without its line end).
struct LogLine {
    enum class Kind { Header, Note, Entry, Damaged };
    Kind kind = Kind::Damaged;
    bool timed = false;     // an entry, or a header or note that carries its stamp
    long long utcMs = 0;    // the stamp's moment, in milliseconds since 1970 UTC
    long long localMs = 0;  // the stamp's local clock, in milliseconds since 1970 of that clock
    unsigned long pid = 0;
    std::string text;  // entry: still escaped; header and note: without "# "
};

// A file's first line that opens the format: a header, or (for a day's later part, which the
// recorder may start without one) an entry or a note with its stamp and text.
bool OpensLog(const std::string& line);
// A first line that is the header (it starts "# kq5trace ").
bool IsHeader(const std::string& line);
// The header, timed by the stamp after its last ", from ".
LogLine ReadHeader(const std::string& line);
// A line after the first: a note (any "# " line), an entry, or Damaged.
LogLine ReadLogLine(const std::string& line);

// The file in a record folder that a recorder holds while it records: a second recorder there
// would write its notes into the first one's files and delete them by its own limits. A reader
// passes over it.
inline constexpr const char* kRecorderLock = "kq5trace.lock";

// The name of PART of DATE's file: part 1 unnumbered.
std::string DayFileName(LocalDate date, int part);
// True, with the date and part, only for a name DayFileName gives: a real date, part 1 unnumbered,
// no leading zeros, lower case. Nothing else in the folder is ever the recorder's to delete.
bool ParseDayFileName(const std::string& name, LocalDate& date, int& part);
