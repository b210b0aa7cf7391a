// Layouts to lines: a trace file's bytes split into lines and each line told apart by the
// file's layout, which the first log line decides and every later line is held to.
//   kq5trace:         its own format, read by tracelog/format.h: a header, notes, entries with
//                     the text's bytes escaped
//   DebugView logs:   "index\t<elapsed seconds or clock time>\t[pid] text", raw bytes; a kernel
//                     line has no "[pid]"
//   DebugView++ logs: "<elapsed seconds>\t<local YYYY/MM/DD hh:mm:ss.mmm>\t<pid>\t<process
//                     name>\t<text>", raw bytes; its "Save Log" writes an identification header
//                     line first, its continuous log file has none
#pragma once

#include <cstddef>
#include <functional>
#include <istream>
#include <string>

enum class Layout { Unknown, Kq5trace, DebugViewElapsed, DebugViewClock, DebugViewPlusPlus };

// What a layout's times say of the local clock: nothing (seconds since the capture began), the
// time of day only, or the date and the time.
enum class ClockKind { Elapsed, TimeOfDay, DateTime };
ClockKind ClockOf(Layout layout);

// How a file's text is stored, from its byte-order mark.
enum class Encoding { Bytes, Utf8, Utf16Le };

// "kq5trace", "DebugView log, elapsed time", ...
std::string LayoutName(Layout layout, Encoding encoding, bool wholeSeconds);

// Calls EACH with every line of IN, without its line end, in the bytes the service wrote: text
// saved as UTF-16LE or UTF-8 (after a byte-order mark) is turned back into bytes, the
// characters of the service's code page 936 messages into their code page 936 bytes. A line
// longer than kLongestLine comes as TOOLONG with its start only; a last line without a line end
// comes as CUT. EACH returns false to stop. Returns the encoding found.
inline constexpr size_t kLongestLine = size_t{64} * 1024;  // a debugger line is 4 KiB at most
Encoding SplitLines(
    std::istream& in,
    const std::function<bool(const std::string& line, bool tooLong, bool cut)>& each);

// The code page 936 bytes of one of the characters of the service's two Chinese messages, or
// an empty string for any other character.
std::string Cp936Bytes(char32_t character);

enum class LineKind {
    Before,   // before the first log line (a computer name, a title): skipped and named
    Header,   // kq5trace's first line
    Note,     // a kq5trace note ("# ...")
    Entry,    // a line of some process
    Kernel,   // a DebugView line without "[pid]": written by a driver, not by a process
    Damaged,  // does not fit the layout: WHY says how
    NotATrace
};

struct TraceLine {
    LineKind kind = LineKind::Damaged;
    // The time the line's order and gaps are measured by: kq5trace: UTC; DebugView: elapsed, or
    // the clock's time of day; DebugView++: its local date and time.
    long long writtenMs = 0;
    unsigned long pid = 0;
    std::string text;  // Entry: escaped; Header, Note: without "# "; Damaged: why
    // The local clock as the line shows it (ClockOf the layout): milliseconds since 1970-01-01
    // 00:00 local time (DateTime), or since the day's midnight (TimeOfDay); 0 for Elapsed.
    long long localMs = 0;
    // The line carries its time: every Entry; kq5trace's header and notes with a time stamp.
    bool timed = false;
};

// The lines of one file, told apart by its layout.
struct LayoutReader {
    Layout layout = Layout::Unknown;
    bool wholeSeconds = false;  // DebugView's clock without milliseconds
    size_t before = 0;          // lines before the first log line
    std::string firstLine;      // the first line, escaped (for the error when none fits)
    TraceLine Read(std::string line);
};

// Up to this many lines before the first log line are skipped (a computer name, a title).
inline constexpr size_t kLinesBefore = 5;
