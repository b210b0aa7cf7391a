// kq5trace --record on the host: its file names, retention and parts as pure functions, the day
// files written into a folder of the test's own with dates the test sets, and the choice of the
// service's lines with a clock the test sets.
#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "child_process.h"
#include "common/escape.h"
#include "record_folder.h"
#include "tracelog/retention.h"
#include "trace/recorder.h"
#include "trace_clock.h"
#include "tracereader/layout.h"

namespace {

namespace fs = std::filesystem;

// What a file name reads as: its date and part; none when it is not the recorder's.
std::optional<std::pair<LocalDate, int>> NameRead(const std::string& name) {
    LocalDate date;
    int part = 0;
    if (!ParseDayFileName(name, date, part)) {
        return std::nullopt;
    }
    return std::pair(date, part);
}

// Names and what they read as (tests/golden/record/names.txt, a case a line: the name, then its
// date and part or "-" for a name that is not the recorder's); every day of a leap year and the
// next, and the last day of every month, named and read back.
TEST(RecordPolicy, FileNamesForADayAndItsParts) {
    std::ifstream in(std::string(KQ5_GOLDEN_DIR) + "/record/names.txt");
    int cases = 0;
    for (std::string line; std::getline(in, line);) {
        const size_t space = line.find(' ');
        if (line.empty() || line[0] == '#' || space == std::string::npos) {
            continue;
        }
        ++cases;
        const std::string name = line.substr(0, space), read = line.substr(space + 1);
        const auto date = NameRead(name == "\"\"" ? "" : name);
        EXPECT_EQ(date
                      ? std::to_string(date->first.year) + " " + std::to_string(date->first.month) +
                            " " + std::to_string(date->first.day) + " part " +
                            std::to_string(date->second)
                      : "-",
                  read)
            << name;
        if (date) {
            EXPECT_EQ(DayFileName(date->first, date->second), name);
        }
    }
    EXPECT_GT(cases, 30);
    for (long long n = DayNumber(LocalDate{2028, 1, 1}); n < DayNumber(LocalDate{2030, 1, 1});
         ++n) {
        const LocalDate date = DateOfDayNumber(n);
        EXPECT_EQ(DayNumber(date), n);
        EXPECT_EQ(NameRead(DayFileName(date, 3)), std::pair(date, 3)) << DayFileName(date, 3);
        const LocalDate next = DateOfDayNumber(n + 1);
        if (next.month != date.month) {  // the day after the last of the month is none
            EXPECT_FALSE(NameRead(DayFileName(LocalDate{date.year, date.month, date.day + 1}, 1)));
        }
    }
    EXPECT_EQ(DayNumber(LocalDate{1970, 1, 1}), 0);
}

// The names of COUNT days up to LAST, oldest first.
std::vector<std::string> DayNames(LocalDate last, int count) {
    std::vector<std::string> names;
    for (int i = count - 1; i >= 0; --i) {
        names.push_back(DayFileName(Plus(last, -i), 1));
    }
    return names;
}

// A folder of COUNT days up to LAST, of BYTES each.
std::vector<FolderFile> Days(LocalDate last, int count, std::uint64_t bytes) {
    std::vector<FolderFile> listing;
    for (const std::string& name : DayNames(last, count)) {
        listing.push_back(FolderFile{name, bytes});
    }
    return listing;
}

TEST(RecordPolicy, RetentionByDaysThenBySizeOldestFirst) {
    const std::string today = DayFileName(kDay, 1);
    // 20 days; the last 14 (today included) are kept.
    EXPECT_EQ(FilesToDelete(Days(kDay, 20, 100), kDay, RecordLimits{14, 1ull << 30}, today),
              DayNames(Plus(kDay, -14), 6));

    // By size: 3 days of 40 bytes and room for a whole part (12 bytes) of today's new file.
    RecordLimits limits{14, 100};
    ASSERT_EQ(PartBytes(limits), 12u);
    EXPECT_EQ(FilesToDelete(Days(Plus(kDay, -1), 3, 40), kDay, limits, today),
              DayNames(Plus(kDay, -3), 1));  // 80 + 12 fit
    // 88 + 12: exactly the cap, nothing to delete
    EXPECT_EQ(FilesToDelete(Days(Plus(kDay, -1), 2, 44), kDay, limits, today),
              std::vector<std::string>{});

    // A day too big on its own: its oldest parts go first, the file being written never.
    limits = RecordLimits{14, 700};  // parts of 87 bytes
    std::vector<FolderFile> listing;
    for (int part : {3, 1, 7, 2, 5, 4, 6}) {  // in no order, as a folder lists them
        listing.push_back(FolderFile{DayFileName(kDay, part), 100});
    }
    EXPECT_EQ(FilesToDelete(listing, kDay, limits, DayFileName(kDay, 7)),
              std::vector<std::string>{});  // 6 parts and the seventh's 87: 687 bytes
    EXPECT_EQ(FilesToDelete(listing, kDay, limits, DayFileName(kDay, 8)),
              std::vector<std::string>{DayFileName(kDay, 1)});
    limits = RecordLimits{14, 500};  // parts of 62 bytes
    EXPECT_EQ(FilesToDelete(listing, kDay, limits, DayFileName(kDay, 8)),
              (std::vector<std::string>{DayFileName(kDay, 1), DayFileName(kDay, 2),
                                        DayFileName(kDay, 3)}));

    // Foreign files are never deleted nor counted.
    listing = Days(kDay, 5, 10);
    for (const char* name : {"notes.txt", "kq5trace-2026-11-01.txt.bak", "KQ5TRACE-2026-11-01.txt",
                             "kq5trace-2026-11-01.1.txt", "kq5trace-2026-11-01.log"}) {
        listing.push_back(FolderFile{name, 1ull << 40});  // a terabyte each
    }
    EXPECT_EQ(FilesToDelete(listing, kDay, RecordLimits{2, 1000}, today),
              DayNames(Plus(kDay, -2), 3));
}

TEST(RecordPolicy, WhichPartWhenTheNextOneAndItsSize) {
    const std::vector<FolderFile> listing = {{DayFileName(kDay, 1), 100},
                                             {DayFileName(kDay, 2), 40},
                                             {DayFileName(Plus(kDay, -1), 5), 10}};
    EXPECT_EQ(PartToContinue(listing, kDay, 100), 2);  // part 2 has room
    EXPECT_EQ(PartToContinue(listing, kDay, 40), 3);   // part 2 is full
    EXPECT_EQ(PartToContinue(listing, Plus(kDay, 1), 100), 1);
    EXPECT_EQ(PartToContinue({{DayFileName(kDay, 1), 100}}, kDay, 100), 2);  // only part 1, full
    EXPECT_FALSE(StartsNewPart(90, 10, 100));
    EXPECT_TRUE(StartsNewPart(91, 10, 100));
    EXPECT_EQ(PartBytes(RecordLimits{14, MibToBytes(256)}), 32u << 20);
}

// ---- The day files in a folder ------------------------------------------------------------------

class RecorderTest : public RecordFolderTest {
protected:
    // A recorder in FOLDER/SUB whose next day's file (2026-12-08) lands on a device that is
    // always full.
    Recorder OnAFullNextDay(const std::string& sub, const std::string& header = kLinesHeader) {
        Recorder recorder;
        EXPECT_TRUE(OpenRecorder(recorder, folder / sub, RecordLimits{}, header));
        fs::create_symlink("/dev/full", folder / sub / "kq5trace-2026-12-08.txt");
        return recorder;
    }
    // What such a recorder must say once it has written to that day's file.
    void ExpectNoSpace(const Recorder& recorder, const std::string& sub) const {
        EXPECT_TRUE(recorder.failed);
        EXPECT_EQ(recorder.failure, "cannot write " +
                                        (folder / sub / "kq5trace-2026-12-08.txt").string() +
                                        ": No space left on device");
    }
};

Entry ServiceNote(LocalDate date, const std::string& time, const std::string& pid) {
    return Entry{Entry::Kind::ServiceNote, date, StampText(date, time), 0,
                 "service kq5 runs as process " + pid};
}

TEST_F(RecorderTest, DaysAndPartsStayWithinTheLimitsOldestFirst) {
    fs::create_directories(folder);
    for (const char* name :
         {"notes.txt", "kq5trace-2026-11-01.txt.bak", "r\xc3\xa9sum\xc3\xa9.txt"}) {
        std::ofstream(folder / name) << "not the recorder's";
    }
    const RecordLimits limits{3, 8000};  // parts of 1000 bytes
    Recorder recorder;
    ASSERT_TRUE(OpenRecorder(recorder, folder, limits, kLinesHeader));
    std::vector<std::string> told;
    recorder.told = [&](const std::string& note) { told.push_back(note); };
    const std::string text(40, 's');  // lines of 76 bytes, a header of 62
    for (int day = 0; day < 6; ++day) {
        // Days of 10 lines (one part), the fifth of 300 (29 parts of at most 12 lines: a part
        // begins with the notes of the files deleted to make room for it).
        for (int i = 0; i < (day == 4 ? 300 : 10); ++i) {
            ASSERT_TRUE(RecordEntry(recorder, Line(Plus(kDay, day), "10:00:00.000", text)));
            ASSERT_TRUE(FlushRecorder(recorder));
            std::uint64_t bytes = 0;  // of the recorder's files
            for (const auto& entry : fs::directory_iterator(folder)) {
                bytes += NameRead(entry.path().filename().string()) ? entry.file_size() : 0;
            }
            ASSERT_LE(bytes, limits.maxBytes);
        }
    }
    ASSERT_TRUE(CloseRecorder(recorder));
    // Deleted oldest first: the first days by age, then by size the days before the big one
    // and the big day's oldest parts. Left: the foreign files, the big day's last 7 parts (8 of
    // them and a part's room for the day after do not fit 8000 bytes) and the day after.
    std::vector<std::string> deleted = DayNames(Plus(kDay, 3), 4);
    std::vector<std::string> left = {"kq5trace-2026-11-01.txt.bak", "kq5trace-2026-12-12.txt",
                                     "notes.txt", "r\xc3\xa9sum\xc3\xa9.txt"};
    for (int part = 1; part <= 29; ++part) {
        (part < 23 ? deleted : left).push_back(DayFileName(Plus(kDay, 4), part));
    }
    std::sort(left.begin(), left.end());
    EXPECT_EQ(recorder.deleted, deleted);
    EXPECT_EQ(Listing(), left);
    EXPECT_EQ(Read("kq5trace-2026-12-11.29.txt").rfind("# kq5trace 1.0.0: lines, from ", 0), 0u);
    // Each deletion said, with its reason, and noted in the file opened after it.
    ASSERT_EQ(told.size(), deleted.size());
    EXPECT_EQ(told[1], "deleted " + deleted[1] + ": older than --keep-days 3");
    EXPECT_EQ(told[2],
              "deleted " + deleted[2] + ": the recorder's files would pass --max-mib (8000 bytes)");
    EXPECT_NE(Read("kq5trace-2026-12-12.txt").find(" " + told.back() + "\n"), std::string::npos);
}

// A line as the trace reader reads it: its kind, time, process and text.
std::string Shown(LineKind kind, long long utcMs, unsigned long pid, const std::string& text) {
    return std::to_string(static_cast<int>(kind)) + " " + std::to_string(utcMs) + " [" +
           std::to_string(pid) + "] " + text;
}

// Random days of the service's lines and notes, recorded with restarts of the recorder (and
// after an earlier recording's file of the first day, cut in a line), read back by the trace
// reader: each file a trace of its own (the header, then the service's process when the recording
// knows it, stamped as the file's first entry), every entry once and in order in its day's file,
// a day in parts of at most a part's size.
TEST_F(RecorderTest, RecordedDaysReadBackAsRecorded) {
    std::mt19937 engine(7);
    const auto below = [&](long long n) {
        return std::uniform_int_distribution<long long>(0, n - 1)(engine);
    };
    for (int run = 0; run < 20; ++run) {
        SCOPED_TRACE(run);
        const fs::path sub = folder / std::to_string(run);
        const RecordLimits limits{400, 24000};  // parts of 3000 bytes, no file deleted
        std::vector<Entry> entries;
        std::vector<long long> utc;       // each entry's time
        std::vector<bool> restartBefore;  // the recorder started again before the entry
        Recorder recorder;
        ASSERT_TRUE(OpenRecorder(recorder, sub, limits, kLinesHeader));
        for (long long i = 0, t = below(kDayMs); i < 60; ++i) {
            t += below(10) ? below(600000) : below(20 * 3600000LL);
            const LocalTime at = TimeAt(t, 60);
            const long long kind = below(10);  // a service note, a note, else a line
            Entry entry{
                kind == 0   ? Entry::Kind::ServiceNote
                : kind == 1 ? Entry::Kind::Note
                            : Entry::Kind::Line,
                at.date, StampText(at), static_cast<std::uint32_t>(kind > 1 ? 1 + below(9) : 0),
                kind == 0   ? "service kq5 runs as process " + std::to_string(below(9))
                : kind == 1 ? "a note"
                            : std::string(static_cast<size_t>(below(below(60) ? 40 : 1000)), ' ')};
            for (char& c : entry.text) {
                c = kind > 1 ? static_cast<char>(below(256)) : c;
            }
            if (i == 0 && run % 3 != 2) {  // an earlier file of the day, cut in a line
                fs::create_directories(sub);
                std::ofstream(sub / DayFileName(at.date, 1), std::ios::binary)
                    << (run % 3 ? "#"
                                : HeaderLine(kLinesHeader, entry.stamp) +
                                      EntryLine(entry.stamp, 7, "KQ5 STATUS").substr(0, 20));
            }
            restartBefore.push_back(below(20) == 0);
            if (restartBefore.back()) {
                ASSERT_TRUE(CloseRecorder(recorder));
                ASSERT_TRUE(OpenRecorder(recorder, sub, limits, kLinesHeader));
            }
            ASSERT_TRUE(RecordEntry(recorder, entry));
            entries.push_back(entry);
            utc.push_back(kDec7 + t - 3600000);
        }
        ASSERT_TRUE(CloseRecorder(recorder));
        EXPECT_TRUE(recorder.deleted.empty());
        size_t next = 0;
        std::string known;  // the service note the recording last wrote
        std::map<std::pair<LocalDate, int>, std::string> files;  // by day and part
        for (const auto& file : fs::directory_iterator(sub)) {
            const std::string name = file.path().filename().string();
            files[NameRead(name).value()] = name;
        }
        for (const auto& [day, name] : files) {
            SCOPED_TRACE(name);
            std::ifstream in(sub / name, std::ios::binary);
            LayoutReader reader;
            std::vector<std::string> lines;
            SplitLines(in, [&](const std::string& line, bool, bool) {
                const TraceLine read = reader.Read(line);
                lines.push_back(Shown(read.kind, read.writtenMs, read.pid, read.text));
                return true;
            });
            ASSERT_LT(next, entries.size());
            known = restartBefore[next] ? "" : known;
            std::vector<std::string> expected = {
                next == 0 && run % 3 == 1
                    ? Shown(LineKind::Before, 0, 0, "#")
                    : Shown(LineKind::Header, utc[next], 0,
                            std::string(kLinesHeader).substr(2) + ", from " + entries[next].stamp)};
            if (next == 0 && run % 3 == 0) {  // the cut line stays one line, damaged
                expected.push_back(
                    Shown(LineKind::Damaged, 0, 0, "not a kq5trace line (cut or damaged)"));
            }
            // A recording started in a file that holds lines already says so there.
            const auto started = [&](size_t i) {
                return Shown(LineKind::Note, utc[i], 0,
                             entries[i].stamp + " recording started: kq5trace 1.0.0: lines");
            };
            if (next == 0 && run % 3 != 2) {
                expected.push_back(started(0));
            }
            if (!known.empty() && entries[next].kind != Entry::Kind::ServiceNote) {
                expected.push_back(
                    Shown(LineKind::Note, utc[next], 0, entries[next].stamp + " " + known));
            }
            for (; next < entries.size() && expected.size() < lines.size(); ++next) {
                EXPECT_EQ(entries[next].date, day.first) << next;
                known = restartBefore[next] && expected.size() > 1 ? "" : known;
                if (restartBefore[next] && expected.size() > 1 && next > 0) {
                    expected.push_back(started(next));
                }
                const Entry& e = entries[next];
                expected.push_back(
                    e.kind == Entry::Kind::Line
                        ? Shown(LineKind::Entry, utc[next], e.pid, EscapeBytes(e.text))
                        : Shown(LineKind::Note, utc[next], 0, e.stamp + " " + e.text));
                if (entries[next].kind == Entry::Kind::ServiceNote) {
                    known = entries[next].text;
                }
            }
            EXPECT_EQ(lines, expected);
            // Only a file's last line may take it past a part: one longer than a part, or the
            // first one a restarted recording added to the day's last part.
            const std::string text = Read(std::to_string(run) + "/" + name);
            EXPECT_LE(text.rfind('\n', text.size() - 2), PartBytes(limits));
        }
        EXPECT_EQ(next, entries.size());
    }
}

TEST_F(RecorderTest, AFullDiskIsSaidAndKeepsWhatWasWritten) {
    // Found when the buffered lines are handed over.
    Recorder recorder = OnAFullNextDay("flush");
    ASSERT_TRUE(RecordEntry(recorder, Line(kDay, "12:00:00.000", "KQ5 STATUS:32\r\n")));
    ASSERT_TRUE(FlushRecorder(recorder));
    const std::string before = Read("flush/kq5trace-2026-12-07.txt");
    const bool buffered = RecordEntry(recorder, Line(Plus(kDay, 1), "00:00:00.000", "KQ5"));
    EXPECT_FALSE(buffered && FlushRecorder(recorder));
    ExpectNoSpace(recorder, "flush");
    EXPECT_FALSE(RecordEntry(recorder, Line(Plus(kDay, 1), "00:00:01.000", "KQ5")));
    EXPECT_FALSE(CloseRecorder(recorder));
    EXPECT_EQ(Read("flush/kq5trace-2026-12-07.txt"), before);

    // Found when the day file is closed as the next day begins: nothing goes to the next day's.
    Recorder closed = OnAFullNextDay("close");
    ASSERT_TRUE(RecordEntry(closed, Line(Plus(kDay, 1), "23:59:59.000", "KQ5")));  // buffered
    EXPECT_FALSE(RecordEntry(closed, Line(Plus(kDay, 2), "00:00:00.000", "KQ5")));
    ExpectNoSpace(closed, "close");
    EXPECT_FALSE(fs::exists(folder / "close" / "kq5trace-2026-12-09.txt"));
    EXPECT_FALSE(CloseRecorder(closed));

    // Writes too long for the stream's buffer fail at once: a line, a header, the service note
    // repeated at the top of the next day's file.
    const std::string big(1 << 17, 'x');
    Recorder line = OnAFullNextDay("line");
    EXPECT_FALSE(RecordEntry(line, Line(Plus(kDay, 1), "10:00:00.000", big)));
    ExpectNoSpace(line, "line");
    Recorder header = OnAFullNextDay("header", "# " + big);
    EXPECT_FALSE(RecordEntry(header, Line(Plus(kDay, 1), "10:00:00.000", "KQ5")));
    ExpectNoSpace(header, "header");
    Recorder note = OnAFullNextDay("note");
    ASSERT_TRUE(RecordEntry(note, ServiceNote(kDay, "23:00:00.000", "7 " + big)));
    EXPECT_FALSE(RecordEntry(note, Line(Plus(kDay, 1), "10:00:00.000", "KQ5")));
    ExpectNoSpace(note, "note");
}

TEST_F(RecorderTest, ADayFileThatCannotBeOpenedEndsTheRecording) {
    fs::create_directories(folder / "kq5trace-2026-12-07.txt");  // a folder has its name
    Recorder recorder;
    ASSERT_TRUE(OpenRecorder(recorder, folder, RecordLimits{}, kLinesHeader));
    EXPECT_FALSE(RecordEntry(recorder, Line(kDay, "12:00:00.000", "KQ5 STATUS:32\r\n")));
    EXPECT_EQ(recorder.failure,
              "cannot open " + (folder / "kq5trace-2026-12-07.txt").string() + ": Is a directory");
    EXPECT_FALSE(FlushRecorder(recorder));
    EXPECT_FALSE(CloseRecorder(recorder));

    // The day's next part, when the first is full.
    ASSERT_TRUE(OpenRecorder(recorder, folder / "part", RecordLimits{14, 8000}, "# kq5trace"));
    fs::create_directory(folder / "part" / "kq5trace-2026-12-07.2.txt");
    int written = 0;  // every line said to be written is in the first part
    while (written < 30 &&
           RecordEntry(recorder, Line(kDay, "12:00:00.000", std::string(40, 's')))) {
        ++written;
    }
    EXPECT_TRUE(recorder.failed);
    CloseRecorder(recorder);
    const std::string first = Read("part/kq5trace-2026-12-07.txt");
    EXPECT_EQ(std::count(first.begin(), first.end(), '\n'), written + 1);  // and the header
    EXPECT_EQ(recorder.failure, "cannot open " +
                                    (folder / "part" / "kq5trace-2026-12-07.2.txt").string() +
                                    ": Is a directory");
}

// A day file written by an earlier recording goes on where it ended, without an empty line, from
// a note that the recording started again; a folder that happens to have a day file's name is
// neither a part nor deleted by retention.
TEST_F(RecorderTest, AnEarlierRecordingsDayFileGoesOnAndFoldersAreLeftAlone) {
    fs::create_directories(folder / "kq5trace-2026-11-01.txt");
    fs::create_directories(folder / "kq5trace-2026-12-07.2.txt");
    for (const char* text : {"first", "second"}) {
        Recorder recorder;
        ASSERT_TRUE(OpenRecorder(recorder, folder, RecordLimits{}, kLinesHeader));
        ASSERT_TRUE(RecordEntry(recorder, Line(kDay, "12:00:00.000", text)));
        ASSERT_TRUE(CloseRecorder(recorder));
    }
    EXPECT_EQ(Read("kq5trace-2026-12-07.txt"),
              "# kq5trace 1.0.0: lines, from 2026-12-07 12:00:00.000 +01:00\n"
              "2026-12-07 12:00:00.000 +01:00\t[7] first\n"
              "# 2026-12-07 12:00:00.000 +01:00 recording started: kq5trace 1.0.0: lines\n"
              "2026-12-07 12:00:00.000 +01:00\t[7] second\n");
    EXPECT_TRUE(fs::is_directory(folder / "kq5trace-2026-11-01.txt"));
    EXPECT_TRUE(fs::is_directory(folder / "kq5trace-2026-12-07.2.txt"));
}

// ---- The service's lines ------------------------------------------------------------------------

// Asking once a second whatever other programs write, and a new process's lines held until the
// answer that names it: ListenLoop's tests, through WatchStep.
TEST(RecordFilter, HoldsTheNewestLinesAndDatesTheNoteWithTheFirstOneKept) {
    ServiceWatch watch;
    watch.filter.heldLimit = 3;
    std::uint32_t service = 0;  // not running yet
    const std::function<ServiceAnswer()> ask = [&] {
        return ServiceAnswer{service, "service kq5 runs as process " + std::to_string(service)};
    };
    const LocalDate next = Plus(kDay, 1);
    EXPECT_EQ(WatchStep(watch, 0, kDay, StampText(kDay, "23:59:59.000"), nullptr, ask).size(), 1u);
    // Four lines of process 1 before the next question: only the newest three are held.
    const Entry lines[] = {Line(kDay, "23:59:59.100", "a", 1), Line(kDay, "23:59:59.200", "b", 1),
                           Line(next, "00:00:00.100", "c", 1), Line(next, "00:00:00.200", "d", 1)};
    for (const Entry& line : lines) {
        EXPECT_TRUE(WatchStep(watch, 500, kDay, line.stamp, &line, ask).empty());
    }
    service = 1;
    const std::vector<Entry> out =
        WatchStep(watch, 1000, next, StampText(next, "00:00:00.300"), nullptr, ask);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[0].kind, Entry::Kind::ServiceNote);
    EXPECT_EQ(out[0].stamp, lines[1].stamp);  // the first line it covers: times never go back
    EXPECT_TRUE(out[0].date == kDay);
    EXPECT_EQ(out[1].text, "b");
    EXPECT_EQ(out[3].text, "d");
    EXPECT_TRUE(watch.filter.held.empty());  // nothing held twice
    // Process 1 is the service now: its next line is written at once.
    const Entry more = Line(next, "00:00:00.400", "e", 1);
    EXPECT_EQ(WatchStep(watch, 1100, next, more.stamp, &more, ask).size(), 1u);
    // A line of another process a second after the last question: asked at once, it is the
    // service's again and written after the note.
    service = 2;
    const Entry other = Line(next, "00:00:01.500", "f", 2);
    EXPECT_EQ(WatchStep(watch, 2500, next, other.stamp, &other, ask).size(), 2u);
}

// Whether thread TID sleeps in the kernel waiting on a futex inside OBJECT: a thread blocked in a
// condition variable's wait, as the kernel sees it (no timing involved). False where /proc does
// not tell.
bool SleepsOn(pid_t tid, const void* object, std::size_t size) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/syscall");
    long number = -1;
    std::string address;
    if (!(in >> number >> address) || number != SYS_futex) {
        return false;  // "running", or another call
    }
    const auto at = static_cast<std::uintptr_t>(std::stoull(address, nullptr, 16));
    const auto begin = reinterpret_cast<std::uintptr_t>(object);
    return at >= begin && at < begin + size;
}

// A writer waiting for lines is woken by the next one, and by one dropped (so that it notes it):
// it does not wait for the end of the recording to write them.
TEST(RecordQueue, AWaitingWriterIsWokenByALineOrADrop) {
    if (!std::ifstream("/proc/self/syscall")) {
        GTEST_SKIP() << "no /proc/<tid>/syscall to see the writer waiting";
    }
    for (const bool drop : {false, true}) {
        SCOPED_TRACE(drop ? "a line dropped" : "a line queued");
        LineQueue queue;
        queue.maxBytes = drop ? 10 : 1000;
        std::atomic<pid_t> writer{0};
        std::deque<Entry> taken;
        std::uint64_t dropped = 0;
        std::future<bool> took = std::async(std::launch::async, [&] {
            writer = static_cast<pid_t>(::syscall(SYS_gettid));
            return TakeEntries(queue, taken, dropped);
        });
        // Surely waiting before the line comes. The deadlines only end a test that would hang.
        const auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        bool waiting = false;
        while (!waiting && std::chrono::steady_clock::now() < guard) {
            std::this_thread::yield();
            waiting = writer != 0 && SleepsOn(writer, &queue.ready, sizeof queue.ready);
        }
        PushEntry(queue, Line(kDay, "10:00:00.000", "KQ5 STATUS:32"));
        const bool woken = took.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
        CloseQueue(queue);  // frees a writer that was not woken, so that the test ends
        if (!waiting) {     // a build whose waits the kernel shows elsewhere (a sanitizer's own)
            took.wait();
            GTEST_SKIP() << "the writer was never seen waiting on the queue";
        }
        EXPECT_TRUE(woken);
        EXPECT_TRUE(took.get());
        EXPECT_EQ(taken.size(), drop ? 0u : 1u);
        EXPECT_EQ(dropped, drop ? 1u : 0u);
    }
}

// Queues lines of texts FIRST to LAST (31 bytes each), all stamped at once.
void PushLines(LineQueue& queue, int first, int last) {
    for (int i = first; i <= last; ++i) {
        PushEntry(queue, Line(kDay, "10:00:00.000", std::to_string(i)));
    }
}

std::vector<std::string> Texts(const std::deque<Entry>& entries) {
    std::vector<std::string> texts;
    for (const Entry& entry : entries) {
        texts.push_back(entry.text);
    }
    return texts;
}

TEST(RecordQueue, InOrderAndBoundedInMemory) {
    LineQueue queue;
    queue.maxBytes = 100;
    PushLines(queue, 0, 4);
    PushEntry(queue, Entry{Entry::Kind::Note, kDay, "s", 0, "a note always goes in"});
    std::deque<Entry> taken;
    std::uint64_t dropped = 0;
    ASSERT_TRUE(TakeEntries(queue, taken, dropped));
    EXPECT_EQ(Texts(taken), (std::vector<std::string>{"0", "1", "2", "a note always goes in"}));
    EXPECT_EQ(dropped, 2u);
    CloseQueue(queue);
    EXPECT_FALSE(TakeEntries(queue, taken, dropped));

    // Exactly full: the line that fills the queue to its last byte is taken, the next dropped.
    LineQueue full;
    full.maxBytes = 93;
    PushLines(full, 0, 3);
    ASSERT_TRUE(TakeEntries(full, taken, dropped));
    EXPECT_EQ(Texts(taken), (std::vector<std::string>{"0", "1", "2"}));
    EXPECT_EQ(dropped, 1u);

    // The writer took everything: the queue has all its room again, and what it takes replaces
    // what it held before.
    PushLines(full, 4, 6);
    ASSERT_TRUE(TakeEntries(full, taken, dropped));
    EXPECT_EQ(Texts(taken), (std::vector<std::string>{"4", "5", "6"}));
    EXPECT_EQ(dropped, 0u);
    CloseQueue(full);
    EXPECT_FALSE(TakeEntries(full, taken, dropped));  // nothing taken twice
}

}  // namespace
