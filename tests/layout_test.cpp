// A trace file's lines: split from its bytes in the encoding its byte-order mark names, and told
// apart by the layout of its first log line, field by field; a line that breaks any field of
// that layout is damaged, never guessed at.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "common/diagnostics.h"
#include "common/escape.h"
#include "common/utf8.h"
#include "trace_clock.h"
#include "tracelog/format.h"
#include "tracereader/layout.h"

namespace {

std::string Describe(const TraceLine& line) {
    static const char* const kKinds[] = {"Before", "Header",  "Note",     "Entry",
                                         "Kernel", "Damaged", "NotATrace"};
    std::ostringstream out;
    out << kKinds[static_cast<int>(line.kind)] << " written " << line.writtenMs << " local "
        << line.localMs << " [" << line.pid << "] \"" << line.text << "\""
        << (line.timed ? " timed" : "");
    return out.str();
}

// LINE read by a reader whose layout FIRST has decided.
TraceLine ReadAfter(const std::string& first, const std::string& line) {
    LayoutReader reader;
    (void)reader.Read(first);
    return reader.Read(line);
}

constexpr const char* kKq5Header = "# kq5trace 1.0.0: debugger lines of the service kq5";
constexpr const char* kKq5Line = "2026-12-07 09:15:02.345 +01:00\t[42] x";
constexpr const char* kElapsedLine = "2\t12.5\t[9] x";
constexpr const char* kClockLine = "2\t21:15:02.345\t[9] x";
constexpr const char* kPlusPlusLine = "0.5\t2026/12/07 09:15:02.345\t3964\tkq5svc.exe\tx";

// The data files' escapes: \t, \r, \n, \\ and \xNN.
std::string Unescaped(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        const char next = i + 1 < text.size() ? text[i + 1] : '\0';
        if (text[i] != '\\') {
            out += text[i];
        } else if (next == 'x') {
            out += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            i += 3;
        } else {
            out += next == 't' ? '\t' : next == 'r' ? '\r' : next == 'n' ? '\n' : next;
            ++i;
        }
    }
    return out;
}

// Checks every case of the data file tests/golden/layout/NAME, a case a line: its input, " | ",
// and what SEEN makes of the input (KQ5_REWRITE=1 writes what SEEN makes of it instead).
void CheckCases(const std::string& name, const std::function<std::string(std::string)>& seen) {
    const std::string path = std::string(KQ5_GOLDEN_DIR) + "/layout/" + name;
    std::ifstream in(path, std::ios::binary);
    std::string file;
    int cases = 0;
    for (std::string text; std::getline(in, text); file += text + "\n") {
        const size_t last = text.rfind(" | ");
        if (!text.empty() && text[0] != '#' && last != std::string::npos) {
            ++cases;
            const std::string found = seen(text.substr(0, last));
            EXPECT_EQ(text.substr(last + 3), found) << text;
            text = text.substr(0, last + 3) + found;
        }
    }
    EXPECT_GT(cases, 10) << path;
    if (std::getenv("KQ5_REWRITE") != nullptr) {
        std::ofstream(path, std::ios::binary) << file;
    }
}

// lines.txt: the layout the reader has, the line, and what it reads as; after a file's first
// line, the layout it decided, its name and its clock.
TEST(TraceLayout, ReadsEachCaseAsItsDataFileSays) {
    const std::pair<std::string, const char*> firsts[] = {{"kq5 | ", kKq5Header},
                                                          {"elapsed | ", kElapsedLine},
                                                          {"clock | ", kClockLine},
                                                          {"plusplus | ", kPlusPlusLine}};
    const char* const clocks[] = {"elapsed", "time of day", "date and time"};
    CheckCases("lines.txt", [&](const std::string& input) {
        LayoutReader reader;
        for (const auto& [name, line] : firsts) {
            (void)(input.starts_with(name) ? reader.Read(line) : TraceLine{});
        }
        const TraceLine read = reader.Read(Unescaped(input.substr(input.find(" | ") + 3)));
        if (!input.starts_with("- | ")) {
            return Describe(read);
        }
        return Describe(read) + " as " +
               (reader.layout == Layout::Unknown
                    ? std::string("none")
                    : LayoutName(reader.layout, Encoding::Bytes, reader.wholeSeconds)) +
               ", " + clocks[static_cast<int>(ClockOf(reader.layout))];
    });
}

// A line with any of its layout's fields broken or cut short is damaged; as a file's first line
// it decides no layout. Past DebugView's time, a line without "[pid] " is a driver's.
TEST(TraceLayout, DamagesEveryBrokenField) {
    const char* debugView = "not a DebugView line of this log's layout (cut or damaged)";
    const struct {
        const char* first;
        std::string line;
        size_t fields;  // the line's characters that belong to its layout's fields
        const char* why;
    } layouts[] = {
        {kKq5Header, kKq5Line, 36, "not a kq5trace line (cut or damaged)"},
        {kElapsedLine, kElapsedLine, 7, debugView},
        {kClockLine, kClockLine, 15, debugView},
        {kClockLine, "2\t9:15:02.345 PM\t[9] x", 17, debugView},
        {kPlusPlusLine, kPlusPlusLine, 33, "not a DebugView++ line (cut or damaged)"},
    };
    for (const auto& layout : layouts) {
        for (size_t i = 0; i < layout.fields; ++i) {  // cut before field character I, or it broken
            const std::string cut = layout.line.substr(0, i);
            for (const std::string& line : {cut, cut + 'x' + layout.line.substr(i + 1)}) {
                SCOPED_TRACE(line);
                EXPECT_EQ(Describe(ReadAfter(layout.first, line)),
                          Describe(TraceLine{LineKind::Damaged, 0, 0, layout.why}));
                LayoutReader reader;
                EXPECT_EQ(reader.Read(line).kind, LineKind::Before);
            }
        }
    }
}

std::string Printed(const char* format, auto... values) {
    char text[128];
    std::snprintf(text, sizeof text, format, values...);
    return text;
}

// TEXT's bytes, one character each.
std::u32string Chars(const std::string& text) {
    std::u32string chars;
    for (const char c : text) {
        chars += static_cast<unsigned char>(c);
    }
    return chars;
}

std::string Encoded(const std::u32string& chars, Encoding encoding) {
    std::string out;
    for (const char32_t c : chars) {
        if (encoding == Encoding::Utf16Le && c >= 0x10000) {
            out += Encoded({0xD800 + ((c - 0x10000) >> 10), 0xDC00 + ((c - 0x10000) & 0x3FF)},
                           encoding);
        } else if (encoding == Encoding::Utf16Le) {
            out += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
        } else if (encoding == Encoding::Utf8) {
            AppendUtf8(out, c);
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// The lines SplitLines hands on, quoted and escaped, each marked where it was too long or cut,
// until STOPAFTER lines have been taken, after the encoding it found.
std::string Split(const std::string& bytes, size_t stopAfter = SIZE_MAX) {
    const char* const names[] = {"bytes", "utf8", "utf16"};
    std::string lines;
    size_t count = 0;
    std::istringstream in(bytes);
    const Encoding found = SplitLines(in, [&](const std::string& line, bool tooLong, bool cut) {
        lines += " \"" + EscapeBytes(line) + "\"" + (tooLong ? " (too long)" : "") +
                 (cut ? " (cut)" : "");
        return ++count < stopAfter;
    });
    return names[static_cast<int>(found)] + (":" + lines);
}

// split.txt: text saved with a byte-order mark comes back as the bytes the service wrote (its
// code page 936 messages as those bytes, any other character as UTF-8, a broken sequence as its
// bytes); without a mark the bytes are the text. Each case the encoding its characters are saved
// in, the text (\uXXXX, \UXXXXXXXX: a character; \xNN: a byte as it is; the mark among them), and
// the encoding found with the lines.
TEST(TraceLayout, SplitsLinesInTheEncodingOfTheByteOrderMark) {
    CheckCases("split.txt", [](const std::string& input) {
        const auto encoding = input.starts_with("utf16")  ? Encoding::Utf16Le
                              : input.starts_with("utf8") ? Encoding::Utf8
                                                          : Encoding::Bytes;
        const std::string text = input.substr(input.find(" | ") + 3);
        std::string bytes;
        for (size_t i = 0; i < text.size(); ++i) {
            const char next = i + 1 < text.size() ? text[i + 1] : '\0';
            const size_t digits = text[i] != '\\' ? 0
                                  : next == 'x'   ? 2
                                  : next == 'u'   ? 4
                                  : next == 'U'   ? 8
                                                  : 0;
            if (next == 'x' && digits) {
                bytes += static_cast<char>(std::stoi(text.substr(i + 2, 2), nullptr, 16));
            } else if (digits) {
                bytes += Encoded(std::u32string(1, static_cast<char32_t>(std::stoul(
                                                       text.substr(i + 2, digits), nullptr, 16))),
                                 encoding);
            } else {
                bytes +=
                    Encoded(Chars(Unescaped(text.substr(i, text[i] == '\\' ? 2 : 1))), encoding);
                i += text[i] == '\\' ? 1 : 0;
                continue;
            }
            i += 1 + digits;
        }
        return Split(bytes);
    });
    // A mark where the second 64 KiB read starts is text; lines of the longest length and longer.
    const std::string tooLong(kLongestLine + 1, 'y');
    EXPECT_EQ(Split(std::string(65535, 'a') + "\n\xFF\xFE"),
              "bytes: \"" + std::string(65535, 'a') + "\" \"\\xff\\xfe\" (cut)");
    EXPECT_EQ(Split(std::string(kLongestLine, 'x') + "\n" + tooLong + "\nz\n" + tooLong),
              "bytes: \"" + std::string(kLongestLine, 'x') + "\" \"" + tooLong.substr(1) +
                  "\" (too long) \"z\" \"" + tooLong.substr(1) + "\" (too long) (cut)");
    // The reader stops where it is asked to, the next 64 KiB and a cut last line unread.
    for (const std::string mark : {"", "\xEF\xBB\xBF"}) {
        EXPECT_EQ(Split(mark + "a\n" + std::string(kLongestLine, 'b') + "\nc", 1),
                  (mark.empty() ? "bytes:" : "utf8:") + std::string(" \"a\""));
    }
}

// ---- Every layout, written at random and read back -----------------------------------------

// A random log: each line as written (characters; bytes one a character) and as it must read.
struct Log {
    Layout layout = Layout::Unknown;
    bool wholeSeconds = false;
    Encoding encoding = Encoding::Bytes;
    std::vector<std::pair<std::u32string, TraceLine>> lines;
};

// A log of LAYOUT as its writer saves it: kq5trace's by its format's module; DebugView's and
// DebugView++'s in the shape of the samples in tests/traces (an index, the time, "[pid] text";
// the elapsed seconds, the local date and time, the pid, the process name, the text). Times go
// on by up to 2 s or, now and then, by hours across midnight; the service starts again; other
// processes and drivers write; the clock's offset changes.
Log RandomLog(std::mt19937& engine, Layout layout, bool whole) {
    const auto below = [&](long long n) {
        return std::uniform_int_distribution<long long>(0, n - 1)(engine);
    };
    const int offsets[] = {60, 120, 0, -300, 330, 840, -599};
    const unsigned long pids[] = {7, 4242, 4294967295, 1};
    Log log{layout,
            whole,
            layout == Layout::Kq5trace || layout == Layout::DebugViewPlusPlus
                ? Encoding::Bytes
                : static_cast<Encoding>(below(3)),
            {}};
    const bool kq5 = layout == Layout::Kq5trace, plus = layout == Layout::DebugViewPlusPlus;
    long long t = below(kDayMs), e = 0;  // local ms after 2026-12-07 00:00, ms of the capture
    int offset = offsets[below(7)];
    const auto utc = [&] { return kDec7 + t - offset * 60000LL; };
    if (kq5 && below(5)) {  // else a day's later part, which starts without a header
        const std::string title = HeaderTitle("1.0." + std::to_string(below(9)),
                                              below(2) ? "kq5" : "a, from b"),
                          stamp = StampText(TimeAt(t, offset));
        log.lines.push_back(
            {Chars(HeaderLine(title, stamp)),
             {LineKind::Header, utc(), 0, title.substr(2) + ", from " + stamp, kDec7 + t, true}});
    } else if (plus && below(2)) {  // "Save Log"'s identification header
        const std::string id = "File Identification Header, DebugView++ Format Version 1";
        log.lines.push_back({Chars("0.000000\t2026/12/07 09:16:40.118\t0\tDebugView++.exe\t" + id),
                             {LineKind::Before, 0, 0, id}});
    }
    for (long long n = kq5 || plus ? 0 : below(kLinesBefore + 1); n > 0; --n) {
        log.lines.push_back({U"PC-LAB-07", {LineKind::Before, 0, 0, "PC-LAB-07"}});
    }
    unsigned long service = pids[below(4)];
    for (long long i = 1, n = 1 + below(30); i <= n; ++i) {
        const long long step = below(10) ? below(2000) : below(10 * 3600000);
        t += step;
        e += step;
        if (below(10) == 0) {
            service = pids[below(4)];
            offset = offsets[below(7)];
        }
        const unsigned long pid = below(5) ? service : 50;
        const LocalTime at = TimeAt(t, offset);
        const std::string stamp = StampText(at);
        // UTC is "+00:00": RFC 3339 keeps "-00:00" for an offset that is not known.
        EXPECT_EQ(stamp.substr(24, 1), offset < 0 ? "-" : "+") << stamp;
        // The text: in a log saved as text, printable ASCII, tabs, a character of no code page
        // (UTF-8 either way) and the service's code page 936 message (its bytes come back); in
        // one saved as bytes, any byte but a line end as well; in kq5trace's, any byte.
        std::u32string chars;
        std::string bytes;
        for (long long k = below(16); k > 0; --k) {
            const long long token = below(kq5 || log.encoding == Encoding::Bytes ? 5 : 4);
            const char c = token == 4 ? static_cast<char>(below(256)) : "\t #[]aZ\\"[below(8)];
            if (token == 0 && !kq5) {
                chars += log.encoding == Encoding::Bytes
                             ? Chars(diagnostics::kOpenFailedMessage)
                             : U"\u6253\u5f00\u6253\u5370\u673a\u5931\u8d25!";
                bytes += diagnostics::kOpenFailedMessage;
            } else if (token == 1 && !kq5) {
                chars += log.encoding == Encoding::Bytes ? U"\u00c3\u00a9" : U"\u00e9";
                bytes += "\xc3\xa9";
            } else if (kq5 || (c != '\n' && c != '\r')) {
                chars += static_cast<unsigned char>(c);
                bytes += c;
            }
        }
        const long long ofDay = t % kDayMs, local = kDec7 + t;
        if (kq5 && below(7) == 0) {
            const std::string note = below(2) ? "service kq5 runs as process 7" : "#\t\xe9";
            log.lines.push_back({Chars(NoteLine(stamp, note)),
                                 {LineKind::Note, utc(), 0, stamp + " " + note, local, true}});
        } else if (kq5) {
            log.lines.push_back({Chars(EntryLine(stamp, static_cast<std::uint32_t>(pid), bytes)),
                                 {LineKind::Entry, utc(), pid, EscapeBytes(bytes), local, true}});
        } else if (plus) {
            const std::string fields = Printed(
                "%lld.%06lld\t%04d/%02d/%02d %02d:%02d:%02d.%03d\t%lu\t%s", e / 1000,
                e % 1000 * 1000 + below(1000), at.date.year, at.date.month, at.date.day, at.hour,
                at.minute, at.second, at.millisecond, pid, below(5) ? "kq5svc.exe\t" : "\t");
            log.lines.push_back({Chars(fields) + chars,
                                 {LineKind::Entry, local, pid, EscapeBytes(bytes), local, true}});
        } else {
            const long long ms = layout == Layout::DebugViewElapsed ? e
                                 : whole                            ? ofDay - ofDay % 1000
                                                                    : ofDay;
            const std::string time =
                layout == Layout::DebugViewElapsed
                    ? Printed("%lld.%03lld%05lld", e / 1000, e % 1000, below(100000))
                : whole
                    ? Printed("%d:%02d:%02d%s%s", (at.hour + 11) % 12 + 1, at.minute, at.second,
                              std::string(static_cast<size_t>(below(3)), ' ').c_str(),
                              at.hour < 12 ? "AM" : "PM")
                    : Printed("%d:%02d:%02d.%03d", at.hour, at.minute, at.second, at.millisecond);
            const std::string start = Printed(below(2) ? "%08lld\t" : "%lld\t", i) + time;
            const long long shown = layout == Layout::DebugViewElapsed ? 0 : ms;
            while (!bytes.empty() && bytes.back() == '\t') {
                bytes.pop_back();  // trailing tabs, which some versions keep, go
            }
            if (below(10) == 0) {  // a driver's line, without "[pid] "
                log.lines.push_back({Chars(start + "\tUSBPRINT: ") + chars,
                                     {LineKind::Kernel, ms, 0, "", shown, true}});
            } else {
                log.lines.push_back(
                    {Chars(start + Printed("\t[%lu] ", pid)) + chars + (below(5) ? U"" : U"\t"),
                     {LineKind::Entry, ms, pid, EscapeBytes(bytes), shown, true}});
            }
        }
    }
    return log;
}

// The file of LOG, its last line (when it is not the first log line) cut before its last
// field's separator: damaged.
std::string Saved(Log& log, bool cut, bool crlf) {
    std::string bytes = log.encoding == Encoding::Utf8      ? "\xEF\xBB\xBF"
                        : log.encoding == Encoding::Utf16Le ? "\xFF\xFE"
                                                            : "";
    for (auto& [chars, read] : log.lines) {
        if (chars.back() == U'\n') {
            chars.pop_back();  // kq5trace's writer ends its lines itself
        }
        if (cut && &read == &log.lines.back().second && read.kind == LineKind::Entry &&
            log.lines.size() > 1 && log.lines.front().second.kind != LineKind::Before) {
            size_t end = log.layout == Layout::Kq5trace ? chars.find(U"] ") : chars.find(U'\t');
            for (int tabs = log.layout == Layout::DebugViewPlusPlus ? 3 : 1; tabs > 0; --tabs) {
                end = log.layout == Layout::Kq5trace ? end : chars.find(U'\t', end + 1);
            }
            chars.resize(end / 2 + 1);
            read = TraceLine{LineKind::Damaged, 0, 0, ""};
            return bytes + Encoded(chars, log.encoding);
        }
        bytes += Encoded(chars + (crlf ? U"\r\n" : U"\n"), log.encoding);
    }
    return bytes;
}

// Random logs of every layout, seeded, read back line by line as the same events at the same
// times; the layout and the encoding told from the file; a last line cut in its fields damaged.
TEST(TraceLayout, EveryLayoutReadsBackAsWritten) {
    std::mt19937 engine(20261207);
    const std::pair<Layout, bool> layouts[] = {{Layout::Kq5trace, false},
                                               {Layout::DebugViewElapsed, false},
                                               {Layout::DebugViewClock, false},
                                               {Layout::DebugViewClock, true},
                                               {Layout::DebugViewPlusPlus, false}};
    for (int run = 0; run < 300; ++run) {
        const auto [layout, whole] = layouts[run % 5];
        Log log = RandomLog(engine, layout, whole);
        const std::string bytes = Saved(log, run % 4 == 0, run % 3 == 0);
        SCOPED_TRACE("run " + std::to_string(run) + ": " + EscapeBytes(bytes));
        LayoutReader reader;
        size_t at = 0;
        std::istringstream in(bytes);
        EXPECT_EQ(SplitLines(in,
                             [&](const std::string& line, bool, bool) {
                                 const TraceLine read = reader.Read(line);
                                 const TraceLine& expected = log.lines.at(at++).second;
                                 EXPECT_EQ(expected.kind == LineKind::Damaged
                                               ? Describe(TraceLine{read.kind, 0, 0, ""})
                                               : Describe(read),
                                           Describe(expected))
                                     << at;
                                 return true;
                             }),
                  log.encoding);
        EXPECT_EQ(at, log.lines.size());
        EXPECT_EQ(reader.layout, log.layout);
        EXPECT_EQ(reader.wholeSeconds, log.wholeSeconds);
    }
}

}  // namespace
