// Traces read back: both layouts, the findings a reader relies on, and every kind of bad input
// answered with a named error or a counted skip.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include <unistd.h>

#include "tracereader/layout.h"
#include "tracereader/read.h"
#include "tracereader/report.h"

namespace {

struct Read {
    TraceReport report;
    std::string findings;  // as printed
    explicit Read(const std::string& text) {
        std::istringstream in(text);
        report = ReadTrace(in, "test");
        findings = report.ok ? FormatFindings(report.findings) : "";
    }
};

std::string Kq5(const std::string& stamp, const std::string& text) {
    return "2026-12-07 " + stamp + "\t[42] " + text + "\n";
}

constexpr const char* kHeader = "# kq5trace 1.0.0: debugger lines of the service kq5\n";

struct Case {
    const char* name;
    std::string trace;
    bool ok;
    std::vector<std::string> expected;  // in the error, or in the findings
    std::vector<std::string> absent;    // never in the findings
};

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
         {"2 lines of other processes skipped", "2 status lines", "status -128 (paper out"},
         {}},
        {"DebugView clock with AM/PM, past midnight",
         "1\t11:59:59.500 PM\t[42] KQ5 STATUS:32\r\n2\t12:00:00.300 AM\t[42] KQ5 STATUS:32\r\n",
         true,
         {"2 status lines", "over 0.8 s", "no gap longer than two cycles"},
         {"clock goes back"}},
        {"a clock set back (daylight saving) in DebugView's clock time",
         "1\t03:00:00.000\t[42] KQ5 STATUS:32\r\n2\t02:00:00.800\t[42] KQ5 STATUS:32\r\n"
         "3\t02:00:01.600\t[42] KQ5 STATUS:32\r\n",
         true,
         {"line 2: the clock goes back by 59 min 59 s", "no gap longer than two cycles"},
         {}},
        {"a gap and open failures",
         std::string(kHeader) + Kq5("09:00:00.000 +00:00", status) +
             Kq5("09:00:10.000 +00:00", " Open Printer Error :GetLastError() returns: 0x709\\n") +
             Kq5("09:00:10.000 +00:00", status) +
             Kq5("09:00:10.000 +00:00", "GetLastError:234\\r\\n"),
         true,
         {"no status line for 10.0 s, from 0.000 s to 10.000 s", "1 times with 0x709", "no queue",
          "GetLastError:234: a port description longer than the service can read",
          "without \" MainError:\""},
         {}},
        {"no printer",
         std::string(kHeader) + Kq5("09:00:00.000 +00:00", "GetPrinterHandle"),
         true,
         {"the printer was never found"},
         {}},
        {"lines cut in the middle",
         std::string(kHeader) + Kq5("09:00:00.000 +00:00", status) + "2026-12-07 09:00:0\n" +
             Kq5("09:00:00.800 +00:00", "KQ5 STATUS:3") + Kq5("09:00:01.600 +00:00", status) +
             "2026-12-07 09:0",
         true,
         {"1 lines skipped: not a kq5trace line (cut or damaged) (line 3)",
          "1 lines skipped: a status line cut or malformed (line 4)",
          "the last line has no line end"},
         {}},
        {"a 10 MB line",
         std::string(kHeader) + Kq5("09:00:00.000 +00:00", std::string(10 << 20, 'x')) +
             Kq5("09:00:00.800 +00:00", status),
         true,
         {"1 lines skipped: longer than 64 KiB (line 2)", "1 status lines"},
         {}},
        {"an empty file", "", false, {"the trace is empty"}, {}},
        {"another format",
         "queue USB001\nprinter A1 USB001 0x20\n",
         false,
         {"line 1 is neither kq5trace's header nor a DebugView log line"},
         {}},
        {"binary bytes",
         std::string("\x7f\x45\x4c\x46\x02\x01\x00\x1b[2J\n", 12),
         false,
         {"line 1 is neither", "\\x7fELF\\x02\\x01\\x00\\x1b[2J"},
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Read read(c.trace);
        const TraceReport& report = read.report;
        ASSERT_EQ(report.ok, c.ok) << report.error;
        const std::string& said = c.ok ? read.findings : report.error;
        for (const std::string& e : c.expected) {
            EXPECT_NE(said.find(e), std::string::npos) << "no '" << e << "' in:\n" << said;
        }
        for (const std::string& a : c.absent) {
            EXPECT_EQ(said.find(a), std::string::npos) << "'" << a << "' in:\n" << said;
        }
        for (const char ch : report.error) {
            EXPECT_TRUE(ch >= 0x20 && ch < 0x7f) << "an unescaped byte in the error";
        }
    }
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
            out += FormatTimelineLine(events[i + k]);
        }
        const std::string last = TimelineSeconds(events[i + best * length].timeMs);
        if (best > 0 && length == 1) {
            out += "           ... " + std::to_string(best) + " more, the last at " + last + "\n";
        } else if (best > 0) {
            out += "           ... these " + std::to_string(length) + " lines " +
                   std::to_string(best) + (best == 1 ? " more time" : " more times") +
                   ", the last at " + last + "\n";
        }
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
         {"2 lines before the first log line skipped (a computer name, a title): line 1 "
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
        const std::string findings = FormatFindings(report.findings);
        for (const std::string& e : sample.expected) {
            EXPECT_NE(findings.find(e), std::string::npos) << "no '" << e << "' in:\n" << findings;
        }
        for (const std::string& a : sample.absent) {
            EXPECT_EQ(findings.find(a), std::string::npos) << "'" << a << "' in:\n" << findings;
        }
    }
    // The message as UTF-8 characters reads as the service's own bytes in the timeline.
    const Read utf8(std::string("\xEF\xBB\xBF") +
                    "1\t0.0\t[9] \xE8\x8E\xB7\xE5\xBE\x97PRINTER_INFO_2\r\n");
    EXPECT_NE(utf8.report.timeline.find("\"\\xbb\\xf1\\xb5\\xc3PRINTER_INFO_2\""),
              std::string::npos)
        << utf8.report.timeline;
    // More than five lines before the first log line: not a trace, naming the first line.
    const Read six("a\nb\nc\nd\ne\nf\n1\t0.0\t[9] KQ5 STATUS:32\n");
    EXPECT_FALSE(six.report.ok);
    EXPECT_NE(six.report.error.find("line 1 is neither"), std::string::npos) << six.report.error;
    EXPECT_TRUE(Read("a\nb\nc\nd\ne\n1\t0.0\t[9] KQ5 STATUS:32\n").report.ok);
    // Broken UTF-16 (a lone surrogate, an odd last byte) keeps reading.
    const std::string broken(
        "\xFF\xFE"
        "1\0\t\0"
        "0\0.\0"
        "0\0\t\0"
        "[\0"
        "9\0]\0 \0\x00\xD8"
        "K\0\n\0x",
        25);
    EXPECT_TRUE(Read(broken).report.ok);
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
    for (const char* expected :
         {"files read, in order: kq5trace-2026-12-07.txt, kq5trace-2026-12-07.2.txt, "
          "kq5trace-2026-12-08.txt, kq5trace-2026-12-08.3.txt\n",
          "5 files skipped: kq5trace-2026-12-06.01.txt (not named",
          "kq5trace-2026-12-06.txt (its "
          "first lines are not a kq5trace capture)",
          "kq5trace-2026-12-07.10.txt (its first lines", "kq5trace-2026-12-09.txt (not a file)",
          "notes.txt (not named kq5trace-YYYY-MM-DD.txt or kq5trace-YYYY-MM-DD.N.txt)",
          "the last line of kq5trace-2026-12-08.txt has no line end: it was cut (skipped)",
          "4 status lines, one every 0.800 s", "at 0.800 s: status 4", "at 1.600 s: status 32"}) {
        EXPECT_NE(findings.find(expected), std::string::npos) << "no '" << expected << "' in:\n"
                                                              << findings;
    }
    EXPECT_EQ(findings.find("lines skipped"), std::string::npos) << findings;  // notes are notes
    EXPECT_NE(report.timeline.find("another debug-output viewer holds the channel; waiting"),
              std::string::npos);
    EXPECT_EQ(report.layout, "kq5trace record folder, 4 files");
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
    const size_t spooler = html.find(
        "<li id=\"first-finding\" class=\"serious\">the queue could "
        "not be opened 1 times with 0x6ba");
    const size_t ended = html.find("<li class=\"serious\">the service ended");
    const size_t gaps = html.find("<li class=\"serious\">gaps longer than two cycles");
    const size_t summary = html.find("<li>7 lines read");
    const size_t registry = html.find("<li>1 registry reads failed");
    ASSERT_NE(spooler, std::string::npos) << html;
    EXPECT_LT(spooler, ended);
    EXPECT_LT(ended, gaps);
    EXPECT_LT(gaps, summary);
    EXPECT_LT(summary, registry);  // the rest in time order
    EXPECT_NE(gaps, std::string::npos);
    EXPECT_EQ(html.find("<script>alert"), std::string::npos);
    EXPECT_EQ(html.find("<b>test"), std::string::npos);
    EXPECT_NE(html.find("&lt;script&gt;alert(1)&lt;/script&gt; &amp; &quot;x&quot;"),
              std::string::npos);
    EXPECT_EQ(html.find("://"), std::string::npos) << "an address in the report";
    EXPECT_EQ(html.find("<script>"), html.rfind("<script>")) << "one script, the page's own";

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

// The command both programs run: the findings are printed whatever happens to the picture and
// the report, and a path that cannot be written is named with exit code 1.
TEST(Trace, ReadCommandNamesWhatItCannotWrite) {
    const std::filesystem::path dir =
        std::filesystem::temp_directory_path() / ("kq5-read-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    ReadCommand command;
    command.trace = std::filesystem::path(KQ5_TRACE_SAMPLES) / "debugview-kernel.log";
    command.html = dir / "no-such-folder" / "report.html";
    command.svg = dir / "picture.svg";
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int code = RunTraceRead("kq5test", command, out, err);
    const auto text = [](std::FILE* f) {
        std::rewind(f);
        std::string all;
        for (int c; (c = std::fgetc(f)) != EOF;) {
            all += static_cast<char>(c);
        }
        std::fclose(f);
        return all;
    };
    const std::string printed = text(out), said = text(err);
    EXPECT_EQ(code, 1);
    EXPECT_NE(printed.find("Findings:\n"), std::string::npos);
    // The picture and the report go together: no picture left as if all had been written.
    EXPECT_EQ(printed.find("\nPicture: "), std::string::npos);
    EXPECT_NE(said.find("kq5test: cannot write the report to " + EscapedPath(command.html) +
                        ": No such file or directory (errno 2)"),
              std::string::npos)
        << said;
    EXPECT_FALSE(std::filesystem::exists(command.svg));
    EXPECT_TRUE(std::filesystem::is_empty(dir)) << "a temporary file left behind";
    std::filesystem::remove_all(dir);

    command.trace = std::filesystem::path(KQ5_TRACE_SAMPLES) / "no-such-trace.log";
    std::FILE* none = std::tmpfile();
    std::FILE* why = std::tmpfile();
    EXPECT_EQ(RunTraceRead("kq5test", command, none, why), 2);
    EXPECT_NE(text(why).find("no-such-trace.log: cannot be opened"), std::string::npos);
    EXPECT_EQ(text(none), "");
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

}  // namespace
