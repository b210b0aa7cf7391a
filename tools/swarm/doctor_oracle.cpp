// kq5doctor held to the simulated machine's own record: at moments of a swarm day picked from its
// seed, the doctor's gather and judge look at the machine as it is, and each verdict is checked
// against what the simulation knows for certain (the queue, the Spooler, the printer and its
// port, who holds its device, kq5's state). An "ok" must be true of the machine; a PROBLEM must
// name something that is really so.
//
// The look leaves no trace on the day: the machine is copied before it and put back after it, and
// while the doctor looks no failure is injected and no call takes time (those are the day's
// faults of kq5's calls, not the machine's state). The simulated machine has no service record
// of kq5 itself (the service manager's view of it is kq5's last status report), so for the look
// kq5 is registered as the package registers it, in the state its reports give.
#include <algorithm>
#include <random>

#include "common/text.h"
#include "doctor/judge.h"
#include "platform/sim/machine.h"
#include "scenario.h"

// swarm.h's, declared here: its Finding is not the doctor's.
Scenario GenerateScenario(uint64_t seed, int minutes);

namespace {

// What the simulation knows for certain at the moment.
struct Truth {
    bool queueExists = false;
    bool queuePaused = false;
    std::string queuePort;
    DWORD spooler = 0;
    bool printerPresent = false;
    std::string printerPort;
    sim::Text16 printerPath;
    bool held = false;  // a handle holds the printer's device
    DWORD kq5 = SERVICE_STOPPED;
};

// kq5's state as the service manager knows it: its last report since its process started.
DWORD Kq5State(const std::vector<sim::TimelineEvent>& timeline, bool processRuns) {
    DWORD state = SERVICE_STOPPED;
    for (const sim::TimelineEvent& e : timeline) {
        if (As<ServiceStartedEvent>(e) != nullptr) {
            state = SERVICE_START_PENDING;
        } else if (const auto* report = As<StatusReportEvent>(e)) {
            state = report->state;
        }
    }
    return processRuns ? state : SERVICE_STOPPED;
}

// The printer as the day's first `happened` events left it: its serial and port.
void PrinterAfter(const Scenario& s, size_t happened, Truth& truth, std::string& serial) {
    truth.printerPresent = s.printerPresent;
    truth.printerPort = s.printerPort;
    serial = s.printerSerial;
    for (size_t i = 0; i < happened; ++i) {
        const ScenarioEvent& e = s.events[i];
        if (e.kind == EventKind::Plug) {
            truth.printerPresent = true;
            truth.printerPort = e.port;
            serial = e.device;
        } else if (e.kind == EventKind::Unplug) {
            truth.printerPresent = false;
        }
    }
}

// The machine's truth, with the lock held; false when the moment is not one the oracle judges
// (more than one printer device present, the registry made odd by the scenario).
bool ReadTruth(sim::Machine& m, const Scenario& s, size_t happened, Truth& truth) {
    std::string serial;
    PrinterAfter(s, happened, truth, serial);
    truth.printerPath = PrinterDevicePath(serial);
    const sim::Text16 family = u"\\\\?\\usb#vid_0483&pid_5741#";
    const auto printers = std::count_if(m.devices.begin(), m.devices.end(), [&](const auto& d) {
        return d.present && d.path.compare(0, family.size(), family) == 0;
    });
    for (const auto& [handle, entry] : m.handles) {
        truth.held =
            truth.held || (entry.kind == "device" && entry.devicePath == truth.printerPath);
    }
    truth.kq5 = Kq5State(m.timeline, sim::OnSimulatedThread());
    return printers <= 1 && s.registry.empty();
}

void ReadQueueAndSpooler(Truth& truth) {
    const sim::PrinterState queue = sim::Printer(u"Korvane-Q5");
    truth.queueExists = queue.exists;
    truth.queuePaused = queue.paused;
    truth.queuePort = sim::Narrow(queue.port);
    truth.spooler = sim::SpoolerState();
}

// kq5 registered as the package does, in STATE, with its program on the disk.
void RegisterKq5(DWORD state) {
    sim::ServiceConfig config;
    config.type = SERVICE_WIN32_OWN_PROCESS;
    config.binaryPath = "\"C:\\Program Files\\kq5\\kq5svc.exe\"";
    config.failureActions = {{SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}};
    config.requiredPrivileges = {"SeChangeNotifyPrivilege"};
    sim::InstallService("kq5", config, state);
    sim::AddProgramFile("C:\\Program Files\\kq5\\kq5svc.exe", "1.0.0.0");
}

bool EndsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() &&
           EqualsFoldingAscii(text.substr(text.size() - end.size()), end);
}

// What in the machine contradicts the finding, or empty when it holds.
std::string Contradiction(const Finding& f, const Truth& t) {
    const bool running = t.kq5 == SERVICE_RUNNING;
    const std::string& k = f.key;
    const bool ok = f.verdict == Verdict::Ok;
    bool holds = true;
    if (k == "queue") {
        holds = t.queueExists && EndsWith(f.text, " " + t.queuePort);
    } else if (k == "queue_missing" || k == "queue_misnamed") {
        holds = !t.queueExists;
    } else if (k == "queue_spooler_down" || k == "spooler_not_running") {
        holds = t.spooler != SERVICE_RUNNING;
    } else if (k == "spooler") {
        holds = t.spooler == SERVICE_RUNNING;
    } else if (k == "queue_paused") {
        holds = t.queuePaused && t.printerPresent == !ok;
    } else if (k == "printer_absent") {
        holds = !t.printerPresent;
    } else if (k == "printer_port") {
        holds = t.printerPresent && EndsWith(f.text, " " + t.printerPort);
    } else if (k == "printer_port_unknown") {
        holds = !t.printerPresent;  // plugged in, it has its port (no registry made odd)
    } else if (k == "printer_device") {
        holds = t.held == running && (f.text.find("held by kq5") != std::string::npos) == t.held;
    } else if (k == "printer_not_held") {
        holds = !t.held && running;
    } else if (k == "printer_held") {
        holds = t.held && t.kq5 == SERVICE_STOPPED;
    } else if (k == "port") {
        holds = t.printerPresent && EqualsFoldingAscii(t.queuePort, t.printerPort);
    } else if (k == "port_mismatch") {
        holds = t.printerPresent && !EqualsFoldingAscii(t.queuePort, t.printerPort);
    } else if (k == "kq5_state" || k == "kq5_not_running") {
        holds = running == ok;
    }
    if (holds) {
        return "";
    }
    return k + " \"" + f.text + "\", but the queue " +
           (t.queueExists ? "prints to " + t.queuePort : std::string("does not exist")) +
           (t.queuePaused ? " (paused)" : "") + ", the Spooler is in state " +
           std::to_string(t.spooler) + ", the printer is " +
           (t.printerPresent ? "on " + t.printerPort : std::string("absent")) + ", its device " +
           (t.held ? "held" : "free") + ", kq5 in state " + std::to_string(t.kq5);
}

// The doctor's look at the moment; its contradictions, each with MOMENT.
void LookAt(const Scenario& s, size_t happened, const std::string& moment,
            std::vector<std::string>& wrong) {
    Truth truth;
    sim::Machine saved;
    bool judged = false;
    {
        std::lock_guard<std::mutex> lock(sim::MachineLock());
        sim::Machine& m = sim::TheMachine();
        saved = m;
        m.failures.clear();
        m.callActions.clear();
        m.callDurations.clear();
        m.recording = false;
        judged = ReadTruth(m, s, happened, truth);
    }
    if (judged) {
        ReadQueueAndSpooler(truth);
        RegisterKq5(truth.kq5);
        for (const Finding& finding : Judge(GatherFacts())) {
            const std::string contradiction = Contradiction(finding, truth);
            if (!contradiction.empty()) {
                wrong.push_back(moment + ": " + contradiction);
            }
        }
    }
    std::lock_guard<std::mutex> lock(sim::MachineLock());
    sim::TheMachine() = std::move(saved);
}

}  // namespace

// The contradictions at moments of the day from SEED (a quarter of its events, picked from the
// seed), each with its seed and moment: kq5_tests runs it (doctor_test.cpp).
std::vector<std::string> DoctorContradictions(uint64_t seed, int minutes) {
    const Scenario scenario = GenerateScenario(seed, minutes);
    std::mt19937_64 pick(seed);
    std::vector<std::string> wrong;
    const ScenarioResult looked =
        RunScenario(scenario, sim::Threads::TakeTurns, nullptr, [&](const ScenarioEvent& event) {
            const size_t i = static_cast<size_t>(&event - scenario.events.data());
            if (pick() % 4 == 0) {
                LookAt(scenario, i,
                       "seed " + std::to_string(seed) + ", before event " + std::to_string(i + 1) +
                           " at " + std::to_string(event.atMs) + " ms",
                       wrong);
            }
        });
    // The looks must leave the day as it would have been: the same run without them.
    if (FormatTimeline(looked) != FormatTimeline(RunScenario(scenario))) {
        wrong.push_back("seed " + std::to_string(seed) + ": the doctor's looks changed the day");
    }
    return wrong;
}
