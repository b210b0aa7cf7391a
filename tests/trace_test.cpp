// Traces read back: both layouts, the findings a reader relies on, and every kind of bad input
// answered with a named error or a counted skip.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <random>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include "child_process.h"
#include "record_folder.h"
#include "trace_clock.h"
#include "trace_lines.h"
#include "tracereader/clock.h"
#include "tracereader/coverage.h"
#include "tracereader/layout.h"
#include "tracereader/read.h"
#include "tracereader/read_command.h"
#include "tracereader/report.h"

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

std::string FileText(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

struct Case {
    const char* name;
    std::string trace;
    bool ok;
    std::vector<std::string> expected;     // in the error, or in the findings
    std::vector<std::string> absent = {};  // never in the findings
};

// Each of EXPECTED in SAID, and none of ABSENT.
void ExpectTexts(const std::string& said, const std::vector<std::string>& expected,
                 const std::vector<std::string>& absent) {
    for (const std::string& e : expected) {
        EXPECT_NE(said.find(e), std::string::npos) << "no '" << e << "' in:\n" << said;
    }
    for (const std::string& a : absent) {
        EXPECT_EQ(said.find(a), std::string::npos) << "'" << a << "' in:\n" << said;
    }
}

// Each case read: ok or not as expected, with the expected texts in its findings or its error.
void CheckCases(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Read read(c.trace);
        const TraceReport& report = read.report;
        ASSERT_EQ(report.ok, c.ok) << report.error;
        ExpectTexts(c.ok ? read.findings : report.error, c.expected, c.absent);
        for (const char ch : report.error) {
            EXPECT_TRUE(ch >= 0x20 && ch < 0x7f) << "an unescaped byte in the error";
        }
    }
}

TEST(Trace, ReadsBothLayoutsAndAnswersBadInput) {
    const std::string status = "KQ5 STATUS:32\\r\\n";
    const std::vector<Case> cases = {
        {"kq5trace",
         std::string(kHeader) + Kq5("09:00:00.000 +01:00", status) +
             Kq5("09:00:00.800 +01:00", status) + Kq5("09:00:01.600 +01:00", "KQ5 STATUS:4\\r\\n") +
             Kq5("09:00:02.400 +01:00", " MainError:0\\n"),
         true,
         {"3 status lines, one every 0.800 s", "status 32 (ready", "status 4 (door open",
          "no gap longer than two cycles", "the service ended"},
         {"without \" MainError:\""}},
        {"daylight saving in kq5trace: the offset changes, UTC goes on",
         std::string(kHeader) + Kq5("02:59:59.600 +02:00", status) +
             Kq5("02:00:00.400 +01:00", status),
         true,
         {"2 status lines", "no gap longer than two cycles"},
         {"clock goes back"}},
        {"DebugView elapsed, another process's lines skipped",
         "00000001\t0.00000000\t[7] hello\r\n00000002\t0.50000000\t[42] KQ5 STATUS:-128\r\n"
         "00000003\t1.30000000\t[42] KQ5 STATUS:-128\r\n00000004\t1.40000000\t[7] KQ5 is not "
         "me\r\n",
         true,
         {"2 lines of other processes skipped", "2 status lines", "status -128 (paper out"}},
        {"DebugView clock with AM/PM, past midnight",
         "1\t11:59:59.500 PM\t[42] KQ5 STATUS:32\r\n2\t12:00:00.300 AM\t[42] KQ5 STATUS:32\r\n",
         true,
         {"2 status lines", "over 0.8 s", "no gap longer than two cycles"},
         {"clock goes back"}},
        {"a clock set back (daylight saving) in DebugView's clock time",
         "1\t03:00:00.000\t[42] KQ5 STATUS:32\r\n2\t02:00:00.800\t[42] KQ5 STATUS:32\r\n"
         "3\t02:00:01.600\t[42] KQ5 STATUS:32\r\n",
         true,
         {"line 2: the clock goes back by 59 min 59 s", "no gap longer than two cycles"}},
        {"a gap and open failures",
         std::string(kHeader) + Kq5("09:00:00.000 +00:00", status) +
             Kq5("09:00:10.000 +00:00", " Open Printer Error :GetLastError() returns: 0x709\\n") +
             Kq5("09:00:10.000 +00:00", status) +
             Kq5("09:00:10.000 +00:00", "GetLastError:234\\r\\n"),
         true,
         {"no status line for 10.0 s, from 2026-12-07 09:00:00.000 to 09:00:10.000",
          "1 times with 0x709", "no queue",
          "GetLastError:234: a port description longer than the service can read",
          "without \" MainError:\""}},
        {"no printer",
         std::string(kHeader) + Kq5("09:00:00.000 +00:00", "GetPrinterHandle"),
         true,
         {"the printer was never found"}},
        {"lines cut in the middle",
         std::string(kHeader) + Kq5("09:00:00.000 +00:00", status) + "2026-12-07 09:00:0\n" +
             Kq5("09:00:00.800 +00:00", "KQ5 STATUS:3") + Kq5("09:00:01.600 +00:00", status) +
             "2026-12-07 09:0",
         true,
         {"1 lines skipped: not a kq5trace line (cut or damaged) (line 3)",
          "1 lines skipped: a status line cut or malformed (line 4)",
          "the last line has no line end"}},
        {"a 10 MB line",
         std::string(kHeader) + Kq5("09:00:00.000 +00:00", std::string(10 << 20, 'x')) +
             Kq5("09:00:00.800 +00:00", status),
         true,
         {"1 lines skipped: longer than 64 KiB (line 2)", "1 status lines"}},
        {"five titles before the log", "a\nb\nc\nd\ne\n1\t0.0\t[9] KQ5 STATUS:32\n", true, {}},
        {"six titles before the log: not a trace, naming the first line",
         "a\nb\nc\nd\ne\nf\n1\t0.0\t[9] KQ5 STATUS:32\n",
         false,
         {"line 1 is neither"}},
        {"broken UTF-16 (a lone surrogate, an odd last byte) keeps reading",
         std::string("\xFF\xFE"
                     "1\0\t\0"
                     "0\0.\0"
                     "0\0\t\0"
                     "[\0"
                     "9\0]\0 \0\x00\xD8"
                     "K\0\n\0x",
                     25),
         true,
         {}},
        {"an empty file", "", false, {"the trace is empty"}},
        {"another format",
         "queue USB001\nprinter A1 USB001 0x20\n",
         false,
         {"line 1 is neither kq5trace's header nor a DebugView log line"}},
        {"binary bytes",
         std::string("\x7f\x45\x4c\x46\x02\x01\x00\x1b[2J\n", 12),
         false,
         {"line 1 is neither", "\\x7fELF\\x02\\x01\\x00\\x1b[2J"}},
    };
    CheckCases(cases);
}

// Every line of a file is counted as read, a cut or a too long one too. Up to five lines before
// the first log line (a title, a line too long) are skipped and named; a sixth makes the file no
// trace, and the error says how many lines after the first were looked at.
TEST(Trace, CountsEveryLineAndGivesUpAfterFiveBefore) {
    const std::string status = Kq5("09:00:00.000 +00:00", "KQ5 STATUS:32\\r\\n");
    const std::string tooLong = std::string(kLongestLine + 10, 'x') + "\r\n";
    const std::string log = "1\t0.5\t[42] KQ5 STATUS:32\r\n2\t1.3\t[42] KQ5 STATUS:32\r\n";
    const std::vector<Case> cases = {
        {"a cut last line",
         std::string(kHeader) + status + "2026-12-07 09:00:00.8",
         true,
         {"  3 lines read", "the last line has no line end: it was cut (skipped)"}},
        {"a line too long",
         std::string(kHeader) + status + tooLong + status,
         true,
         {"  4 lines read", "1 lines skipped: longer than 64 KiB (line 3)", "2 status lines"}},
        {"the first log line cut: a log as far as it goes, the cut line not read",
         "COMPUTER\r\n1\t0.5\t[42] KQ5 STATUS:32",
         true,
         {"  2 lines read", "1 lines before the first log line skipped",
          "the last line has no line end: it was cut (skipped)"},
         {"status lines"}},
        {"the header alone, cut",
         "# kq5trace 1.0.0: debugger lines of the service kq5, from 2026-12-07 09:00:00.000 +01:00",
         true,
         {"  1 lines read", ", from 2026-12-07 09:00:00.000 to 09:00:00.000"},
         {"lines skipped"}},
        {"five lines too long before the log",
         Times(tooLong, 5) + log,
         true,
         {"5 lines skipped: longer than 64 KiB (lines 1, 2, 3, 4, 5)", "2 status lines"}},
        {"three titles and two lines too long before the log",
         "A\r\nB\r\nC\r\n" + Times(tooLong, 2) + log,
         true,
         {"3 lines before the first log line skipped",
          "2 lines skipped: longer than 64 KiB (lines 4, 5)", "2 status lines"}},
        {"a header too long: skipped as any line too long",
         "# kq5trace 1.0.0: " + tooLong + log,
         true,
         {"1 lines skipped: longer than 64 KiB (line 1)", "2 status lines"}},
        {"a header too long, and cut",
         "# kq5trace 1.0.0: " + tooLong.substr(0, kLongestLine),
         false,
         {"line 1 is neither"}},
        {"six lines too long before the log",
         Times(tooLong, 6) + log,
         false,
         {"line 1 is neither", "(nor is any of the 5 lines after it)"}},
        {"three titles and three lines too long before the log",
         "A\r\nB\r\nC\r\n" + Times(tooLong, 3) + log,
         false,
         {"\"A\" (nor is any of the 5 lines after it)"}},
        {"lines too long after the header",
         std::string(kHeader) + Times(tooLong, 7) + status + status,
         true,
         {"7 lines skipped: longer than 64 KiB (lines 2, 3, 4, 5, 6, ...)", "2 status lines"}},
        {"one line of another format", "queue USB001", false, {"\"queue USB001\""}, {"(nor"}},
        {"two lines of another format",
         "queue USB001\nprinter A1\n",
         false,
         {"\"queue USB001\" (nor is any of the 1 lines after it)"}},
        {"nine lines of another format",
         Times("queue USB001\n", 9),
         false,
         {"(nor is any of the 5 lines after it)"}},
        {"a DebugView log of one line in clock time",
         "1\t09:00:00.000\t[42] KQ5 STATUS:32\r\n",
         true,
         {"at day 1 09:00:00.000: status 32"}},
    };
    CheckCases(cases);
}

// The folding, against a plain reference: at each line the group of up to eight lines whose
// copies directly after it hide the most lines (the shortest among equals) is printed once.
std::string ReferenceFold(const std::vector<TimelineEvent>& events) {
    const auto copies = [&](size_t at, size_t length) {
        size_t count = 0;
        for (size_t next = at + length; next + length <= events.size(); next += length, ++count) {
            for (size_t k = 0; k < length; ++k) {
                if (FormatTimelineLine(events[next + k]).substr(10) !=
                    FormatTimelineLine(events[at + k]).substr(10)) {
                    return count;
                }
            }
        }
        return count;
    };
    std::string out;
    for (size_t i = 0; i < events.size();) {
        size_t length = 1, best = 0;
        for (size_t n = 1; n <= 8 && i + 2 * n <= events.size(); ++n) {
            if (copies(i, n) * n > best * length) {
                length = n;
                best = copies(i, n);
            }
        }
        for (size_t k = 0; k < length && i + k < events.size(); ++k) {
            out += FormatTimelineLine(events[i + k]) + "\n";
        }
        out +=
            best == 0
                ? ""
                : FoldNote(length, best, TimelineSeconds(events[i + best * length].timeMs)) + "\n";
        i += (best + 1) * length;
    }
    return out;
}

TEST(Trace, FoldingHidesRepeatedLinesAndGroups) {
    std::mt19937 random(19);
    for (int round = 0; round < 300; ++round) {
        std::vector<TimelineEvent> events;
        std::vector<std::string> alphabet = {"a", "b", "c"};
        const size_t size = random() % 60;
        for (size_t i = 0; i < size; ++i) {
            // Runs of repeated groups, so folding has something to find.
            events.push_back(
                TimelineEvent{i * 800, NoteEvent{"debug", alphabet[random() % (round % 3 + 1)]}});
        }
        ASSERT_EQ(FoldTimeline(events), ReferenceFold(events)) << "round " << round;
    }
    const std::vector<TimelineEvent> group = {{0, NoteEvent{"debug", "x"}},
                                              {0, NoteEvent{"debug", "y"}},
                                              {800, NoteEvent{"debug", "x"}},
                                              {800, NoteEvent{"debug", "y"}}};
    EXPECT_EQ(FoldTimeline(group),
              "   0.000s  debug    x\n   0.000s  debug    y\n"
              "           ... these 2 lines 1 more time, the last at    0.800s\n");
}

// The timeline's times as the trace's clock gives them: the local time of day, the date on a line
// of its own at the start and wherever a line's date changes, or in a fold's "the last at" where
// the date changes there, and never again for the same date; the time of day only: "day 1",
// "day 2"; no clock: the seconds from the start, right-aligned, longer ones unpadded.
TEST(Trace, TimelineTimesGiveTheDateOnceAndAgainWhenItChanges) {
    const std::string s32 = "KQ5 STATUS:32\\r\\n", s4 = "KQ5 STATUS:4\\r\\n";
    const auto kq5 = [](const char* day, const char* time, const std::string& text) {
        return std::string("2026-12-") + day + " " + time + " +01:00\t[42] " + text + "\n";
    };
    const struct {
        const char* name;
        std::string trace;
        const char* timeline;
    } cases[] = {
        {"date and time",
         kHeader + kq5("07", "23:59:57.000", s4) + kq5("07", "23:59:58.000", s32) +
             kq5("07", "23:59:58.800", s32) + kq5("07", "23:59:59.600", s32) +
             kq5("08", "00:00:00.400", s32) + kq5("08", "00:00:01.200", s4) +
             kq5("08", "00:00:02.000", s32) + kq5("08", "00:00:02.800", s32),
         "-- 2026-12-07 --\n"
         "  23:59:57.000  trace    kq5trace 1.0.0: debugger lines of the service kq5\n"
         "  23:59:57.000  debug    \"KQ5 STATUS:4\\r\\n\"\n"
         "  23:59:58.000  debug    \"KQ5 STATUS:32\\r\\n\"\n"
         "           ... 3 more, the last at 2026-12-08 00:00:00.400\n"
         "  00:00:01.200  debug    \"KQ5 STATUS:4\\r\\n\"\n"
         "  00:00:02.000  debug    \"KQ5 STATUS:32\\r\\n\"\n"
         "           ... 1 more, the last at 00:00:02.800\n"},
        {"time of day",
         "1\t11:59:59.500 PM\t[42] KQ5 STATUS:32\r\n2\t12:00:00.300 AM\t[42] KQ5 STATUS:4\r\n"
         "3\t12:00:01.100 AM\t[42] KQ5 STATUS:4\r\n4\t12:00:01.900 AM\t[42] KQ5 STATUS:32\r\n",
         "-- day 1 --\n"
         "  23:59:59.500  debug    \"KQ5 STATUS:32\"\n"
         "-- day 2 --\n"
         "  00:00:00.300  debug    \"KQ5 STATUS:4\"\n"
         "           ... 1 more, the last at 00:00:01.100\n"
         "  00:00:01.900  debug    \"KQ5 STATUS:32\"\n"},
        {"elapsed seconds",
         "1\t0.00000000\t[42] KQ5 STATUS:32\r\n2\t9999.999\t[42] KQ5 STATUS:4\r\n"
         "3\t10000.5\t[42] KQ5 STATUS:8\r\n4\t123456.789\t[42] KQ5 STATUS:16\r\n",
         "   0.000s  debug    \"KQ5 STATUS:32\"\n"
         "9999.999s  debug    \"KQ5 STATUS:4\"\n"
         "10000.500s  debug    \"KQ5 STATUS:8\"\n"
         "123456.789s  debug    \"KQ5 STATUS:16\"\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(TimelineText(Read(c.trace).report.timeline), c.timeline) << c.name;
    }
}

TEST(Trace, PictureHasTheLanesAndCommandedQueue) {
    const Read read(std::string(kHeader) + Kq5("09:00:00.000 +00:00", "KQ5 STATUS:4\\r\\n"));
    const std::string svg = FormatSvg(read.report.picture, "test");
    for (const char* part : {"lane-printer", "lane-queue", "lane-spooler", "lane-service",
                             "as commanded", "PRINTER_STATUS_DOOR_OPEN (commanded)"}) {
        EXPECT_NE(svg.find(part), std::string::npos) << part;
    }
}

// A Spooler down for a few seconds of two hours is narrower than a pixel: it is still drawn,
// a pixel wide and red, while the day's thousands of states stay within the picture's width.
TEST(Trace, PictureShowsWhatIsTooShortToDraw) {
    std::string trace = kHeader;
    for (int s = 0; s <= 7200; ++s) {
        char stamp[40];
        std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.000 +00:00", s / 3600, s / 60 % 60,
                      s % 60);
        if (s == 3600) {
            trace += Kq5(stamp, " Open Printer Error :GetLastError() returns: 0x6ba\\n");
        }
        trace += Kq5(stamp, s % 2 ? "KQ5 STATUS:4\\r\\n" : "KQ5 STATUS:32\\r\\n");
    }
    const std::string svg = FormatSvg(Read(trace).report.picture, "test");
    const size_t lane = svg.find("id=\"lane-spooler\"");
    const std::string spooler = svg.substr(lane, svg.find("</g>\n</g>", lane) - lane);
    EXPECT_NE(spooler.find("width=\"1.0\" height=\"22.0\" fill=\"#e0645c\""), std::string::npos)
        << spooler;
    // 7201 printer states (the door open every other second), drawn as fewer bars than pixels,
    // each group in its most serious colour: door open.
    const size_t printer = svg.find("id=\"lane-printer\"");
    const std::string lanePrinter = svg.substr(printer, svg.find("id=\"lane-queue\"") - printer);
    size_t bars = 0;
    for (size_t at = 0; (at = lanePrinter.find("<g class=\"state\">", at)) != std::string::npos;
         ++at) {
        ++bars;
    }
    EXPECT_LE(bars, 2200u);
    EXPECT_GT(bars, 100u);
    EXPECT_NE(lanePrinter.find("states too short to draw apart (the timeline lists them), among "
                               "them: printer present, status 0x04 door open"),
              std::string::npos);
}

// DebugView's saved logs as they come: lines before the first log line, a byte-order mark, the
// code page 936 message as bytes or as characters, kernel lines, a clock in whole seconds. Each
// sample under tests/traces/ says what the reader must make of it.
TEST(Trace, ReadsDebugViewLogsAsSaved) {
    const struct {
        const char* file;
        const char* layout;
        std::vector<std::string> expected;
        std::vector<std::string> absent;
    } samples[] = {
        {"debugview-computer-name.log",
         "DebugView log, elapsed time",
         {"2 lines before the first log line skipped (a computer name, a title, DebugView++'s "
          "identification header): line 1 "
          "\"PC-LAB-07\", line 2 \"Debug Print Output\"",
          "1 lines of other processes skipped", "10 status lines", "the service ended"},
         {"lines skipped:"}},
        {"debugview-utf16.log",
         "DebugView log, clock time, UTF-16LE",
         {"10 status lines, one every 0.800 s", "the queue's record could not be read 1 times",
          "1 times with 0x6ba"},
         {"lines skipped", "other processes"}},
        {"debugview-utf8-bom.log",
         "DebugView log, elapsed time, UTF-8",
         {"the queue's record could not be read 1 times", "11 of the service"},
         {"lines skipped", "other processes"}},
        {"debugview-cp936-bytes.log",
         "DebugView log, elapsed time",
         {"the queue's record could not be read 1 times", "11 of the service"},
         {"lines skipped", "other processes"}},
        {"debugview-kernel.log",
         "DebugView log, elapsed time",
         {"2 kernel lines (no [process id]: written by drivers) skipped", "10 status lines"},
         {"lines skipped", "damaged"}},
        {"debugviewpp-saved.dblog",
         "DebugView++ log",
         {"1 lines before the first log line skipped",
          "line 1 \"File Identification Header, "
          "DebugView++ Format Version 1\"",
          "20 of the service (processes 3964, 4410)", "1 lines of other processes skipped",
          "15 status lines, one every 0.800 s", "at 09:15:06.100: status 4"},
         {"lines skipped:", "clock goes back"}},
        {"debugviewpp-continuous.dblog",
         "DebugView++ log",
         {"11 of the service (process 2210), over 8.0 s", "1 lines of other processes skipped",
          "9 status lines", "1 times with 0x6ba, the first at 2026-12-07 23:59:59.400",
          "the queue's record could not be read 1 times"},
         {"lines skipped", "clock goes back", "before the first log line"}},
        {"debugview-seconds.log",
         "DebugView log, clock time in seconds",
         {"30 status lines, one every 0.8 s on average (the log's clock has whole seconds only: "
          "the pace is measured to the second",
          "no gap longer than two cycles"},
         {"(median", "one every 1.000 s"}},
    };
    for (const auto& sample : samples) {
        SCOPED_TRACE(sample.file);
        const TraceReport report =
            ReadTracePath(std::filesystem::path(KQ5_TRACE_SAMPLES) / sample.file);
        if (!report.ok) {
            ADD_FAILURE() << report.error;
            continue;
        }
        EXPECT_EQ(report.layout, sample.layout);
        ExpectTexts(FormatFindings(report.findings), sample.expected, sample.absent);
    }
    // The message as UTF-8 characters reads as the service's own bytes in the timeline.
    const Read utf8(std::string("\xEF\xBB\xBF") +
                    "1\t0.0\t[9] \xE8\x8E\xB7\xE5\xBE\x97PRINTER_INFO_2\r\n");
    EXPECT_NE(TimelineText(utf8.report.timeline).find("\"\\xbb\\xf1\\xb5\\xc3PRINTER_INFO_2\""),
              std::string::npos)
        << TimelineText(utf8.report.timeline);
}

// DebugView++'s logs: its "Save Log" (an identification header, CRLF) and its continuous log
// file (no header, any line end) read alike, with their clock; a line of any other layout in
// one is damaged, never guessed at.
TEST(Trace, ReadsDebugViewPlusPlusLogs) {
    const std::string saved =
        FileText(std::filesystem::path(KQ5_TRACE_SAMPLES) / "debugviewpp-saved.dblog");
    ASSERT_NE(saved.find("\r\n"), std::string::npos);
    std::string lf;
    for (const char c : saved) {
        if (c != '\r') {
            lf += c;
        }
    }
    const Read crlf(saved), unix(lf);
    ASSERT_TRUE(crlf.report.ok) << crlf.report.error;
    EXPECT_EQ(crlf.findings, unix.findings);
    EXPECT_EQ(crlf.report.timeline, unix.report.timeline);
    // Without the header: the continuous log file's form, the same lines of the service.
    const Read continuous(lf.substr(lf.find('\n') + 1));
    ASSERT_TRUE(continuous.report.ok) << continuous.report.error;
    EXPECT_EQ(continuous.report.layout, "DebugView++ log");
    ExpectTexts(continuous.findings, {"20 of the service (processes 3964, 4410)"},
                {"before the first log line"});
    // A line of DebugView's layout, a month 13, a process id that is no number: damaged lines.
    const std::string good =
        "0.800000\t2026/12/07 09:15:02.900\t3964\tkq5svc.exe\tKQ5 STATUS:32\r\n";
    const Read damaged(good + "2\t0.8\t[3964] KQ5 STATUS:32\r\n" +
                       "1.600000\t2026/13/07 09:15:03.700\t3964\tkq5svc.exe\tKQ5 STATUS:32\r\n" +
                       "2.400000\t2026/12/07 09:15:04.500\tpid\tkq5svc.exe\tKQ5 STATUS:32\r\n" +
                       good);
    ASSERT_TRUE(damaged.report.ok) << damaged.report.error;
    ExpectTexts(damaged.findings,
                {"3 lines skipped: not a DebugView++ line (cut or damaged) (lines 2, 3, 4)"}, {});
}

constexpr long long kHour = 3600000;

// Clock times: the date once and again when it changes, the day counted where the log has the
// time of day only, a clock set back drawn where it was set, the elapsed time without a clock.
TEST(Trace, ClockTimesGiveTheDateOnceAndAgainWhenItChanges) {
    const TraceClock clock = ClockFrom(ClockKind::DateTime, kDec7 + 24 * kHour - 2000);
    DatedTimes times(clock);
    EXPECT_EQ(times.At(0), "2026-12-07 23:59:58.000");
    EXPECT_EQ(times.At(1500), "23:59:59.500");
    EXPECT_EQ(times.At(3000), "2026-12-08 00:00:01.000");
    EXPECT_EQ(times.At(4000), "00:00:02.000");
    EXPECT_EQ(times.Whole(4000), "2026-12-08 00:00:02.000 (4.000 s from the start)");
    TraceClock elapsed;
    DatedTimes seconds(elapsed);
    EXPECT_EQ(seconds.At(12300), "12.300 s");
    elapsed.Note(0, 5000);  // a log without a clock has nothing to anchor
    EXPECT_FALSE(elapsed.Known());

    // DebugView's time of day: the day after midnight is the next one, never the same day.
    TraceClock ofDay = ClockFrom(ClockKind::TimeOfDay, 24 * kHour - 2000);
    ofDay.Note(3000, 1000);
    DatedTimes days(ofDay);
    EXPECT_EQ(days.At(0), "day 1 23:59:58.000");
    EXPECT_EQ(days.At(3000), "day 2 00:00:01.000");
    EXPECT_EQ(ofDay.anchors.size(), 1u);

    // The clock set back an hour (daylight saving ends) at 10 s: before it the old clock.
    TraceClock set = ClockFrom(ClockKind::DateTime, kDec7 + 2 * kHour);
    set.Note(5000, kDec7 + 2 * kHour + 5000 + 300);  // within a second: no new anchor
    set.Note(10000, kDec7 + kHour + 10000);
    EXPECT_EQ(set.anchors.size(), 2u);
    EXPECT_EQ(set.LocalAt(9999), kDec7 + 2 * kHour + 9999);
    EXPECT_EQ(set.LocalAt(10000), kDec7 + kHour + 10000);

    // Dates across leap days, centuries and before 1970.
    for (long long n = -800000; n < 800000; n += 997) {
        long long year = 0, month = 0, day = 0;
        CivilFromDays(n, year, month, day);
        ASSERT_EQ(DaysFromCivil(year, month, day), n) << year << "-" << month << "-" << day;
    }
    EXPECT_EQ(DateText(ClockKind::DateTime, DaysFromCivil(2024, 2, 29) * 24 * kHour), "2024-02-29");
    EXPECT_EQ(DateText(ClockKind::DateTime, kDec7), "2026-12-07");
    EXPECT_EQ(ElapsedText(90000), "1 min 30 s");
    EXPECT_EQ(ElapsedText(27 * kHour), "1 d 3 h");
    EXPECT_EQ(ElapsedText(24 * kHour + 5000), "1 d");
}

// The picture's axis at any length: labels in time order inside the axis, never overlapping,
// each telling the clock (or the elapsed time) where it stands, midnights marked and labelled
// with their date where there is room.
TEST(Trace, AxisLabelsStandApartAtAnyLength) {
    constexpr double kWidth = 1100;
    const long long start = kDec7 + 9 * kHour + 15 * 60000 + 2345;  // 09:15:02.345
    TraceClock dst = ClockFrom(ClockKind::DateTime, start);
    dst.Note(3 * kHour, start + 2 * kHour);  // set back an hour
    const struct {
        const char* name;
        TraceClock clock;
        long long lengthMs;
        size_t midnights;
    } cases[] = {
        {"a minute", ClockFrom(ClockKind::DateTime, start), 60000, 0},
        {"an hour", ClockFrom(ClockKind::DateTime, start), kHour, 0},
        {"a day", ClockFrom(ClockKind::DateTime, start), 24 * kHour, 1},
        {"a fortnight", ClockFrom(ClockKind::DateTime, start), 14 * 24 * kHour, 14},
        {"a quarter", ClockFrom(ClockKind::DateTime, start), 91 * 24 * kHour, 91},
        {"three years", ClockFrom(ClockKind::DateTime, start), 1096 * 24 * kHour, 0},
        {"a day's time of day", ClockFrom(ClockKind::TimeOfDay, 9 * kHour), 24 * kHour, 1},
        {"a clock set back", dst, 6 * kHour, 0},
        {"a minute elapsed", TraceClock{}, 60000, 0},
        {"a fortnight elapsed", TraceClock{}, 14 * 24 * kHour, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto end = static_cast<uint64_t>(c.lengthMs);
        const double perMs = kWidth / static_cast<double>(end);
        const Axis axis = AxisOf(c.clock, end, perMs);
        ASSERT_GE(axis.labels.size(), 3u);
        for (size_t i = 0; i < axis.labels.size(); ++i) {
            const AxisLabel& l = axis.labels[i];
            ASSERT_LE(l.atMs, end);
            if (i > 0) {
                const AxisLabel& before = axis.labels[i - 1];
                const double widest =
                    kAxisCharPx * static_cast<double>(std::max(l.text.size(), before.text.size()));
                EXPECT_GE(static_cast<double>(l.atMs - before.atMs) * perMs, widest)
                    << "'" << before.text << "' and '" << l.text << "' overlap";
            }
            if (!c.clock.Known()) {
                continue;
            }
            const long long local = c.clock.LocalAt(l.atMs);
            if (l.midnight) {
                EXPECT_EQ(local % (24 * kHour), 0) << l.text;
                EXPECT_EQ(l.text, DateText(c.clock.kind, local));
            } else {
                EXPECT_EQ(TimeOfDayText(local, true).rfind(l.text, 0), 0u)
                    << l.text << " at " << TimeOfDayText(local, true);
            }
        }
        if (c.midnights > 0) {
            ASSERT_EQ(axis.midnights.size(), c.midnights);
            for (const uint64_t m : axis.midnights) {
                EXPECT_EQ(c.clock.LocalAt(m) % (24 * kHour), 0);
            }
            // Where a day is wide enough for its date, the first midnight is labelled with it.
            if (static_cast<double>(24 * kHour) * perMs < 75) {
                continue;
            }
            const auto labelled = std::find_if(
                axis.labels.begin(), axis.labels.end(),
                [&](const AxisLabel& l) { return l.atMs == axis.midnights[0] && l.midnight; });
            EXPECT_NE(labelled, axis.labels.end());
        }
    }
    // A minute's labels tell seconds.
    const Axis minute = AxisOf(ClockFrom(ClockKind::DateTime, start), 60000, kWidth / 60000);
    EXPECT_EQ(minute.labels[0].text.size(), 8u) << minute.labels[0].text;
    EXPECT_EQ(minute.caption, "local time, 2026-12-07");
}

// The service's processes one after another, and every stretch without a line of the service:
// between two processes (the service not running), inside one (silent, or not captured), before
// the first line and after the last, and the whole trace when it has none.
TEST(Trace, CoverageFollowsProcessesAndFindsWhatIsNotCovered) {
    Coverage c(1600);
    c.Line(3000, 428);  // the capture ran 3 s before the service's first line
    for (uint64_t ms = 3800; ms <= 10000; ms += 800) {
        c.Line(ms, 428);
    }
    c.Ended(10400, 428, 0);
    for (uint64_t ms = 20400; ms <= 30000; ms += 800) {
        c.Line(ms, 612);
    }
    c.Line(60000, 612);  // 30 s without a line
    c.Line(60100, 428);  // the id used again: another process
    c.Finish(90000);
    std::string processes;
    for (const auto& p : c.processes) {
        processes += std::to_string(p.pid) + (p.ended ? " ended " : " ") +
                     std::to_string(p.firstMs) + "-" + std::to_string(p.lastMs) + "\n";
    }
    EXPECT_EQ(processes, "428 ended 3000-10400\n612 20400-60000\n428 60100-60100\n");
    const auto stretches = [](const Coverage& coverage) {
        std::string out;
        for (const auto& u : coverage.uncovered) {
            out += std::to_string(u.fromMs) + "-" + std::to_string(u.toMs) +
                   (u.afterEnd ? " after an end\n" : "\n");
        }
        return out;
    };
    EXPECT_EQ(stretches(c), "0-3000\n10400-20400 after an end\n30000-60000\n60100-90000\n");
    Coverage none(1600);
    none.Finish(5000);
    EXPECT_EQ(stretches(none), "0-5000\n");
    EXPECT_TRUE(none.processes.empty());
}

// A kq5trace capture of PIDS' lines: each a status line every 0.8 s from FROMS to TOS seconds
// after 09:00, the ones marked ENDED closing with " MainError:0".
std::string Processes(const std::vector<std::tuple<unsigned long, int, int, bool>>& runs) {
    std::string out = std::string(kHeader);
    const auto at = [](int tenths) {
        char stamp[64];
        std::snprintf(stamp, sizeof stamp, "2026-12-07 %02d:%02d:%02d.%d00 +01:00",
                      9 + tenths / 36000, tenths / 600 % 60, tenths / 10 % 60, tenths % 10);
        return std::string(stamp);
    };
    for (const auto& [pid, from, to, ended] : runs) {
        int t = from * 10;
        for (; t <= to * 10; t += 8) {
            out += at(t) + "\t[" + std::to_string(pid) + "] KQ5 STATUS:32\\r\\n\n";
        }
        if (ended) {
            out += at(t) + "\t[" + std::to_string(pid) + "]  MainError:0\\n\n";
        }
    }
    return out;
}

// The findings of rank below kOrdinary, their first lines.
std::string Serious(const TraceReport& report) {
    std::string out;
    for (const TraceFinding& f : report.findings) {
        out += f.severity != Severity::Ordinary ? PrintedLines(f).front() + "\n" : "";
    }
    return out;
}

// Findings judged by what they mean: a stop and a start is a restart, told in time order and
// not serious, and the time between the two processes is no gap; the service's end is serious
// only when no process follows; a gap inside one process stays, with clock times; a trace
// without a line of the service says so first, and never that the printer was never found.
TEST(Trace, FindingsJudgeRestartsEndsAndSilence) {
    const Read restart(Processes({{428, 0, 60, true}, {612, 70, 120, false}}));
    ASSERT_TRUE(restart.report.ok) << restart.report.error;
    EXPECT_EQ(Serious(restart.report), "") << restart.findings;
    ExpectTexts(restart.findings,
                {"  the service restarted: process 428 ended at 2026-12-07 09:01:00.800 with \" "
                 "MainError:0\" (its last error code when it ended: none; not by itself a fault); "
                 "process 612 wrote its first line at 09:01:10.000, the service away 9.2 s",
                 "no gap longer than two cycles"},
                {});

    const Read ended(Processes({{428, 0, 60, true}, {612, 70, 120, true}}));
    EXPECT_EQ(Serious(ended.report),
              "  the service ended: \" MainError:0\\n\" at 2026-12-07 09:02:00.400 (its last error "
              "code when it ended: none; not by itself a fault), and no later process follows\n");

    const Read gap(Processes({{428, 0, 60, false}, {428, 3600, 3610, false}}));
    EXPECT_NE(Serious(gap.report).find("gaps longer than two cycles within one process"),
              std::string::npos)
        << gap.findings;
    ExpectTexts(gap.findings,
                {"no status line for 59 min 0 s, from 2026-12-07 09:01:00.000 to 10:00:00.000"},
                {});

    for (const std::string& silent :
         {std::string(kHeader) + "# 2026-12-07 09:00:00.100 +01:00 service kq5 runs as process 4\n",
          std::string("1\t0.0\t[9] explorer: shell ready\n2\t5.0\t[9] explorer: idle\n")}) {
        const Read none(silent);
        ASSERT_TRUE(none.report.ok) << none.report.error;
        ASSERT_FALSE(none.report.findings.empty());
        EXPECT_EQ(none.report.findings.front().kind, FindingKind::NoServiceLine);
        EXPECT_EQ(PrintedLines(none.report.findings.front())
                      .front()
                      .rfind("  no line of the service in this trace", 0),
                  0u)
            << none.findings;
        ExpectTexts(none.findings, {"the capture listened on the other channel", "--session"},
                    {"the printer was never found"});
    }
}

// The picture draws only what the trace showed: every lane unknown until a line tells of it,
// unknown across a stretch without a line of the service (never the state before it), and all
// of it unknown when the trace holds no line of the service.
TEST(Trace, LanesDrawOnlyWhatTheTraceShowed) {
    const auto bars = [](const TraceReport& report) {
        std::vector<std::string> out;
        const std::string svg = FormatSvg(report.picture, "t");
        for (size_t at = 0; (at = svg.find("<g class=\"state\"><title>", at)) != std::string::npos;
             ++at) {
            const size_t from = at + 24;
            out.push_back(svg.substr(from, svg.find("</title>", from) - from));
        }
        return out;
    };
    const Read none(std::string(kHeader) +
                    "# 2026-12-07 09:00:00.100 +01:00 service kq5 runs as process 4\n"
                    "# 2026-12-07 09:05:00.000 +01:00 service kq5 runs as process 4\n");
    EXPECT_TRUE(bars(none.report).empty()) << bars(none.report).front();
    // A service that looks for its printer and never finds it: nothing tells of the printer,
    // the queue or the Spooler.
    std::string looking = kHeader;
    for (int s = 0; s < 10; ++s) {
        looking += Kq5("09:00:0" + std::to_string(s) + ".500 +01:00", "GetPrinterHandle");
    }
    const Read never(looking);
    for (const std::string& bar : bars(never.report)) {
        EXPECT_EQ(bar.rfind("service ", 0), 0u) << bar;
    }
    // One process, silent from 09:01 to 10:00 (the capture not running).
    const Read gap(Processes({{428, 0, 60, false}, {428, 3600, 3610, false}}));
    const std::vector<std::string> drawn = bars(gap.report);
    ASSERT_FALSE(drawn.empty());
    for (const std::string& bar : drawn) {
        // "... \n2026-12-07 09:00:00.000 to 2026-12-07 09:01:00.000 (1 min)"
        const size_t to = bar.rfind(" to ");
        ASSERT_NE(to, std::string::npos) << bar;
        const std::string from = bar.substr(to - 23, 23), until = bar.substr(to + 4, 23);
        EXPECT_FALSE(from < "2026-12-07 09:01:00.001" && until > "2026-12-07 09:59:59.999")
            << "a bar across the silence: " << bar;
    }
    // After it, each lane as the next lines tell it again.
    for (const char* again : {"printer present, status 0x20 ready\n2026-12-07 10:00:00.000 to",
                              "queue resumed, no status\n2026-12-07 10:00:00.000 to",
                              "Spooler running\n2026-12-07 10:00:00.000 to"}) {
        EXPECT_NE(std::find_if(drawn.begin(), drawn.end(),
                               [&](const std::string& bar) { return bar.rfind(again, 0) == 0; }),
                  drawn.end())
            << again;
    }
    const std::string svg = FormatSvg(gap.report.picture, "t");
    EXPECT_NE(svg.find("unknown: no line of the service came in this stretch\n2026-12-07 "
                       "09:01:00.000 to 2026-12-07 10:00:00.000"),
              std::string::npos);
}

// kq5trace --record's folder: the days in date order, parts in number order, as one trace;
// what is not a trace is skipped and named; a day cut in the middle is read to the cut.
TEST(Trace, ReadsARecordFolderAsOneTrace) {
    const std::filesystem::path folder =
        std::filesystem::temp_directory_path() / ("kq5-record-" + std::to_string(::getpid()));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder / "kq5trace-2026-12-09.txt");  // a folder
    const auto write = [&](const std::string& name, const std::string& text) {
        std::ofstream(folder / name, std::ios::binary) << text;
    };
    const auto day = [](const char* date, const char* time, const char* code) {
        return std::string(date) + " " + time + " +01:00\t[42] KQ5 STATUS:" + code + "\\r\\n\n";
    };
    write("kq5trace-2026-12-07.2.txt",
          std::string(kHeader) + day("2026-12-07", "23:59:59.200", "4") +
              "# 2026-12-07 23:59:59.500 +01:00 another debug-output viewer holds the channel; "
              "waiting\n");
    write("kq5trace-2026-12-08.txt", std::string(kHeader) +
                                         day("2026-12-08", "00:00:00.000", "32") +
                                         "2026-12-08 00:00:00.8");  // cut in the middle
    write("kq5trace-2026-12-07.txt", std::string(kHeader) +
                                         "# 2026-12-07 23:59:58.000 +01:00 service kq5 runs as "
                                         "process 42\n" +
                                         day("2026-12-07", "23:59:58.400", "32"));
    write("kq5trace-2026-12-07.10.txt", "");  // named as a part, but empty
    // A part that goes on without a header of its own.
    write("kq5trace-2026-12-08.3.txt",
          "# 2026-12-08 00:00:01.000 +01:00 a note\n" + day("2026-12-08", "00:00:01.600", "32"));
    write("notes.txt", "the printer was moved on Monday\n");
    write("kq5trace-2026-12-06.txt", "queue USB001\n");         // named as a day, not a trace
    write("kq5trace-2026-12-06.01.txt", std::string(kHeader));  // not the recorder's numbering
    const TraceReport report = ReadTracePath(folder);
    std::filesystem::remove_all(folder);
    ASSERT_TRUE(report.ok) << report.error;
    const std::string findings = FormatFindings(report.findings);
    ExpectTexts(
        findings,
        {"files read, in order: kq5trace-2026-12-07.txt, kq5trace-2026-12-07.2.txt, "
         "kq5trace-2026-12-08.txt, kq5trace-2026-12-08.3.txt\n",
         "5 files skipped: kq5trace-2026-12-06.01.txt (not named",
         "kq5trace-2026-12-06.txt (its "
         "first lines are not a kq5trace capture)",
         "kq5trace-2026-12-07.10.txt (its first lines", "kq5trace-2026-12-09.txt (not a file)",
         "notes.txt (not named kq5trace-YYYY-MM-DD.txt or kq5trace-YYYY-MM-DD.N.txt)",
         "the last line of kq5trace-2026-12-08.txt has no line end: it was cut (skipped)",
         "4 status lines, one every 0.800 s", "at 23:59:59.200: status 4",
         "at 2026-12-08 00:00:00.000: status 32"},
        {"lines skipped"});  // notes are notes
    EXPECT_NE(TimelineText(report.timeline)
                  .find("another debug-output viewer holds the channel; waiting"),
              std::string::npos);
    EXPECT_EQ(report.layout, "kq5trace record folder, 4 files");
}

using TraceFolder = RecordFolderTest;

// The printed findings from the one that starts with FIRST on, a line each.
std::vector<std::string> FindingsFrom(const std::string& findings, const std::string& first) {
    std::vector<std::string> lines;
    std::istringstream in(findings.substr(std::min(findings.find(first), findings.size())));
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

// A day file is read in the folder exactly when it reads on its own as a kq5trace capture, up
// to five lines before its first log line included. The files read and skipped are named right
// after the lines read, the skipped in name order.
TEST_F(TraceFolder, ReadsTheDaysThatReadOnTheirOwn) {
    std::filesystem::create_directories(folder);
    const std::string tooLong = std::string(kLongestLine + 10, 'x') + "\n";
    const std::string status = Kq5("09:00:00.000 +01:00", "KQ5 STATUS:32\\r\\n");
    const std::string days[][2] = {
        {"kq5trace-2026-12-05.txt", "A\nB\nC\n" + Times(tooLong, 3) + kHeader + status},
        {"kq5trace-2026-12-01.txt", "printer moved to the left port\n" + std::string(kHeader)},
        {"kq5trace-2026-12-04.txt", Times("a title\n", 6) + kHeader + status},
        {"kq5trace-2026-12-02.txt", tooLong + kHeader},
        {"kq5trace-2026-12-06.txt", "1\t0.5\t[42] KQ5 STATUS:32\r\n"},
        {"kq5trace-2026-12-03.txt", Times(tooLong, 5) + kHeader + status},
    };
    std::string alone;
    for (const auto& [name, text] : days) {
        std::ofstream(folder / name, std::ios::binary) << text;
        const TraceReport report = ReadTracePath(folder / name);
        alone += name + (report.layout == "kq5trace" ? " read\n" : " skipped\n");
    }
    EXPECT_EQ(alone,
              "kq5trace-2026-12-05.txt skipped\nkq5trace-2026-12-01.txt read\n"
              "kq5trace-2026-12-04.txt skipped\nkq5trace-2026-12-02.txt read\n"
              "kq5trace-2026-12-06.txt skipped\nkq5trace-2026-12-03.txt read\n");
    // Named in name order, whatever order the folder lists them in.
    for (const char* other : {"notes.txt", "kq5trace-2026-12-07.01.txt", "Kq5trace.log"}) {
        std::ofstream(folder / other) << kHeader;
    }
    const std::string notNamed = "not named kq5trace-YYYY-MM-DD.txt or kq5trace-YYYY-MM-DD.N.txt";
    const std::string notCapture = "its first lines are not a kq5trace capture";
    const TraceReport report = ReadTracePath(folder);
    ASSERT_TRUE(report.ok) << report.error;
    EXPECT_EQ(report.name, EscapedPath(folder));
    EXPECT_EQ(report.layout, "kq5trace record folder, 3 files");
    const std::string findings = FormatFindings(report.findings);
    const std::vector<std::string> lines = FindingsFrom(findings, "  11 lines read");
    ASSERT_GE(lines.size(), 3u) << findings;
    EXPECT_EQ(lines[1],
              "  files read, in order: kq5trace-2026-12-01.txt, kq5trace-2026-12-02.txt, "
              "kq5trace-2026-12-03.txt");
    EXPECT_EQ(lines[2],
              "  6 files skipped: Kq5trace.log (" + notNamed + "), kq5trace-2026-12-04.txt (" +
                  notCapture + "), kq5trace-2026-12-05.txt (" + notCapture +
                  "), kq5trace-2026-12-06.txt (" + notCapture + "), kq5trace-2026-12-07.01.txt (" +
                  notNamed + "), notes.txt (" + notNamed + ")");
    // The report keeps them there, before what was skipped in the files' lines.
    const std::string html = FormatHtml(report, "test");
    const size_t at[] = {html.find(">11 lines read"), html.find("<li>files read, in order"),
                         html.find("<li>6 files skipped"),
                         html.find("<li>1 lines before the first log line")};
    EXPECT_NE(at[0], std::string::npos) << html;
    EXPECT_TRUE(std::is_sorted(std::begin(at), std::end(at))) << html;
}

// A folder of one day, and one of none: the layout says "1 file"; without a day file the error
// says so, with how many other files the folder holds.
TEST_F(TraceFolder, NamesOneFileAndNone) {
    std::filesystem::create_directories(folder);
    TraceReport report = ReadTracePath(folder);
    EXPECT_FALSE(report.ok);
    EXPECT_EQ(report.name, EscapedPath(folder));
    EXPECT_EQ(report.error, "no kq5trace-YYYY-MM-DD.txt file in the folder holds a trace");
    std::ofstream(folder / "notes.txt") << "the printer was moved\n";
    report = ReadTracePath(folder);
    EXPECT_EQ(report.error,
              "no kq5trace-YYYY-MM-DD.txt file in the folder holds a trace (1 other files)");
    std::ofstream(folder / "kq5trace-2026-12-07.txt") << "queue USB001\n";
    report = ReadTracePath(folder);
    EXPECT_FALSE(report.ok);
    EXPECT_EQ(report.name, EscapedPath(folder));
    EXPECT_EQ(report.error,
              "no kq5trace-YYYY-MM-DD.txt file in the folder holds a trace (2 other files)");
    // A day without a line of the service: that comes first, the files after the lines read.
    std::ofstream(folder / "kq5trace-2026-12-08.txt") << kHeader;
    report = ReadTracePath(folder);
    ASSERT_TRUE(report.ok) << report.error;
    EXPECT_EQ(report.layout, "kq5trace record folder, 1 file");
    const std::string findings = FormatFindings(report.findings);
    EXPECT_EQ(findings.find("  no line of the service"), findings.find("  ")) << findings;
    const std::vector<std::string> lines = FindingsFrom(findings, "  1 lines read");
    ASSERT_GE(lines.size(), 2u) << findings;
    EXPECT_EQ(lines[1], "  files read, in order: kq5trace-2026-12-08.txt") << findings;
}

// A folder that cannot be listed is named with the system's reason. Root lists any folder, so
// the reading runs in a child process that is no one in particular.
TEST_F(TraceFolder, NamesAFolderItCannotList) {
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "kq5trace-2026-12-07.txt") << kHeader;
    std::filesystem::permissions(folder, std::filesystem::perms::none);
    const ChildRun run = InChild(true, [&] {
        const TraceReport report = ReadTracePath(folder);
        return std::to_string(report.ok) + "|" + report.name + "|" + report.error;
    });
    std::filesystem::permissions(folder, std::filesystem::perms::owner_all);
    if (run.skipped) {
        GTEST_SKIP() << "root that cannot become another user here";
    }
    ASSERT_TRUE(run.ok);
    EXPECT_EQ(run.said, "0|" + EscapedPath(folder) +
                            "|the folder cannot be read: Permission denied (errno 13)");
}

// A stream buffer that gives TEXT, then fails as a disk read does: the stream goes bad.
class FailsAfter : public std::stringbuf {
public:
    explicit FailsAfter(const std::string& text) : std::stringbuf(text) {}

protected:
    int_type underflow() override {
        const int_type c = std::stringbuf::underflow();
        if (c == traits_type::eof()) {
            throw std::ios_base::failure("read error");
        }
        return c;
    }
};

// A day file can change between the folder's listing and its reading: one removed is skipped
// as not opened, one that is no trace any more is skipped with why and not read, and one whose
// reading fails after its first 64 KiB is read as far as it goes and also named as skipped.
TEST_F(TraceFolder, NamesTheDaysThatChangeAfterTheListing) {
    std::filesystem::create_directories(folder);
    const std::string status = Kq5("09:00:00.000 +00:00", "KQ5 STATUS:32\\r\\n");
    for (const char* day : {"kq5trace-2026-12-05.txt", "kq5trace-2026-12-06.txt",
                            "kq5trace-2026-12-07.txt", "kq5trace-2026-12-08.txt"}) {
        std::ofstream(folder / day) << kHeader << status;
    }
    const int lines = 2000;  // more than 64 KiB: the failure comes after a first read
    FailsAfter broken(std::string(kHeader) + Times(status, lines));
    const TraceReport report = ReadRecordFolder(folder, [&](const std::filesystem::path& day) {
        const std::string name = day.filename().string();
        std::unique_ptr<std::istream> in;
        if (name == "kq5trace-2026-12-05.txt") {
            in = std::make_unique<std::ifstream>(folder / "gone.txt");
        } else if (name == "kq5trace-2026-12-06.txt") {
            in = std::make_unique<std::istringstream>("queue USB001\n");
        } else if (name == "kq5trace-2026-12-07.txt") {
            in = std::make_unique<std::istream>(&broken);
        } else {
            in = std::make_unique<std::ifstream>(day, std::ios::binary);
        }
        return in;
    });
    ASSERT_TRUE(report.ok) << report.error;
    EXPECT_EQ(report.layout, "kq5trace record folder, 4 files");
    const std::string findings = FormatFindings(report.findings);
    const int read = std::stoi(findings.substr(findings.find("\n") + 1));
    EXPECT_GT(read, 3) << findings;  // the broken file's first lines are read
    EXPECT_LT(read, lines) << findings;
    const std::vector<std::string> at = FindingsFrom(findings, "  " + std::to_string(read));
    ASSERT_GE(at.size(), 3u) << findings;
    EXPECT_EQ(at[1], "  files read, in order: kq5trace-2026-12-07.txt, kq5trace-2026-12-08.txt");
    EXPECT_EQ(at[2],
              "  3 files skipped: kq5trace-2026-12-05.txt (cannot be opened), "
              "kq5trace-2026-12-06.txt (line 1 is neither kq5trace's header nor a DebugView log "
              "line (index, tab, time, tab, [pid] text) nor a DebugView++ log line (seconds, tab, "
              "date and time, tab, process id, tab, process name, tab, text): \"queue USB001\"), "
              "kq5trace-2026-12-07.txt (cannot be read to its end)");
}

// The report: the most serious findings first, every text from the trace escaped, nothing
// fetched, and a timeline too long for a message cut with a note.
TEST(Trace, ReportPutsTheSeriousFirstAndEscapesTheTrace) {
    std::string trace =
        std::string(kHeader) + Kq5("09:00:00.000 +00:00", "KQ5 STATUS:32\\r\\n") +
        Kq5("09:00:00.100 +00:00", "GetLastError:2\\r\\n") +
        Kq5("09:00:10.000 +00:00", " Open Printer Error :GetLastError() returns: 0x6ba\\n") +
        Kq5("09:00:10.000 +00:00", "KQ5 STATUS:32\\r\\n") +
        Kq5("09:00:11.000 +00:00", "<script>alert(1)</script> & \"x\"") +
        Kq5("09:00:12.000 +00:00", " MainError:5\\n");
    const Read read(trace);
    ASSERT_TRUE(read.report.ok);
    const std::string html = FormatHtml(read.report, "kq5sim: <b>test</b>");
    // The serious by rank, then the rest in time order.
    const size_t at[] = {
        html.find("<li id=\"first-finding\" class=\"serious\">the queue could not be opened 1 "
                  "times with 0x6ba"),
        html.find("<li class=\"serious\">the service ended"),
        html.find("<li class=\"serious\">gaps longer than two cycles"),
        html.find("<li>7 lines read"), html.find("<li>1 registry reads failed")};
    EXPECT_NE(at[4], std::string::npos) << html;
    EXPECT_TRUE(std::is_sorted(std::begin(at), std::end(at))) << html;
    ExpectTexts(html, {"&lt;script&gt;alert(1)&lt;/script&gt; &amp; &quot;x&quot;"},
                {"<b>test", "://"});
    EXPECT_EQ(html.find("<script>"), html.rfind("<script>")) << "one script, the page's own";
}

// The command both programs run, on one console: the timeline and the findings, then its
// message, and all of it out before it returns (the caller's next line comes after). The findings
// are printed whatever happens to the picture and the report; a path that cannot be written is
// named with exit code 1; a trace that cannot be opened, or opens but cannot be read, is said to
// be so with exit code 2, not taken for an empty trace.
TEST(Trace, ReadCommandPrintsBeforeItsMessagesAndReturns) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("kq5-console-" + std::to_string(::getpid()));
    std::filesystem::remove_all(dir);
    std::filesystem::create_directories(dir);
    const std::filesystem::path console = dir / "console.txt";
    // The command's streams as a console's: its output buffered, its errors not, one screen.
    const auto run = [&](const ReadCommand& command, int& code) {
        const int fd = ::open(console.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0600);
        std::FILE* out = ::fdopen(::dup(fd), "a");
        std::FILE* err = ::fdopen(::dup(fd), "a");
        ::close(fd);
        std::setvbuf(out, nullptr, _IOFBF, 1 << 20);
        std::setvbuf(err, nullptr, _IONBF, 0);
        code = RunTraceRead("kq5test", command, out, err);
        std::fputs("the caller's line\n", err);
        std::fclose(out);
        std::fclose(err);
        return FileText(console);
    };
    ReadCommand command;
    command.trace = std::filesystem::path(KQ5_TRACE_SAMPLES) / "debugview-kernel.log";
    const TraceReport report = ReadTracePath(command.trace);
    ASSERT_TRUE(report.ok) << report.error;
    const std::string printed = "kq5test: trace " + EscapedPath(command.trace) + " (" +
                                report.layout + ")\n\n" + TimelineText(report.timeline) + "\n" +
                                FormatFindings(report.findings);
    int code = 0;
    command.svg = dir / "picture.svg";
    command.html = dir / "no-such-folder" / "report.html";
    EXPECT_EQ(run(command, code), printed + "kq5test: cannot write the report to " +
                                      EscapedPath(command.html) +
                                      ": No such file or directory (errno 2)\nthe caller's line\n");
    EXPECT_EQ(code, 1);
    // The picture and the report go together: no picture left as if all had been written.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir),
                            std::filesystem::directory_iterator()),
              1)
        << "a picture or a temporary file left behind";
    command.html.clear();
    EXPECT_EQ(run(command, code),
              printed + "\nPicture: " + EscapedPath(command.svg) + "\nthe caller's line\n");
    EXPECT_EQ(code, 0);
    command.trace = std::filesystem::path(KQ5_TRACE_SAMPLES) / "no-such-trace.log";
    EXPECT_EQ(run(command, code), "kq5test: " + EscapedPath(command.trace) +
                                      ": cannot be opened: No such file or directory (errno "
                                      "2)\nthe caller's line\n");
    EXPECT_EQ(code, 2);
    command.trace = "/proc/self/mem";  // opens, and every read of its start fails
    EXPECT_EQ(run(command, code), "kq5test: /proc/self/mem: cannot be read\nthe caller's line\n");
    EXPECT_EQ(code, 2);
    std::filesystem::remove_all(dir);
}

// Any bytes, in any of the encodings, get an answer: a report, or an error that names what is
// wrong, in printable text.
TEST(Trace, AnyBytesGetAnAnswer) {
    std::mt19937 random(23);
    const std::string starts[] = {"", "\xEF\xBB\xBF", "\xFF\xFE", kHeader,
                                  "1\t0.5\t[7] KQ5 STATUS:32\r\n"};
    const std::string pieces[] = {
        "\t", "[", "] ", "\r\n",        "\n",          "\xD8", "\xE8\x8E",
        ".",  ":", "7",  "KQ5 STATUS:", " MainError:", "# ",   "2026-12-07 09:00:00.000 +01:00"};
    for (int round = 0; round < 400; ++round) {
        std::string text = starts[random() % 5];
        const size_t count = random() % 80;
        for (size_t i = 0; i < count; ++i) {
            text += random() % 3 == 0 ? std::string(1, static_cast<char>(random() % 256))
                                      : pieces[random() % 14];
        }
        const Read read(text);
        if (!read.report.ok) {
            EXPECT_FALSE(read.report.error.empty()) << "round " << round;
            for (const char ch : read.report.error) {
                ASSERT_TRUE(ch >= 0x20 && ch < 0x7f) << "round " << round;
            }
        } else {
            EXPECT_EQ(read.findings.rfind("Findings:\n", 0), 0u);
        }
    }
}

// A week of statuses that never repeat makes a report that is cut, not one of tens of megabytes.
// Last in the file: the slowest of the reader's tests.
TEST(Trace, ReportOfAWeekIsCut) {
    std::string week = std::string(kHeader);
    for (int i = 0; i < 45000; ++i) {  // a status without repeats of eight lines or fewer
        char stamp[40];
        std::snprintf(stamp, sizeof stamp, "%02d:%02d:%02d.%03d +00:00", i * 800 / 3600000,
                      i * 800 / 60000 % 60, i * 800 / 1000 % 60, i * 800 % 1000);
        week += Kq5(stamp, "KQ5 STATUS:" + std::to_string(i * 7919 % 97) + "\\r\\n");
    }
    const Read big(week);
    const std::string cut = FormatHtml(big.report, "big");
    EXPECT_LT(cut.size(), size_t{5} * 1024 * 1024);
    EXPECT_NE(cut.find("The timeline is cut after its first "), std::string::npos);
}

}  // namespace
