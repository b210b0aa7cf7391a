// What a trace covers, as a reader of its report sees it: the stretches without a line of the
// service drawn unknown (only a silence longer than two cycles, at the start, between lines and
// at the end), and each process of the service with its own end and last error code.
#include <gtest/gtest.h>

#include <cstdio>
#include <set>
#include <sstream>

#include "picture/picture.h"
#include "tracereader/read.h"
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

constexpr const char* kCaptureHeader = "# kq5trace 1.0.0: debugger lines of the service kq5\n";

// 2026-12-07 09:00 plus MS, as kq5trace stamps a line.
std::string Stamp(uint64_t ms) {
    char stamp[48];
    std::snprintf(stamp, sizeof stamp, "2026-12-07 09:%02u:%02u.%03u +01:00",
                  static_cast<unsigned>(ms / 60000), static_cast<unsigned>(ms / 1000 % 60),
                  static_cast<unsigned>(ms % 1000));
    return stamp;
}

// A line of process PID at MS.
std::string Line(uint64_t ms, unsigned long pid, const std::string& text) {
    return Stamp(ms) + "\t[" + std::to_string(pid) + "] " + text + "\n";
}

std::string Status(uint64_t ms, unsigned long pid = 428) {
    return Line(ms, pid, "KQ5 STATUS:32\\r\\n");
}

// The capture's own timed note at MS: a trace starts or ends without a line of the service.
std::string CaptureNote(uint64_t ms) {
    return "# " + Stamp(ms) + " service kq5 runs as process 428\n";
}

TraceReport ReadText(const std::string& text) {
    std::istringstream in(text);
    return ReadTrace(in, "test");
}

// Where each stretch the picture draws unknown for want of a line of the service starts.
std::set<std::string> UnknownFrom(const TraceReport& report) {
    const std::string svg = FormatSvg(report.picture, "test");
    const std::string title = "<title>unknown: no line of the service came in this stretch\n";
    std::set<std::string> out;
    for (size_t at = 0; (at = svg.find(title, at)) != std::string::npos; ++at) {
        const size_t from = at + title.size();
        out.insert(svg.substr(from, svg.find(" to ", from) - from));
    }
    return out;
}

// The findings that tell the service's processes: its restarts and how the trace ends.
std::vector<std::string> ProcessLines(const TraceReport& report) {
    std::vector<std::string> out;
    for (const TraceFinding& f : report.findings) {
        const std::string line = PrintedLines(f).front();
        if (line.rfind("  the service ", 0) == 0 || line.rfind("  the trace ends ", 0) == 0) {
            out.push_back(line);
        }
    }
    return out;
}

}  // namespace

// "Unknown" where no line of the service came for more than two cycles (1.6 s): a silence of
// exactly two cycles is the service's pace with one cycle's line lost, and stays known; a
// millisecond more is unknown, before the first line, between two lines and after the last.
TEST(Trace, UnknownWhereTheServiceWasSilentLongerThanTwoCycles) {
    const std::string from0 = "2026-12-07 09:00:00.000", from800 = "2026-12-07 09:00:00.800";
    const struct {
        const char* name;
        std::string trace;
        std::set<std::string> unknownFrom;
    } cases[] = {
        {"the first line two cycles after the capture's start",
         CaptureNote(0) + Status(1600) + Status(2400),
         {}},
        {"the first line later", CaptureNote(0) + Status(1601) + Status(2401), {from0}},
        {"two lines two cycles apart", Status(0) + Status(800) + Status(2400) + Status(3200), {}},
        {"two lines further apart",
         Status(0) + Status(800) + Status(2401) + Status(3201),
         {from800}},
        {"the trace's end within two cycles", Status(0) + Status(800) + CaptureNote(1300), {}},
        {"the trace's end two cycles after the last line",
         Status(0) + Status(800) + CaptureNote(2400),
         {}},
        {"the trace's end later", Status(0) + Status(800) + CaptureNote(2401), {from800}},
        {"no line of the service: all of it", CaptureNote(0) + CaptureNote(5000), {from0}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TraceReport report = ReadText(kCaptureHeader + c.trace);
        ASSERT_TRUE(report.ok) << report.error;
        EXPECT_EQ(UnknownFrom(report), c.unknownFrom);
    }
}

// Each process with its own end: the last error code of the process that wrote the
// " MainError:N" line, also when the next process's first line came before it (a service started
// again while its old process still wrote its last lines), which is no time away.
TEST(Trace, EachProcessEndsWithItsOwnLastError) {
    std::string restart = kCaptureHeader, overlap = kCaptureHeader;
    for (uint64_t ms = 0; ms <= 4800; ms += 800) {
        restart += Status(ms);
        overlap += Status(ms);
    }
    restart += Line(5200, 428, " MainError:1067\\n");
    overlap += Status(5200, 612) + Line(5600, 428, " MainError:1067\\n");
    for (uint64_t ms = 8000; ms <= 10000; ms += 800) {
        restart += Status(ms, 612);
        overlap += Status(ms - 2000, 612);
    }
    const std::string ended1067 =
        " with \" MainError:1067\" (its last error code when it ended, see "
        "the Win32 error list; not by itself a fault); process 612 wrote "
        "its first line at ";
    const struct {
        const char* name;
        std::string trace;
        std::vector<std::string> said;
    } cases[] = {
        {"a restart, the new process ending with no error",
         restart + Line(10400, 612, " MainError:0\\n"),
         {"  the service restarted: process 428 ended at 2026-12-07 09:00:05.200" + ended1067 +
              "09:00:08.000, the service away 2.8 s",
          "  the service ended: \" MainError:0\\n\" at 2026-12-07 09:00:10.400 (its last error "
          "code "
          "when it ended: none; not by itself a fault), and no later process follows"}},
        {"a restart, the new process ending with an error",
         restart + Line(10400, 612, " MainError:5\\n"),
         {"  the service restarted: process 428 ended at 2026-12-07 09:00:05.200" + ended1067 +
              "09:00:08.000, the service away 2.8 s",
          "  the service ended: \" MainError:5\\n\" at 2026-12-07 09:00:10.400 (its last error "
          "code "
          "when it ended, see the Win32 error list; not by itself a fault), and no later process "
          "follows"}},
        {"the old process's end after the new one's first line",
         overlap,
         {"  the service restarted: process 428 ended at 2026-12-07 09:00:05.600" + ended1067 +
              "09:00:05.200, the service away 0.0 s",
          "  the trace ends without \" MainError:\": the process was killed or is still running"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const TraceReport report = ReadText(c.trace);
        ASSERT_TRUE(report.ok) << report.error;
        EXPECT_EQ(ProcessLines(report), c.said) << FormatFindings(report.findings);
    }
}
