// The trace reader's findings as a support desk reads them: each finding's words, the lengths
// it gives, its time and whether it is serious; and the picture the lines draw.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "trace_lines.h"
#include "tracereader/analysis.h"
#include "picture/picture.h"

namespace {

// A finding's lines as the text prints them.
inline std::vector<std::string> PrintedLines(const TraceFinding& f) {
    std::vector<std::string> lines{"  " + FindingHeadline(f)};
    for (const std::string& d : f.detail) {
        lines.push_back("    " + d);
    }
    if (!f.more.empty()) {
        lines.push_back("  " + f.more);
    }
    return lines;
}

// A kq5trace line of process PID at MS after 09:00 (UTC+1).
std::string At(uint64_t ms, const std::string& text, unsigned long pid = 42) {
    char stamp[96];
    std::snprintf(stamp, sizeof stamp, "2026-12-07 %02llu:%02llu:%02llu.%03llu +01:00\t[%lu] ",
                  static_cast<unsigned long long>(9 + ms / 3600000),
                  static_cast<unsigned long long>(ms / 60000 % 60),
                  static_cast<unsigned long long>(ms / 1000 % 60),
                  static_cast<unsigned long long>(ms % 1000), pid);
    return stamp + text + "\n";
}

const std::string kReady = "KQ5 STATUS:32\\r\\n";
const std::string kDoor = "KQ5 STATUS:4\\r\\n";
const std::string kGaps =
    "  gaps longer than two cycles within one process (the service was held, the printer was "
    "away, or the capture was not running):";
const std::string kRunning =
    "the trace ends without \" MainError:\": the process was killed or is still running";

std::string OpenError(const char* code) {
    return std::string(" Open Printer Error :GetLastError() returns: ") + code + "\\n";
}

struct Case {
    const char* name;
    std::string trace;
    size_t count;                       // findings in all
    std::vector<std::string> findings;  // each one whole: its rank and time, then its lines
};

// Each finding whole: its words, the lengths and times it gives, its time and its rank (0 to 3
// serious, 9 ordinary).
TEST(TraceFindings, SayWhatHappenedHowLongAndHowSerious) {
    const std::string readFailure = "\\xbb\\xf1\\xb5\\xc3PRINTER_INFO_2\\xb5\\xc4\\xca\\xfd";
    const std::vector<Case> cases = {
        {"two cycles apart is no gap, a millisecond more is; a minute, an hour",
         std::string(kHeader) + At(0, kReady) + At(1600, kReady) + At(3201, kReady) +
             At(63201, kReady) + At(3663201, kReady),
         6,
         {"9 0\n  6 lines read, 5 of the service (process 42), over 1 h 1 min, from 2026-12-07 "
          "09:00:00.000 to 10:01:03.201",
          "3 1600\n" + kGaps +
              "\n    no status line for 1.6 s, from 2026-12-07 09:00:01.600 to 09:00:03.201"
              "\n    no status line for 1 min 0 s, from 2026-12-07 09:00:03.201 to 09:01:03.201"
              "\n    no status line for 1 h 0 min, from 2026-12-07 09:01:03.201 to 10:01:03.201",
          "9 0\n  time in each status: 32 1 h 1 min;"}},
        {"the pace: the median time between two lines, of an even count the lower middle",
         std::string(kHeader) + At(0, kReady) + At(700, kReady) + At(1400, kReady) +
             At(2200, kReady) + At(5200, kReady) + At(8200, kReady) + At(11200, kReady),
         6,
         {"9 0\n  7 status lines, one every 0.800 s (median; the service polls every 0.800 s)"}},
        {"one status line: no pace",
         std::string(kHeader) + At(0, kReady),
         6,
         {"9 0\n  1 status lines, no two of one process to measure the pace by"}},
        {"a clock of whole seconds: the pace over the count, 2 s apart no gap",
         "1\t09:00:00\t[42] GetPrinterHandle\r\n2\t09:00:01\t[42] KQ5 STATUS:32\r\n"
         "3\t09:00:03\t[42] KQ5 STATUS:32\r\n",
         6,
         {"9 1000\n  2 status lines, one every 2.0 s on average (the log's clock has whole seconds "
          "only: the pace is measured to the second; the service polls every 0.800 s)",
          "9 1000\n  no gap longer than two cycles"}},
        {"a clock of whole seconds: two cycles and a second is no gap, a millisecond more is",
         "1\t09:00:00\t[42] KQ5 STATUS:32\r\n2\t09:00:02.600\t[42] KQ5 STATUS:32\r\n"
         "3\t09:00:05.201\t[42] KQ5 STATUS:32\r\n",
         6,
         {"3 2600\n" + kGaps +
          "\n    no status line for 2.6 s, from day 1 09:00:02.600 to "
          "09:00:05.201"}},
        {"the queue's errors, each code with its meaning, the first of each dated",
         std::string(kHeader) + At(0, " DevicePath:\\\\?\\usb#vid_1a86\\n") + At(0, kReady) +
             At(800, OpenError("0x709")) + At(800, "KQ5 STATUS:-128\\r\\n") +
             At(1600, OpenError("0x5")) + At(1600, "KQ5 STATUS:99\\r\\n") +
             At(2400, OpenError("0x6ba")) + At(2400, readFailure) +
             At(3200, OpenError("0xffffffffffffffff")) + At(3200, OpenError("0x709")) +
             At(3200, readFailure) + At(3300, "GetLastError:2\\r\\n") +
             At(3400, "GetLastError:234\\r\\n") + At(3500, "GetLastError:5\\r\\n") +
             At(3600, "GetLastError:2\\r\\n"),
         14,
         {"9 0\n  status changes:"
          "\n    at 2026-12-07 09:00:00.000: status 32 (ready: the service commanded resume, no "
          "status), 0.8 s (1 lines)"
          "\n    at 09:00:00.800: status -128 (paper out: the service commanded pause, status "
          "paper out), 0.8 s (1 lines)"
          "\n    at 09:00:01.600: status 99 (unknown code: the service commanded nothing), 0.0 s "
          "(1 lines) to the last status line",
          "9 0\n  time in each status: -128 0.8 s; 32 0.8 s; 99 0.0 s;",
          "9 800\n  the queue could not be opened 2 times with 0x709, the first at 2026-12-07 "
          "09:00:00.800: there is no queue \"Korvane-Q5\"",
          "9 1600\n  the queue could not be opened 1 times with 0x5, the first at 2026-12-07 "
          "09:00:01.600: access denied: the service may not open the queue with full access",
          "0 2400\n  the queue could not be opened 1 times with 0x6ba, the first at 2026-12-07 "
          "09:00:02.400: the Spooler is not running (RPC server unavailable)",
          "9 3200\n  the queue could not be opened 1 times with 0xffffffffffffffff, the first at "
          "2026-12-07 "
          "09:00:03.200: see the Win32 error list",
          "9 3300\n  2 registry reads failed with GetLastError:2: a registry value is missing (a "
          "port without \"Device Id\", a device without \"Port Description\")",
          "9 3400\n  1 registry reads failed with GetLastError:234: a port description longer "
          "than the service can read (199 characters)",
          "9 3500\n  1 registry reads failed with GetLastError:5: the registry read failed",
          "9 2400\n  the queue's record could not be read 2 times", "9 3600\n  " + kRunning}},
        {"restarts, then the end",
         std::string(kHeader) + At(0, kReady, 40) + At(800, " MainError:1450\\n", 40) +
             At(56300, kReady, 41) + At(56700, readFailure, 41) + At(57100, kReady, 41) +
             At(60300, kReady, 43) + At(61100, " MainError:0\\n", 43),
         9,
         {"9 0\n  8 lines read, 7 of the service (processes 40, 41, 43), over 1 min 1 s, from "
          "2026-12-07 09:00:00.000 to 09:01:01.100",
          "9 0\n  4 status lines, one every 0.800 s (median; the service polls every 0.800 s)",
          "9 0\n  no gap longer than two cycles",
          "9 56700\n  the queue's record could not be read 1 times",
          "9 56300\n  the service restarted: process 40 ended at 2026-12-07 09:00:00.800 with \" "
          "MainError:1450\" (its last error code when it ended, see the Win32 error list; not by "
          "itself a fault); process 41 wrote its first line at 09:00:56.300, the service away "
          "55.5 s",
          "9 60300\n  the service restarted: process 41 wrote its last line at 2026-12-07 "
          "09:00:57.100, without \" MainError:\" (killed, or its end not captured); process 43 "
          "wrote its first line at 09:01:00.300, the service away 3.2 s",
          "2 61100\n  the service ended: \" MainError:0\\n\" at 2026-12-07 09:01:01.100 (its last "
          "error code when it ended: none; not by itself a fault), and no later process "
          "follows"}},
        {"a DebugView log: what is not the service's, counted",
         "PC\r\nTitle\r\n1\t0.0\t[9] explorer\r\n2\t0.1\t[42] KQ5 STATUS:32\r\n" +
             Times("broken\r\n", 6) +
             "3\t0.2\tkernel line\r\n4\t0.9\t[42] KQ5 STATUS:32\r\n5\t1.0\t[42] hello\r\n",
         10,
         {"9 0\n  13 lines read, 3 of the service (process 42), over 0.9 s",
          "9 0\n  2 lines before the first log line skipped (a computer name, a title, "
          "DebugView++'s identification header): line 1 \"PC\", line 2 \"Title\"",
          "9 0\n  1 lines of other processes skipped",
          "9 0\n  1 kernel lines (no [process id]: written by drivers) skipped",
          "9 0\n  6 lines skipped: not a DebugView line of this log's layout (cut or damaged) "
          "(lines 5, 6, 7, 8, 9, ...)"}},
        {"the printer never found, no device listed",
         std::string(kHeader) + At(0, "GetPrinterHandle") + At(10, "GetLastError:2\\r\\n"),
         4,
         {"1 0\n  the printer was never found: no \"KQ5 STATUS\" line and no device listed"}},
        {"the printer never found, a device listed",
         std::string(kHeader) + At(0, " DevicePath:\\\\?\\usb#vid_1a86\\n") +
             At(10, "GetPrinterHandle"),
         3,
         {"1 0\n  the printer was never found: no \"KQ5 STATUS\" line (1 devices listed, none "
          "opened and read)"}},
        {"no line of the service: the capture's last word on it",
         std::string(kHeader) +
             "# 2026-12-07 09:00:00.100 +01:00 service kq5 runs as process 4\n"
             "# 2026-12-07 09:00:05.000 +01:00 another debug-output viewer holds the channel; "
             "waiting\n",
         2,
         {"9 0\n  3 lines read, 0 of the service (processes none), over 4.9 s, from 2026-12-07 "
          "09:00:00.100 to 09:00:05.000",
          "0 0\n  no line of the service in this trace: nothing in it tells of the printer, the "
          "queue or the Spooler\n    this usually means that the service was not running (sc "
          "query kq5 tells), or that the capture listened on the other channel: the service "
          "writes to the global debug-output channel, which kq5trace captures unless started "
          "with --session, and DebugView and DebugView++ only with Capture Global Win32 "
          "(DebugView: the Capture menu; DebugView++: the Log menu)\n    the capture's last word "
          "on the service: \"2026-12-07 09:00:00.100 +01:00 service kq5 runs as process 4\""}},
        {"a clock of the time of day set back by half a day: only more is past midnight; the "
         "trace starts at its first line's clock, the clock stays on its day when set back",
         "1\t20:00:00.000\t[42] KQ5 STATUS:32\r\n2\t08:00:00.000\t[42] KQ5 STATUS:32\r\n"
         "3\t20:00:00.000\t[42] KQ5 STATUS:32\r\n4\t07:59:59.999\t[42] KQ5 STATUS:32\r\n",
         7,
         {"9 0\n  4 lines read, 4 of the service (process 42), over 23 h 59 min, from day 1 "
          "20:00:00.000 to day 2 07:59:59.999",
          "3 0\n" + kGaps +
              "\n    no status line for 12 h 0 min, from day 1 08:00:00.000 to "
              "20:00:00.000\n    no status line for 11 h 59 min, from day 1 20:00:00.000 to day 2 "
              "07:59:59.999",
          "9 0\n  line 2: the clock goes back by 12 h 0 min (daylight saving or a clock set "
          "back); the times after it are drawn as if it had not"}},
        {"a clock of the time of day set back by half a day after a line a millisecond back",
         "1\t20:00:00.001\t[42] KQ5 STATUS:32\r\n2\t20:00:00.000\t[42] KQ5 STATUS:32\r\n"
         "3\t08:00:00.000\t[42] KQ5 STATUS:32\r\n4\t08:00:01.000\t[42] KQ5 STATUS:32\r\n",
         8,
         {"9 0\n  4 lines read, 4 of the service (process 42), over 1.0 s, from day 1 20:00:00.001 "
          "to 08:00:01.000"}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Read read(c.trace);
        ASSERT_TRUE(read.report.ok) << read.report.error;
        std::string all = "\n\n";
        for (const TraceFinding& f : read.report.findings) {
            all += std::to_string(static_cast<int>(f.severity)) + " " + std::to_string(f.atMs);
            for (const std::string& line : PrintedLines(f)) {
                all += "\n" + line;
            }
            all += "\n\n";
        }
        EXPECT_EQ(read.report.findings.size(), c.count) << all;
        for (const std::string& expected : c.findings) {
            EXPECT_NE(all.find("\n\n" + expected + "\n\n"), std::string::npos)
                << expected << "\nnot in:" << all;
        }
    }
}

// The finding whose first line starts with START, or an empty one.
TraceFinding Finding(const TraceReport& report, const std::string& start) {
    for (const TraceFinding& f : report.findings) {
        if (PrintedLines(f).front().rfind(start, 0) == 0) {
            return f;
        }
    }
    return {};
}

// A long trace lists the first forty gaps, status changes and clock set backs, each whole, and
// sums up the gaps and changes after them.
TEST(TraceFindings, ListTheFirstFortyThenCount) {
    std::string gaps = kHeader, changes = kHeader, back;
    for (uint64_t i = 0; i <= 41; ++i) {
        gaps += At(i * 2000 + (i == 41 ? 1000 : 0), kReady);  // the 41st gap 3 s
        changes += i <= 40 ? At(i * 800, i % 2 == 0 ? kReady : kDoor) : "";
    }
    for (int i = 1; i <= 82; ++i) {  // half a second back at every even line
        back += std::to_string(i) + (i % 2 == 1 ? "\t10:00:00.000" : "\t09:59:59.500") +
                "\t[42] KQ5 STATUS:32\r\n";
    }
    const TraceFinding gap = Finding(Read(gaps).report, kGaps);
    ASSERT_EQ(PrintedLines(gap).size(), 42u);
    EXPECT_EQ(PrintedLines(gap)[40],
              "    no status line for 2.0 s, from 2026-12-07 09:01:18.000 to 09:01:20.000");
    EXPECT_EQ(PrintedLines(gap)[41], "  ... and 1 more; the longest 3.0 s");
    const TraceFinding change = Finding(Read(changes).report, "  status changes:");
    ASSERT_EQ(PrintedLines(change).size(), 42u);
    EXPECT_EQ(PrintedLines(change)[40],
              "    at 09:00:31.200: status 4 (door open: the service commanded pause, status door "
              "open), 0.8 s (1 lines)");
    EXPECT_EQ(PrintedLines(change)[41], "  ... and 1 more changes");
    const Read setBack(back);
    EXPECT_EQ(std::count_if(setBack.report.findings.begin(), setBack.report.findings.end(),
                            [](const TraceFinding& f) {
                                return PrintedLines(f).front().find("the clock goes back") !=
                                       std::string::npos;
                            }),
              40);
}

// The picture's ticks gather the lines of one stretch of time: a line said again in it is
// listed once, and its title takes lines until it holds 240 characters, the count says them all.
// At 220 s the trace outgrows 2 x 1100 stretches of 0.1 s: each takes twice the time, 0.2 s.
TEST(TraceFindings, TicksGatherTheLinesOfAStretch) {
    std::string path = " DevicePath:\\\\?\\usb#vid_1a86&pid_7584#";
    path += std::string(232 - path.size() - 2, '0') + "\\n";  // shown, it fills a title
    const std::string handle = "GetPrinterHandle";
    const std::string lines = std::string(kHeader) + At(0, kReady) + At(50, handle) +
                              At(60, handle) + At(150, kDoor) + At(250, path) + At(260, handle) +
                              At(350, handle) + At(220000, kDoor);
    const auto ticks = [](const std::string& trace) {
        const Read read(trace);
        const std::vector<TimelineEvent>& timeline = read.report.picture.timeline;
        EXPECT_TRUE(std::is_sorted(
            timeline.begin(), timeline.end(),
            [](const TimelineEvent& a, const TimelineEvent& b) { return a.timeMs < b.timeMs; }));
        std::vector<std::pair<uint64_t, std::string>> out;
        for (const TimelineEvent& e : timeline) {
            if (const auto* tick = std::get_if<TickEvent>(&e.detail)) {
                out.emplace_back(e.timeMs, tick->text);
            }
        }
        return out;
    };
    const std::string door = "debug \"KQ5 STATUS:4\\r\\n\"";
    std::vector<std::pair<uint64_t, std::string>> expected = {
        {0,
         "4 lines from here:\ndebug \"KQ5 STATUS:32\\r\\n\"\ndebug \"GetPrinterHandle\"\n" + door},
        {250, "3 lines from here:\ndebug \"" + path + "\""},
        {220000, "1 line from here:\n" + door}};
    EXPECT_EQ(ticks(lines), expected);
    expected.emplace_back(220400, "2 lines from here:\n" + door);  // 220.4 s to 220.6 s
    EXPECT_EQ(ticks(lines + At(220400, kDoor) + At(220500, kDoor)), expected);
}

// The picture's hover texts that start with START, each on its lines.
std::string Titles(const TraceReport& report, const std::string& start) {
    const std::string svg = FormatSvg(report.picture, "t");
    std::string titles;
    for (size_t at = 0; (at = svg.find("<title>" + start, at)) != std::string::npos; ++at) {
        titles += svg.substr(at + 7, svg.find("</title>", at) - at - 7) + "\n";
    }
    return titles;
}

// The picture of a trace: the service running from its first line, the devices it listed marked;
// the queue as the service commanded it, its port not traced; lines of one time (a clock of whole
// seconds) drawn in their order, the last one holds; each change of the printer; and every lane
// unknown from the last line of the service to the trace's end.
TEST(TraceFindings, ThePictureOfATrace) {
    const Read read(
        "1\t09:00:00\t[42]  DevicePath:\\\\?\\usb#vid_1a86\r\n"
        "2\t09:00:00\t[42] KQ5 STATUS:4\r\n3\t09:00:01\t[42] KQ5 STATUS:32\r\n"
        "4\t09:00:01\t[42] KQ5 STATUS:4\r\n");
    EXPECT_EQ(Titles(read.report, "service reported"),
              "service reported SERVICE_RUNNING process 42 (its first line)\nday 1 09:00:00.000 to "
              "day 1 09:00:02.000 (2 s)\n");
    EXPECT_EQ(Titles(read.report, "day 1 09:00:00.000\ndiscovery:"),
              "day 1 09:00:00.000\ndiscovery:\\\\?\\usb#vid_1a86\n");
    EXPECT_EQ(Titles(read.report, "queue"),
              "queue paused, status PRINTER_STATUS_DOOR_OPEN (commanded)\nday 1 09:00:00.000 to "
              "day 1 09:00:02.000 (2 s)\n");
    EXPECT_EQ(
        Titles(read.report, "the queue"),
        "the queue prints to port not traced\nday 1 09:00:00.000 to day 1 09:00:02.000 (2 s)\n");
    const Read ends(std::string(kHeader) + At(0, kReady) + At(800, kDoor) + At(1600, kDoor) +
                    "# 2026-12-07 09:00:10.000 +01:00 service kq5 is not running\n");
    EXPECT_NE(Titles(ends.report,
                     "unknown: no line of the service came in this stretch\n2026-12-07 "
                     "09:00:01.600 to 2026-12-07 09:00:11.000"),
              "");
    EXPECT_EQ(Titles(ends.report, "printer"),
              "printer present, status 0x20 ready\n2026-12-07 09:00:00.000 to 2026-12-07 "
              "09:00:00.800 (0.8 s)\nprinter present, status 0x04 door open\n2026-12-07 "
              "09:00:00.800 to 2026-12-07 09:00:01.600 (0.8 s)\n");
}

// The Spooler as the queue's opens tell it: running while they get through, and when one fails
// otherwise than with 0x6ba; stopped from the first 0x6ba until a cycle's open gets through.
TEST(TraceFindings, SpoolerStoppedWhileOpensFailWith6ba) {
    std::string trace = kHeader;
    const std::pair<uint64_t, const char*> cycles[] = {
        {0, ""},    {800, "0x709"},  {1600, "0x6ba"}, {2400, "0x6ba"},
        {3200, ""}, {4000, "0x6ba"}, {4800, ""}};
    for (const auto& [ms, failed] : cycles) {
        trace += (*failed ? At(ms, OpenError(failed)) : "") + At(ms, kReady);
    }
    const Read read(trace);
    EXPECT_EQ(Titles(read.report, "Spooler "),
              "Spooler running\n2026-12-07 09:00:00.000 to 2026-12-07 09:00:01.600 (1.6 s)\n"
              "Spooler stopped\n2026-12-07 09:00:01.600 to 2026-12-07 09:00:03.200 (1.6 s)\n"
              "Spooler running\n2026-12-07 09:00:03.200 to 2026-12-07 09:00:04.000 (0.8 s)\n"
              "Spooler stopped\n2026-12-07 09:00:04.000 to 2026-12-07 09:00:04.800 (0.8 s)\n"
              "Spooler running\n2026-12-07 09:00:04.800 to 2026-12-07 09:00:05.000 (0.2 s)\n");
}

// The picture holds each state once, however long it lasts: a steady trace of a hundred cycles
// (the lines two cycles apart; the Spooler down, then, after a silence, up) draws as many
// changes as one of four.
TEST(TraceFindings, APictureHoldsEachStateOnce) {
    const auto drawn = [](int cycles) {
        std::string trace = kHeader;
        for (int i = 0; i < 2 * cycles; ++i) {
            const uint64_t ms = i * 1600 + (i < cycles ? 0 : 10000);
            trace += (i < cycles ? At(ms, OpenError("0x6ba")) : "") + At(ms, kReady);
        }
        const Read read(trace);
        const Picture& picture = read.report.picture;
        return std::make_pair(picture.printer.size(),
                              std::count_if(picture.timeline.begin(), picture.timeline.end(),
                                            [](const TimelineEvent& e) {
                                                return !std::holds_alternative<TickEvent>(e.detail);
                                            }));
    };
    EXPECT_EQ(drawn(50), drawn(2));
}

}  // namespace
