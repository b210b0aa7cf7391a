// Reading a trace's lines: the layout is told by the first log line and every later line is
// held to it; a line that does not fit is skipped and counted, never guessed at.
#include "tracereader/layout.h"

#include <cstdlib>
#include <utility>

#include "common/escape.h"
#include "common/utf8.h"
#include "tracelog/format.h"
#include "tracereader/clock.h"

namespace {

bool Digits(const std::string& s, size_t from, size_t count) {
    if (from + count > s.size()) {
        return false;
    }
    for (size_t i = from; i < from + count; ++i) {
        if (s[i] < '0' || s[i] > '9') {
            return false;
        }
    }
    return true;
}

// The COUNT digits at FROM in S, which Digits() has checked, as a number.
long long Number(const std::string& s, size_t from, size_t count) {
    long long number = 0;
    for (size_t i = from; i < from + count; ++i) {
        number = number * 10 + (s[i] - '0');
    }
    return number;
}

// "2026-12-07 09:15:02.345" (SEPARATOR between the date's parts) at FROM in S, as milliseconds
// since 1970-01-01 00:00 of the same clock.
bool ParseDateTime(const std::string& s, size_t from, char separator, long long& ms) {
    const auto at = [&](size_t i) { return s[from + i]; };
    if (s.size() < from + 23 || !Digits(s, from, 4) || at(4) != separator ||
        !Digits(s, from + 5, 2) || at(7) != separator || !Digits(s, from + 8, 2) || at(10) != ' ' ||
        !Digits(s, from + 11, 2) || at(13) != ':' || !Digits(s, from + 14, 2) || at(16) != ':' ||
        !Digits(s, from + 17, 2) || at(19) != '.' || !Digits(s, from + 20, 3)) {
        return false;
    }
    const auto number = [&](size_t i, size_t count) { return Number(s, from + i, count); };
    const long long month = number(5, 2), day = number(8, 2), hour = number(11, 2),
                    minute = number(14, 2), second = number(17, 2);
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
        return false;
    }
    ms = ((DaysFromCivil(number(0, 4), month, day) * 24 + hour) * 60 + minute) * 60000 +
         second * 1000 + number(20, 3);
    return true;
}

// DebugView's elapsed seconds ("12.34567890") in milliseconds.
bool ParseElapsed(const std::string& s, long long& ms) {
    const size_t dot = s.find('.');
    if (dot == 0 || dot == std::string::npos || dot > 9 || !Digits(s, 0, dot) ||
        !Digits(s, dot + 1, s.size() - dot - 1) || s.size() == dot + 1) {
        return false;
    }
    std::string fraction = s.substr(dot + 1) + "000";
    ms = Number(s, 0, dot) * 1000 + Number(fraction, 0, 3);
    return true;
}

// DebugView's clock time ("9:15:02 PM", "21:15:02.345") in milliseconds of the day; WHOLE when
// it has no fraction of a second.
bool ParseClock(const std::string& text, long long& ms, bool& whole) {
    std::string s = text;
    const bool pm = s.ends_with("PM"), twelveHours = pm || s.ends_with("AM");
    if (twelveHours) {
        s.resize(s.size() - 2);
        while (!s.empty() && s.back() == ' ') {
            s.pop_back();
        }
    }
    const size_t h = s.find(':');
    if (h == 0 || h > 2 || !Digits(s, 0, h) || s.size() < h + 6 || s[h + 3] != ':' ||
        !Digits(s, h + 1, 2) || !Digits(s, h + 4, 2)) {
        return false;
    }
    long long millis = 0;
    whole = s.size() == h + 6;
    if (!whole) {
        if (s[h + 6] != '.' || s.size() > h + 10 || !Digits(s, h + 7, s.size() - h - 7)) {
            return false;
        }
        millis = Number(s.substr(h + 7) + "000", 0, 3);
    }
    long long hour = Number(s, 0, h);
    const long long minute = Number(s, h + 1, 2), second = Number(s, h + 4, 2);
    if (twelveHours) {
        if (hour < 1 || hour > 12) {
            return false;
        }
        hour = hour % 12 + (pm ? 12 : 0);
    }
    if (hour > 23 || minute > 59 || second > 59) {
        return false;
    }
    ms = ((hour * 60 + minute) * 60 + second) * 1000 + millis;
    return true;
}

// "[1234] text": the process id and the text.
bool SplitPid(const std::string& s, unsigned long& pid, std::string& text) {
    const size_t close = s.find("] ");
    if (s.empty() || s[0] != '[' || close == std::string::npos || close < 2 || close > 11 ||
        !Digits(s, 1, close - 1)) {
        return false;
    }
    pid = std::strtoul(s.c_str() + 1, nullptr, 10);
    text = s.substr(close + 2);
    return true;
}

// "index\ttime\t": the time field, when the line starts so.
bool DebugViewTime(const std::string& text, std::string& time, size_t& rest) {
    const size_t tab1 = text.find('\t');
    const size_t tab2 = tab1 == std::string::npos ? tab1 : text.find('\t', tab1 + 1);
    if (tab1 == 0 || tab2 == std::string::npos || !Digits(text, 0, tab1)) {
        return false;
    }
    time = text.substr(tab1 + 1, tab2 - tab1 - 1);
    rest = tab2 + 1;
    return true;
}

// A DebugView++ line, "<elapsed>\t<YYYY/MM/DD hh:mm:ss.mmm>\t<pid>\t<process name>\t<text>":
// the time, the process id and the text's raw bytes in LINE and RAW. The text may hold tabs.
bool SplitDebugViewPlusPlus(const std::string& s, TraceLine& line, std::string& raw) {
    size_t tabs[4] = {};
    size_t from = 0;
    for (size_t& tab : tabs) {
        tab = s.find('\t', from);
        if (tab == std::string::npos) {
            return false;
        }
        from = tab + 1;
    }
    const size_t pidLength = tabs[2] - tabs[1] - 1;
    if (!ParseElapsed(s.substr(0, tabs[0]), line.writtenMs) || tabs[1] - tabs[0] - 1 != 23 ||
        !ParseDateTime(s, tabs[0] + 1, '/', line.localMs) || pidLength == 0 || pidLength > 10 ||
        !Digits(s, tabs[1] + 1, pidLength)) {
        return false;
    }
    // The clock, not the elapsed seconds: a continuous log file goes on across DebugView++'s
    // restarts, each of which counts its seconds from 0 again.
    line.writtenMs = line.localMs;
    line.pid = std::strtoul(s.c_str() + tabs[1] + 1, nullptr, 10);
    raw = s.substr(tabs[3] + 1);
    return true;
}

// The text DebugView++'s "Save Log" writes on its first line, after the time, process id 0 and
// its own name.
constexpr const char* kDebugViewPlusPlusHeader = "File Identification Header, DebugView++";

// A line of some process, its fields yet to be read.
TraceLine Entry() {
    TraceLine line;
    line.kind = LineKind::Entry;
    line.timed = true;
    return line;
}

TraceLine Damaged(const char* why) {
    return TraceLine{LineKind::Damaged, 0, 0, why};
}

// clang-format off
// The characters of the service's two messages, "打开打印机失败!" and "获得PRINTER_INFO_2的数组失败!",
// with their code page 936 bytes: what a machine with that code page shows and saves as text.
constexpr struct {
    char32_t character;
    const char* bytes;
} kCp936[] = {
    {0x5370, "\xD3\xA1"},  // 印
    {0x5931, "\xCA\xA7"},  // 失
    {0x5F00, "\xBF\xAA"},  // 开
    {0x5F97, "\xB5\xC3"},  // 得
    {0x6253, "\xB4\xF2"},  // 打
    {0x6570, "\xCA\xFD"},  // 数
    {0x673A, "\xBB\xFA"},  // 机
    {0x7684, "\xB5\xC4"},  // 的
    {0x7EC4, "\xD7\xE9"},  // 组
    {0x83B7, "\xBB\xF1"},  // 获
    {0x8D25, "\xB0\xDC"},  // 败
};
// clang-format on

// One character of decoded text, as the bytes the service wrote (or, for a character that is
// none of its own, as UTF-8).
void PutCharacter(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
        return;
    }
    const std::string cp936 = Cp936Bytes(c);
    if (!cp936.empty()) {
        out += cp936;
    } else {
        AppendUtf8(out, c);
    }
}

// Text after a byte-order mark turned into bytes as they come: UTF-8 sequences and UTF-16LE
// units are decoded (a broken sequence keeps its bytes, a lone surrogate becomes U+FFFD). Bytes
// without a mark need no decoder.
struct Decoder {
    Encoding encoding = Encoding::Bytes;
    std::string pending;  // the start of a sequence not yet whole
    void Put(std::string& out, char byte) {
        pending += byte;
        if (encoding == Encoding::Utf16Le) {
            PutUtf16(out);
        } else {
            PutUtf8(out);
        }
    }
    void PutUtf16(std::string& out) {
        const auto unit = [this](size_t at) {
            return static_cast<char32_t>(static_cast<unsigned char>(pending[at]) |
                                         static_cast<unsigned char>(pending[at + 1]) << 8);
        };
        // A lone high surrogate becomes U+FFFD and the unit after it is read again, as a
        // character of its own.
        while (pending.size() >= 2) {
            const char32_t first = unit(0);
            if (first < 0xD800 || first >= 0xDC00) {
                PutCharacter(out, first >= 0xDC00 && first < 0xE000 ? char32_t{0xFFFD} : first);
                pending.clear();
                return;
            }
            if (pending.size() < 4) {
                return;
            }
            const char32_t second = unit(2);
            if (second >= 0xDC00 && second < 0xE000) {
                PutCharacter(out, 0x10000 + ((first - 0xD800) << 10) + (second - 0xDC00));
                pending.clear();
                return;
            }
            PutCharacter(out, 0xFFFD);
            pending.erase(0, 2);
        }
    }
    void PutUtf8(std::string& out) {
        const auto lead = static_cast<unsigned char>(pending[0]);
        // C0 and C1 would lead only overlong forms of ASCII: no UTF-8, kept as bytes.
        const size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 1;
        for (size_t i = 1; i < pending.size(); ++i) {
            if ((static_cast<unsigned char>(pending[i]) & 0xC0) != 0x80) {
                out += pending;  // not UTF-8 after all: the bytes as they are
                pending.clear();
                return;
            }
        }
        if (pending.size() < length) {
            return;
        }
        if (length == 1) {
            out += pending;
        } else {
            char32_t c = lead & (0x7F >> length);
            for (size_t i = 1; i < length; ++i) {
                c = c << 6 | (static_cast<unsigned char>(pending[i]) & 0x3F);
            }
            PutCharacter(out, c);
        }
        pending.clear();
    }
};

// The byte order mark at a file's start: sets the encoding it names, returns its length (0 for
// none).
size_t ByteOrderMark(const char* bytes, size_t size, Encoding& encoding) {
    if (size >= 3 && bytes[0] == '\xEF' && bytes[1] == '\xBB' && bytes[2] == '\xBF') {
        encoding = Encoding::Utf8;
        return 3;
    }
    if (size >= 2 && bytes[0] == '\xFF' && bytes[1] == '\xFE') {
        encoding = Encoding::Utf16Le;
        return 2;
    }
    return 0;
}

using EachLine = std::function<bool(const std::string& line, bool tooLong, bool cut)>;

// Gathers decoded characters into lines, keeping the start of one too long, and hands each
// whole line on.
struct LineGatherer {
    const EachLine& each;
    std::string line;
    bool tooLong = false;
    // False when EACH asks to stop.
    bool Take(char c) {
        if (c != '\n') {
            if (line.size() < kLongestLine) {
                line += c;
            } else {
                tooLong = true;
            }
            return true;
        }
        const bool more = each(line, tooLong, false);
        line.clear();
        tooLong = false;
        return more;
    }
};

// Decodes BYTES into lines; false when EACH asks to stop.
bool TakeBytes(const char* bytes, size_t size, Decoder& decoder, LineGatherer& lines) {
    std::string decoded;
    for (size_t i = 0; i < size; ++i) {
        if (decoder.encoding == Encoding::Bytes) {
            if (!lines.Take(bytes[i])) {
                return false;
            }
            continue;
        }
        decoded.clear();
        decoder.Put(decoded, bytes[i]);
        for (const char c : decoded) {
            if (!lines.Take(c)) {
                return false;
            }
        }
    }
    return true;
}

}  // namespace

std::string Cp936Bytes(char32_t character) {
    for (const auto& entry : kCp936) {
        if (entry.character == character) {
            return entry.bytes;
        }
    }
    return "";
}

std::string LayoutName(Layout layout, Encoding encoding, bool wholeSeconds) {
    std::string name = layout == Layout::Kq5trace            ? "kq5trace"
                       : layout == Layout::DebugViewPlusPlus ? "DebugView++ log"
                       : layout == Layout::DebugViewElapsed  ? "DebugView log, elapsed time"
                       : wholeSeconds ? "DebugView log, clock time in seconds"
                                      : "DebugView log, clock time";
    return name + (encoding == Encoding::Utf16Le ? ", UTF-16LE"
                   : encoding == Encoding::Utf8  ? ", UTF-8"
                                                 : "");
}

Encoding SplitLines(std::istream& in, const EachLine& each) {
    Decoder decoder;
    LineGatherer lines{each, "", false};
    bool first = true;
    char chunk[65536];
    for (;;) {
        in.read(chunk, sizeof chunk);
        const auto got = static_cast<size_t>(in.gcount());
        if (got == 0) {
            break;
        }
        const size_t from = first ? ByteOrderMark(chunk, got, decoder.encoding) : 0;
        first = false;
        if (!TakeBytes(chunk + from, got - from, decoder, lines)) {
            return decoder.encoding;
        }
    }
    lines.line += decoder.pending;  // a sequence cut at the end keeps its bytes
    if (!lines.line.empty() || lines.tooLong) {
        (void)each(lines.line, lines.tooLong, true);
    }
    return decoder.encoding;
}

ClockKind ClockOf(Layout layout) {
    switch (layout) {
        case Layout::Kq5trace:
        case Layout::DebugViewPlusPlus:
            return ClockKind::DateTime;
        case Layout::DebugViewClock:
            return ClockKind::TimeOfDay;
        case Layout::Unknown:
        case Layout::DebugViewElapsed:
            break;
    }
    return ClockKind::Elapsed;
}

namespace {

// The layout TEXT, a line before the layout is known, is the first line of; Unknown for none.
Layout LayoutOf(const std::string& text, bool& wholeSeconds) {
    if (OpensLog(text)) {
        return Layout::Kq5trace;
    }
    TraceLine line;
    std::string raw;
    if (SplitDebugViewPlusPlus(text, line, raw)) {
        return Layout::DebugViewPlusPlus;
    }
    std::string time;
    size_t rest = 0;
    bool whole = false;
    if (DebugViewTime(text, time, rest)) {
        if (ParseElapsed(time, line.writtenMs)) {
            return Layout::DebugViewElapsed;
        }
        if (ParseClock(time, line.writtenMs, whole)) {
            wholeSeconds = whole;
            return Layout::DebugViewClock;
        }
    }
    return Layout::Unknown;
}

// A line of kq5trace's format, as the format reads it.
TraceLine OfLogLine(LogLine read) {
    if (read.kind == LogLine::Kind::Damaged) {
        return Damaged("not a kq5trace line (cut or damaged)");
    }
    const LineKind kind = read.kind == LogLine::Kind::Header ? LineKind::Header
                          : read.kind == LogLine::Kind::Note ? LineKind::Note
                                                             : LineKind::Entry;
    return TraceLine{kind, read.utcMs, read.pid, std::move(read.text), read.localMs, read.timed};
}

TraceLine ReadDebugView(const std::string& text, Layout layout) {
    std::string time;
    TraceLine line = Entry();
    bool whole = false;
    size_t rest = 0;
    if (!DebugViewTime(text, time, rest) ||
        !(layout == Layout::DebugViewElapsed ? ParseElapsed(time, line.writtenMs)
                                             : ParseClock(time, line.writtenMs, whole))) {
        return Damaged("not a DebugView line of this log's layout (cut or damaged)");
    }
    line.localMs = layout == Layout::DebugViewClock ? line.writtenMs : 0;
    std::string raw;
    if (!SplitPid(text.substr(rest), line.pid, raw)) {
        // A driver's line: DebugView's kernel capture shows it without a process id.
        line.kind = LineKind::Kernel;
        return line;
    }
    // DebugView shows raw bytes; some versions keep a trailing tab.
    while (!raw.empty() && raw.back() == '\t') {
        raw.pop_back();
    }
    line.text = EscapeBytes(raw);
    return line;
}

// FIRST: the file's first log line. DebugView++'s identification header is named as a line
// before the log on the first line, and kept as a note of the trace where two saved logs were
// joined.
TraceLine ReadDebugViewPlusPlus(const std::string& text, bool first) {
    TraceLine line = Entry();
    std::string raw;
    if (!SplitDebugViewPlusPlus(text, line, raw)) {
        return Damaged("not a DebugView++ line (cut or damaged)");
    }
    if (line.pid == 0 && raw.starts_with(kDebugViewPlusPlusHeader)) {
        return TraceLine{first ? LineKind::Before : LineKind::Note, 0, 0, EscapeBytes(raw)};
    }
    line.text = EscapeBytes(raw);
    return line;
}

}  // namespace

TraceLine LayoutReader::Read(std::string text) {
    if (!text.empty() && text.back() == '\r') {
        text.pop_back();
    }
    const bool first = layout == Layout::Unknown;
    if (first) {
        layout = LayoutOf(text, wholeSeconds);
        if (layout == Layout::Kq5trace && IsHeader(text)) {
            return OfLogLine(ReadHeader(text));
        }
        if (layout == Layout::Unknown) {
            if (before == 0) {
                firstLine = EscapeBytes(text.substr(0, 80));
            }
            return TraceLine{++before > kLinesBefore ? LineKind::NotATrace : LineKind::Before, 0, 0,
                             EscapeBytes(text.substr(0, 80))};
        }
    }
    switch (layout) {
        case Layout::Kq5trace:
            return OfLogLine(ReadLogLine(text));
        case Layout::DebugViewPlusPlus:
            return ReadDebugViewPlusPlus(text, first);
        default:
            return ReadDebugView(text, layout);
    }
}
