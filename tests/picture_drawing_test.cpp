// How the picture is drawn, as a reader of the SVG sees it: bars too narrow to see merged in their
// most serious colour, labels only where they fit, marks in time order and shared within a pixel,
// the ticks, the time axis, the legend, every text escaped, and where the picture ends.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "events/events.h"
#include "tracereader/picture.h"

namespace {

// ---- A minimal reader of the SVG: elements with their attributes and text ------------------

struct Element {
    std::string tag;
    std::map<std::string, std::string> attrs;
    std::string text;  // the character data directly inside, unescaped
    std::vector<Element> children;

    std::string Attr(const std::string& name) const {
        const auto found = attrs.find(name);
        return found == attrs.end() ? "" : found->second;
    }
    double Num(const std::string& name) const { return std::stod(Attr(name)); }
    bool Has(const std::string& name) const { return attrs.count(name) != 0; }
    // The first child with TAG, or null.
    const Element* Child(const std::string& childTag) const {
        for (const Element& c : children) {
            if (c.tag == childTag) {
                return &c;
            }
        }
        return nullptr;
    }
    std::string Title() const {
        const Element* title = Child("title");
        return title == nullptr ? "" : title->text;
    }
};

// The five entities XML knows; any other '&' is a fault of the picture.
std::string Unescape(const std::string& raw) {
    static const std::pair<const char*, char> kEntities[] = {
        {"&amp;", '&'}, {"&lt;", '<'}, {"&gt;", '>'}, {"&quot;", '"'}, {"&apos;", '\''}};
    std::string out;
    for (size_t at = 0; at < raw.size();) {
        if (raw[at] != '&') {
            out += raw[at++];
            continue;
        }
        bool known = false;
        for (const auto& [entity, c] : kEntities) {
            if (raw.compare(at, std::strlen(entity), entity) == 0) {
                out += c;
                at += std::strlen(entity);
                known = true;
                break;
            }
        }
        if (!known) {
            ADD_FAILURE() << "a bare '&' in " << raw;
            out += raw[at++];
        }
    }
    return out;
}

// Attributes of a start tag's inside: name="value" ...
void ReadAttributes(const std::string& inside, Element& e) {
    for (size_t at = inside.find_first_not_of(' '); at < inside.size();
         at = inside.find_first_not_of(" \n", at)) {
        const size_t eq = inside.find("=\"", at);
        const size_t close = inside.find('"', eq + 2);
        if (eq == std::string::npos || close == std::string::npos) {
            ADD_FAILURE() << "a broken attribute in <" << inside << ">";
            return;
        }
        e.attrs[inside.substr(at, eq - at)] = Unescape(inside.substr(eq + 2, close - eq - 2));
        at = close + 1;
    }
}

Element ParseSvg(const std::string& svg) {
    Element document;
    std::vector<Element*> open = {&document};
    size_t at = svg.rfind("<?xml", 0) == 0 ? svg.find("?>") + 2 : 0;
    while (at < svg.size()) {
        const size_t lt = svg.find('<', at);
        const size_t gt = lt == std::string::npos ? lt : svg.find('>', lt);
        open.back()->text += Unescape(svg.substr(at, lt - at));
        if (gt == std::string::npos) {
            break;
        }
        std::string inside = svg.substr(lt + 1, gt - lt - 1);
        at = gt + 1;
        if (inside[0] == '/') {
            EXPECT_EQ(inside.substr(1), open.back()->tag) << "a closing tag out of place";
            if (open.size() > 1) {
                open.pop_back();
            }
            continue;
        }
        const bool empty = inside.back() == '/';
        if (empty) {
            inside.pop_back();
        }
        Element e;
        const size_t nameEnd = std::min(inside.find(' '), inside.size());
        e.tag = inside.substr(0, nameEnd);
        ReadAttributes(inside.substr(nameEnd), e);
        open.back()->children.push_back(e);
        if (!empty) {
            open.push_back(&open.back()->children.back());
        }
    }
    EXPECT_EQ(open.size(), 1u) << "unclosed <" << open.back()->tag << ">";
    EXPECT_EQ(document.children.size(), 1u);
    return document.children.empty() ? Element{} : document.children.front();
}

std::vector<const Element*> FindAll(const Element& root,
                                    const std::function<bool(const Element&)>& wanted) {
    std::vector<const Element*> out;
    std::function<void(const Element&)> walk = [&](const Element& e) {
        if (wanted(e)) {
            out.push_back(&e);
        }
        for (const Element& c : e.children) {
            walk(c);
        }
    };
    walk(root);
    return out;
}

const Element& LaneOf(const Element& svg, const std::string& id) {
    const auto lanes = FindAll(svg, [&](const Element& e) { return e.Attr("id") == "lane-" + id; });
    static const Element kNone;
    EXPECT_EQ(lanes.size(), 1u) << id;
    return lanes.empty() ? kNone : *lanes.front();
}

// The groups of a lane (or the picture) whose class is one of CLASSES, in drawing order.
std::vector<const Element*> Groups(const Element& lane, std::vector<std::string> classes) {
    std::vector<const Element*> out;
    for (const Element& c : lane.children) {
        if (c.tag == "g" &&
            std::find(classes.begin(), classes.end(), c.Attr("class")) != classes.end()) {
            out.push_back(&c);
        }
    }
    return out;
}

std::vector<const Element*> Bars(const Element& lane) {
    return Groups(lane, {"state", "unknown"});
}

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

constexpr const char* kGreen = "#7cc47f";
constexpr const char* kAmber = "#f4b350";
constexpr const char* kRed = "#e0645c";
constexpr const char* kGrey = "#e4e4e4";
constexpr const char* kPurple = "#b9a3dc";

// ---- Bars ----------------------------------------------------------------------------------

// States narrower than half a pixel share a bar with their neighbours until it is half a pixel
// wide; it shows the most serious colour among them (red, amber, purple, grey, then green), names
// the first of the most serious in its hover text, and is drawn a pixel wide ending where its
// last state ends.
TEST(TraceDrawing, NarrowStatesShareABarInTheMostSeriousColour) {
    struct Case {
        const char* name;
        std::vector<int> codes;  // each 0.2 px wide, between two wide "ready" bars
        const char* fill;
        const char* among;
    } const cases[] = {
        {"paper out over door open", {0x04, 0x08}, kRed, "printer present, status 0x08 paper out"},
        {"red first", {0x08, 0x04, 0x10}, kRed, "printer present, status 0x08 paper out"},
        {"amber over an unknown code",
         {0x10, 0x04},
         kAmber,
         "printer present, status 0x04 door open"},
        {"an unknown code over absent", {-1, 0x10}, kPurple, "printer present, status 0x10"},
        {"absent over ready", {0x28, -1}, kGrey, "printer absent"},
        {"ready over nothing worse", {0x28, 0xA0}, kGreen, "printer present, status 0x28 ready"},
        {"the first of two door opens",
         {0x04, 0x0C},
         kAmber,
         "printer present, status 0x04 door open"},
    };
    for (const Case& c : cases) {
        Picture p = Plain();
        p.printer.push_back(Printer(0, 0x20));
        uint64_t at = 500000;
        for (const int code : c.codes) {
            p.printer.push_back(Printer(at, code));
            at += 200;
        }
        p.printer.push_back(Printer(at, 0x20));
        const Element svg = Draw(p);
        const auto bars = Bars(LaneOf(svg, "printer"));
        ASSERT_EQ(bars.size(), 3u) << c.name;
        const Element& merged = *bars[1];
        const Element* rect = merged.Child("rect");
        ASSERT_NE(rect, nullptr);
        EXPECT_EQ(rect->Attr("fill"), c.fill) << c.name;
        EXPECT_EQ(merged.Title(),
                  std::to_string(c.codes.size()) +
                      " states too short to draw apart (the timeline lists "
                      "them), among them: " +
                      c.among + "\n500.000 s to " +
                      (c.codes.size() == 2 ? "500.400 s (0.4 s)" : "500.600 s (0.6 s)"))
            << c.name;
        EXPECT_EQ(rect->Attr("width"), "1.0") << c.name;
        EXPECT_NEAR(rect->Num("x") + rect->Num("width"), At(svg, at), 0.05) << c.name;
        EXPECT_EQ(merged.Child("text"), nullptr) << c.name;
        // The wide bars around it keep their own states.
        EXPECT_EQ(
            bars[0]->Title().rfind("printer present, status 0x20 ready\n0.000 s to 500.000 s", 0),
            0u)
            << bars[0]->Title();
        EXPECT_EQ(bars[2]->Title().rfind("printer present, status 0x20 ready\n", 0), 0u)
            << bars[2]->Title();
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
        std::vector<std::string> out;
        const Element svg = Draw(p);
        for (const Element* bar : Bars(LaneOf(svg, "printer"))) {
            out.push_back(bar->Title().substr(0, bar->Title().find('\n')));
        }
        return out;
    };
    // 0.2 px then 0.3 px: the bar is half a pixel with both; the third starts a bar of its own.
    EXPECT_EQ(titles({{0, 0x20}, {1000, 0x04}, {1200, 0x08}, {1500, 0x10}, {1600, 0x20}}),
              (std::vector<std::string>{
                  "printer present, status 0x20 ready",
                  "2 states too short to draw apart (the timeline lists them), among them: "
                  "printer present, status 0x08 paper out",
                  "printer present, status 0x10", "printer present, status 0x20 ready"}));
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
    p.timeline.push_back({kEndMs - 600, ServiceStepEvent{"Spooler", ServiceStep::StopRequested}});
    p.timeline.push_back({kEndMs - 300, ServiceStepEvent{"Spooler", ServiceStep::Stopped}});
    const Element svg = Draw(p);
    const auto bars = Bars(LaneOf(svg, "spooler"));
    ASSERT_EQ(bars.size(), 2u);
    EXPECT_EQ(bars[1]->Title(),
              "2 states too short to draw apart (the timeline lists them), among them: Spooler "
              "stopped\n1099.400 s to 1100.000 s (0.6 s)");
    const Element* rect = bars[1]->Child("rect");
    ASSERT_NE(rect, nullptr);
    EXPECT_EQ(rect->Attr("fill"), kRed);
    EXPECT_NEAR(rect->Num("x") + rect->Num("width"), At(svg, kEndMs), 0.05);

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
    EXPECT_NEAR(lastBars[1]->Child("rect")->Num("x"), At(lastSvg, kEndMs) - 1, 0.05);
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
        EXPECT_EQ(bars[i]->Title(), expected[i].title);
        const Element* rect = bars[i]->Child("rect");
        ASSERT_NE(rect, nullptr);
        const double right = rect->Num("x") + rect->Num("width");
        EXPECT_NEAR(right, At(svg, expected[i].toMs), 0.05) << expected[i].title;
        if (i == 1) {
            EXPECT_EQ(rect->Attr("width"), "1.0");
            EXPECT_FALSE(rect->Has("stroke"));
        } else {
            EXPECT_NEAR(rect->Num("x"), At(svg, expected[i].fromMs), 0.05) << expected[i].title;
            EXPECT_EQ(rect->Attr("stroke"), "#ffffff") << expected[i].title;
        }
    }
}

// A bar's label, or its short one, is written only where it fits: 6.5 px a character and 4 px
// on either side; it stands inside the bar, its baseline 4 px (half a capital) below the middle.
TEST(TraceDrawing, LabelsOnlyWhereTheyFit) {
    struct Case {
        uint64_t widthMs;  // the ready state's width, from 0 (one pixel a second)
        const char* label;
    } const cases[] = {
        {73000, "0x20 ready"},  // 10 characters: 65 + 8 px
        {72999, "0x20"},        // the short label's 4 characters: 26 + 8 px
        {34000, "0x20"},
        {33999, nullptr},
    };
    for (const Case& c : cases) {
        Picture p = Plain();
        p.printer = {Printer(0, 0x20), Printer(c.widthMs, -1)};
        const Element svg = Draw(p);
        const auto bars = Bars(LaneOf(svg, "printer"));
        ASSERT_EQ(bars.size(), 2u);
        const Element* text = bars[0]->Child("text");
        if (c.label == nullptr) {
            EXPECT_EQ(text, nullptr) << c.widthMs << ": " << text->text;
            continue;
        }
        ASSERT_NE(text, nullptr) << c.widthMs;
        EXPECT_EQ(std::count_if(bars[0]->children.begin(), bars[0]->children.end(),
                                [](const Element& e) { return e.tag == "text"; }),
                  1)
            << "one label a bar";
        EXPECT_EQ(text->text, c.label);
        const Element& rect = *bars[0]->Child("rect");
        const double x = text->Num("x");
        const double chars = 6.5 * static_cast<double>(text->text.size());
        EXPECT_GE(x - rect.Num("x"), 4 - 0.05) << c.widthMs;
        EXPECT_GE(rect.Num("x") + rect.Num("width") - (x + chars), 4 - 0.05) << c.widthMs;
        EXPECT_NEAR(text->Num("y"), rect.Num("y") + rect.Num("height") / 2 + 4, 0.05);
        // The absent printer's bar, wide, has its label; "absent" has no short one.
        EXPECT_EQ(bars[1]->Child("text")->text, "absent");
    }
    Picture narrow = Plain();
    narrow.printer = {Printer(0, 0x20), Printer(kEndMs - 40000, -1)};
    const Element narrowSvg = Draw(narrow);
    EXPECT_EQ(Bars(LaneOf(narrowSvg, "printer")).at(1)->Child("text"), nullptr);
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
        } else if (const Element* path = g->Child("path")) {
            // "M<left>,<top> h9 l-4.5,8 z": a triangle pointing down at its middle.
            const std::string d = path->Attr("d");
            EXPECT_EQ(d.substr(d.find(' ')), " h9 l-4.5,8 z");
            out.push_back({"path", std::stod(d.substr(1)) + 4.5, g->Title()});
        } else {
            ADD_FAILURE() << "a mark without a shape";
        }
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
// one, which counts them and lists them in the order they happened; other kinds stand apart.
TEST(TraceDrawing, MarksInTimeOrderSharedWithinAPixel) {
    Picture p = Plain();
    p.timeline.insert(p.timeline.begin(), {Report(50000), Report(50000), Report(60000)});
    p.actions = {Action(5000, "B"),         Action(2000, "A"),  Action(10000, "C"),
                 Action(10999, "D"),        Action(20000, "E"), Action(21000, "F"),
                 Action(30000, "G"),        Action(30100, "H"), Action(30200, "I"),
                 Action(40000, "J"),        Action(40000, "K"), Action(50000, "L"),
                 Action(kEndMs - 1500, "M")};
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
        {"path", kEndMs - 1500, "1098.500 s\nM"},
    };
    ASSERT_EQ(marks.size(), std::size(expected));
    for (size_t i = 0; i < marks.size(); ++i) {
        EXPECT_EQ(marks[i].shape, expected[i].shape) << expected[i].title;
        EXPECT_EQ(marks[i].title, expected[i].title) << i;
        EXPECT_NEAR(marks[i].x, At(svg, expected[i].atMs), 0.05) << expected[i].title;
    }
}

// Many marks at one moment: the count says how many, the hover text lists the first of them
// while it is shorter than 240 characters.
TEST(TraceDrawing, ASharedMarksTextStaysShort) {
    Picture p = Plain();
    // "40.000 s\n" and 21 characters, then 30 characters a mark: 240 with the eighth.
    p.actions.push_back(Action(40000, std::string(21, 'a')));
    for (char c = 'b'; c <= 'j'; ++c) {
        p.actions.push_back(Action(40000, std::string(20, c)));
    }
    const Element svg = Draw(p);
    const std::vector<DrawnMark> marks = Marks(LaneOf(svg, "service"));
    ASSERT_EQ(marks.size(), 1u);
    std::string listed = "10 marks here:\n40.000 s\n" + std::string(21, 'a');
    for (char c = 'b'; c <= 'h'; ++c) {
        listed += "\n40.000 s\n" + std::string(20, c);
    }
    EXPECT_EQ(marks[0].title, listed);
}

// The service's output lines: a tick at each line's moment, grey for the debugger, purple for
// standard output, with a wider invisible target around it for the hover.
TEST(TraceDrawing, TicksStandAtTheirLines) {
    Picture p = Plain();
    OutputEvent debug, stdout;
    debug.text = "KQ5 STATUS:32";
    stdout.channel = Channel::Stdout;
    stdout.text = "hello";
    p.timeline.insert(p.timeline.begin(), {{3000, debug}, {6000, stdout}});
    const Element svg = Draw(p);
    const auto ticks = Groups(LaneOf(svg, "service"), {"tick"});
    ASSERT_EQ(ticks.size(), 2u);
    const struct {
        uint64_t atMs;
        const char* fill;
        const char* title;
    } expected[] = {{3000, "#555555", "3.000 s\ndebug "}, {6000, "#8e44ad", "6.000 s\nstdout "}};
    for (size_t i = 0; i < ticks.size(); ++i) {
        EXPECT_EQ(ticks[i]->Title().rfind(expected[i].title, 0), 0u) << ticks[i]->Title();
        std::vector<const Element*> rects;
        for (const Element& c : ticks[i]->children) {
            if (c.tag == "rect") {
                rects.push_back(&c);
            }
        }
        ASSERT_EQ(rects.size(), 2u);
        const double at = At(svg, expected[i].atMs);
        EXPECT_EQ(rects[0]->Attr("fill"), expected[i].fill);
        // Within the tenth of a pixel the picture is written in.
        EXPECT_NEAR(rects[0]->Num("x") + rects[0]->Num("width") / 2, at, 0.1);
        EXPECT_NEAR(rects[1]->Num("x") + rects[1]->Num("width") / 2, at, 0.1);
        EXPECT_GT(rects[1]->Num("width"), rects[0]->Num("width"));
        EXPECT_EQ(rects[1]->Attr("fill-opacity"), "0");
        EXPECT_EQ(rects[0]->Attr("y"), rects[1]->Attr("y"));
    }
}

// ---- The axis, the legend, the page --------------------------------------------------------

// The axis labels its round times where they are: from the first line, or the local clock with a
// midnight by its date (darker) and a dashed line at it; it says what it counts.
TEST(TraceDrawing, TheAxisShowsTimesWhereTheyAre) {
    Picture elapsed = Plain();
    const Element svg = Draw(elapsed);
    const auto axes = Groups(svg, {"axis"});
    ASSERT_EQ(axes.size(), 1u);
    std::map<std::string, double> labels;
    std::vector<std::string> captions;
    for (const Element& c : axes[0]->children) {
        if (c.tag == "text" && c.Has("text-anchor")) {
            labels[c.text] = c.Num("x");
        } else if (c.tag == "text") {
            captions.push_back(c.text);
        }
    }
    EXPECT_EQ(captions, std::vector<std::string>{"time from the first line"});
    ASSERT_GE(labels.size(), 5u);
    for (const auto& [text, x] : labels) {
        // "0 s", "2 min", "1 h 10 min"... whatever the step, each at its time.
        (void)text;
        EXPECT_GE(x, At(svg, 0) - 0.05);
        EXPECT_LE(x, At(svg, kEndMs) + 0.05);
    }
    // The caption and the labels on one row above the lanes, the labels' lines from under them
    // down across every lane.
    std::vector<double> rows;
    for (const Element& c : axes[0]->children) {
        if (c.tag == "text") {
            rows.push_back(c.Num("y"));
        } else if (c.tag == "line") {
            EXPECT_EQ(c.Num("y1"), 62);
            EXPECT_EQ(c.Num("y2"), 70 + 4 * 56);
        }
    }
    EXPECT_EQ(rows, std::vector<double>(labels.size() + 1, 58));
    ASSERT_TRUE(labels.count("0 s")) << labels.begin()->first;
    EXPECT_NEAR(labels["0 s"], At(svg, 0), 0.05);
    ASSERT_TRUE(labels.count("5 min"));
    EXPECT_NEAR(labels["5 min"], At(svg, 300000), 0.05);

    // A trace from 23:50 over midnight, local time.
    Picture night = Plain();
    night.fromTrace = true;
    night.clock.kind = ClockKind::DateTime;
    night.clock.anchors = {{0, 20429LL * kDayMs + (23 * 60 + 50) * 60000LL}};  // 2025-12-07
    const Element nightSvg = Draw(night);
    const Element& axis = *Groups(nightSvg, {"axis"}).at(0);
    bool caption = false, midnightLabel = false, midnightLine = false;
    for (const Element& c : axis.children) {
        caption |= c.tag == "text" && c.text == "local time, 2025-12-07";
        if (c.tag == "text" && c.text == "2025-12-08") {
            midnightLabel = true;
            EXPECT_NEAR(c.Num("x"), At(nightSvg, 600000), 0.05);
            EXPECT_EQ(c.Attr("fill"), "#333333");
        } else if (c.tag == "text" && c.Has("text-anchor")) {
            EXPECT_EQ(c.Attr("fill"), "#666666") << c.text;
        }
        if (c.tag == "line" && c.Attr("class") == "midnight") {
            midnightLine = true;
            EXPECT_NEAR(c.Num("x1"), At(nightSvg, 600000), 0.05);
            EXPECT_EQ(c.Attr("x1"), c.Attr("x2"));
            EXPECT_EQ(c.Num("y1"), 62);
            EXPECT_EQ(c.Num("y2"), 70 + 4 * 56);
        }
    }
    EXPECT_TRUE(caption);
    EXPECT_TRUE(midnightLabel);
    EXPECT_TRUE(midnightLine);
}

// The legend names every kind of mark and tick in its colour, and a trace's "unknown".
TEST(TraceDrawing, TheLegendNamesEveryMark) {
    const auto legend = [](bool trace) {
        Picture p = Plain();
        p.fromTrace = trace;
        const Element svg = Draw(p);
        std::map<std::string, std::string> keys;  // text: its shape's fill
        double lastX = -1;
        for (const Element* g : FindAll(svg, [](const Element& e) {
                 return e.Has("transform") && e.Child("text") != nullptr;
             })) {
            const std::string fill = g->children.front().Attr("fill");
            keys[g->Child("text")->text] = fill;
            const std::string t = g->Attr("transform");
            const double x = std::stod(t.substr(t.find('(') + 1));
            EXPECT_GT(x, lastX) << "keys side by side";
            lastX = x;
            const double y = std::stod(t.substr(t.find(',') + 1));
            EXPECT_GT(y, svg.Num("height") - 24) << "below the lanes";
            EXPECT_LT(y, svg.Num("height"));
        }
        return keys;
    };
    std::map<std::string, std::string> keys = {{"device event or control", "#3a6ea5"},
                                               {"fault or refusal", kRed},
                                               {"status report", "#ffffff"},
                                               {"debugger line", "#555555"},
                                               {"standard output", "#8e44ad"}};
    EXPECT_EQ(legend(false), keys);
    keys["unknown: no line tells"] = "#f6f3ea";
    EXPECT_EQ(legend(true), keys);
}

// Where things stand: each lane 56 px high from 70 px down (under the axis' labels); in it the
// marks' triangles in the first 10 px pointing down at the state bar (10 to 32 px), the status
// reports' circles on the bar's lower edge, below the bar the port strip (34 to 48 px) or the
// ticks (36 to 48 px); the name beside the bar (baseline 20 px), the caption beside the row below
// it (baseline 36 px), the separator at 54 px. The axis' caption and labels on a row at 58 px,
// their lines from 62 px down to the lanes' bottom. The legend 14 px below the lanes, 10 px above
// the picture's end, its keys from 5 px right of the plot's left edge, 30 px and 6 px a character
// of its text apart.
TEST(TraceDrawing, TheLayout) {
    Picture p = Plain();
    p.printer.push_back(Printer(0, 0x20));
    OutputEvent output;
    output.text = "KQ5 STATUS:32";
    p.timeline.insert(p.timeline.begin(), {Report(50000), {60000, output}});
    p.actions = {Action(70000, "A")};
    const Element svg = Draw(p);
    const double plotLeft = PlotLeft(svg);
    const struct {
        const char* id;
        double top;
    } lanes[] = {{"printer", 70}, {"queue", 126}, {"spooler", 182}, {"service", 238}};
    for (const auto& l : lanes) {
        const Element& lane = LaneOf(svg, l.id);
        const auto row = [&](const Element* e, const char* attr) {
            return e == nullptr ? -1000 : e->Num(attr) - l.top;
        };
        EXPECT_EQ(row(&lane.children.at(0), "y"), 20) << l.id;
        EXPECT_EQ(row(&lane.children.at(1), "y"), 36) << l.id;
        const Element* bar = Bars(lane).at(0)->Child("rect");
        EXPECT_EQ(row(bar, "y"), 10) << l.id;
        EXPECT_EQ(bar->Num("height"), 22) << l.id;
        for (const Element* strip : Groups(lane, {"port"})) {
            EXPECT_EQ(row(strip->Child("rect"), "y"), 34) << l.id;
            EXPECT_EQ(strip->Child("rect")->Num("height"), 14) << l.id;
        }
        for (const Element* tick : Groups(lane, {"tick"})) {
            EXPECT_EQ(row(tick->Child("rect"), "y"), 36) << l.id;
            EXPECT_EQ(tick->Child("rect")->Num("height"), 12) << l.id;
        }
        for (const Element* mark : Groups(lane, {"mark"})) {
            if (const Element* circle = mark->Child("circle")) {
                EXPECT_EQ(row(circle, "cy"), 32) << l.id;
            } else {
                const std::string d = mark->Child("path")->Attr("d");
                EXPECT_EQ(std::stod(d.substr(d.find(',') + 1)) - l.top, 1) << d;
            }
        }
        const Element* line = lane.Child("line");
        EXPECT_EQ(row(line, "y1"), 54) << l.id;
        EXPECT_EQ(row(line, "y2"), 54) << l.id;
    }
    EXPECT_EQ(Groups(LaneOf(svg, "queue"), {"port"}).size(), 1u);
    EXPECT_EQ(Groups(LaneOf(svg, "service"), {"tick"}).size(), 1u);
    EXPECT_EQ(Groups(LaneOf(svg, "service"), {"mark"}).size(), 2u);
    const double bottom = 70 + 4 * 56;
    EXPECT_EQ(svg.Num("height"), bottom + 24);
    const auto legend = Groups(svg, {"legend"});
    ASSERT_EQ(legend.size(), 1u);
    double x = plotLeft + 5;
    for (const Element& key : legend[0]->children) {
        const std::string t = key.Attr("transform");
        EXPECT_EQ(std::stod(t.substr(t.find('(') + 1)), x) << t;
        EXPECT_EQ(std::stod(t.substr(t.find(',') + 1)), bottom + 14) << t;
        x += 30 + 6 * static_cast<double>(key.Child("text")->text.size());
    }
}

// Four lanes, top to bottom, each with its name and caption; the title and the subtitle above.
TEST(TraceDrawing, ThePageHasItsTitleAndLanes) {
    Picture p = Plain();
    p.subtitle = "a run";
    p.printer.push_back(Printer(0, 0x20));
    p.queueCaption = "as commanded";
    const Element svg = Draw(p, "kq5 <run>");
    EXPECT_EQ(svg.Attr("viewBox"), "0 0 " + svg.Attr("width") + " " + svg.Attr("height"));
    // On white whatever the viewer's background (a dark page would hide the texts).
    ASSERT_FALSE(svg.children.empty());
    EXPECT_EQ(svg.children[0].tag, "rect");
    EXPECT_EQ(svg.children[0].Attr("width"), "100%");
    EXPECT_EQ(svg.children[0].Attr("height"), "100%");
    EXPECT_EQ(svg.children[0].Attr("fill"), "#ffffff");
    std::vector<std::string> texts;
    for (const Element& c : svg.children) {
        if (c.tag == "text") {
            texts.push_back(c.text);
        }
    }
    EXPECT_EQ(texts, (std::vector<std::string>{
                         "kq5 <run>", "a run. Hover over a bar, mark or tick to read it."}));
    double lastY = 0;
    const struct {
        const char *id, *name, *caption;
    } lanes[] = {{"printer", "printer", "present, status"},
                 {"queue", "queue", "as commanded"},
                 {"spooler", "Spooler", "service state"},
                 {"service", "service", "reports, events; output"}};
    for (const auto& l : lanes) {
        const Element& lane = LaneOf(svg, l.id);
        ASSERT_GE(lane.children.size(), 2u);
        EXPECT_EQ(lane.children[0].text, l.name);
        EXPECT_EQ(lane.children[1].text, l.caption);
        EXPECT_GT(lane.children[0].Num("y"), lastY) << l.id;
        lastY = lane.children[0].Num("y");
        // The lane's separator runs to the picture's right edge, below its bars.
        const Element* line = lane.Child("line");
        ASSERT_NE(line, nullptr);
        EXPECT_EQ(line->Num("x2"), svg.Num("width"));
        EXPECT_GT(line->Num("y1"), Bars(lane).at(0)->Child("rect")->Num("y"));
    }
    EXPECT_LT(lastY, svg.Num("height"));
}

// Every text goes in escaped: markup characters as entities, anything not printable as '?'.
TEST(TraceDrawing, EveryTextIsEscaped) {
    const struct {
        std::string text, escaped;
    } cases[] = {
        {"a & b", "a &amp; b"},
        {"<svg>", "&lt;svg&gt;"},
        {"say \"hi\" it's", "say &quot;hi&quot; it's"},
        {" ~plain 0-9 A-Z~", " ~plain 0-9 A-Z~"},
        {"two\nlines", "two\nlines"},
        {std::string("\t\r\x01\x1f\x7f") + "\xc3\xa9", "???????"},
        {"", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EscapeMarkup(c.text), c.escaped) << c.text;
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
    const struct {
        std::vector<uint64_t> times;
        uint64_t endMs;
    } cases[] = {
        {{}, 1000},     {{0}, 1000},          {{999}, 1000},
        {{1000}, 2000}, {{5500, 1200}, 6000}, {{1200, 5999, 3000}, 6000},
    };
    for (const auto& c : cases) {
        std::vector<TimelineEvent> timeline;
        for (const uint64_t t : c.times) {
            timeline.push_back({t, NoteEvent{"scenario", "x"}});
        }
        EXPECT_EQ(PictureEndMs(timeline), c.endMs) << c.times.size();
    }
}

}  // namespace
