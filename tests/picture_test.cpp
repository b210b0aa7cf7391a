// The picture: properties over random pictures (the bars tile the span, every label inside its
// bar and none overlapping, a merged bar taking the worst state's colour, every text escaped),
// and golden files of simulated runs' lanes, a drawn picture and a trace's report, rewritten by
// KQ5_UPDATE_GOLDENS=1.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>
#include <sstream>

#include "drain.h"
#include "picture/picture.h"
#include "tracereader/read.h"
#include "tracereader/report.h"

namespace {

constexpr uint64_t kS = 1000;

// A bar as drawn: its rectangle, fill, label (and where the label starts) and hover text.
struct Bar {
    double x = 0, right = 0, y = 0;
    std::string fill, label, title;
    double labelX = 0;
};

// The bars of SVG, track by track (a lane's state bar, or its port strip), in drawing order.
std::vector<std::vector<Bar>> Tracks(const std::string& svg) {
    static const std::regex bar(
        "<g class=\"(?:state|port|unknown)\"><title>([^<]*)</title><rect x=\"([-0-9.]+)\" "
        "y=\"([0-9.]+)\" width=\"([0-9.]+)\" height=\"[0-9.]+\" fill=\"(#[0-9a-f]+)\"[^>]*/>"
        "(?:<text x=\"([0-9.]+)\" y=\"[0-9.]+\">([^<]*)</text>)?</g>");
    std::vector<std::vector<Bar>> tracks;
    for (std::sregex_iterator it(svg.begin(), svg.end(), bar), end; it != end; ++it) {
        const std::smatch& m = *it;
        Bar b;
        b.title = m[1];
        b.x = std::stod(m[2]);
        b.y = std::stod(m[3]);
        b.right = b.x + std::stod(m[4]);
        b.fill = m[5];
        if (m[6].matched) {
            b.labelX = std::stod(m[6]);
            b.label = m[7];
        }
        if (tracks.empty() || tracks.back().back().y != b.y) {
            tracks.emplace_back();
        }
        tracks.back().push_back(b);
    }
    return tracks;
}

// The printer's states by meaning, the most serious first: what a merged bar must show.
const int kCodesWorstFirst[] = {0x08, 0x04, 0x10, -1, 0x20};  // paper out .. absent, ready

PrinterChange Printer(uint64_t atMs, int code) {
    return PrinterChange{atMs, code >= 0, code < 0 ? 0 : code};
}

// A picture of random states at a random pace: runs of states a millisecond apart up to an
// hour apart, so that some are drawn alone and some too narrow to be.
Picture RandomPicture(std::mt19937& random) {
    Picture p;
    p.queuePort = "USB001";
    p.fromTrace = random() % 2 == 0;
    const uint64_t paces[] = {1, 50, 800, 5000, 60000, 3600000};
    const uint64_t pace = paces[random() % 6];
    uint64_t at = 0;
    for (size_t i = 0, n = 1 + random() % 120; i < n; ++i) {
        at += random() % (pace + 1);
        p.printer.push_back(Printer(at, kCodesWorstFirst[random() % 5]));
        p.timeline.push_back({at, QueuePausedEvent{random() % 2 == 0}});
        if (random() % 3 == 0) {
            p.timeline.push_back(
                {at, ServiceStepEvent{"Spooler",
                                      random() % 2 ? ServiceStep::Stopped : ServiceStep::Running}});
        }
        if (random() % 4 == 0) {
            p.timeline.push_back({at, QueuePortEvent{"", "USB00" + std::to_string(random() % 3)}});
        }
    }
    p.timeline.push_back({at + 1, NoteEvent{"scenario", "the end"}});
    return p;
}

// Every track's bars tile the axis: no gap between two, each ending no earlier than the one
// before, all tracks starting (but the printer's, at its first change) and ending where the axis
// does; every label inside its bar (at most 6.5 px a
// character of 11 px sans-serif), so none overlaps another.
TEST(TracePicture, BarsTileTheSpanAndLabelsFitTheirBars) {
    std::mt19937 random(5);
    for (int round = 0; round < 60; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        const Picture picture = RandomPicture(random);
        const auto tracks = Tracks(FormatSvg(picture, "t"));
        // The axis ends at the next whole second after the last event, where every bar ends.
        const std::string end =
            " to " + std::to_string(picture.timeline.back().timeMs / 1000 + 1) + ".000 s (";
        ASSERT_GE(tracks.size(), 5u);  // four lanes and the queue's port
        // The queue's bar starts at the axis's start; the printer's at its first change.
        const double axisStart = tracks[1].front().x;
        const double axisEnd = tracks[1].back().right;
        for (const std::vector<Bar>& track : tracks) {
            EXPECT_NEAR(track.back().right, axisEnd, 0.15);
            EXPECT_NE(track.back().title.find(end), std::string::npos) << track.back().title;
            EXPECT_GE(track.front().x, axisStart - 1.05);
            if (&track != &tracks.front()) {
                EXPECT_NEAR(track.front().x, axisStart, 1.05);
            }
            for (size_t i = 0; i < track.size(); ++i) {
                const Bar& b = track[i];
                EXPECT_GE(b.right - b.x, 0.95) << b.title;  // even the shortest shows
                if (i > 0) {
                    EXPECT_LE(b.x, track[i - 1].right + 0.15) << b.title;
                    EXPECT_GE(b.right, track[i - 1].right - 0.15) << b.title;
                }
                if (!b.label.empty()) {
                    EXPECT_GT(b.labelX, b.x) << b.label;
                    EXPECT_LE(b.labelX + 6.5 * static_cast<double>(b.label.size()), b.right)
                        << b.label;
                }
            }
        }
    }
}

// States too narrow to draw apart share a bar up to half a pixel wide, which takes the colour of
// the most serious among them (as that state is drawn alone) and says how many it holds.
TEST(TracePicture, AMergedBarTakesTheWorstColour) {
    std::map<int, std::string> alone;  // each state's colour, drawn wide
    for (const int code : kCodesWorstFirst) {
        Picture p;
        p.printer = {Printer(0, code)};
        p.timeline = {{10 * kS, NoteEvent{"scenario", "the end"}}};
        alone[code] = Tracks(FormatSvg(p, "t")).front().front().fill;
    }
    std::mt19937 random(11);
    for (int round = 0; round < 200; ++round) {
        Picture p;
        p.printer = {Printer(0, 0x20)};
        std::vector<int> codes;
        // Each a tenth of a pixel, each a change, the first and last not ready as around them.
        for (size_t i = 0, n = 2 + random() % 8; i < n; ++i) {
            int code = 0x20;
            while ((code == 0x20 && (i == 0 || i + 1 == n)) || (i > 0 && code == codes.back())) {
                code = kCodesWorstFirst[random() % 5];
            }
            codes.push_back(code);
            p.printer.push_back(Printer(500 * kS + 100 * i, code));
        }
        p.printer.push_back(Printer(500 * kS + 100 * codes.size(), 0x20));
        p.timeline = {{1099 * kS, NoteEvent{"scenario", "the end"}}};  // a pixel a second
        // A bar holds states up to half a pixel: five of them, the rest in the next bars.
        const size_t first = std::min<size_t>(codes.size(), 5);
        const int worst =
            *std::find_first_of(std::begin(kCodesWorstFirst), std::end(kCodesWorstFirst),
                                codes.begin(), codes.begin() + static_cast<std::ptrdiff_t>(first));
        const std::vector<Bar> bars = Tracks(FormatSvg(p, "t")).front();
        ASSERT_EQ(bars.size(), 2 + (codes.size() + 4) / 5) << "round " << round;
        EXPECT_EQ(bars[1].fill, alone[worst]) << "round " << round << ", worst " << worst;
        EXPECT_EQ(bars[1].title.rfind(std::to_string(first) + " states too short", 0), 0u)
            << bars[1].title;
    }
}

// Every text the picture shows comes escaped: markup in a title, a port, a line or a mark is
// text, never markup.
TEST(TracePicture, EveryTextIsEscaped) {
    Picture p;
    p.queuePort = "<b>USB</b>";
    p.subtitle = "a & b";
    p.actions = {{kS, "service", "\"quoted\" <i>"}};
    p.timeline = {{kS, ReadServiceLine(Channel::Debug, "<script>x</script>")}};
    const std::string svg = FormatSvg(p, "<title>");
    for (const char* raw : {"<b>", "<i>", "<script>", "<title><title>", "a & b"}) {
        EXPECT_EQ(svg.find(raw), std::string::npos) << raw;
    }
    EXPECT_NE(svg.find("&lt;b&gt;USB&lt;/b&gt;"), std::string::npos);
    EXPECT_NE(svg.find("&quot;quoted&quot; &lt;i&gt;"), std::string::npos);
}

// TEXT as the golden file NAME under tests/traces/pictures/ holds it, or written there.
void ExpectGolden(const std::string& name, const std::string& text) {
    const std::filesystem::path path = std::filesystem::path(KQ5_TRACE_SAMPLES) / "pictures" / name;
    if (std::getenv("KQ5_UPDATE_GOLDENS") != nullptr) {
        std::ofstream(path, std::ios::binary) << text;
        return;
    }
    EXPECT_EQ(text, FileText(path)) << name;
}

StatusReportEvent Report(uint32_t state, uint32_t checkPoint) {
    StatusReportEvent r;
    r.state = state;
    r.type = 0x10;
    r.checkPoint = checkPoint;
    return r;
}

// Simulated runs drawn from their start: the queue's states, statuses and ports; the printer
// as plugged in with its faults; the Spooler's steps and refusals; the service's reports,
// controls and output lines.
Picture SimulatedRun() {
    Picture run;
    run.queuePort = "USB001";
    run.printer = {
        {0, true, 0x20}, {10 * kS, true, 0x08}, {20 * kS, false, 0}, {30 * kS, true, 0x0C}};
    // Marks of one kind within a pixel share one; of two kinds at one moment, each its own.
    run.actions = {{15 * kS, "printer", "registry read failed: 2"},
                   {16 * kS, "service", "device arrival"},
                   {16 * kS + 10, "service", "device arrival"},
                   {30 * kS, "service", "device removal"}};
    run.timeline = {{5 * kS, ServiceStartedEvent{}},
                    {10 * kS, QueuePausedEvent{true}},
                    {10 * kS, QueueStatusEvent{kPrinterStatusPaperOut | kPrinterStatusOffline}},
                    {10 * kS, ServiceStepEvent{"Spooler", ServiceStep::StopRequested}},
                    {10 * kS, Report(kServiceStartPending, 1)},
                    {15 * kS, ReadServiceLine(Channel::Debug, "GetPrinterHandle")},
                    {15 * kS, ReadServiceLine(Channel::Debug, "KQ5 STATUS:32\\r\\n")},
                    {20 * kS, QueueStatusEvent{kPrinterStatusOffline | 0x100}},
                    {20 * kS, ServiceStepEvent{"Spooler", ServiceStep::Stopped}},
                    {20 * kS, Report(kServiceStartPending, 2)},
                    {30 * kS, QueueStatusEvent{kPrinterStatusDoorOpen}},
                    {30 * kS, ServiceStepEvent{"Spooler", ServiceStep::StartRequested}},
                    {30 * kS, Report(kServiceRunning, 0)},
                    {35 * kS, QueuePortEvent{"USB001", "USB002"}},
                    {35 * kS, ReadServiceLine(Channel::Stdout, "kq5 runs")},
                    {40 * kS, QueuePausedEvent{false}},
                    {40 * kS, QueueStatusEvent{0}},
                    {40 * kS, StartRefusedEvent{"Spooler", 1058, std::nullopt}},
                    {40 * kS, ControlRefusedEvent{1, 1061, kServiceRunning}},
                    {42 * kS, QueuePortEvent{"USB002", "USB003"}},
                    {43 * kS, QueueSettingsEvent{"pDriverName"}},
                    {44 * kS, QueuePortEvent{"USB003", "USB001"}},
                    {45 * kS, Report(kServiceStopPending, 0)},
                    {46 * kS, QueuePortEvent{"USB001", "USB004"}},
                    {47 * kS, QueuePortEvent{"USB004", "USB005"}},
                    {48 * kS, QueuePortEvent{"USB005", ""}},
                    {50 * kS, ServiceStepEvent{"Spooler", ServiceStep::StartRequested}},
                    {55 * kS, Report(kServiceStopped, 0)},
                    {60 * kS, ServiceStepEvent{"Spooler", ServiceStep::Running}},
                    {70 * kS, ServiceStepEvent{"Spooler", ServiceStep::StopRefused}},
                    {80 * kS, StartRefusedEvent{"Fax", 1058, std::nullopt}}};
    return run;
}

TEST(TracePicture, GoldenPicturesAndReport) {
    Picture run = SimulatedRun();
    ExpectGolden("simulated-run.svg", FormatSvg(run, "kq5sim: a simulated run"));
    std::string lanes = LanesText(run);
    run.queueExists = false;
    lanes += "\nWithout a queue:\n" + LanesText(run);
    ExpectGolden("simulated-run-lanes.txt", lanes);
    // Reports of a restart (a stretch unknown), of a DebugView log, of a gap before a restart
    // (their findings in time order, the serious first) and of a restart kq5trace listened to
    // (its stretch told, not serious).
    for (const char* log :
         {"corpus/restart.log", "debugview-kernel.log", "corpus/gap-then-restart.log",
          "corpus/a-restart-kq5trace-listened-to.log"}) {
        std::ifstream trace(std::filesystem::path(KQ5_TRACE_SAMPLES) / log, std::ios::binary);
        const TraceReport report = ReadTrace(trace, log);
        ASSERT_TRUE(report.ok) << report.error;
        const std::string name = std::filesystem::path(log).stem().string();
        ExpectGolden(name + "-report.html", FormatHtml(report, "kq5trace: " + name));
    }
}

}  // namespace
