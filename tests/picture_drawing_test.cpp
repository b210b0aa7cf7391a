// How the picture is drawn, as a reader of the SVG sees it: bars too narrow to see merged in their
// most serious colour, labels only where they fit, marks in time order and shared within a pixel,
// the ticks, the time axis, the legend, every text escaped, and where the picture ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "events/events.h"
#include "picture_svg.h"
#include "picture/picture.h"

namespace {

// The children of E with TAG.
std::vector<const Element*> All(const Element& e, const std::string& tag) {
    std::vector<const Element*> out;
    for (const Element& c : e.children) {
        if (c.tag == tag) {
            out.push_back(&c);
        }
    }
    return out;
}

// The groups of a lane (or the picture) whose class is one of CLASSES, in drawing order.
std::vector<const Element*> Groups(const Element& lane, std::vector<std::string> classes) {
    std::vector<const Element*> out = All(lane, "g");
    std::erase_if(out, [&](const Element* g) {
        return std::find(classes.begin(), classes.end(), g->Attr("class")) == classes.end();
    });
    return out;
}

std::vector<const Element*> Bars(const Element& lane) {
    return Groups(lane, {"state", "unknown"});
}

std::vector<std::string> Titles(const std::vector<const Element*>& groups) {
    std::vector<std::string> out;
    for (const Element* g : groups) {
        out.push_back(g->Title());
    }
    return out;
}

double Right(const Element& rect) {
    return rect.Num("x") + rect.Num("width");
}

// What a bar of states too short to draw apart says of them.
const std::string kTooShort =
    " states too short to draw apart (the timeline lists them), among them: ";

// ---- Pictures built directly ---------------------------------------------------------------

// A picture whose time axis ends at 1100 s: 1100 px wide, one pixel a second.
constexpr uint64_t kEndMs = 1100000;
constexpr double kPxPerMs = 0.001;

// The left edge of the plot: where time 0 is drawn (the lane names stand before it).
double PlotLeft(const Element& svg) {
    // The picture is 20 px wider than the plot's right edge, at the end time.
    return svg.Num("width") - 20 - static_cast<double>(kEndMs) * kPxPerMs;
}

double At(const Element& svg, uint64_t ms) {
    return PlotLeft(svg) + static_cast<double>(ms) * kPxPerMs;
}

Picture Plain() {
    Picture p;
    p.timeline.push_back({kEndMs - 1, NoteEvent{"scenario", "the end"}});
    return p;
}

Element Draw(const Picture& p, const std::string& title = "t") {
    return ParseSvg(FormatSvg(p, title));
}

// "printer present, status 0x20 ready" and the like: a printer at AT with CODE (-1: absent).
PrinterChange Printer(uint64_t atMs, int code) {
    return PrinterChange{atMs, code >= 0, code < 0 ? 0 : code};
}

// ---- Bars ----------------------------------------------------------------------------------

// States narrower than half a pixel share a bar with their neighbours until it is half a pixel
// wide; it shows the most serious colour among them (red, amber, purple, grey, then green), names
// the first of the most serious in its hover text, and is drawn a pixel wide ending where its
// last state ends.
TEST(TraceDrawing, NarrowStatesShareABarInTheMostSeriousColour) {
    // A name, the codes (each 0.2 px wide, between two wide "ready" bars), the bar's fill and the
    // state its title names.
    const std::tuple<const char*, std::vector<int>, const char*, const char*> cases[] = {
        {"paper out over door open", {0x04, 0x08}, kRed, "printer present, status 0x08 paper out"},
        {"red first", {0x08, 0x04, 0x10}, kRed, "printer present, status 0x08 paper out"},
        {"amber over unknown", {0x10, 0x04}, kAmber, "printer present, status 0x04 door open"},
        {"an unknown code over absent", {-1, 0x10}, kPurple, "printer present, status 0x10"},
        {"absent over ready", {0x28, -1}, kGrey, "printer absent"},
        {"ready over nothing worse", {0x28, 0xA0}, kGreen, "printer present, status 0x28 ready"},
        {"first of two door opens", {0x04, 0x0C}, kAmber, "printer present, status 0x04 door open"},
    };
    for (const auto& [name, codes, fill, among] : cases) {
        SCOPED_TRACE(name);
        Picture p = Plain();
        p.printer.push_back(Printer(0, 0x20));
        uint64_t at = 500000;
        for (const int code : codes) {
            p.printer.push_back(Printer(at, code));
            at += 200;
        }
        p.printer.push_back(Printer(at, 0x20));
        const Element svg = Draw(p);
        const auto bars = Bars(LaneOf(svg, "printer"));
        // The wide bars around it keep their own states.
        const std::string ready = "printer present, status 0x20 ready\n";
        const std::string end = codes.size() == 2 ? "500.400 s" : "500.600 s";
        const std::string merged = std::to_string(codes.size()) + kTooShort + among;
        EXPECT_EQ(Titles(bars),
                  (std::vector<std::string>{ready + "0.000 s to 500.000 s (8 min 20 s)",
                                            merged + "\n500.000 s to " + end +
                                                (codes.size() == 2 ? " (0.4 s)" : " (0.6 s)"),
                                            ready + end + " to 1100.000 s (9 min 59 s)"}));
        ASSERT_EQ(bars.size(), 3u);
        const Element& rect = bars[1]->Get("rect");
        EXPECT_EQ(rect.Attr("fill"), fill);
        EXPECT_EQ(rect.Attr("width"), "1.0");
        EXPECT_NEAR(Right(rect), At(svg, at), 0.05);
        EXPECT_EQ(bars[1]->Child("text"), nullptr);
    }
}

// Where the bar is half a pixel wide it takes no more states, and a state half a pixel wide is
// wide enough to stand alone (only narrower ones join).
TEST(TraceDrawing, HalfAPixelEndsTheMerging) {
    const auto titles = [](const std::vector<std::pair<uint64_t, int>>& changes) {
        Picture p = Plain();
        for (const auto& [at, code] : changes) {
            p.printer.push_back(Printer(at, code));
        }
        std::vector<std::string> out = Titles(Bars(LaneOf(Draw(p), "printer")));
        for (std::string& title : out) {
            title = title.substr(0, title.find('\n'));
        }
        return out;
    };
    // 0.2 px then 0.3 px: the bar is half a pixel with both; the third starts a bar of its own.
    EXPECT_EQ(titles({{0, 0x20}, {1000, 0x04}, {1200, 0x08}, {1500, 0x10}, {1600, 0x20}}),
              (std::vector<std::string>{"printer present, status 0x20 ready",
                                        "2" + kTooShort + "printer present, status 0x08 paper out",
                                        "printer present, status 0x10",
                                        "printer present, status 0x20 ready"}));
    // A state of 0.2 px, then one of exactly half a pixel: each its own bar.
    EXPECT_EQ(titles({{0, 0x20}, {1000, 0x04}, {1200, 0x08}, {1700, 0x20}}),
              (std::vector<std::string>{
                  "printer present, status 0x20 ready", "printer present, status 0x04 door open",
                  "printer present, status 0x08 paper out", "printer present, status 0x20 ready"}));
}

// The Spooler stopped in the last instant of the picture: the last two states, too short to draw
// apart, still show at the right edge, red.
TEST(TraceDrawing, TheLastStatesShowAtTheRightEdge) {
    Picture p;
    p.timeline = {{kEndMs - 600, ServiceStepEvent{"Spooler", ServiceStep::StopRequested}},
                  {kEndMs - 300, ServiceStepEvent{"Spooler", ServiceStep::Stopped}}};
    const Element svg = Draw(p);
    const auto bars = Bars(LaneOf(svg, "spooler"));
    ASSERT_EQ(bars.size(), 2u);
    EXPECT_EQ(bars[1]->Title(),
              "2" + kTooShort + "Spooler stopped\n1099.400 s to 1100.000 s (0.6 s)");
    EXPECT_EQ(bars[1]->Get("rect").Attr("fill"), kRed);
    EXPECT_NEAR(Right(bars[1]->Get("rect")), At(svg, kEndMs), 0.05);

    // A last state alone, too narrow to see, after one superseded at its own moment (a door
    // opened and closed within the millisecond, which is no state): a pixel at the right edge,
    // with its own title.
    Picture last = Plain();
    last.printer = {Printer(0, 0x20), Printer(kEndMs - 300, 0x08), Printer(kEndMs - 100, 0x04),
                    Printer(kEndMs - 100, 0x08)};
    const Element lastSvg = Draw(last);
    const auto lastBars = Bars(LaneOf(lastSvg, "printer"));
    ASSERT_EQ(lastBars.size(), 2u);
    EXPECT_EQ(lastBars[1]->Title(),
              "printer present, status 0x08 paper out\n1099.700 s to 1100.000 s (0.3 s)");
    EXPECT_NEAR(lastBars[1]->Get("rect").Num("x"), At(lastSvg, kEndMs) - 1, 0.05);
}

// Each bar spans its state's time, from its start to the next state (the last to the picture's
// end), outlined in white to stand apart from its neighbours; a bar widened to a pixel is not
// outlined, which would cover it, and ends where its state ends.
TEST(TraceDrawing, BarsSpanTheirStatesTime) {
    Picture p = Plain();
    p.printer = {Printer(0, 0x20), Printer(100000, 0x04), Printer(100400, -1),
                 Printer(400000, 0x20)};
    const Element svg = Draw(p);
    const auto bars = Bars(LaneOf(svg, "printer"));
    ASSERT_EQ(bars.size(), 4u);
    const struct {
        uint64_t fromMs, toMs;
        const char* title;
    } expected[] = {
        {0, 100000, "printer present, status 0x20 ready\n0.000 s to 100.000 s (1 min 40 s)"},
        {100000, 100400, "printer present, status 0x04 door open\n100.000 s to 100.400 s (0.4 s)"},
        {100400, 400000, "printer absent\n100.400 s to 400.000 s (4 min 59 s)"},
        {400000, kEndMs,
         "printer present, status 0x20 ready\n400.000 s to 1100.000 s (11 min 40 s)"},
    };
    for (size_t i = 0; i < bars.size(); ++i) {
        SCOPED_TRACE(expected[i].title);
        EXPECT_EQ(bars[i]->Title(), expected[i].title);
        const Element& rect = bars[i]->Get("rect");
        EXPECT_NEAR(Right(rect), At(svg, expected[i].toMs), 0.05);
        if (i == 1) {
            EXPECT_EQ(rect.Attr("width"), "1.0");
            EXPECT_FALSE(rect.Has("stroke"));
        } else {
            EXPECT_NEAR(rect.Num("x"), At(svg, expected[i].fromMs), 0.05);
            EXPECT_EQ(rect.Attr("stroke"), "#ffffff");
        }
    }
}

// A bar's label, or its short one, is written only where it fits: 6.5 px a character and 4 px
// on either side; it stands inside the bar, its baseline 4 px (half a capital) below the middle.
TEST(TraceDrawing, LabelsOnlyWhereTheyFit) {
    // The ready state's width from 0 (one pixel a second), its label and the absent printer's.
    const std::tuple<uint64_t, const char*, const char*> cases[] = {
        {73000, "0x20 ready", "absent"},  // 10 characters: 65 + 8 px
        {72999, "0x20", "absent"},        // the short label's 4 characters: 26 + 8 px
        {34000, "0x20", "absent"},          {33999, "", "absent"},
        {kEndMs - 40000, "0x20 ready", ""},  // "absent" has no short label
    };
    for (const auto& [widthMs, ready, absentLabel] : cases) {
        SCOPED_TRACE(widthMs);
        Picture p = Plain();
        p.printer = {Printer(0, 0x20), Printer(widthMs, -1)};
        const Element svg = Draw(p);
        const auto bars = Bars(LaneOf(svg, "printer"));
        ASSERT_EQ(bars.size(), 2u);
        const auto texts = All(*bars[0], "text"), absent = All(*bars[1], "text");
        EXPECT_EQ(absent.empty() ? "" : absent[0]->text, absentLabel);
        ASSERT_EQ(texts.size(), *ready == '\0' ? 0u : 1u) << "one label a bar, where it fits";
        if (!texts.empty()) {
            const Element &text = *texts[0], &rect = bars[0]->Get("rect");
            EXPECT_EQ(text.text, ready);
            const double x = text.Num("x"), chars = 6.5 * static_cast<double>(text.text.size());
            EXPECT_GE(x - rect.Num("x"), 4 - 0.05);
            EXPECT_GE(Right(rect) - (x + chars), 4 - 0.05);
            EXPECT_NEAR(text.Num("y"), rect.Num("y") + rect.Num("height") / 2 + 4, 0.05);
        }
    }
}

// ---- Marks and ticks -----------------------------------------------------------------------

struct DrawnMark {
    std::string shape;  // "circle" or "path"
    double x;           // where it points
    std::string title;
};

std::vector<DrawnMark> Marks(const Element& lane) {
    std::vector<DrawnMark> out;
    for (const Element* g : Groups(lane, {"mark"})) {
        if (const Element* circle = g->Child("circle")) {
            out.push_back({"circle", circle->Num("cx"), g->Title()});
            continue;
        }
        // "M<left>,<top> h9 l-4.5,8 z": a triangle pointing down at its middle.
        const std::string d = g->Get("path").Attr("d");
        EXPECT_EQ(d.substr(d.find(' ')), " h9 l-4.5,8 z");
        out.push_back({"path", std::stod(d.substr(1)) + 4.5, g->Title()});
    }
    return out;
}

LaneMark Action(uint64_t atMs, const std::string& text) {
    return LaneMark{atMs, "service", text};
}

TimelineEvent Report(uint64_t atMs) {
    StatusReportEvent report;
    report.state = 4;  // running
    return {atMs, report};
}

// Marks are drawn in time order, each at its moment; marks of one kind closer than a pixel share
// one, which counts them and lists them in the order they happened while its hover text is
// shorter than 240 characters; other kinds stand apart.
TEST(TraceDrawing, MarksInTimeOrderSharedWithinAPixel) {
    Picture p = Plain();
    p.timeline.insert(p.timeline.begin(), {Report(50000), Report(50000), Report(60000)});
    p.actions = {Action(5000, "B"),         Action(2000, "A"),  Action(10000, "C"),
                 Action(10999, "D"),        Action(20000, "E"), Action(21000, "F"),
                 Action(30000, "G"),        Action(30100, "H"), Action(30200, "I"),
                 Action(40000, "J"),        Action(40000, "K"), Action(50000, "L"),
                 Action(kEndMs - 1500, "M")};
    // "80.000 s\n" and 21 characters, then 30 characters a mark: 240 with the eighth.
    std::string listed = "10 marks here:\n80.000 s\n" + std::string(21, 'a');
    p.actions.push_back(Action(80000, std::string(21, 'a')));
    for (char c = 'b'; c <= 'j'; ++c) {
        p.actions.push_back(Action(80000, std::string(20, c)));
        listed += c <= 'h' ? "\n80.000 s\n" + std::string(20, c) : "";
    }
    const Element svg = Draw(p);
    const std::vector<DrawnMark> marks = Marks(LaneOf(svg, "service"));
    const std::string report = "\n" + EventText(Report(50000));
    const struct {
        const char* shape;
        uint64_t atMs;
        std::string title;
    } expected[] = {
        {"path", 2000, "2.000 s\nA"},
        {"path", 5000, "5.000 s\nB"},
        {"path", 10000, "2 marks here:\n10.000 s\nC\n10.999 s\nD"},
        {"path", 20000, "20.000 s\nE"},
        {"path", 21000, "21.000 s\nF"},
        {"path", 30000, "3 marks here:\n30.000 s\nG\n30.100 s\nH\n30.200 s\nI"},
        {"path", 40000, "2 marks here:\n40.000 s\nJ\n40.000 s\nK"},
        {"circle", 50000, "2 marks here:\n50.000 s" + report + "\n50.000 s" + report},
        {"path", 50000, "50.000 s\nL"},
        {"circle", 60000, "60.000 s" + report},
        {"path", 80000, listed},
        {"path", kEndMs - 1500, "1098.500 s\nM"},
    };
    ASSERT_EQ(marks.size(), std::size(expected));
    for (size_t i = 0; i < marks.size(); ++i) {
        SCOPED_TRACE(expected[i].title);
        EXPECT_EQ(marks[i].shape, expected[i].shape);
        EXPECT_EQ(marks[i].title, expected[i].title);
        EXPECT_NEAR(marks[i].x, At(svg, expected[i].atMs), 0.05);
    }
}

// The service's output lines: a tick at each line's moment, grey for the debugger, purple for
// standard output, with a wider invisible target around it for the hover.
TEST(TraceDrawing, TicksStandAtTheirLines) {
    Picture p = Plain();
    p.timeline.insert(p.timeline.begin(), {{3000, ReadServiceLine(Channel::Debug, "KQ5 STATUS:32")},
                                           {6000, ReadServiceLine(Channel::Stdout, "hello")}});
    const Element svg = Draw(p);
    const auto ticks = Groups(LaneOf(svg, "service"), {"tick"});
    EXPECT_EQ(Titles(ticks), (std::vector<std::string>{"3.000 s\ndebug \"KQ5 STATUS:32\"",
                                                       "6.000 s\nstdout \"hello\""}));
    ASSERT_EQ(ticks.size(), 2u);
    const std::pair<uint64_t, const char*> expected[] = {{3000, kDebug}, {6000, kStdout}};
    for (size_t i = 0; i < ticks.size(); ++i) {
        const auto rects = All(*ticks[i], "rect");
        ASSERT_EQ(rects.size(), 2u);
        EXPECT_EQ(rects[0]->Attr("fill"), expected[i].second);
        // Both centred on the line's moment, within the tenth of a pixel the SVG is written in.
        for (const Element* rect : rects) {
            EXPECT_NEAR(rect->Num("x") + rect->Num("width") / 2, At(svg, expected[i].first), 0.1);
        }
        EXPECT_GT(rects[1]->Num("width"), rects[0]->Num("width"));
        EXPECT_EQ(rects[1]->Attr("fill-opacity"), "0");
        EXPECT_EQ(rects[0]->Attr("y"), rects[1]->Attr("y"));
    }
}

// ---- The axis, the legend, the page --------------------------------------------------------

struct AxisView {
    std::vector<std::string> captions;
    std::map<std::string, const Element*> labels;
    std::vector<const Element*> midnights;
};

// The axis of SVG. Its caption and labels stand on one row above the lanes, the labels' lines
// (and the midnights') from under them down across every lane.
AxisView AxisOf(const Element& svg) {
    const auto axes = Groups(svg, {"axis"});
    EXPECT_EQ(axes.size(), 1u);
    AxisView axis;
    for (const Element& c : axes.at(0)->children) {
        if (c.tag == "text") {
            EXPECT_EQ(c.Num("y"), 58) << c.text;
            if (c.Has("text-anchor")) {
                axis.labels[c.text] = &c;
            } else {
                axis.captions.push_back(c.text);
            }
            continue;
        }
        EXPECT_EQ(c.Attr("x1"), c.Attr("x2"));
        EXPECT_EQ(c.Num("y1"), 62);
        EXPECT_EQ(c.Num("y2"), 70 + 4 * 56);
        if (c.Attr("class") == "midnight") {
            axis.midnights.push_back(&c);
        }
    }
    return axis;
}

// The axis labels its round times where they are: from the first line, or the local clock with a
// midnight by its date (darker) and a dashed line at it; it says what it counts.
TEST(TraceDrawing, TheAxisShowsTimesWhereTheyAre) {
    const Element svg = Draw(Plain());
    AxisView axis = AxisOf(svg);
    EXPECT_EQ(axis.captions, std::vector<std::string>{"time from the first line"});
    ASSERT_GE(axis.labels.size(), 5u);
    for (const auto& [text, label] : axis.labels) {
        // "0 s", "2 min", "1 h 10 min"... whatever the step, each at its time.
        EXPECT_GE(label->Num("x"), At(svg, 0) - 0.05) << text;
        EXPECT_LE(label->Num("x"), At(svg, kEndMs) + 0.05) << text;
    }
    ASSERT_TRUE(axis.labels.count("0 s") && axis.labels.count("5 min"));
    EXPECT_NEAR(axis.labels["0 s"]->Num("x"), At(svg, 0), 0.05);
    EXPECT_NEAR(axis.labels["5 min"]->Num("x"), At(svg, 300000), 0.05);

    // A trace from 23:50 over midnight, local time.
    Picture night = Plain();
    night.fromTrace = true;
    night.clock.kind = ClockKind::DateTime;
    night.clock.anchors = {{0, 20429LL * kDayMs + (23 * 60 + 50) * 60000LL}};  // 2025-12-07
    const Element nightSvg = Draw(night);
    axis = AxisOf(nightSvg);
    EXPECT_EQ(axis.captions, std::vector<std::string>{"local time, 2025-12-07"});
    ASSERT_TRUE(axis.labels.count("2025-12-08"));
    for (const auto& [text, label] : axis.labels) {
        EXPECT_EQ(label->Attr("fill"), text == "2025-12-08" ? "#333333" : "#666666") << text;
    }
    EXPECT_NEAR(axis.labels["2025-12-08"]->Num("x"), At(nightSvg, 600000), 0.05);
    ASSERT_EQ(axis.midnights.size(), 1u);
    EXPECT_NEAR(axis.midnights[0]->Num("x1"), At(nightSvg, 600000), 0.05);
}

// The legend names every kind of mark and tick in its colour, and a trace's "unknown"; its keys
// side by side 14 px below the lanes, 10 px above the picture's end, from 5 px right of the
// plot's left edge, 30 px and 6 px a character of their text apart.
TEST(TraceDrawing, TheLegendNamesEveryMark) {
    std::map<std::string, std::string> expected = {{"device event or control", kBlue},
                                                   {"fault or refusal", kRed},
                                                   {"status report", "#ffffff"},
                                                   {"debugger line", kDebug},
                                                   {"standard output", kStdout}};
    for (const bool trace : {false, true}) {
        SCOPED_TRACE(trace ? "a trace" : "a run");
        Picture p = Plain();
        p.fromTrace = trace;
        const Element svg = Draw(p);
        const auto legend = Groups(svg, {"legend"});
        ASSERT_EQ(legend.size(), 1u);
        std::map<std::string, std::string> keys;  // text: its shape's fill
        double x = PlotLeft(svg) + 5;
        for (const Element& key : legend[0]->children) {
            keys[key.Get("text").text] = key.children.front().Attr("fill");
            const std::string t = key.Attr("transform");
            EXPECT_EQ(std::stod(t.substr(t.find('(') + 1)), x) << t;
            EXPECT_EQ(std::stod(t.substr(t.find(',') + 1)), 70 + 4 * 56 + 14) << t;
            x += 30 + 6 * static_cast<double>(key.Get("text").text.size());
        }
        if (trace) {
            expected["unknown: no line tells"] = kUnknown;
        }
        EXPECT_EQ(keys, expected);
    }
}

// The page: on white whatever the viewer's background (a dark page would hide the texts), the
// title and the subtitle above four lanes, top to bottom, each 56 px high from 70 px down (under
// the axis' labels), with its name beside the bar (baseline 20 px) and its caption beside the row
// below it (baseline 36 px). In a lane the marks' triangles in the first 10 px pointing down at
// the state bar (10 to 32 px), the status reports' circles on the bar's lower edge, below the bar
// the port strip (34 to 48 px) or the ticks (36 to 48 px), the separator at 54 px to the
// picture's right edge. The picture ends 24 px below the lanes.
TEST(TraceDrawing, TheLayout) {
    Picture p = Plain();
    p.subtitle = "a run";
    p.queueCaption = "as commanded";
    p.printer.push_back(Printer(0, 0x20));
    p.timeline.insert(p.timeline.begin(),
                      {Report(50000), {60000, ReadServiceLine(Channel::Debug, "KQ5 STATUS:32")}});
    p.actions = {Action(70000, "A")};
    const Element svg = Draw(p, "kq5 <run>");
    EXPECT_EQ(svg.Attr("viewBox"), "0 0 " + svg.Attr("width") + " " + svg.Attr("height"));
    EXPECT_EQ(svg.Num("height"), 70 + 4 * 56 + 24);
    const Element& background = svg.children.at(0);
    EXPECT_EQ(background.tag, "rect");
    EXPECT_EQ(background.attrs, (std::map<std::string, std::string>{
                                    {"width", "100%"}, {"height", "100%"}, {"fill", "#ffffff"}}));
    const auto texts = All(svg, "text");
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0]->text, "kq5 <run>");
    EXPECT_EQ(texts[1]->text, "a run. Hover over a bar, mark or tick to read it.");
    const struct {
        const char *id, *name, *caption;
        double top;
    } lanes[] = {{"printer", "printer", "present, status", 70},
                 {"queue", "queue", "as commanded", 126},
                 {"spooler", "Spooler", "service state", 182},
                 {"service", "service", "reports, events; output", 238}};
    for (const auto& l : lanes) {
        SCOPED_TRACE(l.id);
        const Element& lane = LaneOf(svg, l.id);
        ASSERT_GE(lane.children.size(), 2u);
        const auto row = [&](const Element& e, const char* attr) { return e.Num(attr) - l.top; };
        // Where a rectangle starts in the lane, and its height.
        const auto rows = [&](const Element& e) { return std::pair(row(e, "y"), e.Num("height")); };
        EXPECT_EQ(lane.children[0].text, l.name);
        EXPECT_EQ(row(lane.children[0], "y"), 20);
        EXPECT_EQ(lane.children[1].text, l.caption);
        EXPECT_EQ(row(lane.children[1], "y"), 36);
        EXPECT_EQ(rows(Bars(lane).at(0)->Get("rect")), std::pair(10.0, 22.0));
        for (const Element* strip : Groups(lane, {"port"})) {
            EXPECT_EQ(rows(strip->Get("rect")), std::pair(34.0, 14.0));
        }
        for (const Element* tick : Groups(lane, {"tick"})) {
            EXPECT_EQ(rows(tick->Get("rect")), std::pair(36.0, 12.0));
        }
        for (const Element* mark : Groups(lane, {"mark"})) {
            if (const Element* circle = mark->Child("circle")) {
                EXPECT_EQ(row(*circle, "cy"), 32);
            } else {
                const std::string d = mark->Get("path").Attr("d");
                EXPECT_EQ(std::stod(d.substr(d.find(',') + 1)) - l.top, 1) << d;
            }
        }
        const Element& line = lane.Get("line");
        EXPECT_EQ(row(line, "y1"), 54);
        EXPECT_EQ(row(line, "y2"), 54);
        EXPECT_EQ(line.Num("x2"), svg.Num("width"));
    }
    EXPECT_EQ(Groups(LaneOf(svg, "queue"), {"port"}).size(), 1u);
    EXPECT_EQ(Groups(LaneOf(svg, "service"), {"tick"}).size(), 1u);
    EXPECT_EQ(Groups(LaneOf(svg, "service"), {"mark"}).size(), 2u);
}

// Every text goes in escaped: markup characters as entities, anything not printable as '?'.
TEST(TraceDrawing, EveryTextIsEscaped) {
    const std::pair<std::string, std::string> cases[] = {
        {"a & b", "a &amp; b"},
        {"<svg>", "&lt;svg&gt;"},
        {"say \"hi\" it's", "say &quot;hi&quot; it's"},
        {" ~plain 0-9 A-Z~", " ~plain 0-9 A-Z~"},
        {"two\nlines", "two\nlines"},
        {std::string("\t\r\x01\x1f\x7f") + "\xc3\xa9", "???????"},
        {"", ""}};
    for (const auto& [text, escaped] : cases) {
        EXPECT_EQ(EscapeMarkup(text), escaped) << text;
    }
    // In the picture: the title, the hover texts.
    Picture p = Plain();
    p.subtitle = "a \"b\" & <c>";
    p.actions = {Action(1000, "<&\">\x7f")};
    const Element svg = Draw(p, "x < y & z");
    EXPECT_EQ(svg.children[1].text, "x < y & z");
    EXPECT_EQ(svg.children[2].text, "a \"b\" & <c>. Hover over a bar, mark or tick to read it.");
    EXPECT_EQ(Marks(LaneOf(svg, "service")).at(0).title, "1.000 s\n<&\">?");
}

// The picture ends at the next whole second after its last event.
TEST(TraceDrawing, ThePictureEndsAfterItsLastEvent) {
    // The events' times, the picture's end.
    const std::pair<std::vector<uint64_t>, uint64_t> cases[] = {
        {{}, 1000},     {{0}, 1000},          {{999}, 1000},
        {{1000}, 2000}, {{5500, 1200}, 6000}, {{1200, 5999, 3000}, 6000},
    };
    for (const auto& [times, endMs] : cases) {
        std::vector<TimelineEvent> timeline;
        for (const uint64_t t : times) {
            timeline.push_back({t, NoteEvent{"scenario", "x"}});
        }
        EXPECT_EQ(PictureEndMs(timeline), endMs) << times.size();
    }
}

}  // namespace
