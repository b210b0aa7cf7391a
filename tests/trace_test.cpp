// Traces read back: both layouts, the findings a reader relies on, and every kind of bad input
// answered with a named error or a counted skip.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "scenario.h"
#include "trace.h"

namespace {

TraceReport Read(const std::string& text, bool svg = false) {
    std::istringstream in(text);
    return ReadTrace(in, "test", svg);
}

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
        const TraceReport report = Read(c.trace);
        ASSERT_EQ(report.ok, c.ok) << report.error;
        const std::string& said = c.ok ? report.findings : report.error;
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

// The line-by-line folding gives exactly what the whole-timeline folding gives.
TEST(Trace, StreamingFoldEqualsTheSimulatorsFold) {
    std::mt19937 random(19);
    for (int round = 0; round < 300; ++round) {
        ScenarioResult result;
        std::vector<std::string> alphabet = {"a", "b", "c"};
        const size_t size = random() % 60;
        for (size_t i = 0; i < size; ++i) {
            // Runs of repeated groups, so folding has something to find.
            result.timeline.push_back(
                sim::TimelineEvent{i * 800, "debug", alphabet[random() % (round % 3 + 1)]});
        }
        std::string whole = FormatTimeline(result);
        whole = whole.substr(0, whole.find("\nFinal state:"));
        std::string streamed;
        TimelineFolder folder([&](const std::string& piece) { streamed += piece; });
        for (const sim::TimelineEvent& e : result.timeline) {
            folder.Add(e);
        }
        folder.Finish();
        ASSERT_EQ(streamed, whole) << "round " << round;
    }
}

TEST(Trace, PictureHasTheLanesAndCommandedQueue) {
    const std::string svg =
        Read(std::string(kHeader) + Kq5("09:00:00.000 +00:00", "KQ5 STATUS:4\\r\\n"), true).svg;
    for (const char* part : {"lane-printer", "lane-queue", "lane-spooler", "lane-service",
                             "as commanded", "PRINTER_STATUS_DOOR_OPEN (commanded)"}) {
        EXPECT_NE(svg.find(part), std::string::npos) << part;
    }
}

}  // namespace
