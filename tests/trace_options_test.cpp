// kq5trace's command line as a user types it (the numbers' bounds and the exact refusals, which
// of capture, record and read runs with which values) and the capture's decisions (when it
// refuses to start, when it ends) with a clock the test sets.
#include <gtest/gtest.h>

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "trace/options.h"

// The command in a failure's message, field by field.
void PrintTo(const TraceCommand& c, std::ostream* os) {
    *os << "{mode " << static_cast<int>(c.mode) << ", service '" << c.service << "', seconds "
        << c.seconds << ", session " << c.session << ", out '" << c.out << "', wait " << c.wait
        << ", append " << c.append << ", replace " << c.replace << ", untilStop " << c.untilStop
        << ", folder '" << c.folder << "', keepDays " << c.limits.keepDays << ", maxBytes "
        << c.limits.maxBytes << ", trace '" << c.trace << "', html '" << c.html << "', svg '"
        << c.svg << "'}";
}

namespace {

constexpr const char* kCaptureUsage =
    "kq5trace [--service NAME] [--out FILE [--append|--replace]] [--for SECONDS]\n"
    "                [--wait] [--until-stop] [--session]\n";
constexpr const char* kRecordUsage =
    "kq5trace --record FOLDER [--keep-days N] [--max-mib M] [--service NAME]\n"
    "                [--for SECONDS] [--session] [--alert-after KIND=SECONDS ...]\n";
constexpr const char* kMore = "(kq5trace --help tells more)\n";
constexpr std::uint64_t kMib = 1048576;

// What kq5trace says on standard error for ARGS, or "" when it runs them.
std::string Refusal(const std::vector<std::string>& args) {
    const cmdline::Parsed parsed = cmdline::Parse(kTraceProgram, args);
    if (parsed.action != cmdline::Action::Run) {
        return parsed.message;
    }
    TraceCommand command;
    return ReadTraceCommand(parsed, command);
}

// The command kq5trace runs for ARGS.
TraceCommand Command(const std::vector<std::string>& args) {
    const cmdline::Parsed parsed = cmdline::Parse(kTraceProgram, args);
    TraceCommand command;
    EXPECT_EQ(parsed.action, cmdline::Action::Run) << parsed.message;
    if (parsed.action == cmdline::Action::Run) {
        EXPECT_EQ(ReadTraceCommand(parsed, command), "");
    }
    return command;
}

TEST(TraceCommandLine, BadValuesAreRefusedWithTheUsageLine) {
    const std::string capture = std::string("usage: ") + kCaptureUsage + kMore;
    const std::string record = std::string("usage: ") + kRecordUsage + kMore;
    // The first line of each refusal, up to the words given.
    const std::string seconds =
        "kq5trace: --for takes a number of seconds from 0 to 10000000, not '";
    const std::string days = "kq5trace: --keep-days takes a number of days from 1 to 36500, not '";
    const std::string mib = "kq5trace: --max-mib takes a number of MiB from 1 to 1048576, not '";
    const struct {
        std::vector<std::string> args;
        std::string said;
    } cases[] = {
        {{"--for", "10000000.5"}, seconds + "10000000.5'\n" + capture},
        {{"--for", "ten"}, seconds + "ten'\n" + capture},
        {{"--record", "D", "--for", "1e3"}, seconds + "1e3'\n" + record},
        {{"--record", "D", "--keep-days", "0"}, days + "0'\n" + record},
        {{"--record", "D", "--keep-days", "36501"}, days + "36501'\n" + record},
        {{"--record", "D", "--keep-days", "1.5"}, days + "1.5'\n" + record},
        {{"--record", "D", "--max-mib", "0"}, mib + "0'\n" + record},
        {{"--record", "D", "--max-mib", "1048577"}, mib + "1048577'\n" + record},
        {{"--record", "D", "--max-mib", "lots"}, mib + "lots'\n" + record},
        // A negative number reads as an option where a value belongs: every form that takes it.
        {{"--for", "-1"},
         std::string("kq5trace: --for needs a value (SECONDS), not the option -1\nusage: ") +
             kCaptureUsage + "       " + kRecordUsage + kMore},
        {{"--record", "D", "--keep-days", "-3"},
         std::string("kq5trace: --keep-days needs a value (N), not the option -3\nusage: ") +
             kRecordUsage + kMore},
        // What becomes of a file there already: one answer, and only for a file.
        {{"--out", "F", "--append", "--replace"},
         "kq5trace: --append and --replace do not go together\n" + capture},
        {{"--replace"}, "kq5trace: --replace goes with --out\n" + capture},
        {{"--record", "D", "--alert-after", "away=5x"},
         "kq5trace: --alert-after takes KIND=SECONDS (a whole number from 1 to 10000000), not "
         "'away=5x'\n" +
             record},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Refusal(c.args), c.said) << c.args.back();
    }
}

TEST(TraceCommandLine, NumbersWithinTheirBoundsAreTaken) {
    EXPECT_EQ(Command({"--for", "0"}).seconds, 0);
    EXPECT_EQ(Command({"--for", "10000000"}).seconds, 1e7);
    EXPECT_EQ(Command({"--record", "D", "--keep-days", "1"}).limits.keepDays, 1);
    EXPECT_EQ(Command({"--record", "D", "--keep-days", "36500"}).limits.keepDays, 36500);
    EXPECT_EQ(Command({"--record", "D", "--max-mib", "1"}).limits.maxBytes, kMib);
    EXPECT_EQ(Command({"--record", "D", "--max-mib", "1048576"}).limits.maxBytes, 1ull << 40);
    // Without them, the recorder's own defaults: 14 days, 256 MiB.
    EXPECT_EQ(Command({"--record", "D"}).limits, RecordLimits{});
}

TEST(TraceCommandLine, EachFormRunsItsModeWithTheValuesGiven) {
    const struct {
        std::vector<std::string> args;
        TraceCommand runs;
    } cases[] = {
        {{}, TraceCommand{}},  // a capture of kq5 to standard output until Ctrl+C
        {{"--record", "F", "--for", "60"},
         {.mode = TraceMode::Record, .seconds = 60, .folder = "F"}},
        {{"--read", "X", "--html", "Y"}, {.mode = TraceMode::Read, .trace = "X", .html = "Y"}},
        {{"--svg", "P", "--read", "X"}, {.mode = TraceMode::Read, .trace = "X", .svg = "P"}},
        {{"--out", "F", "--wait", "--until-stop"}, {.out = "F", .wait = true, .untilStop = true}},
        {{"--append", "--out", "F"}, {.out = "F", .append = true}},
        {{"--read", "X", "--replace", "--svg", "P"},
         {.mode = TraceMode::Read, .replace = true, .trace = "X", .svg = "P"}},
        {{"--wait", "--out", "-"}, {.out = "-", .wait = true}},
        {{"--service", "Kq5Test", "--session", "--for", "2.5"},
         {.service = "Kq5Test", .seconds = 2.5, .session = true}},
        {{"--session", "--max-mib", "3", "--keep-days", "7", "--record", "C:\\t", "--service", "S"},
         {.mode = TraceMode::Record,
          .service = "S",
          .session = true,
          .folder = "C:\\t",
          .limits = {7, 3 * kMib}}},
        {{"--record", "F", "--alert-after", "away=60", "--alert-after", "stalled=3"},
         {.mode = TraceMode::Record,
          .folder = "F",
          .thresholds = {.awayMs = 60000, .stalledCycles = 3}}},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Command(c.args), c.runs) << (c.args.empty() ? "(none)" : c.args.front());
    }
}

TEST(TraceCommandLine, TheHelpShowsEveryUsageLineAndOption) {
    EXPECT_EQ(kTraceProgram.version, KQ5_VERSION);
    for (const cmdline::Form& form : kTraceProgram.forms) {
        EXPECT_NE(kTraceProgram.help.find(form.usage), std::string::npos) << form.usage;
    }
    for (const cmdline::Option& option : kTraceProgram.options) {
        EXPECT_NE(kTraceProgram.help.find("\n  " + option.name + " "), std::string::npos)
            << option.name;
    }
}

// ---- The capture --------------------------------------------------------------------------------

TEST(TraceCapture, RefusedWhileTheServiceDoesNotRunUnlessWaitIsGiven) {
    const TraceCommand capture;
    EXPECT_EQ(CaptureRefusal(capture, "kq5", 0, false),
              "the service kq5 is not running (--wait waits for it)");
    EXPECT_EQ(CaptureRefusal(capture, "Kq5Test", 0, true),
              "the service Kq5Test is not running: there is no such service (--wait waits for it)");
    EXPECT_EQ(CaptureRefusal(capture, "kq5", 4242, false), "");
    EXPECT_EQ(CaptureRefusal(TraceCommand{.wait = true}, "kq5", 0, true), "");
}

constexpr std::uint64_t kStartMs = 5000000;  // the clock at the capture's start

TEST(TraceCapture, EndsWhenForSecondsAreUpOnTheClockFromItsStart) {
    CaptureEnd end = CaptureEndOf(TraceCommand{.seconds = 60}, kStartMs);
    EXPECT_TRUE(CaptureGoesOn(end, 7, kStartMs, false, true));
    EXPECT_TRUE(CaptureGoesOn(end, 7, kStartMs + 59999, false, true));
    EXPECT_FALSE(CaptureGoesOn(end, 7, kStartMs + 60000, false, true));
    EXPECT_FALSE(CaptureGoesOn(end, 0, kStartMs + 60001, false, true));

    end = CaptureEndOf(TraceCommand{.seconds = 0.25}, kStartMs);
    EXPECT_TRUE(CaptureGoesOn(end, 7, kStartMs + 249, false, true));
    EXPECT_FALSE(CaptureGoesOn(end, 7, kStartMs + 250, false, true));

    // Time up, the service seen running and gone by then: no --until-stop, so the time ended it.
    EXPECT_EQ(CaptureStopCause(end, 0, false), StopCause::TimeUp);

    end = CaptureEndOf(TraceCommand{.seconds = 0}, kStartMs);
    EXPECT_FALSE(CaptureGoesOn(end, 7, kStartMs, false, true)) << "--for 0 captures nothing";

    end = CaptureEndOf(TraceCommand{}, kStartMs);  // no --for: never by time
    EXPECT_TRUE(CaptureGoesOn(end, 7, kStartMs + 20000000000ull, false, true));
}

TEST(TraceCapture, EndsOnCtrlCAndOnAnOutputThatFailed) {
    CaptureEnd end = CaptureEndOf(TraceCommand{.seconds = 60}, kStartMs);
    EXPECT_FALSE(CaptureGoesOn(end, 7, kStartMs + 1, true, true));
    end = CaptureEndOf(TraceCommand{}, kStartMs);
    EXPECT_FALSE(CaptureGoesOn(end, 7, kStartMs + 1, true, true));
    EXPECT_FALSE(CaptureGoesOn(end, 7, kStartMs + 1, false, false));
    EXPECT_FALSE(CaptureGoesOn(end, 0, kStartMs + 1, false, false));
    // Its last note says why.
    EXPECT_EQ(CaptureStopCause(end, 7, true), StopCause::Asked);
}

TEST(TraceCapture, UntilStopEndsOnlyOnceTheServiceSeenRunningHasStopped) {
    CaptureEnd end = CaptureEndOf(TraceCommand{.wait = true, .untilStop = true}, kStartMs);
    // Waited for: not running yet is no end.
    EXPECT_TRUE(CaptureGoesOn(end, 0, kStartMs, false, true));
    EXPECT_TRUE(CaptureGoesOn(end, 0, kStartMs + 30000, false, true));
    EXPECT_TRUE(CaptureGoesOn(end, 4242, kStartMs + 31000, false, true));
    EXPECT_TRUE(CaptureGoesOn(end, 4242, kStartMs + 32000, false, true));
    EXPECT_FALSE(CaptureGoesOn(end, 0, kStartMs + 33000, false, true));
    EXPECT_EQ(CaptureStopCause(end, 0, false), StopCause::ServiceStopped);

    // Without --until-stop the capture follows the service across its restarts.
    end = CaptureEndOf(TraceCommand{.wait = true}, kStartMs);
    EXPECT_TRUE(CaptureGoesOn(end, 4242, kStartMs, false, true));
    EXPECT_TRUE(CaptureGoesOn(end, 0, kStartMs + 1000, false, true));
    EXPECT_TRUE(CaptureGoesOn(end, 4343, kStartMs + 2000, false, true));
}

}  // namespace
