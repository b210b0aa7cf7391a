// --lab --printer: what only a lab PC with the real printer and the installed service can show,
// a step at a time. The tester does what a prompt says and presses Enter; the step then watches
// the queue through the spooler (its status word and port, read every 100 ms) and the Spooler's
// process for as long as kq5 is given to act, and ends held, differs (with what it saw) or not
// run (and why). Afterwards the package's service configuration is read back.
#include "conformance/walkthrough.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

#include "conformance/check.h"
#include "doctor/doctor.h"

namespace conformance {
namespace {

const WCHAR kQueueName[] = L"Korvane-Q5";
constexpr DWORD kCycleMs = 800;
// A port move stops the Spooler (up to 10 s), starts it and pauses 1.3 s before it resumes.
constexpr DWORD kPortMoveMs = 30000;

struct QueueState {
    bool found = false;
    DWORD status = 0;
    Text port;
};

QueueState ReadQueue() {
    QueueState state;
    PRINTER_DEFAULTSW read = {nullptr, nullptr, PRINTER_ACCESS_USE};
    HANDLE queue = nullptr;
    if (!OpenPrinterW(const_cast<WCHAR*>(kQueueName), &queue, &read)) {
        return state;
    }
    DWORD needed = 0;
    GetPrinterW(queue, 2, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + sizeof(PRINTER_INFO_2W));
    if (GetPrinterW(queue, 2, buffer.data(), needed, &needed)) {
        const auto* record = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
        state.found = true;
        state.status = record->Status;
        state.port = record->pPortName ? record->pPortName : L"";
    }
    ClosePrinter(queue);
    return state;
}

DWORD SpoolerProcess() {
    SC_HANDLE spooler = OpenServiceByName("Spooler");
    SERVICE_STATUS_PROCESS status = {};
    DWORD size = 0;
    const bool read = QueryServiceStatusEx(spooler, SC_STATUS_PROCESS_INFO,
                                           reinterpret_cast<LPBYTE>(&status), sizeof status, &size);
    CloseServiceHandle(spooler);
    return read && status.dwCurrentState == SERVICE_RUNNING ? status.dwProcessId : 0;
}

std::string Hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lx", static_cast<unsigned long>(value));
    return text;
}

std::string Described(const QueueState& state) {
    return state.found ? "status " + Hex(state.status) + ", port " + Shown(state.port)
                       : "the queue could not be read";
}

// Prompts and waits for Enter; false when no one answers (the input has ended).
bool Prompt(std::FILE* prompts, const std::string& text) {
    std::fprintf(prompts, "\n>>> %s, then press Enter.\n", text.c_str());
    std::fflush(prompts);
    std::string line;
    return static_cast<bool>(std::getline(std::cin, line));
}

Outcome Step(const char* id, const char* title) {
    Outcome outcome;
    outcome.id = id;
    outcome.title = title;
    return outcome;
}

// Watches the queue until `wanted` holds of it or `ms` have passed; the state last seen.
template <typename Wanted>
QueueState WatchQueue(DWORD ms, Wanted wanted) {
    QueueState state = ReadQueue();
    for (DWORD waited = 0; waited < ms && !wanted(state); waited += 100) {
        Sleep(100);
        state = ReadQueue();
    }
    return state;
}

void Judge(Outcome& outcome, bool held, const std::string& seen) {
    outcome.verdict = held ? Verdict::Held : Verdict::Differs;
    outcome.notes.push_back(held ? "seen: " + seen : seen);
}

// A printer step: the prompt, then the queue's status word within two cycles.
Outcome StatusStep(std::FILE* prompts, const char* id, const char* title, const char* action,
                   DWORD status, bool paused) {
    Outcome outcome = Step(id, title);
    if (!Prompt(prompts, action)) {
        outcome.notes.push_back("no answer to the prompt");
        return outcome;
    }
    const DWORD wanted = status | (paused ? PRINTER_STATUS_PAUSED : 0);
    const QueueState state = WatchQueue(
        2 * kCycleMs, [&](const QueueState& s) { return s.found && s.status == wanted; });
    Judge(outcome, state.found && state.status == wanted,
          Described(state) + (state.status == wanted ? "" : ", expected status " + Hex(wanted)));
    return outcome;
}

Outcome PortMoveStep(std::FILE* prompts) {
    Outcome outcome = Step("printer.other-usb-port",
                           "Plugged into another USB port: the queue's port follows, the Spooler "
                           "restarts, the queue resumes");
    const QueueState before = ReadQueue();
    const DWORD spoolerBefore = SpoolerProcess();
    if (!Prompt(prompts, "Plug the printer into ANOTHER USB port than before")) {
        outcome.notes.push_back("no answer to the prompt");
        return outcome;
    }
    const auto moved = [&](const QueueState& s) {
        return s.found && !s.port.empty() && s.port != before.port &&
               (s.status & PRINTER_STATUS_PAUSED) == 0;
    };
    const QueueState after = WatchQueue(kPortMoveMs, moved);
    const DWORD spoolerAfter = SpoolerProcess();
    const bool restarted = spoolerAfter != 0 && spoolerAfter != spoolerBefore;
    Judge(outcome, moved(after) && restarted,
          "port " + Shown(before.port) + " -> " + Shown(after.port) + ", " + Described(after) +
              ", Spooler process " + std::to_string(spoolerBefore) + " -> " +
              std::to_string(spoolerAfter) + (restarted ? " (restarted)" : " (not restarted)"));
    return outcome;
}

// The service's configuration that the package makes with sc.exe, read back with the doctor's
// own look-ups: restart after one minute twice, then nothing; SeChangeNotifyPrivilege only;
// the SID type as created (none).
std::vector<Outcome> PackageSteps() {
    const ::Facts facts = GatherFacts();
    const ServiceFacts& service = facts.service;
    Outcome recovery = Step("package.recovery-actions",
                            "The package's recovery actions: restart after 60 s, twice");
    Outcome privileges = Step("package.required-privileges",
                              "The package's required privileges: SeChangeNotifyPrivilege only");
    Outcome sid = Step("package.sid-type", "The service's SID type stays as created: none");
    if (!service.installed) {
        for (Outcome* outcome : {&recovery, &privileges, &sid}) {
            outcome->notes.push_back("kq5 is not installed: install the package first");
        }
        return {recovery, privileges, sid};
    }
    std::string actions;
    int restarts = 0;
    bool others = false;
    for (size_t i = 0; i < service.recovery.size(); ++i) {
        const FailureAction& action = service.recovery[i];
        actions +=
            (i ? ", " : "") + std::to_string(action.type) + "/" + std::to_string(action.delayMs);
        const bool restart = action.type == SC_ACTION_RESTART && action.delayMs == 60000;
        restarts += restart && i < 2 ? 1 : 0;
        others = others || (i >= 2 && action.type != SC_ACTION_NONE) || (i < 2 && !restart);
    }
    if (service.recoveryKnown) {
        Judge(recovery, restarts == 2 && !others, "actions (type/delay ms): " + actions);
    } else {
        recovery.notes.push_back("not readable here: error " +
                                 std::to_string(service.recoveryError));
    }
    if (service.privilegesKnown) {
        std::string list;
        for (const std::string& privilege : service.privileges) {
            list += (list.empty() ? "" : ", ") + privilege;
        }
        Judge(privileges, service.privileges == std::vector<std::string>{"SeChangeNotifyPrivilege"},
              "privileges: " + (list.empty() ? std::string("not restricted") : list));
    } else {
        privileges.notes.push_back("not readable here: error " +
                                   std::to_string(service.privilegesError));
    }
    SC_HANDLE handle = OpenServiceByName(service.name.c_str());
    SERVICE_SID_INFO info = {};
    DWORD needed = 0;
    if (QueryServiceConfig2W(handle, SERVICE_CONFIG_SERVICE_SID_INFO,
                             reinterpret_cast<LPBYTE>(&info), sizeof info, &needed)) {
        Judge(sid, info.dwServiceSidType == SERVICE_SID_TYPE_NONE,
              "SID type " + std::to_string(info.dwServiceSidType));
    } else {
        sid.notes.push_back("not readable here: error " + std::to_string(GetLastError()));
    }
    CloseServiceHandle(handle);
    return {recovery, privileges, sid};
}

}  // namespace

std::vector<Outcome> RunPrinterWalkthrough(std::FILE* prompts) {
    const char* unplugId = "printer.unplugged";
    const char* unplugTitle = "Unplugged: the queue paused and offline within two cycles";
    const char* doorId = "printer.door-open";
    const char* doorTitle = "Door open: the queue paused with that status within two cycles";
    const char* closedId = "printer.door-closed";
    const char* closedTitle = "Door closed again: the queue resumed, its status cleared";
    const char* paperId = "printer.paper-out";
    const char* paperTitle = "Paper out: the queue paused with that status within two cycles";
    const char* readyId = "printer.paper-back";
    const char* readyTitle = "Paper back: the queue resumed, its status cleared";
    std::vector<Outcome> steps;
    const QueueState queue = ReadQueue();
    const char* why = nullptr;
    if (OnWine()) {
        why =
            "Wine cannot show it: its user32 registers no device notifications for a service, "
            "and its SetPrinterW has no level 0 to pause a queue with";
    } else if (!queue.found) {
        why = "no queue \"Korvane-Q5\" to watch";
    } else if (SpoolerProcess() == 0) {
        why = "the Spooler is not running";
    }
    if (why != nullptr) {
        for (const auto& [id, title] :
             {std::pair{unplugId, unplugTitle},
              std::pair{"printer.other-usb-port",
                        "Plugged into another USB port: the queue's "
                        "port follows, the Spooler restarts, the queue "
                        "resumes"},
              std::pair{doorId, doorTitle}, std::pair{closedId, closedTitle},
              std::pair{paperId, paperTitle}, std::pair{readyId, readyTitle}}) {
            Outcome outcome = Step(id, title);
            outcome.notes.push_back(why);
            steps.push_back(outcome);
        }
    } else {
        std::fprintf(prompts,
                     "The printer walk-through: the printer plugged in and ready, the "
                     "service kq5 running.\n");
        steps.push_back(StatusStep(prompts, unplugId, unplugTitle, "Unplug the printer's USB cable",
                                   PRINTER_STATUS_OFFLINE, true));
        steps.push_back(PortMoveStep(prompts));
        steps.push_back(StatusStep(prompts, doorId, doorTitle, "Open the printer's door",
                                   PRINTER_STATUS_DOOR_OPEN, true));
        steps.push_back(StatusStep(prompts, closedId, closedTitle, "Close the door", 0, false));
        steps.push_back(StatusStep(prompts, paperId, paperTitle, "Take the paper out",
                                   PRINTER_STATUS_PAPER_OUT, true));
        steps.push_back(StatusStep(prompts, readyId, readyTitle, "Put the paper back", 0, false));
    }
    for (const Outcome& outcome : PackageSteps()) {
        steps.push_back(outcome);
    }
    return steps;
}

}  // namespace conformance
