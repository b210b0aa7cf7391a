// The one command-line parser: every wrong word is refused with its name and the usage line it
// breaks, and nothing that looks like an option is ever taken for a value.
#include "cmdline/cmdline.h"
#include "drain.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

namespace {

// A program shaped like kq5trace: a capture by default, a recording, a reading. (The parse
// points into its forms: it lives as long as the program, as the programs' own do.)
cmdline::Program MakeTracer() {
    cmdline::Program p;
    p.name = "tracer";
    p.version = "1.2.3";
    p.help = "usage: tracer ...\n";
    p.options = {
        {"--service", "NAME"},  {"--out", "FILE"},    {"--for", "SECONDS"}, {"--wait"},
        {"--record", "FOLDER"}, {"--keep-days", "N"}, {"--read", "TRACE"},  {"--html", "REPORT"},
        {"--seed", "N", true}};
    p.forms = {{"tracer [--service NAME] [--out FILE] [--for SECONDS] [--wait] [--seed N]",
                {"--service", "--out", "--for", "--wait", "--seed"}},
               {"tracer --record FOLDER [--keep-days N] [--for SECONDS]",
                {"--record", "--keep-days", "--for"},
                "--record"},
               {"tracer --read TRACE [--html REPORT] [SCENARIO]",
                {"--read", "--html"},
                "--read",
                1,
                "SCENARIO"}};
    return p;
}

const cmdline::Program& Tracer() {
    static const cmdline::Program program = MakeTracer();
    return program;
}

TEST(Cmdline, WrongWordsAreNamedWithTheUsageLineTheyBreak) {
    const struct {
        std::vector<std::string> args;
        std::string said;   // the first line of the refusal
        std::string usage;  // a usage line it shows
    } cases[] = {
        {{"--bogus"}, "tracer: unknown option --bogus", "usage: tracer [--service NAME]"},
        {{"--record", "--help"},
         "tracer: --record needs a value (FOLDER), not the option --help",
         "usage: tracer --record FOLDER"},
        {{"--read", "/?"},
         "tracer: --read needs a value (TRACE), not the option /?",
         "usage: tracer --read TRACE"},
        {{"--out", "-h"},
         "tracer: --out needs a value (FILE), not the option -h",
         "usage: tracer [--service NAME] [--out FILE]"},
        {{"--read", "t", "--html"},
         "tracer: --html needs a value (REPORT)",
         "usage: tracer --read TRACE"},
        {{"--out", "a", "--out", "b"}, "tracer: --out given twice", "usage: tracer [--service"},
        {{"--read", "t", "--for", "5"},
         "tracer: --for does not go with --read",
         "usage: tracer --read TRACE"},
        {{"--keep-days", "3"},
         "tracer: --keep-days goes with --record",
         "usage: tracer [--service NAME]"},
        {{"--read", "t", "--record", "r"},
         "tracer: --record and --read do not go together",
         "usage: tracer [--service NAME]"},
        {{"stray"}, "tracer: unexpected word 'stray' (no option)", "usage: tracer [--service"},
        {{"--record", "r", "stray"},
         "tracer: 'stray' does not go with --record",
         "usage: tracer --record FOLDER"},
        {{"--read", "t", "a", "b"},
         "tracer: one SCENARIO only: 'a' and 'b'",
         "usage: tracer --read TRACE"},
        {{"--wait", "--help"}, "", ""},  // help wins when nothing before it was wrong
    };
    for (const auto& c : cases) {
        const cmdline::Parsed parsed = cmdline::Parse(Tracer(), c.args);
        SCOPED_TRACE(c.said);
        if (c.said.empty()) {
            EXPECT_EQ(parsed.action, cmdline::Action::Help);
            continue;
        }
        ASSERT_EQ(parsed.action, cmdline::Action::Refused);
        EXPECT_EQ(parsed.message.substr(0, parsed.message.find('\n')), c.said) << parsed.message;
        EXPECT_NE(parsed.message.find("\n" + c.usage), std::string::npos) << parsed.message;
        EXPECT_NE(parsed.message.find("(tracer --help tells more)\n"), std::string::npos);
    }
}

TEST(Cmdline, HelpAndVersionAnswerWithExitZeroOnStandardOutput) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"--help"}, {"-h"}, {"/?"}, {"--read", "t", "/?"}}) {
        EXPECT_EQ(cmdline::Parse(Tracer(), args).action, cmdline::Action::Help) << args.back();
    }
    const auto answer = [](const std::vector<std::string>& args, std::string& out,
                           std::string& err) {
        std::FILE* o = std::tmpfile();
        std::FILE* e = std::tmpfile();
        const int code = cmdline::Answer(Tracer(), cmdline::Parse(Tracer(), args), o, e);
        out += Drain(o);
        err += Drain(e);
        return code;
    };
    std::string out, err;
    EXPECT_EQ(answer({"--version"}, out, err), 0);
    EXPECT_EQ(out, "tracer 1.2.3\n");
    EXPECT_EQ(err, "");
    out.clear();
    EXPECT_EQ(answer({"/?"}, out, err), 0);
    EXPECT_EQ(out, "usage: tracer ...\n");
    out.clear();
    EXPECT_EQ(answer({"--wait", "--bogus"}, out, err), 2);
    EXPECT_EQ(out, "") << "a refusal on standard output";
    EXPECT_EQ(err.rfind("tracer: unknown option --bogus\n", 0), 0u) << err;
}

// The program's own code runs only for words that ask to run it, with them parsed.
int ranWith = 0;
int RecordRun(const cmdline::Parsed& parsed) {
    ranWith = parsed.Has("--wait") ? 1 : 2;
    return 7;
}

TEST(Cmdline, MainRunsTheProgramOnlyForWordsThatRunIt) {
    ranWith = 0;
    EXPECT_EQ(cmdline::Main(Tracer(), {"--wait"}, RecordRun), 7);
    EXPECT_EQ(ranWith, 1);
    ranWith = 0;
    EXPECT_EQ(cmdline::Main(Tracer(), {"--version"}, RecordRun), 0);
    EXPECT_EQ(cmdline::Main(Tracer(), {"--wait", "--bogus"}, RecordRun), 2);
    EXPECT_EQ(ranWith, 0);
}

TEST(Cmdline, GoodCommandLinesGiveTheirValuesAndForm) {
    cmdline::Parsed parsed =
        cmdline::Parse(Tracer(), {"--seed", "1", "--wait", "--seed", "2", "--out", "-"});
    ASSERT_EQ(parsed.action, cmdline::Action::Run) << parsed.message;
    EXPECT_EQ(parsed.form->usage.rfind("tracer [--service", 0), 0u);
    EXPECT_EQ(parsed.Values("--seed"), (std::vector<std::string>{"1", "2"}));
    EXPECT_EQ(parsed.Value("--out"), "-");  // "-" alone is a value (standard output), no option
    EXPECT_TRUE(parsed.Has("--wait"));
    EXPECT_EQ(parsed.Value("--service", "kq5"), "kq5");

    parsed = cmdline::Parse(Tracer(), {"--read", "C:\\x y\\t.log", "s.kq5"});
    ASSERT_EQ(parsed.action, cmdline::Action::Run) << parsed.message;
    EXPECT_EQ(parsed.form->key, "--read");
    EXPECT_EQ(parsed.Value("--read"), "C:\\x y\\t.log");
    EXPECT_EQ(parsed.operands, std::vector<std::string>{"s.kq5"});
}

TEST(Cmdline, NumbersAreWholeAndInRangeOrRefused) {
    long long whole = 7;
    for (const char* bad :
         {"", "-1", "+1", "1e3", "0x10", " 5", "5 ", "5s", "100001", "99999999999999999999"}) {
        EXPECT_FALSE(cmdline::WholeNumber(bad, 0, 100000, whole)) << bad;
        EXPECT_EQ(whole, 7) << bad;
    }
    EXPECT_TRUE(cmdline::WholeNumber("100000", 0, 100000, whole));
    EXPECT_EQ(whole, 100000);
    double number = 7;
    for (const char* bad : {"", ".", "-0.5", "nan", "inf", "1e3", "1..2", "10000001"}) {
        EXPECT_FALSE(cmdline::Number(bad, 0, 1e7, number)) << bad;
        EXPECT_EQ(number, 7) << bad;
    }
    EXPECT_TRUE(cmdline::Number("0.25", 0, 1e7, number));
    EXPECT_EQ(number, 0.25);
    EXPECT_TRUE(cmdline::Number("5.", 0, 1e7, number));
    EXPECT_EQ(number, 5);
}

// A path in a message shows its characters, not their bytes; what is no character, or would break
// the line, is escaped. Random bytes: nothing a console takes as control is left, and a shown text
// shows again as itself.
TEST(Cmdline, PathsInMessagesShowTheirCharacters) {
    const std::string kept = std::string("C:\\Donn\xc3\xa9") + "es \xf0\x9f\x96\xa8";
    EXPECT_EQ(cmdline::Shown(kept), kept);
    // Latin-1, a break, a cut character, an overlong one, a surrogate, one past U+10FFFF.
    EXPECT_EQ(cmdline::Shown("r\xe9\n\xc3"), "r\\xe9\\n\\xc3");
    EXPECT_EQ(cmdline::Shown("\xc0\xaf\xed\xa0\x80\xf4\x90\x80\x80"),
              "\\xc0\\xaf\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80");
    std::mt19937 random(5);
    for (int i = 0; i < 2000; ++i) {
        std::string bytes(random() % 12, '\0');
        for (char& b : bytes) {
            b = static_cast<char>(random() % 4 == 0 ? 0xc0 + random() % 0x40 : random() % 256);
        }
        const std::string shown = cmdline::Shown(bytes);
        EXPECT_EQ(shown.find_first_of(std::string("\0\x01\n\r\x1b\x7f", 6)), std::string::npos);
        EXPECT_EQ(cmdline::Shown(shown), shown);
    }
}

}  // namespace
