// Reading a trace: the layout is told by the first data line and every later line is held to it;
// a line that does not fit is skipped and counted (the first ones named), never guessed at.
#include "trace.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <vector>

#include "common/escape.h"
#include "monitor/status_poller.h"
#include "scenario.h"

namespace {

constexpr size_t kLongestLine =
    size_t{64} * 1024;  // a debugger line is at most 4 KiB, escaped 16 KiB
constexpr uint64_t kCycleMs = 800;
constexpr size_t kListed = 40;     // gaps and changes listed one by one, then summed up
constexpr size_t kColumns = 1100;  // the picture's width in pixels

enum class Layout { Unknown, Kq5trace, DebugViewElapsed, DebugViewClock };

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

long long Number(const std::string& s, size_t from, size_t count) {
    // Digits() has checked every character, so there is no conversion error to report.
    return std::strtoll(s.substr(from, count).c_str(), nullptr, 10);
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
long long DaysFromCivil(long long y, long long m, long long d) {
    y -= m <= 2;
    const long long era = (y >= 0 ? y : y - 399) / 400;
    const long long yoe = y - era * 400;
    const long long doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const long long doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + doe - 719468;
}

// "2026-12-07 09:15:02.345 +01:00" as UTC milliseconds since 1970.
bool ParseStamp(const std::string& s, long long& utcMs) {
    if (s.size() != 30 || !Digits(s, 0, 4) || s[4] != '-' || !Digits(s, 5, 2) || s[7] != '-' ||
        !Digits(s, 8, 2) || s[10] != ' ' || !Digits(s, 11, 2) || s[13] != ':' ||
        !Digits(s, 14, 2) || s[16] != ':' || !Digits(s, 17, 2) || s[19] != '.' ||
        !Digits(s, 20, 3) || s[23] != ' ' || (s[24] != '+' && s[24] != '-') || !Digits(s, 25, 2) ||
        s[27] != ':' || !Digits(s, 28, 2)) {
        return false;
    }
    const long long month = Number(s, 5, 2), day = Number(s, 8, 2), hour = Number(s, 11, 2),
                    minute = Number(s, 14, 2), second = Number(s, 17, 2);
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) {
        return false;
    }
    const long long offset = (Number(s, 25, 2) * 60 + Number(s, 28, 2)) * (s[24] == '-' ? -1 : 1);
    utcMs =
        ((DaysFromCivil(Number(s, 0, 4), month, day) * 24 + hour) * 60 + minute - offset) * 60000 +
        second * 1000 + Number(s, 20, 3);
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

// DebugView's clock time ("9:15:02 PM", "21:15:02.345") in milliseconds of the day.
bool ParseClock(const std::string& text, long long& ms) {
    std::string s = text;
    int pm = -1;
    if (s.size() > 3 &&
        (s.compare(s.size() - 2, 2, "AM") == 0 || s.compare(s.size() - 2, 2, "PM") == 0)) {
        pm = s[s.size() - 2] == 'P';
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
    if (s.size() > h + 6) {
        if (s[h + 6] != '.' || s.size() > h + 10 || !Digits(s, h + 7, s.size() - h - 7)) {
            return false;
        }
        millis = Number(s.substr(h + 7) + "00", 0, 3);
    }
    long long hour = Number(s, 0, h);
    const long long minute = Number(s, h + 1, 2), second = Number(s, h + 4, 2);
    if (pm >= 0) {
        if (hour < 1 || hour > 12) {
            return false;
        }
        hour = hour % 12 + (pm == 1 ? 12 : 0);
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

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// One of the service's own lines (escaped).
bool IsServiceText(const std::string& t) {
    return StartsWith(t, "KQ5 STATUS:") || StartsWith(t, " DevicePath:") ||
           StartsWith(t, "GetPrinterHandle") || StartsWith(t, " Open Printer Error :") ||
           StartsWith(t, "GetLastError:") || StartsWith(t, " MainError:") ||
           StartsWith(t, "\\xbb\\xf1\\xb5\\xc3PRINTER_INFO_2");
}

std::string Duration(uint64_t ms) {
    char text[48];
    if (ms < 60000) {
        std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000);
    } else if (ms < 3600000) {
        std::snprintf(text, sizeof text, "%llu min %llu s",
                      static_cast<unsigned long long>(ms / 60000),
                      static_cast<unsigned long long>(ms / 1000 % 60));
    } else {
        std::snprintf(text, sizeof text, "%llu h %llu min",
                      static_cast<unsigned long long>(ms / 3600000),
                      static_cast<unsigned long long>(ms / 60000 % 60));
    }
    return text;
}

std::string At(uint64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%03llu s", static_cast<unsigned long long>(ms / 1000),
                  static_cast<unsigned long long>(ms % 1000));
    return text;
}

std::string CodeMeaning(int code) {
    switch (ClassifyStatus(static_cast<std::int8_t>(code))) {
        case QueueAction::DoorOpen:
            return "door open: the service commanded pause, status door open";
        case QueueAction::PaperOut:
            return "paper out: the service commanded pause, status paper out";
        case QueueAction::Ready:
            return "ready: the service commanded resume, no status";
        case QueueAction::None:
            break;
    }
    return "unknown code: the service commanded nothing";
}

std::string OpenErrorMeaning(unsigned long code) {
    switch (code) {
        case 0x709:
            return "there is no queue \"Korvane-Q5\"";
        case 0x5:
            return "access denied: the service may not open the queue with full access";
        case 0x6ba:
            return "the Spooler is not running (RPC server unavailable)";
        default:
            return "see the Win32 error list";
    }
}

std::string RegistryMeaning(long code) {
    switch (code) {
        case 2:
            return "a registry value is missing (a port without \"Device Id\", a device without "
                   "\"Port Description\")";
        case 234:
            return "a port description longer than the service can read (199 characters)";
        default:
            return "the registry read failed";
    }
}

// Ticks over time in at most 2 x kColumns buckets: when the trace outgrows them, each bucket
// takes twice the time and neighbours merge, so the picture's cost does not grow with the trace.
struct Buckets {
    uint64_t widthMs = 100;
    std::map<uint64_t, sim::TimelineEvent> ticks;  // by bucket; the title lists what it holds
    std::map<uint64_t, size_t> counts;
    void Add(uint64_t atMs, const std::string& line) {
        while (atMs / widthMs >= 2 * kColumns) {
            widthMs *= 2;
            std::map<uint64_t, sim::TimelineEvent> merged;
            std::map<uint64_t, size_t> mergedCounts;
            for (auto& [bucket, event] : ticks) {
                auto [it, fresh] = merged.emplace(bucket / 2, event);
                if (!fresh && it->second.text.size() < 240) {
                    it->second.text += "\n" + event.text;
                }
                mergedCounts[bucket / 2] += counts[bucket];
            }
            ticks.swap(merged);
            counts.swap(mergedCounts);
        }
        const uint64_t bucket = atMs / widthMs;
        auto [it, fresh] = ticks.emplace(bucket, sim::TimelineEvent{atMs, "debug", line});
        if (!fresh && it->second.text.size() < 240 &&
            it->second.text.find(line) == std::string::npos) {
            it->second.text += "\n" + line;
        }
        ++counts[bucket];
    }
};

struct Reader {
    Layout layout = Layout::Unknown;
    std::string report;  // timeline
    TimelineFolder folder{[this](const std::string& piece) { report += piece; }};
    bool haveStart = false;
    long long startMs = 0;     // the first line's time (kq5trace: UTC; DebugView: as written)
    long long previousMs = 0;  // the previous line's time, as written
    long long shiftMs = 0;     // added after a day's rollover or a clock set back
    uint64_t lastRelMs = 0;
    std::vector<unsigned long> servicePids;
    std::string startClock;

    // counts and findings
    size_t lines = 0, serviceLines = 0, otherProcessLines = 0;
    std::map<std::string, std::pair<size_t, std::string>> skipped;  // why -> count, first lines
    std::vector<std::string> clockBack;
    size_t statusLines = 0;
    bool haveStatus = false;
    uint64_t lastStatusMs = 0;
    int currentCode = 0;
    uint64_t codeSinceMs = 0;
    size_t codeLines = 0;
    std::vector<std::string> changes;
    size_t moreChanges = 0;
    std::map<int, uint64_t> timeInCode;
    std::map<uint64_t, size_t> intervals;  // 10 ms buckets of the time between status lines
    std::vector<std::string> gaps;
    size_t moreGaps = 0;
    uint64_t longestGapMs = 0;
    std::map<unsigned long, std::pair<size_t, std::string>> openErrors;
    std::map<long, size_t> registryErrors;
    size_t discoveryLines = 0;
    bool mainError = false;
    std::string mainErrorText;
    size_t readFailures = 0;
    bool openFailedThisCycle = false;
    bool spoolerDown = false;

    // the picture
    ScenarioResult picture;
    Buckets buckets;

    void Skip(size_t line, const std::string& why) {
        auto& [count, first] = skipped[why];
        if (++count <= 5) {
            first += (first.empty() ? "" : ", ") + std::to_string(line);
        }
    }

    void Event(uint64_t atMs, const std::string& source, const std::string& text) {
        folder.Add(sim::TimelineEvent{atMs, source, text});
    }

    void EndState(uint64_t untilMs) {
        if (haveStatus) {
            timeInCode[currentCode] += untilMs - codeSinceMs;
        }
    }

    void Status(uint64_t atMs, int code) {
        ++statusLines;
        if (haveStatus) {
            const uint64_t gap = atMs - lastStatusMs;
            ++intervals[std::min<uint64_t>(gap / 10, 100000)];
            if (gap > 2 * kCycleMs) {
                longestGapMs = std::max(longestGapMs, gap);
                if (gaps.size() < kListed) {
                    gaps.push_back("    no status line for " + Duration(gap) + ", from " +
                                   At(lastStatusMs) + " to " + At(atMs));
                } else {
                    ++moreGaps;
                }
            }
        }
        if (!haveStatus || code != currentCode) {
            if (haveStatus) {
                EndState(atMs);
                if (changes.size() < kListed) {
                    changes.back() += ", " + Duration(atMs - codeSinceMs) + " (" +
                                      std::to_string(codeLines) + " lines)";
                }
            }
            if (changes.size() < kListed) {
                changes.push_back("    at " + At(atMs) + ": status " + std::to_string(code) + " (" +
                                  CodeMeaning(code) + ")");
            } else {
                ++moreChanges;
            }
            currentCode = code;
            codeSinceMs = atMs;
            codeLines = 0;
            // The picture: the printer's code, and the queue as the service commanded it.
            picture.printer.push_back(PrinterChange{atMs, true, code});
            const QueueAction action = ClassifyStatus(static_cast<std::int8_t>(code));
            const bool pause = action == QueueAction::DoorOpen || action == QueueAction::PaperOut;
            if (action != QueueAction::None) {
                picture.timeline.push_back(
                    sim::TimelineEvent{atMs, "queue", pause ? "paused" : "resumed"});
                picture.timeline.push_back(sim::TimelineEvent{
                    atMs, "queue",
                    action == QueueAction::DoorOpen ? "status PRINTER_STATUS_DOOR_OPEN (commanded)"
                    : action == QueueAction::PaperOut
                        ? "status PRINTER_STATUS_PAPER_OUT (commanded)"
                        : "status 0 (commanded)"});
            }
        }
        ++codeLines;
        haveStatus = true;
        lastStatusMs = atMs;
        // A cycle whose queue command got through: the Spooler answers again.
        if (spoolerDown && !openFailedThisCycle &&
            ClassifyStatus(static_cast<std::int8_t>(code)) != QueueAction::None) {
            spoolerDown = false;
            picture.timeline.push_back(sim::TimelineEvent{atMs, "spooler", "Spooler running"});
        }
        openFailedThisCycle = false;
    }

    // One line of the service (TEXT escaped) at ATMS since the first line.
    void ServiceLine(uint64_t atMs, unsigned long pid, const std::string& text, bool cutIfNoEnd,
                     size_t line) {
        if (std::find(servicePids.begin(), servicePids.end(), pid) == servicePids.end()) {
            servicePids.push_back(pid);
            picture.timeline.push_back(sim::TimelineEvent{
                atMs, "service",
                "status SERVICE_RUNNING process " + std::to_string(pid) + " (its first line)"});
        }
        if (StartsWith(text, "KQ5 STATUS:")) {
            const std::string rest = text.substr(11);
            char* end = nullptr;
            const long code = std::strtol(rest.c_str(), &end, 10);
            const std::string after = end;
            const bool whole = after == "\\r\\n" || (!cutIfNoEnd && after.empty());
            if (end == rest.c_str() || !whole || code < -128 || code > 127) {
                Skip(line, "a status line cut or malformed");
                return;
            }
            Status(atMs, static_cast<int>(code));
        } else if (StartsWith(text, " Open Printer Error :GetLastError() returns: 0x")) {
            const unsigned long code = std::strtoul(text.c_str() + 47, nullptr, 16);
            auto& [count, first] = openErrors[code];
            if (count++ == 0) {
                first = At(atMs);
            }
            openFailedThisCycle = true;
            if (code == 0x6ba && !spoolerDown) {
                spoolerDown = true;
                picture.timeline.push_back(sim::TimelineEvent{atMs, "spooler", "Spooler stopped"});
            }
        } else if (StartsWith(text, "GetLastError:")) {
            ++registryErrors[std::strtol(text.c_str() + 13, nullptr, 10)];
            picture.actions.push_back(
                sim::TimelineEvent{atMs, "printer", "registry read failed: " + text});
        } else if (StartsWith(text, " DevicePath:")) {
            ++discoveryLines;
            picture.actions.push_back(
                sim::TimelineEvent{atMs, "service", "discovery:" + text.substr(12)});
        } else if (StartsWith(text, " MainError:")) {
            mainError = true;
            mainErrorText = text;
            picture.timeline.push_back(sim::TimelineEvent{
                atMs, "service", "status SERVICE_STOPPED (the process ended: " + text + ")"});
        } else if (StartsWith(text, "\\xbb\\xf1\\xb5\\xc3PRINTER_INFO_2")) {
            ++readFailures;
        }
        ++serviceLines;
        Event(atMs, "debug", "\"" + text + "\"");
        if (!StartsWith(text, "KQ5 STATUS:") || buckets.ticks.count(atMs / buckets.widthMs) == 0) {
            buckets.Add(atMs, "debug \"" + text + "\"");
        } else {
            ++buckets.counts[atMs / buckets.widthMs];
        }
    }

    // The time of a line relative to the first, with the day's rollover and clock jumps.
    uint64_t Relative(long long writtenMs, size_t line) {
        if (!haveStart) {
            haveStart = true;
            startMs = previousMs = writtenMs;
        }
        if (writtenMs < previousMs) {
            const long long back = previousMs - writtenMs;
            if (layout == Layout::DebugViewClock && back > 12 * 3600000LL) {
                shiftMs += 24 * 3600000LL;  // past midnight
            } else {
                shiftMs += back;  // the clock was set back: the line follows the one before
                if (clockBack.size() < kListed) {
                    clockBack.push_back(
                        "  line " + std::to_string(line) + ": the clock goes back by " +
                        Duration(static_cast<uint64_t>(back)) +
                        " (daylight saving or a clock set back); the times after it are "
                        "drawn as if it had not");
                }
            }
        }
        previousMs = writtenMs;
        const long long rel = writtenMs + shiftMs - startMs;
        lastRelMs = static_cast<uint64_t>(rel < 0 ? 0 : rel);
        return lastRelMs;
    }

    // False (with ERROR) when the first data line is not a trace line.
    bool Line(std::string text, size_t line, std::string& error) {
        ++lines;
        if (!text.empty() && text.back() == '\r') {
            text.pop_back();
        }
        if (layout == Layout::Unknown) {
            if (StartsWith(text, "# kq5trace ")) {
                layout = Layout::Kq5trace;
                Event(0, "trace", text.substr(2));
                return true;
            }
            const size_t tab1 = text.find('\t');
            const size_t tab2 = tab1 == std::string::npos ? tab1 : text.find('\t', tab1 + 1);
            long long ms = 0;
            if (tab1 != std::string::npos && tab2 != std::string::npos && Digits(text, 0, tab1) &&
                tab1 > 0) {
                const std::string time = text.substr(tab1 + 1, tab2 - tab1 - 1);
                layout = ParseElapsed(time, ms) ? Layout::DebugViewElapsed
                         : ParseClock(time, ms) ? Layout::DebugViewClock
                                                : Layout::Unknown;
            }
            if (layout == Layout::Unknown) {
                error = "line " + std::to_string(line) +
                        " is neither kq5trace's header nor a DebugView log line (index, tab, time, "
                        "tab, [pid] text): \"" +
                        EscapeBytes(text.substr(0, 80)) + "\"";
                return false;
            }
        }
        if (layout == Layout::Kq5trace) {
            if (StartsWith(text, "# ")) {
                Event(lastRelMs, "trace", text.substr(2));
                return true;
            }
            long long utc = 0;
            unsigned long pid = 0;
            std::string rest;
            if (text.size() < 31 || text[30] != '\t' || !ParseStamp(text.substr(0, 30), utc) ||
                !SplitPid(text.substr(31), pid, rest)) {
                Skip(line, "not a kq5trace line (cut or damaged)");
                return true;
            }
            ServiceLine(Relative(utc, line), pid, rest, true, line);
            return true;
        }
        const size_t tab1 = text.find('\t');
        const size_t tab2 = tab1 == std::string::npos ? tab1 : text.find('\t', tab1 + 1);
        long long ms = 0;
        unsigned long pid = 0;
        std::string rest;
        if (tab1 == 0 || tab2 == std::string::npos || !Digits(text, 0, tab1)) {
            Skip(line, "not a DebugView line of this log's layout (cut or damaged)");
            return true;
        }
        const std::string time = text.substr(tab1 + 1, tab2 - tab1 - 1);
        if (!(layout == Layout::DebugViewElapsed ? ParseElapsed(time, ms) : ParseClock(time, ms))) {
            Skip(line, "not a DebugView line of this log's layout (cut or damaged)");
            return true;
        }
        if (!SplitPid(text.substr(tab2 + 1), pid, rest)) {
            Skip(line, "no [process id] before the text");
            return true;
        }
        // DebugView shows raw bytes; some versions keep a trailing tab.
        while (!rest.empty() && rest.back() == '\t') {
            rest.pop_back();
        }
        const std::string escaped = EscapeBytes(rest);
        const bool known =
            std::find(servicePids.begin(), servicePids.end(), pid) != servicePids.end();
        if (!known && !IsServiceText(escaped)) {
            ++otherProcessLines;
            return true;
        }
        ServiceLine(Relative(ms, line), pid, escaped, false, line);
        return true;
    }
};

std::string Findings(Reader& r, bool cutEnd) {
    std::string out = "Findings:\n";
    out += "  " + std::to_string(r.lines) + " lines read, " + std::to_string(r.serviceLines) +
           " of the service (process" + (r.servicePids.size() == 1 ? " " : "es ");
    for (size_t i = 0; i < r.servicePids.size(); ++i) {
        out += (i ? ", " : "") + std::to_string(r.servicePids[i]);
    }
    out += std::string(r.servicePids.empty() ? "none" : "") + "), over " + Duration(r.lastRelMs) +
           "\n";
    if (r.otherProcessLines > 0) {
        out += "  " + std::to_string(r.otherProcessLines) + " lines of other processes skipped\n";
    }
    for (const auto& [why, what] : r.skipped) {
        out += "  " + std::to_string(what.first) + " lines skipped: " + why + " (line" +
               (what.first == 1 ? " " : "s ") + what.second + (what.first > 5 ? ", ..." : "") +
               ")\n";
    }
    if (cutEnd) {
        out += "  the last line has no line end: it was cut (skipped)\n";
    }
    for (const std::string& c : r.clockBack) {
        out += c + "\n";
    }
    if (r.statusLines == 0) {
        out += "  the printer was never found: no \"KQ5 STATUS\" line" +
               std::string(r.discoveryLines > 0 ? " (" + std::to_string(r.discoveryLines) +
                                                      " devices listed, none opened and read)"
                                                : " and no device listed") +
               "\n";
    } else {
        // The pace: the median time between status lines.
        size_t seen = 0;
        uint64_t median = 0;
        for (const auto& [bucket, count] : r.intervals) {
            seen += count;
            if (seen * 2 >= r.statusLines - 1) {
                median = bucket * 10;
                break;
            }
        }
        out += "  " + std::to_string(r.statusLines) + " status lines, one every " + At(median) +
               " (median; the service polls every 0.800 s)\n";
        if (r.gaps.empty()) {
            out += "  no gap longer than two cycles\n";
        } else {
            out +=
                "  gaps longer than two cycles (the service was held, or the printer was away):\n";
            for (const std::string& g : r.gaps) {
                out += g + "\n";
            }
            if (r.moreGaps > 0) {
                out += "  ... and " + std::to_string(r.moreGaps) + " more; the longest " +
                       Duration(r.longestGapMs) + "\n";
            }
        }
        r.EndState(r.lastStatusMs);
        if (r.changes.size() <= kListed && r.moreChanges == 0 && !r.changes.empty()) {
            r.changes.back() += ", " + Duration(r.lastStatusMs - r.codeSinceMs) + " (" +
                                std::to_string(r.codeLines) + " lines) to the last status line";
        }
        out += "  status changes:\n";
        for (const std::string& c : r.changes) {
            out += c + "\n";
        }
        if (r.moreChanges > 0) {
            out += "  ... and " + std::to_string(r.moreChanges) + " more changes\n";
        }
        out += "  time in each status:";
        for (const auto& [code, ms] : r.timeInCode) {
            out += " " + std::to_string(code) + " " + Duration(ms) + ";";
        }
        out += "\n";
    }
    for (const auto& [code, what] : r.openErrors) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%lx", code);
        out += "  the queue could not be opened " + std::to_string(what.first) + " times with " +
               hex + ", the first at " + what.second + ": " + OpenErrorMeaning(code) + "\n";
    }
    for (const auto& [code, count] : r.registryErrors) {
        out += "  " + std::to_string(count) +
               " registry reads failed with GetLastError:" + std::to_string(code) + ": " +
               RegistryMeaning(code) + "\n";
    }
    if (r.readFailures > 0) {
        out +=
            "  the queue's record could not be read " + std::to_string(r.readFailures) + " times\n";
    }
    out += r.mainError ? "  the service ended: \"" + r.mainErrorText + "\"\n"
                       : "  the trace ends without \" MainError:\": the process was killed or is "
                         "still running\n";
    return out;
}

}  // namespace

TraceReport ReadTrace(std::istream& trace, const std::string& name, bool drawSvg) {
    TraceReport report;
    Reader r;
    std::string line;
    size_t number = 0;
    bool tooLong = false;
    bool cutEnd = false;
    char chunk[65536];
    for (;;) {
        trace.read(chunk, sizeof chunk);
        const std::streamsize got = trace.gcount();
        if (got <= 0) {
            break;
        }
        for (std::streamsize i = 0; i < got; ++i) {
            if (chunk[i] != '\n') {
                if (line.size() < kLongestLine) {
                    line += chunk[i];
                } else {
                    tooLong = true;
                }
                continue;
            }
            ++number;
            if (tooLong) {
                r.Skip(number, "longer than 64 KiB");
                ++r.lines;
            } else if (!r.Line(line, number, report.error)) {
                return report;
            }
            line.clear();
            tooLong = false;
        }
    }
    if (!line.empty() || tooLong) {
        ++number;
        ++r.lines;
        cutEnd = true;
        if (r.layout == Layout::Unknown && !tooLong && !r.Line(line, number, report.error)) {
            return report;  // not a trace even as far as it goes
        }
    }
    if (number == 0) {
        report.error = "the trace is empty";
        return report;
    }
    if (r.layout == Layout::Unknown) {
        report.error = "no line is a trace line";
        return report;
    }
    r.folder.Finish();
    report.layout = r.layout == Layout::Kq5trace           ? "kq5trace"
                    : r.layout == Layout::DebugViewElapsed ? "DebugView log, elapsed time"
                                                           : "DebugView log, clock time";
    report.timeline = r.report;
    report.findings = Findings(r, cutEnd);
    if (drawSvg) {
        Scenario scenario;
        scenario.queuePort = "port not traced";
        ScenarioResult& p = r.picture;
        for (const auto& [bucket, event] : r.buckets.ticks) {
            const size_t count = r.buckets.counts[bucket];
            sim::TimelineEvent tick = event;
            tick.text = std::to_string(count) + (count == 1 ? " line" : " lines") +
                        " from here:\n" + event.text;
            p.timeline.push_back(tick);
        }
        p.timeline.push_back(sim::TimelineEvent{r.lastRelMs, "trace", "end"});
        std::stable_sort(p.timeline.begin(), p.timeline.end(),
                         [](const sim::TimelineEvent& a, const sim::TimelineEvent& b) {
                             return a.timeMs < b.timeMs;
                         });
        p.subtitle =
            "A trace of kq5 on a real machine (" + report.layout +
            "); the queue lane shows what the service commanded, which the trace cannot see done";
        p.queueCaption = "as commanded";
        report.svg = FormatSvg(scenario, p, "kq5sim --trace: " + name);
    }
    report.ok = true;
    return report;
}
