// kq5trace's listener and recording loops on the host: a debug-output channel, a service manager
// and a clock the test sets (no real waits), the day files in a folder of the test's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "eventlog/kq5_events.h"
#include "record_folder.h"
#include "trace/record_events.h"
#include "trace/record_loop.h"

namespace {

namespace fs = std::filesystem;

constexpr std::uint64_t kDayMs = 24ull * 3600 * 1000;

struct Message {
    std::uint64_t atMs = 0;
    std::uint32_t pid = 0;
    std::string text;
};

// The machine as the loops see it. Every wait moves the clock; lines come at their times.
struct FakeMachine {
    std::atomic<std::uint64_t> clock{0};
    std::uint64_t localAtZeroMs = 10ull * 3600 * 1000;  // 10:00 on kDay
    std::uint64_t dayMs = kDayMs;  // shorter days record many of them in few steps
    std::vector<Message> messages;
    std::size_t next = 0;
    // The service's process at a time (0: not running).
    std::function<std::uint32_t(std::uint64_t)> service = [](std::uint64_t) { return 7u; };
    std::vector<std::uint64_t> asks;  // when the service manager was asked

    Stamp StampAt(std::uint64_t ms) const {
        const LocalTime at =
            TimeAt(static_cast<long long>(localAtZeroMs + ms * (kDayMs / dayMs)), 60);
        return Stamp{at.date, StampText(at)};
    }

    bool Receive(std::uint32_t timeoutMs, std::uint32_t& pid, std::string& text) {
        const std::uint64_t now = clock;
        if (next < messages.size() && messages[next].atMs <= now + timeoutMs) {
            clock = std::max(now, messages[next].atMs);
            pid = messages[next].pid;
            text = messages[next].text;
            ++next;
            return true;
        }
        clock = now + timeoutMs;
        return false;
    }

    ListenSystem Listener() {
        ListenSystem system;
        system.nowMs = [this] { return clock.load(); };
        system.stamp = [this] { return StampAt(clock); };
        system.receive = [this](std::uint32_t timeoutMs, std::uint32_t& pid, std::string& text) {
            return Receive(timeoutMs, pid, text);
        };
        system.ask = [this] {
            asks.push_back(clock);
            return AnswerOf("kq5", service(clock), false);
        };
        return system;
    }
};

// ---- The listener
// --------------------------------------------------------------------------------

TEST(ListenLoop, AsksOnceASecondAndHoldsANewProcessLinesUntilTheAnswer) {
    FakeMachine machine;
    // Process 7 until 2.5 s, then stopped; started again as process 9 at 4.5 s.
    machine.service = [](std::uint64_t ms) { return ms < 2500 ? 7u : ms < 4500 ? 0u : 9u; };
    machine.messages = {{100, 7, "KQ5 STATUS:32\r\n"}};
    for (std::uint64_t ms = 200; ms <= 1800; ms += 10) {  // a chatty other program
        machine.messages.push_back({ms, 50, "other"});
    }
    // Just short of a second after the last question: not asked yet. The service's last line,
    // written as it stopped, is its own: it is written before the question that finds it gone.
    machine.messages.push_back({2999, 50, "other"});
    machine.messages.push_back({3000, 7, "KQ5 STOPPED"});
    machine.messages.push_back({4600, 9, "GetPrinterHandle"});  // before the manager says 9
    machine.messages.push_back({4700, 50, "other"});
    machine.messages.push_back({5500, 9, "KQ5 STATUS:4"});
    std::vector<std::string> written;
    std::vector<std::uint32_t> pids;  // the service's process as the sink was told it
    ListenSink sink{[&](Entry entry) {
                        written.push_back(entry.stamp +
                                          (entry.kind == Entry::Kind::Line
                                               ? " [" + std::to_string(entry.pid) + "] "
                                               : " # ") +
                                          entry.text);
                    },
                    [&](std::uint32_t pid) {
                        if (pids.empty() || pids.back() != pid) {
                            pids.push_back(pid);
                        }
                        return machine.clock < 6000;
                    }};
    ListenLoop(machine.Listener(), sink);
    EXPECT_EQ(written, (std::vector<std::string>{
                           "2026-12-07 10:00:00.000 +01:00 # service kq5 runs as process 7",
                           "2026-12-07 10:00:00.100 +01:00 [7] KQ5 STATUS:32\r\n",
                           "2026-12-07 10:00:03.000 +01:00 [7] KQ5 STOPPED",
                           "2026-12-07 10:00:03.000 +01:00 # service kq5 is not running",
                           "2026-12-07 10:00:04.600 +01:00 # service kq5 runs as process 9",
                           "2026-12-07 10:00:04.600 +01:00 [9] GetPrinterHandle",
                           "2026-12-07 10:00:05.500 +01:00 [9] KQ5 STATUS:4"}));
    // Once a second, whatever the other program writes.
    EXPECT_EQ(machine.asks, (std::vector<std::uint64_t>{0, 1000, 2000, 3000, 4000, 5000}));
    EXPECT_EQ(pids, (std::vector<std::uint32_t>{0, 7, 0, 9}));
}

// Five minutes without anything written: a note that kq5trace still listens, with what it knows
// of the service, so that a reader tells silence from a stretch nobody recorded.
TEST(ListenLoop, FiveMinutesOfSilenceAreNotedAsStillListening) {
    FakeMachine machine;
    machine.service = [](std::uint64_t ms) { return ms < 400000 ? 7u : 0u; };
    machine.messages = {{100, 7, "KQ5 STATUS:32"}};
    std::vector<std::string> written;
    ListenSink sink{
        [&](Entry entry) { written.push_back(entry.stamp.substr(11, 12) + " " + entry.text); },
        [&](std::uint32_t) { return machine.clock < 720000; }};
    ListenLoop(machine.Listener(), sink);
    EXPECT_EQ(written,
              (std::vector<std::string>{
                  "10:00:00.000 service kq5 runs as process 7", "10:00:00.100 KQ5 STATUS:32",
                  "10:05:00.100 still listening; service kq5 runs as process 7",
                  "10:06:40.000 service kq5 is not running",
                  "10:11:40.000 still listening; service kq5 is not running"}));
}

// ---- The recording ------------------------------------------------------------------------------

class RecordLoopTest : public RecordFolderTest {
protected:
    void SetUp() override {
        RecordFolderTest::SetUp();
        plan.folder = folder;
        plan.version = "1.0.0";
    }

    // The channel answers OPENS in turn, then Ok.
    int Run() {
        tries.clear();
        said.clear();
        raised.clear();
        RecordSystem system;
        system.nowMs = [this] { return machine.clock.load(); };
        system.stamp = [this] { return machine.StampAt(machine.clock); };
        system.open = [this](std::uint32_t& error) {
            tries.push_back(machine.clock);
            const std::size_t n = tries.size() - 1;
            error = 5;
            return n < opens.size() ? opens[n] : ChannelOpen::Ok;
        };
        system.listen = [this](ListenSink& sink) { ListenLoop(machine.Listener(), sink); };
        system.sleep = [this](std::uint32_t ms) { machine.clock += ms; };
        system.stopRequested = [this] { return machine.clock >= stopAtMs; };
        system.say = [this](const std::string& text) { said.push_back(text); };
        system.raise = [this](const JudgedEvent& e) { return raised.push_back(e.id), ""; };
        RecordJudge judge;
        return Record(plan, JudgedSystem(system, judge));
    }

    RecordPlan plan;
    FakeMachine machine;
    std::vector<ChannelOpen> opens;
    std::vector<std::uint64_t> tries;  // when the channel was tried
    std::uint64_t stopAtMs = UINT64_MAX;
    std::vector<std::string> said;
    std::vector<unsigned long> raised;  // the Windows events' IDs
};

TEST_F(RecordLoopTest, AChannelHeldByAnotherViewerIsTriedEvery3SecondsAndSaidOnce) {
    opens = {ChannelOpen::Taken, ChannelOpen::Taken, ChannelOpen::Taken};
    machine.messages.push_back({9500, 7, "KQ5 STATUS:32"});
    plan.seconds = 10;
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(tries, (std::vector<std::uint64_t>{0, 3000, 6000, 9000}));
    EXPECT_EQ(said, (std::vector<std::string>{
                        "another debug-output viewer holds the channel; waiting for it to close",
                        "the channel is free again; recording"}));
    EXPECT_EQ(Lines("kq5trace-2026-12-07.txt"),
              (std::vector<std::string>{
                  "10:00:00.000 kq5trace 1.0.0: debugger lines of the service kq5",
                  "10:00:00.000 # another debug-output viewer holds the channel; waiting",
                  "10:00:09.000 # the debug-output channel is free again; recording",
                  "10:00:09.000 # service kq5 runs as process 7", "10:00:09.500 [7] KQ5 STATUS:32",
                  "10:00:10.000 # recording stopped: the 10 s of --for are up"}));
    // Held 9 s, the channel was not worth an event; the stop is, before the recorder goes.
    EXPECT_EQ(raised, std::vector<unsigned long>{KQ5_MSG_NOT_LISTENING});
}

TEST_F(RecordLoopTest, NoRightsOrAFailedChannelEndsAtOnceWithExit2) {
    opens = {ChannelOpen::NoRights};
    EXPECT_EQ(Run(), 2);
    EXPECT_EQ(said, (std::vector<std::string>{
                        "no rights for the global debug-output channel: run kq5trace as an "
                        "administrator or as SYSTEM"}));
    EXPECT_EQ(tries.size(), 1u);
    opens = {ChannelOpen::Taken, ChannelOpen::Failed};
    EXPECT_EQ(Run(), 2);
    EXPECT_EQ(tries.size(), 2u);
    EXPECT_EQ(said, (std::vector<std::string>{
                        "another debug-output viewer holds the channel; waiting for it to close",
                        "the debug-output channel cannot be opened (error 5)"}));
}

TEST_F(RecordLoopTest, AFullDiskEndsTheRecordingWithExit1AndKeepsTheFiles) {
    // From 23:59:58; the next day's file lands on a device that is always full.
    machine.localAtZeroMs = kDayMs - 2000;
    fs::create_directories(folder);
    fs::create_symlink("/dev/full", folder / "kq5trace-2026-12-08.txt");
    machine.messages = {{500, 7, "KQ5 STATUS:32"}, {2500, 7, "KQ5 STATUS:4"}};
    stopAtMs = 1000000000;  // a bound for a recording that would not end by itself
    EXPECT_EQ(Run(), 1);
    EXPECT_LT(machine.clock, stopAtMs);  // it ended as soon as the writing failed
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0], "recording stopped: cannot write " +
                           (folder / "kq5trace-2026-12-08.txt").string() +
                           ": No space left on device (the disk may be full); the files written "
                           "so far are kept in " +
                           folder.string());
    EXPECT_EQ(
        Lines("kq5trace-2026-12-07.txt"),
        (std::vector<std::string>{"23:59:58.000 kq5trace 1.0.0: debugger lines of the service kq5",
                                  "23:59:58.000 # service kq5 runs as process 7",
                                  "23:59:58.500 [7] KQ5 STATUS:32"}));

    // A folder that cannot be made: said at once, nothing listened to.
    stopAtMs = UINT64_MAX;
    plan.folder = folder / "kq5trace-2026-12-07.txt";
    EXPECT_EQ(Run(), 1);
    EXPECT_TRUE(tries.empty());
    ASSERT_EQ(said.size(), 1u);
    EXPECT_EQ(said[0].rfind("cannot make the folder ", 0), 0u) << said[0];

    // Another failure gets no word of a full disk: here a file grown past what the system allows.
    plan.folder = folder / "big";
    {
        FullUntilFreed disk(0);
        EXPECT_EQ(Run(), 1);
    }
    EXPECT_TRUE(said.size() == 1 && said[0].ends_with(": File too large; the files written so far "
                                                      "are kept in " +
                                                      plan.folder.string()));
    // A read-only disk and a refusal say so.
    EXPECT_EQ(FailureHint(EROFS), " (the disk is read only)");
    EXPECT_EQ(FailureHint(EACCES), " (access denied: kq5trace may not write there)");
}

// A second recorder on a folder in use would write its notes into the first one's files:
// refused before it writes anything, with exit 2; the folder is free again once the first ends.
TEST_F(RecordLoopTest, ASecondRecorderOnAFolderInUseIsRefusedBeforeItWritesAnything) {
    Recorder first;
    ASSERT_TRUE(OpenRecorder(first, folder, RecordLimits{}, kLinesHeader));
    plan.seconds = 1;
    EXPECT_EQ(Run(), 2);
    EXPECT_TRUE(tries.empty());
    EXPECT_EQ(said,
              (std::vector<std::string>{"another recorder holds the folder " + folder.string() +
                                        " (kq5trace --record runs there already); "
                                        "nothing recorded"}));
    EXPECT_EQ(Listing(), (std::vector<std::string>{"kq5trace.lock"}));
    ASSERT_TRUE(CloseRecorder(first));
}

TEST_F(RecordLoopTest, DaysOfLinesGoToTheirDayFilesWithinKeepDays) {
    machine.dayMs = 10000;  // a day in ten seconds of the clock
    machine.localAtZeroMs = 0;
    for (std::uint64_t ms = 50; ms < 50000; ms += 1000) {
        machine.messages.push_back({ms, 7, "KQ5 STATUS:" + std::to_string(ms)});
    }
    plan.seconds = 49.5;
    plan.limits.keepDays = 2;
    EXPECT_EQ(Run(), 0);
    EXPECT_EQ(Listing(),
              (std::vector<std::string>{"kq5trace-2026-12-10.txt", "kq5trace-2026-12-11.txt"}));
    // Each deletion on standard error and in the file opened after it.
    EXPECT_EQ(said, (std::vector<std::string>{
                        "deleted kq5trace-2026-12-07.txt: older than --keep-days 2",
                        "deleted kq5trace-2026-12-08.txt: older than --keep-days 2",
                        "deleted kq5trace-2026-12-09.txt: older than --keep-days 2"}));
    // Each file reads as a trace of its own: the header, the service's process, the day's lines.
    const std::vector<std::string> last = Lines("kq5trace-2026-12-11.txt");
    ASSERT_EQ(last.size(), 14u);
    EXPECT_EQ(Lines("kq5trace-2026-12-10.txt").size(), 13u);
    EXPECT_EQ(
        std::vector<std::string>(last.begin(), last.begin() + 4),
        (std::vector<std::string>{"00:07:12.000 kq5trace 1.0.0: debugger lines of the service kq5",
                                  "00:07:12.000 # deleted kq5trace-2026-12-09.txt: older than "
                                  "--keep-days 2",
                                  "00:07:12.000 # service kq5 runs as process 7",
                                  "00:07:12.000 [7] KQ5 STATUS:40050"}));
    EXPECT_EQ(last[12], "21:43:12.000 [7] KQ5 STATUS:49050");
    EXPECT_EQ(last.back(), "22:55:12.000 # recording stopped: the 49.5 s of --for are up");
}

TEST_F(RecordLoopTest, ForSecondsEndsTheRecordingOnTheClockFromItsStart) {
    // The machine has been up a while when the recording starts: 10:00:00 on the local clock.
    const std::uint64_t t0 = 1000000;
    machine.localAtZeroMs = 10ull * 3600 * 1000 - t0;
    struct Case {
        const char* name;
        double seconds;
        std::vector<ChannelOpen> opens;
        std::vector<Message> messages;     // at ms after the start
        std::uint64_t endMs;               // when Record returns, after the start
        std::vector<std::uint64_t> tries;  // after the start
        std::vector<std::string> lines;    // the service's lines in the day file
    };
    const std::vector<Case> cases = {
        // Without --for it records until stopped (here at 7 s).
        {"until-stopped", -1, {}, {{6000, 7, "late"}}, 7000, {0}, {"late"}},
        // --for 0: over before it began; the channel is not even tried.
        {"for-0", 0, {}, {{0, 7, "first"}}, 0, {}, {}},
        {"for-half-a-second", 0.5, {}, {{300, 7, "a"}, {600, 7, "b"}}, 500, {0}, {"a"}},
        {"for-2", 2, {}, {{1000, 7, "in time"}, {2050, 7, "too late"}}, 2000, {0}, {"in time"}},
        // Waiting for a channel another viewer holds counts too.
        {"for-4-waiting", 4, {ChannelOpen::Taken, ChannelOpen::Taken}, {}, 4000, {0, 3000}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        machine.clock = t0;
        machine.messages.clear();
        for (const Message& m : c.messages) {
            machine.messages.push_back({t0 + m.atMs, m.pid, m.text});
        }
        machine.next = 0;
        opens = c.opens;
        stopAtMs = t0 + 7000;
        plan.seconds = c.seconds;
        plan.folder = folder / c.name;
        EXPECT_EQ(Run(), 0);
        EXPECT_EQ(machine.clock - t0, c.endMs);
        for (std::uint64_t& at : tries) {
            at -= t0;
        }
        EXPECT_EQ(tries, c.tries);
        // The service's lines as the file holds them, after "<time> [7] ".
        std::vector<std::string> lines;
        const std::vector<std::string> file =
            Lines(std::string(c.name) + "/kq5trace-2026-12-07.txt");
        for (const std::string& line : file) {
            if (line.find(" [7] ") == 12) {
                lines.push_back(line.substr(17));
            }
        }
        EXPECT_EQ(lines, c.lines);
        ASSERT_FALSE(file.empty());
        // The file's last line says why the recording stopped.
        EXPECT_EQ(file.back().substr(13),
                  "# recording stopped: " +
                      (c.seconds < 0
                           ? "asked to stop (Ctrl+C, or the end of its task)"
                           : (std::ostringstream() << "the " << c.seconds << " s of --for are up")
                                 .str()));
    }
}

// ---- The writing thread's queue -----------------------------------------------------------------

TEST_F(RecordLoopTest, LinesDroppedByAFullQueueAreCountedInTheFile) {
    Recorder recorder;
    ASSERT_TRUE(OpenRecorder(recorder, folder, RecordLimits{}, kLinesHeader));
    LineQueue queue;
    queue.maxBytes = 100;
    const Stamp stamp = machine.StampAt(0);
    for (int i = 0; i < 5; ++i) {
        PushEntry(queue, Line(kDay, "10:00:00.000", std::to_string(i)));
    }
    CloseQueue(queue);
    std::atomic<bool> failed{false};
    WriteEntries(queue, recorder, failed, [&] { return stamp; });
    ASSERT_TRUE(CloseRecorder(recorder));
    EXPECT_FALSE(failed);
    EXPECT_EQ(Lines("kq5trace-2026-12-07.txt"),
              (std::vector<std::string>{
                  "10:00:00.000 kq5trace 1.0.0: lines",
                  "10:00:00.000 # 2 lines dropped: the disk did not keep up with the channel",
                  "10:00:00.000 [7] 0", "10:00:00.000 [7] 1", "10:00:00.000 [7] 2"}));
}

TEST_F(RecordLoopTest, AFailedWriteEndsTheWritingWithOneNoteInTheFileWhenItStillCan) {
    // A day file the recorder continues.
    const std::string before =
        "# kq5trace 1.0.0: lines, from 2026-12-07 09:00:00.000 +01:00\n"
        "2026-12-07 09:00:01.000 +01:00\t[7] KQ5 STATUS:32\n";
    fs::create_directories(folder);
    std::ofstream(folder / "kq5trace-2026-12-07.txt", std::ios::binary) << before;
    Recorder recorder;
    ASSERT_TRUE(OpenRecorder(recorder, folder, RecordLimits{}, kLinesHeader));
    LineQueue queue;
    PushEntry(queue, Line(kDay, "10:00:00.000", "KQ5 STATUS:4"));
    CloseQueue(queue);
    std::atomic<bool> failed{false};
    int stamps = 0;
    {
        // A disk that is full until the writer, having failed, takes the time for its note.
        FullUntilFreed disk(before.size());
        WriteEntries(queue, recorder, failed, [&] {
            if (++stamps == 1) {  // the stop note: room again, and a line the listener still gave
                disk.Free();
                PushEntry(queue, Line(kDay, "10:00:00.000", "KQ5 STATUS:5"));
            }
            return machine.StampAt(1000);
        });
    }
    (void)CloseRecorder(recorder);
    EXPECT_TRUE(failed);
    const std::string path = (folder / "kq5trace-2026-12-07.txt").string();
    EXPECT_EQ(recorder.failure, "cannot write " + path + ": File too large");
    const std::string text = Read("kq5trace-2026-12-07.txt");
    EXPECT_TRUE(text.starts_with(before)) << text;  // what was there is kept
    // The note ends the file, once; nothing given after the failure is written.
    EXPECT_EQ(Lines("kq5trace-2026-12-07.txt").back(),
              "10:00:01.000 # recording stopped: cannot write " + path + ": File too large");
    EXPECT_EQ(text.find("recording stopped"), text.rfind("recording stopped")) << text;
    EXPECT_EQ(text.find("KQ5 STATUS:5"), std::string::npos) << text;
}

}  // namespace
