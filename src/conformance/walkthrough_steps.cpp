// The walk-through's steps (walkthrough.h): the tester does what a prompt says and presses Enter;
// the step then watches the queue (its status word and port, read every 100 ms) and the Spooler's
// process for as long as kq5 is given to act, and ends held, differs (with what it saw) or not run
// (and why). Afterwards the package's service configuration is judged.
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "conformance/check.h"
#include "conformance/walkthrough.h"

namespace conformance {
namespace {

const char* const kPortMoveId = "printer.other-usb-port";
const char* const kPortMoveTitle =
    "Plugged into another USB port: the queue's port follows, the Spooler restarts, the queue "
    "resumes";

struct StatusStepPlan {
    const char* id;
    const char* title;
    const char* action;
    DWORD status;
    bool paused;
};

// clang-format off
const StatusStepPlan kUnplugged = {"printer.unplugged",
    "Unplugged: the queue paused and offline within two cycles",
    "Unplug the printer's USB cable", PRINTER_STATUS_OFFLINE, true};
const StatusStepPlan kLaterSteps[] = {
    {"printer.door-open", "Door open: the queue paused with that status within two cycles",
     "Open the printer's door", PRINTER_STATUS_DOOR_OPEN, true},
    {"printer.door-closed", "Door closed again: the queue resumed, its status cleared",
     "Close the door", 0, false},
    {"printer.paper-out", "Paper out: the queue paused with that status within two cycles",
     "Take the paper out", PRINTER_STATUS_PAPER_OUT, true},
    {"printer.paper-back", "Paper back: the queue resumed, its status cleared",
     "Put the paper back", 0, false},
};
// clang-format on

// A queue status as all eight hex digits, so that the walkthrough's lines of status line up.
std::string StatusHex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(value));
    return text;
}

std::string Described(const QueueState& state) {
    return state.found ? "status " + StatusHex(state.status) + ", port " + Shown(state.port)
                       : "the queue could not be read";
}

Outcome Step(const char* id, const char* title) {
    Outcome outcome;
    outcome.id = id;
    outcome.title = title;
    return outcome;
}

// Watches the queue until WANTED holds of it or MS have passed; the state last seen.
QueueState WatchQueue(const WalkthroughSystem& system, DWORD ms,
                      const std::function<bool(const QueueState&)>& wanted) {
    QueueState state = system.readQueue();
    for (DWORD waited = 0; waited < ms && !wanted(state); waited += kWatchStepMs) {
        system.sleep(kWatchStepMs);
        state = system.readQueue();
    }
    return state;
}

void Judge(Outcome& outcome, bool held, const std::string& seen) {
    outcome.verdict = held ? Verdict::Held : Verdict::Differs;
    outcome.notes.push_back(held ? "seen: " + seen : seen);
}

// A printer step: the prompt, then the queue's status word within two cycles.
Outcome StatusStep(const WalkthroughSystem& system, const StatusStepPlan& plan) {
    Outcome outcome = Step(plan.id, plan.title);
    if (!system.prompt(plan.action)) {
        outcome.notes.push_back("no answer to the prompt");
        return outcome;
    }
    const DWORD wanted = plan.status | (plan.paused ? PRINTER_STATUS_PAUSED : 0);
    const QueueState state = WatchQueue(system, kStatusWithinMs, [&](const QueueState& s) {
        return s.found && s.status == wanted;
    });
    Judge(outcome, state.found && state.status == wanted,
          Described(state) +
              (state.status == wanted ? "" : ", expected status " + StatusHex(wanted)));
    return outcome;
}

Outcome PortMoveStep(const WalkthroughSystem& system) {
    Outcome outcome = Step(kPortMoveId, kPortMoveTitle);
    const QueueState before = system.readQueue();
    const DWORD spoolerBefore = system.spoolerProcess();
    if (!system.prompt("Plug the printer into ANOTHER USB port than before")) {
        outcome.notes.push_back("no answer to the prompt");
        return outcome;
    }
    const auto moved = [&](const QueueState& s) {
        return s.found && !s.port.empty() && s.port != before.port &&
               (s.status & PRINTER_STATUS_PAUSED) == 0;
    };
    const QueueState after = WatchQueue(system, kPortMoveMs, moved);
    const DWORD spoolerAfter = system.spoolerProcess();
    const bool restarted = spoolerAfter != 0 && spoolerAfter != spoolerBefore;
    Judge(outcome, moved(after) && restarted,
          "port " + Shown(before.port) + " -> " + Shown(after.port) + ", " + Described(after) +
              ", Spooler process " + std::to_string(spoolerBefore) + " -> " +
              std::to_string(spoolerAfter) + (restarted ? " (restarted)" : " (not restarted)"));
    return outcome;
}

// Why the printer's steps cannot be shown on this machine, or null when they can.
const char* WhyNot(const WalkthroughSystem& system) {
    if (system.onWine) {
        return "Wine cannot show it: its user32 registers no device notifications for a "
               "service, and its SetPrinterW has no level 0 to pause a queue with";
    }
    if (!system.readQueue().found) {
        return "no queue \"Korvane-Q5\" to watch";
    }
    return system.spoolerProcess() == 0 ? "the Spooler is not running" : nullptr;
}

// False, with the reason, when the setting could not be read: the step is not run.
bool Readable(Outcome& outcome, bool known, DWORD error) {
    if (!known) {
        outcome.notes.push_back("not readable here: error " + std::to_string(error));
    }
    return known;
}

void JudgeRecovery(Outcome& recovery, const ServiceFacts& service) {
    if (!Readable(recovery, service.recoveryKnown, service.recoveryError)) {
        return;
    }
    std::string actions;
    int restarts = 0;
    bool others = false;
    for (size_t i = 0; i < service.recovery.size(); ++i) {
        const FailureAction& action = service.recovery[i];
        actions +=
            (i ? ", " : "") + std::to_string(action.type) + "/" + std::to_string(action.delayMs);
        const bool restart = action.type == SC_ACTION_RESTART && action.delayMs == 60000;
        restarts += restart ? 1 : 0;  // a third is among the others
        others = others || (i >= 2 && action.type != SC_ACTION_NONE) || (i < 2 && !restart);
    }
    Judge(recovery, restarts == 2 && !others, "actions (type/delay ms): " + actions);
}

void JudgePrivileges(Outcome& privileges, const ServiceFacts& service) {
    if (!Readable(privileges, service.privilegesKnown, service.privilegesError)) {
        return;
    }
    std::string list;
    for (const std::string& privilege : service.privileges) {
        list += (list.empty() ? "" : ", ") + privilege;
    }
    Judge(privileges, service.privileges == std::vector<std::string>{"SeChangeNotifyPrivilege"},
          "privileges: " + (list.empty() ? std::string("not restricted") : list));
}

}  // namespace

std::vector<Outcome> PrinterSteps(const WalkthroughSystem& system) {
    std::vector<Outcome> steps;
    if (const char* why = WhyNot(system)) {
        steps.push_back(Step(kUnplugged.id, kUnplugged.title));
        steps.push_back(Step(kPortMoveId, kPortMoveTitle));
        for (const StatusStepPlan& plan : kLaterSteps) {
            steps.push_back(Step(plan.id, plan.title));
        }
        for (Outcome& step : steps) {
            step.notes.push_back(why);
        }
        return steps;
    }
    system.say(
        "The printer walk-through: the printer plugged in and ready, the service kq5 running.");
    steps.push_back(StatusStep(system, kUnplugged));
    steps.push_back(PortMoveStep(system));
    for (const StatusStepPlan& plan : kLaterSteps) {
        steps.push_back(StatusStep(system, plan));
    }
    return steps;
}

std::vector<Outcome> PackageSteps(const ServiceFacts& service, const SidAnswer& sid) {
    Outcome recovery = Step("package.recovery-actions",
                            "The package's recovery actions: restart after 60 s, twice");
    Outcome privileges = Step("package.required-privileges",
                              "The package's required privileges: SeChangeNotifyPrivilege only");
    Outcome sidType = Step("package.sid-type", "The service's SID type stays as created: none");
    if (!service.installed) {
        for (Outcome* outcome : {&recovery, &privileges, &sidType}) {
            outcome->notes.push_back("kq5 is not installed: install the package first");
        }
        return {recovery, privileges, sidType};
    }
    JudgeRecovery(recovery, service);
    JudgePrivileges(privileges, service);
    if (Readable(sidType, sid.known, sid.error)) {
        Judge(sidType, sid.none, "SID type " + std::to_string(sid.type));
    }
    return {recovery, privileges, sidType};
}

}  // namespace conformance
