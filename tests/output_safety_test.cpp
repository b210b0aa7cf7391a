// Nothing that is read is destroyed: an output that is the trace, a file in the folder being
// read, or a file of kq5trace --record is refused before anything is written, by whatever name
// it is given; a file kq5 did not write is replaced only when asked; and outputs are written
// whole or not at all.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "cmdline/outputs.h"
#include "drain.h"
#include "tracereader/read_command.h"

namespace {

namespace fs = std::filesystem;

class OutputSafety : public ::testing::Test {
protected:
    void SetUp() override {
        dir = fs::temp_directory_path() / ("kq5-outputs-" + std::to_string(::getpid()));
        fs::remove_all(dir);
        fs::create_directories(dir / "rec");
        fs::create_directories(dir / "sub");
        fs::copy_file(fs::path(KQ5_TRACE_SAMPLES) / "debugview-kernel.log", dir / "t.log");
        // A capture of kq5trace, as the recorder writes them.
        fs::copy_file(fs::path(KQ5_TRACE_SAMPLES) / ".." / ".." / "docs" / "trace-wine.txt",
                      dir / "rec" / "kq5trace-2026-12-07.txt");
        day = FileText(dir / "rec" / "kq5trace-2026-12-07.txt");
        trace = FileText(dir / "t.log");
        previous = fs::current_path();
        fs::current_path(dir / "sub");
    }
    void TearDown() override {
        fs::current_path(previous);
        fs::remove_all(dir);
    }
    // Runs the reading; the exit code, with what it printed and said.
    int Read(const fs::path& input, const fs::path& html, const fs::path& svg = {},
             bool replace = false) {
        ReadCommand command;
        command.trace = input;
        command.html = html;
        command.svg = svg;
        command.replace = replace;
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        const int code = RunTraceRead("kq5test", command, out, err);
        printed = Drain(out);
        said = Drain(err);
        return code;
    }
    fs::path dir;
    fs::path previous;
    std::string trace;
    std::string day;
    std::string printed;
    std::string said;
};

TEST_F(OutputSafety, TheTraceItselfIsRefusedByAnyName) {
    fs::create_symlink(dir / "t.log", dir / "link.log");
    fs::create_hard_link(dir / "t.log", dir / "hard.log");
    for (const fs::path& report :
         {dir / "t.log", fs::path("../t.log"), dir / "sub/../t.log", fs::path("./../sub/../t.log"),
          dir / "link.log", dir / "hard.log"}) {
        SCOPED_TRACE(report.string());
        EXPECT_EQ(Read(dir / "t.log", report), 2);
        EXPECT_NE(said.find("is the trace"), std::string::npos) << said;
        EXPECT_NE(said.find("nothing is written over what is read"), std::string::npos) << said;
        EXPECT_EQ(printed, "") << "the trace was read before the refusal";
        EXPECT_EQ(FileText(dir / "t.log"), trace);
        // As the picture too.
        EXPECT_EQ(Read(fs::path("../t.log"), dir / "sub" / "report.html", report), 2);
        EXPECT_EQ(FileText(dir / "t.log"), trace);
        EXPECT_FALSE(fs::exists(dir / "sub" / "report.html"));
    }
}

TEST_F(OutputSafety, NothingInTheFolderBeingReadIsWritten) {
    fs::create_hard_link(dir / "rec" / "kq5trace-2026-12-07.txt", dir / "day-link.txt");
    const fs::path dayFile = dir / "rec" / "kq5trace-2026-12-07.txt";
    for (const fs::path& report :
         {dir / "rec" / "report.html", fs::path("../rec/report.html"),
          dir / "sub/../rec/../rec/notes.txt", dayFile, dir / "day-link.txt"}) {
        SCOPED_TRACE(report.string());
        EXPECT_EQ(Read(dir / "rec", report), 2);
        EXPECT_NE(said.find("is in the folder being read"), std::string::npos) << said;
        EXPECT_EQ(FileText(dayFile), day);
    }
    EXPECT_EQ(fs::directory_iterator(dir / "rec")->path().filename(), "kq5trace-2026-12-07.txt");
    EXPECT_EQ(Read(dir / "rec", dir / "report.html"), 0) << said;
    EXPECT_NE(FileText(dir / "report.html").find("</html>"), std::string::npos);
}

TEST_F(OutputSafety, AFileOfTheRecorderIsRefusedWherever) {
    for (const fs::path& report : {dir / "kq5trace-2026-12-08.txt", dir / "KQ5TRACE-2026-12-08.TXT",
                                   dir / "kq5trace-2026-12-08.2.txt"}) {
        EXPECT_EQ(Read(dir / "t.log", report), 2) << report;
        EXPECT_NE(said.find("a day file of kq5trace --record"), std::string::npos) << said;
        EXPECT_FALSE(fs::exists(report));
    }
}

TEST_F(OutputSafety, ThePictureAndTheReportAreNotOneFile) {
    EXPECT_EQ(Read(dir / "t.log", dir / "out.html", fs::path("../out.html")), 2);
    EXPECT_NE(said.find("another output's file too"), std::string::npos) << said;
    EXPECT_EQ(Read(dir / "t.log", dir / "new.html", fs::path("../sub/../new.html")), 2);
    EXPECT_NE(said.find("another output's file too"), std::string::npos) << said;
}

// A failure leaves the earlier files whole and no temporary file behind; a success replaces them.
TEST_F(OutputSafety, OutputsAreWrittenWholeOrNotAtAll) {
    std::ofstream(dir / "old.svg") << "old picture";
    EXPECT_EQ(Read(dir / "t.log", dir / "nosuch" / "r.html", dir / "old.svg", true), 1);
    EXPECT_NE(said.find("cannot write the report to " + (dir / "nosuch" / "r.html").string() +
                        ": No such file or directory (errno 2)"),
              std::string::npos)
        << said;
    EXPECT_EQ(FileText(dir / "old.svg"), "old picture");
    EXPECT_NE(printed.find("Findings:"), std::string::npos);
    EXPECT_EQ(printed.find("Picture:"), std::string::npos);
    size_t files = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        files += entry.is_regular_file() ? 1 : 0;
    }
    EXPECT_EQ(files, 2u) << "t.log and old.svg only";

    EXPECT_EQ(Read(dir / "t.log", dir / "r.html", dir / "old.svg", true), 0) << said;
    EXPECT_NE(FileText(dir / "old.svg").find("</svg>"), std::string::npos);
    EXPECT_NE(printed.find("\nPicture: " + (dir / "old.svg").string() + "\n"), std::string::npos);

    // A folder where the report belongs is refused by name, before the trace is read.
    EXPECT_EQ(Read(dir / "t.log", dir / "rec"), 2);
    EXPECT_NE(said.find("is a folder"), std::string::npos) << said;
}

// A file there already is written over only when it is kq5's own earlier output of that kind
// (known by its first bytes), or with --replace; a capture is continued only with --append. The
// files are those kq5 writes, in a folder named in French, which messages and titles show as is.
TEST_F(OutputSafety, AFileThereAlreadyIsWrittenOverOnlyWhenSaidOrKq5s) {
    const fs::path french = dir /
                            "Donn\xc3\xa9"
                            "es";
    fs::create_directories(french);
    fs::copy_file(dir / "t.log", french / "t.log");
    fs::copy_file(dir / "rec" / "kq5trace-2026-12-07.txt", french / "capture.txt");
    ASSERT_EQ(Read(french / "t.log", french / "own.html", french / "own.svg"), 0) << said;
    EXPECT_EQ(said, "");  // new files: nothing to say
    std::ofstream(dir / "notes.txt") << "the user's notes";
    const fs::path notes = dir / "notes.txt";
    const struct {
        const char* what;
        fs::path there;
        cmdline::Existing existing;
        std::string answer;  // the refusal, or (after "ok: ") the notice
    } cases[] = {
        {"the picture", french / "own.svg", {}, "ok: the earlier picture"},
        {"the report", french / "own.svg", {}, "is not a report of kq5: --replace writes over it"},
        {"the picture", french / "own.html", {}, "is not a picture of kq5"},
        {"the picture", notes, {true}, "ok: \"" + notes.string() + "\" replaced (--replace)"},
        {"the capture",
         notes,
         {},
         "is there already: --append continues it, --replace writes over it"},
        {"the capture", notes, {false, true}, "is not a capture of kq5trace"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> notices;
        const std::string refused =
            cmdline::CheckOutputs({}, {{c.there, c.what}}, c.existing, &notices);
        const std::string answer =
            refused.empty() && notices.size() == 1 ? "ok: " + notices[0] : refused;
        EXPECT_NE(answer.find(c.answer), std::string::npos)
            << c.what << " over " << c.there << ": " << answer;
    }
    EXPECT_EQ(cmdline::CheckOutputs({}, {{french / "capture.txt", "the capture"}}, {false, true}),
              "");
    // Through the reading: a refusal changes nothing; a report written over is said once written.
    EXPECT_EQ(Read(dir / "t.log", notes), 2);
    EXPECT_EQ(FileText(notes), "the user's notes");
    EXPECT_EQ(Read(french / "t.log", french / "own.html"), 0);
    EXPECT_EQ(said, "kq5test: the earlier report \"" + (french / "own.html").string() +
                        "\" written over\n");
    EXPECT_NE(FileText(french / "own.html").find("<title>kq5test: " + (french / "t.log").string()),
              std::string::npos);
}

}  // namespace
