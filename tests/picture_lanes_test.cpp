// What each lane of the picture shows a reader: the printer's code in words and colour, the queue's
// state, status and port, the Spooler's state and refusals, the service's reports, marks and
// output lines, and "unknown" wherever no line of a trace tells. Read from the SVG as a browser
// shows it: each bar's colour, label and hover text.
#include <gtest/gtest.h>

#include <set>
#include <source_location>
#include <sstream>

#include "picture_svg.h"
#include "picture/picture.h"
#include "tracereader/read.h"

namespace {

// One thing drawn in a lane: what its hover text says (WHAT, and for a bar WHEN it held), its
// colour and its label.
struct Drawn {
    std::string what, when, fill, label;
    bool round = false;  // a status report's circle
};

struct LaneView {
    std::vector<Drawn> bars, ports, marks, ticks;
};

// The lane ID ("printer", "queue", "spooler", "service") of the PICTURE's SVG.
LaneView View(const Picture& picture, const std::string& id) {
    LaneView lane;
    const Element svg = ParseSvg(FormatSvg(picture, "test"));
    for (const Element& g : LaneOf(svg, id).children) {
        const std::string kind = g.Attr("class"), title = g.Title();
        // A mark's or a tick's time first, then its words; a bar's words, then its time.
        const bool timeFirst = kind == "mark" || kind == "tick";
        const size_t cut = timeFirst ? title.find('\n') : title.rfind('\n');
        const std::string first = title.substr(0, cut), second = title.substr(cut + 1);
        const Element* label = g.Child("text");
        const Drawn d{timeFirst ? second : first, timeFirst ? first : second,
                      g.children.size() < 2 ? "" : g.children[1].Attr("fill"),
                      label == nullptr ? "" : label->text, g.Child("circle") != nullptr};
        if (g.tag == "g") {
            (kind == "mark"   ? lane.marks
             : kind == "tick" ? lane.ticks
             : kind == "port" ? lane.ports
                              : lane.bars)
                .push_back(d);
        }
    }
    return lane;
}

std::string Shown(const std::vector<Drawn>& drawn) {
    std::string out;
    for (const Drawn& d : drawn) {
        out += d.fill + " [" + d.label + "] " + d.what + " | " + d.when +
               (d.round ? " (round)\n" : "\n");
    }
    return out;
}

// Each drawn thing as expected, in order: its colour, its words, its time, its shape and, where
// one is expected (a bar wide enough for it), its label.
void Expect(std::vector<Drawn> drawn, const std::vector<Drawn>& expected,
            const std::source_location where = std::source_location::current()) {
    const testing::ScopedTrace trace(where.file_name(), static_cast<int>(where.line()), "");
    for (size_t i = 0; i < std::min(drawn.size(), expected.size()); ++i) {
        drawn[i].label = expected[i].label.empty() ? "" : drawn[i].label;
    }
    EXPECT_EQ(Shown(drawn), Shown(expected));
}

// A trace of kq5trace: LINES of process 42, each "HH:MM:SS.mmm text" on 2026-12-07, or a note
// ("# ...") as it stands.
Picture TracePicture(const std::vector<std::string>& lines) {
    std::string text = "# kq5trace 1.0.0: debugger lines of the service kq5\n";
    for (const std::string& line : lines) {
        if (line.rfind("# ", 0) == 0) {
            text += line + "\n";
            continue;
        }
        const size_t space = line.find(' ');
        const std::string pid = line.find('[') == std::string::npos ? "[42] " : "";
        text += "2026-12-07 " + line.substr(0, space) + " +01:00\t" + pid + line.substr(space + 1) +
                "\n";
    }
    std::istringstream in(text);
    const TraceReport report = ReadTrace(in, "test");
    EXPECT_TRUE(report.ok) << report.error;
    return report.picture;
}

std::string Day(const std::string& time) {
    return "2026-12-07 " + time;
}

std::string Held(const std::string& from, const std::string& to, const std::string& elapsed) {
    return Day(from) + " to " + Day(to) + " (" + elapsed + ")";
}

// A simulated bar's time: "10.000 s to 20.000 s (10 s)", FROM and TO in whole seconds.
std::string Sim(int from, int to) {
    return std::to_string(from) + ".000 s to " + std::to_string(to) + ".000 s (" +
           std::to_string(to - from) + " s)";
}

constexpr uint64_t kS = 1000;  // a second of a simulated run

const std::string kUnknownStretch = "unknown: no line of the service came in this stretch";

}  // namespace

// The printer's code in words and colour, and the queue as the service commanded it for that
// code (a trace cannot see the queue itself): ready green, door open amber, paper out red, any
// other code purple with its number only, for which the service commands nothing.
TEST(TraceLanes, PrinterCodesAndTheCommandedQueue) {
    const struct {
        const char* status;
        Drawn printer, queue;
    } kCases[] = {
        {"32",
         {"printer present, status 0x20 ready", "", kGreen, "0x20 ready"},
         {"queue resumed, no status", "", kGreen, "resumed"}},
        {"4",
         {"printer present, status 0x04 door open", "", kAmber, "0x04 door open"},
         {"queue paused, status PRINTER_STATUS_DOOR_OPEN (commanded)", "", kAmber,
          "paused, door open (commanded)"}},
        {"8",
         {"printer present, status 0x08 paper out", "", kRed, "0x08 paper out"},
         {"queue paused, status PRINTER_STATUS_PAPER_OUT (commanded)", "", kRed,
          "paused, paper out (commanded)"}},
        {"16",
         {"printer present, status 0x10", "", kPurple, "0x10"},
         {"unknown: no line of the trace has told of the queue", "", kUnknown, "unknown"}},
    };
    for (const auto& c : kCases) {
        SCOPED_TRACE(c.status);
        const std::string status = std::string("KQ5 STATUS:") + c.status + "\\r\\n";
        const Picture trace = TracePicture({"09:00:00.000 " + status, "09:00:00.800 " + status});
        Drawn printer = c.printer, queue = c.queue;
        printer.when = queue.when = Held("09:00:00.000", "09:00:01.000", "1 s");
        Expect(View(trace, "printer").bars, {printer});
        Expect(View(trace, "queue").bars, {queue});
    }
}

// "unknown" from the trace's start until the first line about a lane, and across every stretch
// of more than two cycles without a line of the service, never the state before it, even one
// that changed on the stretch's first moment; after it a lane is known again only when a line
// tells of it, but the service lane goes on running with the process that wrote the line ending
// the stretch, until the process ends.
TEST(TraceLanes, UnknownWhereNoLineTells) {
    const Picture trace = TracePicture({
        "# 2026-12-07 08:59:59.500 +01:00 service kq5 runs as process 42",
        "09:00:00.000 GetPrinterHandle",
        "09:00:00.800 KQ5 STATUS:32\\r\\n",
        "09:00:02.400 KQ5 STATUS:32\\r\\n",  // two cycles later exactly: no stretch
        "09:00:04.001 KQ5 STATUS:4\\r\\n",   // just over: a stretch before it
        "09:00:05.000 KQ5 STATUS:8\\r\\n",   // the last line before a silence
        "09:00:30.000 GetPrinterHandle",
        "09:00:30.800 KQ5 STATUS:8\\r\\n",
        "09:00:30.900  MainError:0\\n",
    });
    const std::string told = "unknown: no line of the trace has told of the ";
    Expect(View(trace, "printer").bars,
           {{told + "printer", Held("08:59:59.500", "09:00:00.800", "1.3 s"), kUnknown, ""},
            {"printer present, status 0x20 ready", Held("09:00:00.800", "09:00:02.400", "1.6 s"),
             kGreen, ""},
            {kUnknownStretch, Held("09:00:02.400", "09:00:04.001", "1.6 s"), kUnknown, ""},
            {"printer present, status 0x04 door open",
             Held("09:00:04.001", "09:00:05.000", "0.9 s"), kAmber, ""},
            {kUnknownStretch, Held("09:00:05.000", "09:00:30.800", "25.8 s"), kUnknown, ""},
            {"printer present, status 0x08 paper out",
             Held("09:00:30.800", "09:00:31.500", "0.7 s"), kRed, ""}});
    const std::string running = "service reported SERVICE_RUNNING process 42 (its first line)";
    Expect(View(trace, "service").bars,
           {{told + "service", Held("08:59:59.500", "09:00:00.000", "0.5 s"), kUnknown, ""},
            {running, Held("09:00:00.000", "09:00:02.400", "2.4 s"), kGreen, ""},
            {kUnknownStretch, Held("09:00:02.400", "09:00:04.001", "1.6 s"), kUnknown, ""},
            {running, Held("09:00:04.001", "09:00:05.000", "0.9 s"), kGreen, ""},
            {kUnknownStretch, Held("09:00:05.000", "09:00:30.000", "25 s"), kUnknown, ""},
            {running, Held("09:00:30.000", "09:00:30.900", "0.9 s"), kGreen, ""},
            {"service reported SERVICE_STOPPED (the process ended:  MainError:0\\n)",
             Held("09:00:30.900", "09:00:31.500", "0.6 s"), kDarkGrey, ""}});

    // The service silent up to the capture's last note: unknown to the picture's end, which is
    // past that note; no line after the stretch says the service runs.
    const Picture silentToEnd =
        TracePicture({"09:00:00.000 KQ5 STATUS:32\\r\\n", "09:00:00.800 KQ5 STATUS:32\\r\\n",
                      "# 2026-12-07 09:00:10.000 +01:00 another debug-output viewer holds the "
                      "channel; waiting"});
    Expect(View(silentToEnd, "service").bars,
           {{running, Held("09:00:00.000", "09:00:00.800", "0.8 s"), kGreen, ""},
            {kUnknownStretch, Held("09:00:00.800", "09:00:11.000", "10.2 s"), kUnknown, ""}});

    // A trace without a line of the service: every lane unknown throughout, and why.
    for (const auto& [end, to, elapsed] : {std::tuple{"08:59:59.500", "09:00:00.500", "1 s"},
                                           {"09:05:00.000", "09:05:00.500", "5 min 1 s"}}) {
        const Picture none = TracePicture(
            {"# 2026-12-07 08:59:59.500 +01:00 service kq5 runs as process 4",
             "# 2026-12-07 " + std::string(end) + " +01:00 service kq5 runs as process 4"});
        for (const char* lane : {"printer", "queue", "spooler", "service"}) {
            SCOPED_TRACE(lane);
            Expect(View(none, lane).bars,
                   {{kUnknownStretch, Held("08:59:59.500", to, elapsed), kUnknown, ""}});
        }
    }
}

// A simulated run: the queue's state and status as set (paper out red, among others too; offline
// dark grey; any other status of a paused queue amber; resumed green), a state that holds drawn
// as one bar whatever else changes, and its port below it: each port named where it starts, each
// new port in a shade of its own and a port seen again in its earlier shade.
TEST(TraceLanes, SimulatedQueueStateStatusAndPort) {
    Picture run;
    run.queuePort = "USB001";
    run.timeline = {{10 * kS, QueuePausedEvent{true}},
                    {10 * kS, QueueStatusEvent{kPrinterStatusPaperOut | kPrinterStatusOffline}},
                    {20 * kS, QueueStatusEvent{kPrinterStatusOffline}},
                    {30 * kS, QueueStatusEvent{kPrinterStatusDoorOpen}},
                    {35 * kS, QueuePortEvent{"USB001", "USB002"}},
                    {40 * kS, QueuePausedEvent{false}},
                    {40 * kS, QueueStatusEvent{0}},
                    {42 * kS, QueuePortEvent{"USB002", "USB003"}},
                    {43 * kS, QueueSettingsEvent{"pDriverName"}},
                    {44 * kS, QueuePortEvent{"USB003", "USB001"}},
                    {46 * kS, QueuePortEvent{"USB001", "USB004"}},
                    {47 * kS, QueuePortEvent{"USB004", "USB005"}},
                    {48 * kS, QueuePortEvent{"USB005", ""}}};
    const LaneView queue = View(run, "queue");
    Expect(queue.bars, {{"queue resumed, no status", Sim(0, 10), kGreen, "resumed"},
                        {"queue paused, status PRINTER_STATUS_PAPER_OUT | PRINTER_STATUS_OFFLINE",
                         Sim(10, 20), kRed, "paused, paper out | offline"},
                        {"queue paused, status PRINTER_STATUS_OFFLINE", Sim(20, 30), kDarkGrey,
                         "paused, offline"},
                        {"queue paused, status PRINTER_STATUS_DOOR_OPEN", Sim(30, 40), kAmber,
                         "paused, door open"},
                        {"queue resumed, no status", Sim(40, 49), kGreen, "resumed"}});
    // Four ports in four shades, the first again in its own, and the fifth new port in a shade
    // already used (not the one beside it).
    ASSERT_EQ(queue.ports.size(), 7u) << Shown(queue.ports);
    const auto shade = [&](size_t i) { return queue.ports[i].fill; };
    EXPECT_EQ(std::set<std::string>({shade(0), shade(1), shade(2), shade(4)}).size(), 4u);
    EXPECT_EQ(shade(3), shade(0));
    EXPECT_NE(shade(5), shade(4));
    EXPECT_EQ(std::set<std::string>({shade(0), shade(1), shade(2)}).count(shade(5)), 1u);
    const std::string to = "the queue prints to ";
    Expect(queue.ports, {{to + "USB001", Sim(0, 35), shade(0), "USB001"},
                         {to + "USB002", Sim(35, 42), shade(1), ""},
                         {to + "USB003", Sim(42, 44), shade(2), ""},
                         {to + "USB001", Sim(44, 46), shade(3), ""},
                         {to + "USB004", Sim(46, 47), shade(4), ""},
                         {to + "USB005", Sim(47, 48), shade(5), ""},
                         {"the queue reports no port", Sim(48, 49), shade(6), ""}});
}

// A simulated run from its start: the printer as plugged in, its faults as red marks; no queue is
// one grey bar; the Spooler running and the service with no status reported until they change.
TEST(TraceLanes, SimulatedRunFromItsStart) {
    Picture run;
    run.printer = {
        {0, true, 0x20}, {10 * kS, true, 0x08}, {20 * kS, false, 0}, {30 * kS, true, 0x0C}};
    run.actions = {{15 * kS, "printer", "registry read failed: 2"},
                   {16 * kS, "service", "device arrival"}};
    run.timeline = {{39 * kS, NoteEvent{"scenario", "the end"}}};
    const LaneView printer = View(run, "printer");
    Expect(printer.bars,
           {{"printer present, status 0x20 ready", Sim(0, 10), kGreen, "0x20 ready"},
            {"printer present, status 0x08 paper out", Sim(10, 20), kRed, "0x08 paper out"},
            {"printer absent", Sim(20, 30), kGrey, "absent"},
            {"printer present, status 0x0C door open", Sim(30, 40), kAmber, "0x0C door open"}});
    Expect(printer.marks, {{"registry read failed: 2", "15.000 s", kRed, ""}});
    Expect(View(run, "queue").bars, {{"queue resumed, no status", Sim(0, 40), kGreen, ""}});
    Expect(View(run, "spooler").bars, {{"Spooler running", Sim(0, 40), kGreen, "running"}});
    const LaneView service = View(run, "service");
    Expect(service.bars, {{"no status reported yet", Sim(0, 40), kGrey, "no status reported"}});
    Expect(service.marks, {{"device arrival", "16.000 s", kBlue, ""}});

    run.queueExists = false;
    Expect(View(run, "queue").bars,
           {{"there is no queue \"Korvane-Q5\"", Sim(0, 40), kGrey, "no queue"}});
}

// The Spooler's state as the service manager gave it: stopping and starting amber, stopped red,
// running green; a refusal a red mark, a refused start leaving the Spooler as it was before the
// request, and another service's refusal leaving the Spooler's state alone.
TEST(TraceLanes, SimulatedSpoolerStepsAndRefusals) {
    Picture run;
    run.timeline = {{10 * kS, ServiceStepEvent{"Spooler", ServiceStep::StopRequested}},
                    {20 * kS, ServiceStepEvent{"Spooler", ServiceStep::Stopped}},
                    {25 * kS, QueuePausedEvent{true}},
                    {30 * kS, ServiceStepEvent{"Spooler", ServiceStep::StartRequested}},
                    {40 * kS, StartRefusedEvent{"Spooler", 1058, std::nullopt}},
                    {50 * kS, ServiceStepEvent{"Spooler", ServiceStep::StartRequested}},
                    {60 * kS, ServiceStepEvent{"Spooler", ServiceStep::Running}},
                    {70 * kS, ServiceStepEvent{"Spooler", ServiceStep::StopRefused}},
                    {80 * kS, StartRefusedEvent{"Fax", 1058, std::nullopt}}};
    const LaneView spooler = View(run, "spooler");
    Expect(spooler.bars, {{"Spooler running", Sim(0, 10), kGreen, "running"},
                          {"Spooler stopping", Sim(10, 20), kAmber, "stopping"},
                          {"Spooler stopped", Sim(20, 30), kRed, "stopped"},
                          {"Spooler starting", Sim(30, 40), kAmber, "starting"},
                          {"Spooler stopped", Sim(40, 50), kRed, "stopped"},
                          {"Spooler starting", Sim(50, 60), kAmber, "starting"},
                          {"Spooler running", Sim(60, 81), kGreen, "running"}});
    Expect(spooler.marks,
           {{"Spooler start refused: 1058", "40.000 s", kRed, ""},
            {"Spooler stop refused: services that depend on it are running", "70.000 s", kRed, ""},
            {"Fax start refused: 1058", "80.000 s", kRed, ""}});
}

// The service's state as it reported it (start and stop pending amber, running green, stopped
// dark grey), each report a round mark and a bar that says it in full, so that two reports of
// one state with different checkpoints are two bars; the service manager's start and its refused
// controls as marks; output lines as ticks, lines of one moment sharing one, standard output in
// its own colour.
TEST(TraceLanes, SimulatedServiceReportsMarksAndTicks) {
    const auto report = [](uint32_t state, uint32_t checkPoint) {
        StatusReportEvent r;
        r.state = state;
        r.type = 0x10;
        r.checkPoint = checkPoint;
        return r;
    };
    Picture run;
    run.timeline = {{5 * kS, ServiceStartedEvent{}},
                    {10 * kS, report(kServiceStartPending, 1)},
                    {15 * kS, ReadServiceLine(Channel::Debug, "GetPrinterHandle")},
                    {15 * kS, ReadServiceLine(Channel::Debug, "KQ5 STATUS:32\\r\\n")},
                    {20 * kS, report(kServiceStartPending, 2)},
                    {30 * kS, report(kServiceRunning, 0)},
                    {35 * kS, ReadServiceLine(Channel::Stdout, "kq5 runs")},
                    {40 * kS, ControlRefusedEvent{1, 1061, kServiceRunning}},
                    {45 * kS, report(kServiceStopPending, 0)},
                    {55 * kS, report(kServiceStopped, 0)}};
    const LaneView service = View(run, "service");
    const auto words = [](const char* state, int checkPoint) {
        return std::string("SERVICE_") + state + " (type 0x10, controls 0, exit 0/0, checkpoint " +
               std::to_string(checkPoint) + ", wait hint 0)";
    };
    Expect(service.bars,
           {{"no status reported yet", Sim(0, 10), kGrey, ""},
            {"service reported " + words("START_PENDING", 1), Sim(10, 20), kAmber, "start pending"},
            {"service reported " + words("START_PENDING", 2), Sim(20, 30), kAmber, "start pending"},
            {"service reported " + words("RUNNING", 0), Sim(30, 45), kGreen, "running"},
            {"service reported " + words("STOP_PENDING", 0), Sim(45, 55), kAmber, "stop pending"},
            {"service reported " + words("STOPPED", 0), Sim(55, 56), kDarkGrey, ""}});
    const auto status = [&](const char* at, const char* state, int checkPoint) {
        return Drawn{"status " + words(state, checkPoint), at, "#ffffff", "", true};
    };
    Expect(
        service.marks,
        {{"started by the service manager", "5.000 s", kBlue, ""},
         status("10.000 s", "START_PENDING", 1),
         status("20.000 s", "START_PENDING", 2),
         status("30.000 s", "RUNNING", 0),
         {"stop not delivered: the service manager answers 1061 (the service is SERVICE_RUNNING)",
          "40.000 s", kBlue, ""},
         status("45.000 s", "STOP_PENDING", 0),
         status("55.000 s", "STOPPED", 0)});
    Expect(service.ticks,
           {{"debug \"GetPrinterHandle\"\ndebug \"KQ5 STATUS:32\\r\\n\"", "15.000 s", kDebug, ""},
            {"stdout \"kq5 runs\"", "35.000 s", kStdout, ""}});
}

// The service lane of a trace follows its processes: running from a process's first line,
// stopped from its " MainError:" until the next process (not unknown: the service was not
// running), and running on when the service was started again while the old process still wrote
// its last lines, its end coming after the new process's first line.
TEST(TraceLanes, ServiceLaneFollowsProcesses) {
    const auto lines = [](unsigned long pid, int fromTenths, int toTenths, bool ended) {
        std::vector<std::string> out;
        for (int t = fromTenths; t <= toTenths + (ended ? 1 : 0); ++t) {
            char stamp[32];
            std::snprintf(stamp, sizeof stamp, "09:00:%02d.%d00 [%lu] ", t / 10, t % 10, pid);
            out.push_back(stamp +
                          std::string(t > toTenths ? " MainError:0\\n" : "KQ5 STATUS:32\\r\\n"));
        }
        return out;
    };
    const auto first = [](unsigned long pid) {
        return "service reported SERVICE_RUNNING process " + std::to_string(pid) +
               " (its first line)";
    };
    const std::string end = "service reported SERVICE_STOPPED (the process ended:  MainError:0\\n)";
    std::vector<std::string> restart = lines(428, 0, 49, true), later = lines(612, 150, 199, false);
    restart.insert(restart.end(), later.begin(), later.end());
    Expect(View(TracePicture(restart), "service").bars,
           {{first(428), Held("09:00:00.000", "09:00:05.000", "5 s"), kGreen, "running"},
            {end, Held("09:00:05.000", "09:00:15.000", "10 s"), kDarkGrey, "stopped"},
            {first(612), Held("09:00:15.000", "09:00:20.000", "5 s"), kGreen, "running"}});

    // Process 612's first line at 09:00:05.000, process 428's end at 09:00:05.200.
    const std::vector<std::string> old = lines(428, 0, 51, true), next = lines(612, 50, 199, false);
    std::vector<std::string> overlap;
    std::merge(old.begin(), old.end(), next.begin(), next.end(), std::back_inserter(overlap),
               [](const std::string& a, const std::string& b) {
                   return a.substr(0, 12) < b.substr(0, 12);
               });
    const LaneView service = View(TracePicture(overlap), "service");
    Expect(service.bars,
           {{first(428), Held("09:00:00.000", "09:00:05.000", "5 s"), kGreen, "running"},
            {first(612), Held("09:00:05.000", "09:00:20.000", "15 s"), kGreen, "running"}});
    // The old process's end is still there to read, as a mark.
    Expect(service.marks, {{"status SERVICE_RUNNING process 428 (its first line)",
                            Day("09:00:00.000"), "#ffffff", "", true},
                           {"status SERVICE_RUNNING process 612 (its first line)",
                            Day("09:00:05.000"), "#ffffff", "", true},
                           {"status SERVICE_STOPPED (the process ended:  MainError:0\\n)",
                            Day("09:00:05.200"), "#ffffff", "", true}});
}
