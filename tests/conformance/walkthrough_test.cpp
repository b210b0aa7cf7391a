// kq5-conformance --lab --printer's steps on the host: a queue, a Spooler and a tester the test
// scripts, and a clock the test sets (each step's watch is counted in its reads, not waited for).
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <utility>
#include <vector>

#include "conformance/report.h"
#include "conformance/walkthrough.h"

namespace conformance {
namespace {

// What the printer and kq5 do after a prompt is answered: the queue (and perhaps the Spooler's
// process) as it reads AFTERMS later.
struct Reaction {
    DWORD afterMs = 800;
    DWORD status = 0;
    Text port = WSTR("USB001");
    DWORD spooler = 0;  // 0: the same process
};

struct FakeLab {
    DWORD clock = 0;
    std::vector<std::pair<DWORD, QueueState>> queue = {{0, {true, 0, WSTR("USB001")}}};
    std::vector<std::pair<DWORD, DWORD>> spooler = {{0, 1000}};
    std::vector<Reaction> reactions;  // one for each prompt, in order
    int answered = INT_MAX;           // prompts answered before the input ends
    std::vector<std::string> prompts;
    std::vector<std::string> said;
    bool onWine = false;

    template <typename T>
    static T At(const std::vector<std::pair<DWORD, T>>& timeline, DWORD ms) {
        T value = timeline.front().second;
        for (const auto& [from, then] : timeline) {
            value = from <= ms ? then : value;
        }
        return value;
    }

    bool Prompt(const std::string& action) {
        prompts.push_back(action);
        if (static_cast<int>(prompts.size()) > answered) {
            return false;
        }
        const Reaction& r = reactions.at(prompts.size() - 1);
        queue.push_back({clock + r.afterMs, QueueState{true, r.status, r.port}});
        if (r.spooler != 0) {
            spooler.push_back({clock + r.afterMs, r.spooler});
        }
        return true;
    }

    WalkthroughSystem System() {
        WalkthroughSystem system;
        system.readQueue = [this] { return At(queue, clock); };
        system.spoolerProcess = [this] { return At(spooler, clock); };
        system.sleep = [this](DWORD ms) { clock += ms; };
        system.prompt = [this](const std::string& action) { return Prompt(action); };
        system.say = [this](const std::string& text) { said.push_back(text); };
        system.onWine = onWine;
        return system;
    }
};

constexpr DWORD kPausedOffline = PRINTER_STATUS_PAUSED | PRINTER_STATUS_OFFLINE;

// kq5 as it should be: each status within a cycle, the port followed within 12 s.
std::vector<Reaction> AsItShouldBe() {
    return {{900, kPausedOffline, WSTR("USB001")},
            {12000, 0, WSTR("USB002"), 2000},
            {800, PRINTER_STATUS_PAUSED | PRINTER_STATUS_DOOR_OPEN, WSTR("USB002")},
            {800, 0, WSTR("USB002")},
            {800, PRINTER_STATUS_PAUSED | PRINTER_STATUS_PAPER_OUT, WSTR("USB002")},
            {800, 0, WSTR("USB002")}};
}

std::vector<std::string> Verdicts(const std::vector<Outcome>& steps) {
    std::vector<std::string> verdicts;
    for (const Outcome& step : steps) {
        verdicts.push_back(step.id + " " + VerdictName(step.verdict));
    }
    return verdicts;
}

TEST(Walkthrough, EveryStepHeldWhenTheQueueFollowsThePrinter) {
    FakeLab lab;
    lab.reactions = AsItShouldBe();
    const std::vector<Outcome> steps = PrinterSteps(lab.System());
    EXPECT_EQ(Verdicts(steps),
              (std::vector<std::string>{"printer.unplugged held", "printer.other-usb-port held",
                                        "printer.door-open held", "printer.door-closed held",
                                        "printer.paper-out held", "printer.paper-back held"}));
    EXPECT_EQ(lab.prompts,
              (std::vector<std::string>{"Unplug the printer's USB cable",
                                        "Plug the printer into ANOTHER USB port than before",
                                        "Open the printer's door", "Close the door",
                                        "Take the paper out", "Put the paper back"}));
    EXPECT_EQ(lab.said, (std::vector<std::string>{"The printer walk-through: the printer plugged "
                                                  "in and ready, the service kq5 running."}));
    ASSERT_EQ(steps.size(), 6u);
    EXPECT_EQ(steps[0].notes, std::vector<std::string>{"seen: status 0x00000081, port \"USB001\""});
    EXPECT_EQ(steps[1].notes, std::vector<std::string>{
                                  "seen: port \"USB001\" -> \"USB002\", status 0x00000000, port "
                                  "\"USB002\", Spooler process 1000 -> 2000 (restarted)"});
    EXPECT_EQ(steps[2].notes, std::vector<std::string>{"seen: status 0x00400001, port \"USB002\""});
    // Each step ends as soon as the queue shows what it waits for: 900 ms, 12 s, then 4 x 800.
    EXPECT_EQ(lab.clock, 900u + 12000 + 4 * 800);
}

TEST(Walkthrough, AStatusIsGivenTwoCyclesAndAPortMove30Seconds) {
    for (const auto& [ms, held] : {std::pair{1600u, true}, std::pair{1700u, false}}) {
        FakeLab lab;
        lab.reactions = AsItShouldBe();
        lab.reactions[0].afterMs = ms;
        const Outcome unplugged = PrinterSteps(lab.System())[0];
        EXPECT_EQ(VerdictName(unplugged.verdict), held ? "held" : "differs") << ms;
        if (!held) {
            EXPECT_EQ(unplugged.notes, std::vector<std::string>{"status 0x00000000, port "
                                                                "\"USB001\", expected status "
                                                                "0x00000081"});
        }
    }
    for (const auto& [ms, held] : {std::pair{30000u, true}, std::pair{30100u, false}}) {
        FakeLab lab;
        lab.reactions = AsItShouldBe();
        lab.reactions[1].afterMs = ms;
        EXPECT_EQ(VerdictName(PrinterSteps(lab.System())[1].verdict), held ? "held" : "differs")
            << ms;
    }
    // The port followed, but the Spooler was not restarted; or the queue stayed paused.
    FakeLab same;
    same.reactions = AsItShouldBe();
    same.reactions[1].spooler = 0;
    const Outcome moved = PrinterSteps(same.System())[1];
    EXPECT_EQ(VerdictName(moved.verdict), "differs");
    EXPECT_EQ(moved.notes,
              std::vector<std::string>{"port \"USB001\" -> \"USB002\", status 0x00000000, port "
                                       "\"USB002\", Spooler process 1000 -> 1000 (not restarted)"});
    FakeLab paused;
    paused.reactions = AsItShouldBe();
    paused.reactions[1].status = PRINTER_STATUS_PAUSED;
    EXPECT_EQ(VerdictName(PrinterSteps(paused.System())[1].verdict), "differs");
    // A door that opens without pausing the queue is not the status asked for.
    FakeLab unpaused;
    unpaused.reactions = AsItShouldBe();
    unpaused.reactions[2].status = PRINTER_STATUS_DOOR_OPEN;
    EXPECT_EQ(VerdictName(PrinterSteps(unpaused.System())[2].verdict), "differs");
}

TEST(Walkthrough, NoAnswerOrNoMachineToShowItOnIsNotRunAndSaysWhy) {
    FakeLab ended;
    ended.reactions = AsItShouldBe();
    ended.answered = 2;
    const std::vector<Outcome> steps = PrinterSteps(ended.System());
    EXPECT_EQ(Verdicts(steps), (std::vector<std::string>{
                                   "printer.unplugged held", "printer.other-usb-port held",
                                   "printer.door-open not run", "printer.door-closed not run",
                                   "printer.paper-out not run", "printer.paper-back not run"}));
    EXPECT_EQ(steps[5].notes, std::vector<std::string>{"no answer to the prompt"});
    EXPECT_EQ(ended.clock, 900u + 12000);  // no step waited for what no one did

    FakeLab wine;
    wine.onWine = true;
    FakeLab noQueue;
    noQueue.queue = {{0, QueueState{}}};
    FakeLab noSpooler;
    noSpooler.spooler = {{0, 0}};
    for (auto& [lab, why] : {std::pair<FakeLab*, std::string>{&wine,
                                                              "Wine cannot show it: its "
                                                              "user32 registers no device "
                                                              "notifications for a "
                                                              "service, and its "
                                                              "SetPrinterW has no level 0 "
                                                              "to pause a queue with"},
                             {&noQueue, "no queue \"Korvane-Q5\" to watch"},
                             {&noSpooler, "the Spooler is not running"}}) {
        const std::vector<Outcome> none = PrinterSteps(lab->System());
        ASSERT_EQ(none.size(), 6u);
        for (const Outcome& step : none) {
            EXPECT_EQ(VerdictName(step.verdict), "not run") << step.id;
            EXPECT_EQ(step.notes, std::vector<std::string>{why}) << step.id;
        }
        EXPECT_TRUE(lab->prompts.empty());
    }
}

TEST(Walkthrough, ThePackagesServiceConfigurationIsJudged) {
    ServiceFacts service;
    service.installed = true;
    service.name = "kq5";
    service.recoveryKnown = true;
    service.recovery = {
        {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_NONE, 0}};
    service.privilegesKnown = true;
    service.privileges = {"SeChangeNotifyPrivilege"};
    SidAnswer sid{true, true, 0, 0};
    std::vector<Outcome> steps = PackageSteps(service, sid);
    EXPECT_EQ(Verdicts(steps), (std::vector<std::string>{"package.recovery-actions held",
                                                         "package.required-privileges held",
                                                         "package.sid-type held"}));
    EXPECT_EQ(steps[0].notes,
              std::vector<std::string>{"seen: actions (type/delay ms): 1/60000, 1/60000, 0/0"});

    // A third restart, a restart after 30 s, another privilege, an unrestricted set, a SID type.
    for (const std::vector<FailureAction>& recovery :
         {std::vector<FailureAction>{
              {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}},
          std::vector<FailureAction>{{SC_ACTION_RESTART, 30000}, {SC_ACTION_RESTART, 60000}},
          std::vector<FailureAction>{{SC_ACTION_RESTART, 60000}}}) {
        service.recovery = recovery;
        EXPECT_EQ(VerdictName(PackageSteps(service, sid)[0].verdict), "differs");
    }
    for (const std::vector<std::string>& privileges :
         {std::vector<std::string>{"SeChangeNotifyPrivilege", "SeDebugPrivilege"},
          std::vector<std::string>{}}) {
        service.privileges = privileges;
        EXPECT_EQ(VerdictName(PackageSteps(service, sid)[1].verdict), "differs");
    }
    EXPECT_EQ(PackageSteps(service, sid)[1].notes,
              std::vector<std::string>{"privileges: not restricted"});
    EXPECT_EQ(PackageSteps(service, SidAnswer{true, false, 1, 0})[2].notes,
              std::vector<std::string>{"SID type 1"});

    // What cannot be read is not run, with the error; nothing is judged without the service.
    service.recoveryKnown = false;
    service.recoveryError = 1060;
    steps = PackageSteps(service, SidAnswer{false, false, 0, 5});
    EXPECT_EQ(VerdictName(steps[0].verdict), "not run");
    EXPECT_EQ(steps[0].notes, std::vector<std::string>{"not readable here: error 1060"});
    EXPECT_EQ(steps[2].notes, std::vector<std::string>{"not readable here: error 5"});
    service.installed = false;
    for (const Outcome& step : PackageSteps(service, sid)) {
        EXPECT_EQ(VerdictName(step.verdict), "not run");
        EXPECT_EQ(step.notes,
                  std::vector<std::string>{"kq5 is not installed: install the package first"});
    }
}

}  // namespace
}  // namespace conformance
