// The trace reader's reading as such: lines too long for the corpus, the folding against a
// reference, kq5trace --record's folders, the --read command and any bytes. What a log says is
// in the corpus (trace_corpus_test.cpp).
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>

#include <fcntl.h>
#include <unistd.h>

#include "drain.h"
#include "child_process.h"
#include "picture/timeline.h"
#include "record_folder.h"
#include "trace_lines.h"
#include "tracereader/layout.h"
#include "tracereader/read.h"
#include "tracereader/read_command.h"
#include "tracereader/report.h"

namespace {

// Lines longer than 64 KiB, too big for the corpus: each counted as read and skipped; up to five
// before the first log line (with titles) are skipped, a sixth makes the file no trace.
TEST(Trace, LinesTooLongAreCountedAndSkipped) {
    const std::string status = Kq5("09:00:00.000 +00:00", "KQ5 STATUS:32\\r\\n");
    const std::string tooLong = std::string(kLongestLine + 10, 'x') + "\r\n";
    const std::string log = "1\t0.5\t[42] KQ5 STATUS:32\r\n2\t1.3\t[42] KQ5 STATUS:32\r\n";
    const struct {
        std::string trace;
        std::string said;  // in the findings, or in the error
    } cases[] = {
        {std::string(kHeader) + status + tooLong + status,
         "4 lines read, 2 of the service (process 42), over 0.0 s, from 2026-12-07 09:00:00.000 to "
         "09:00:00.000\n  1 line skipped: longer than 64 KiB (line 3)"},
        {std::string(kHeader) + Kq5("09:00:00.000 +00:00", std::string(10 << 20, 'x')) + status,
         "1 line skipped: longer than 64 KiB (line 2)"},
        {Times(tooLong, 5) + log, "5 lines skipped: longer than 64 KiB (lines 1, 2, 3, 4, 5)"},
        {"A\r\nB\r\nC\r\n" + Times(tooLong, 2) + log,
         "2 lines skipped: longer than 64 KiB (lines 4, 5)"},
        {"# kq5trace 1.0.0: " + tooLong + log, "1 line skipped: longer than 64 KiB (line 1)"},
        {std::string(kHeader) + Times(tooLong, 7) + status + status,
         "7 lines skipped: longer than 64 KiB (lines 2, 3, 4, 5, 6, ...)"},
        {"# kq5trace 1.0.0: " + tooLong.substr(0, kLongestLine), "line 1 is neither"},
        {Times(tooLong, 6) + log, "(nor is any of the 5 lines after it)"},
        {"A\r\nB\r\nC\r\n" + Times(tooLong, 3) + log, "\"A\" (nor is any of the 5 lines after it)"},
    };
    for (const auto& c : cases) {
        const Read read(c.trace);
        const std::string said = read.report.ok ? read.findings : read.report.error;
        EXPECT_NE(said.find(c.said), std::string::npos) << c.said << " not in:\n" << said;
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
                         html.find("<li>1 line before the first log line")};
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
              "no kq5trace-YYYY-MM-DD.txt file in the folder holds a trace (1 other file)");
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
    const std::vector<std::string> lines = FindingsFrom(findings, "  1 line read");
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

}  // namespace
