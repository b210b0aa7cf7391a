// The judge and its events: streams of lines with their times and the events they give, as data
// (tests/golden/judge/, rewritten by tests/update-goldens.sh); a property over random streams;
// the reader's report and the recording agreeing on every trace of the corpus; raising through
// the simulated event log, with its failures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <sstream>
#include <utility>

#include "eventlog/event_log.h"
#include "platform/sim/sim.h"
#include "recorded_events.h"
#include "trace/record_events.h"
#include "tracelog/format.h"
#include "tracereader/read.h"

namespace {

namespace fs = std::filesystem;
using Kind = JudgeInput::Kind;

// "T KIND [TEXT]": line TEXT (the service's, escaped), note TEXT (kq5trace's), header, port P,
// unheard (the reader's finding of a recording that ended unsaid), tick (the clock alone).
JudgeInput StreamInput(const std::string& line, size_t number) {
    std::istringstream words(line);
    double seconds = 0;
    std::string kind, rest;
    // One space after the kind: the service's own leading space is kept.
    std::getline((words >> seconds >> kind).ignore(1), rest);
    const auto atMs = static_cast<uint64_t>(seconds * 1000 + 0.5);
    JudgeInput in =
        kind == "line" ? LineInput(rest, true, atMs) : NoteInput(rest, kind == "header", atMs);
    in.kind = kind == "port" ? Kind::PortMoved : kind == "unheard" ? Kind::Unheard : in.kind;
    in.text = rest;  // the port's name
    in.where = LineRef{"stream", number, line.substr(0, line.find(' '))};
    return in;
}

TEST(JudgeGolden, StreamsGiveTheirEvents) {
    const fs::path dir = fs::path(KQ5_GOLDEN_DIR) / "judge";
    std::ifstream in(dir / "streams.txt");
    std::string line, answer;
    Judge judge;
    for (size_t number = 1; std::getline(in, line); ++number) {
        if (line.rfind("case ", 0) == 0) {
            judge = Judge{};
            answer += line + "\n";
        } else if (line.rfind("alert ", 0) == 0) {
            const std::string refused = SetThreshold(judge.thresholds, line.substr(6));
            answer += line + ": " + (refused.empty() ? "taken" : refused) + "\n";
        } else if (!line.empty() && line[0] != '#') {
            for (const JudgedEvent& e : JudgeStep(judge, StreamInput(line, number))) {
                answer += "  at " + std::to_string(e.atMs) + " ms: " + EventLine(e, true);
            }
        }
    }
    const fs::path expected = dir / "streams.expected";
    if (std::getenv("KQ5_UPDATE_GOLDENS") != nullptr) {
        std::ofstream(expected, std::ios::binary) << answer;
    }
    EXPECT_EQ(answer,
              (std::stringstream() << std::ifstream(expected, std::ios::binary).rdbuf()).str());
}

// Whatever comes, in any order: each condition's events alternate begin, end, its end never
// before its begin; the events come in time order; and while kq5trace does not listen, no printer
// away or stalled poller begins.
TEST(JudgeProperty, BeginsAndEndsAlternateAndNothingIsJudgedUnheard) {
    const char* const notes[] = {"service kq5 is not running", "service kq5 runs as process 9",
                                 "another debug-output viewer holds the channel; waiting",
                                 "the debug-output channel is free again; recording"};
    const int codes[] = {4, 8, 32, 16, 0x20, 12};
    const Kind kinds[] = {Kind::Status,    Kind::OpenError, Kind::MainError,
                          Kind::OtherLine, Kind::Tick,      Kind::Tick};
    for (unsigned seed = 1; seed <= 200; ++seed) {
        std::mt19937 random(seed);
        Judge judge;
        uint64_t now = 0, lastMs = 0;
        bool listening = true;
        std::map<Condition, uint64_t> open;  // the conditions begun, and when
        for (int step = 0; step < 300; ++step) {
            now += random() % 90000;
            JudgeInput in;
            const auto pick = static_cast<unsigned>(random() % 10);
            if (pick < 4) {
                in = NoteInput(notes[pick], false, now);
            } else {
                in.kind = kinds[pick - 4];
                in.code = pick == 5 ? 0x6ba : pick == 6 ? long(random() % 2) : codes[random() % 6];
            }
            in.atMs = now;
            for (const JudgedEvent& e : JudgeStep(judge, in)) {
                ASSERT_GE(e.atMs, std::exchange(lastMs, e.atMs)) << seed;
                const bool silence =
                    e.condition == Condition::PrinterAway || e.condition == Condition::Stalled;
                EXPECT_FALSE(e.begins && silence && !listening) << seed << " " << EventLine(e, 1);
                EXPECT_EQ(open.count(e.condition) == 0, e.begins) << seed << " " << EventLine(e, 1);
                if (e.begins && e.id != 1060 && e.id != 1070) {  // moved, lines lost: no end
                    open[e.condition] = e.atMs;
                } else if (!e.begins) {
                    EXPECT_GE(e.atMs, open[e.condition]) << seed;
                    open.erase(e.condition);
                }
            }
            listening = pick == 3 || (listening && pick != 2);
        }
    }
}

// The thresholds a recorder notes in its record are those its reader then judges by.
TEST(JudgeProperty, ThresholdsReadBackFromTheirNote) {
    std::mt19937 random(7);
    for (int round = 0; round < 200; ++round) {
        Judge recorder, reader;
        for (const std::string kind :
             {"away", "door", "paper", "spooler", "stalled", "not-running", "not-listening"}) {
            if (random() % 2 == 0) {
                const std::string seconds = std::to_string(1 + random() % 10000000);
                ASSERT_EQ(SetThreshold(recorder.thresholds, kind + "=" + seconds), "");
            }
        }
        const std::string note = ThresholdsNote(recorder.thresholds);
        JudgeStep(reader, NoteInput(note, false, 0));
        EXPECT_EQ(reader.thresholds, recorder.thresholds) << note;
    }
}

// What kq5trace --record raises while it records LOG's lines as they come, each event raised by
// the first tick past its threshold.
std::string RecordedEventLines(const fs::path& log) {
    std::ifstream in(log, std::ios::binary);
    std::string raised;
    for (const auto& [now, e] : RecordedEvents(in)) {
        EXPECT_LT(now, e.atMs + 1000) << e.id;
        raised += EventLine(e, false);
    }
    return raised;
}

// One judge: every event the recording raises as it records a trace of the corpus is in the
// report of the same trace, in the same order, with the same words.
TEST(JudgeCorpus, TheReportTellsTheEventsTheRecordingRaised) {
    size_t events = 0;
    for (const fs::directory_entry& entry :
         fs::directory_iterator(fs::path(KQ5_TRACE_SAMPLES) / "corpus")) {
        std::ifstream in(entry.path(), std::ios::binary);
        std::string first;
        if (entry.path().extension() != ".log" || !std::getline(in, first) || !IsHeader(first)) {
            continue;
        }
        std::string reported;
        for (const JudgedEvent& e : ReadTracePath(entry.path()).events) {
            reported += EventLine(e, false);
        }
        EXPECT_EQ(RecordedEventLines(entry.path()), reported) << entry.path().filename();
        events += static_cast<size_t>(std::count(reported.begin(), reported.end(), '\n'));
    }
    EXPECT_GE(events, 20u);  // and the traces read
}

// Raising through the simulated event log: a source that cannot be registered (access denied,
// then the EventLog service stopped) leaves the events waiting and is said once; the next event
// that can takes them out, in order; a failed report gives the source back and registers again;
// the end gives it back.
TEST(EventLogRaise, FailuresWaitAreSaidOnceAndRetriedInOrder) {
    sim::Reset();
    sim::FailCall("RegisterEventSourceW", 1, ERROR_ACCESS_DENIED);
    EventLog log;
    const auto raise = [&log](unsigned long id) {
        return RaiseEvent(
            log, PendingEvent{id,
                              EVENTLOG_ERROR_TYPE,
                              {"Korvane-Q5", "USB001", "32 (ready)", "\xf0\x90\x80\x80",
                               "k\xc3\xa9 \xd1\x88 \xea\xb0\x80 \xc3( \xf0\x9f\x96\xa8\x80"}});
    };
    EXPECT_NE(raise(1000), "");
    sim::SetEventLogRunning(false);
    EXPECT_EQ(raise(1001), "");
    sim::SetEventLogRunning(true);
    EXPECT_EQ(raise(1010), "");
    sim::FailCall("ReportEventW", 4, RPC_S_SERVER_UNAVAILABLE);
    EXPECT_EQ(raise(1011), "");
    EXPECT_EQ(EndEventLog(log), "");
    std::vector<DWORD> ids;
    for (const sim::ReportedEvent& e : sim::ReportedEvents()) {
        ids.push_back(e.id);
        // No category and no raw data: the message file defines neither.
        EXPECT_TRUE(e.source == "kq5" && e.type == EVENTLOG_ERROR_TYPE && e.category == 0 &&
                    e.rawDataSize == 0);
        EXPECT_EQ(e.strings, (std::vector<std::u16string>{
                                 u"Korvane-Q5", u"USB001", u"32 (ready)", u"\U00010000",
                                 u"k\u00e9 \u0448 \uac00 \uFFFD( \U0001F5A8\uFFFD"}));
    }
    EXPECT_EQ(ids, (std::vector<DWORD>{1000, 1001, 1010, 1011}));
    EXPECT_EQ(sim::CallCount("RegisterEventSourceW"), 4);
    EXPECT_EQ(sim::OpenHandleCount("event source"), 0);
    // The EventLog service stopped for a while: past 64 waiting, the oldest are given up, and
    // told at the end.
    sim::SetEventLogRunning(false);
    for (int i = 0; i < 70; ++i) {
        raise(1070);
    }
    sim::SetEventLogRunning(true);
    EXPECT_EQ(EndEventLog(log), "6 Windows events of kq5 were never written to the event log");
    EXPECT_EQ(sim::ReportedEvents().size(), 4u + 64u);
    // Each severity as the event log's type of the same name.
    for (const auto& [type, word] : {std::pair{EventType::Error, EVENTLOG_ERROR_TYPE},
                                     {EventType::Warning, EVENTLOG_WARNING_TYPE},
                                     {EventType::Information, EVENTLOG_INFORMATION_TYPE}}) {
        JudgedEvent event;
        event.type = type;
        EXPECT_EQ(PendingOf(event).type, word);
    }
}

}  // namespace
