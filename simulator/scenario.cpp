#include "scenario.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <map>
#include <sstream>

#include "common/escape.h"
#include "common/service_state.h"
#include "common/text.h"
#include "service/service.h"

namespace {

constexpr const char* kUsbDeviceClass = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr const char* kUsbPrintClass = "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

// ---- The machine the scenario describes ---------------------------------------------------------

std::string UsbPrintInterfaceKey(const std::string& serial) {
    return std::string("SYSTEM\\ControlSet001\\Control\\DeviceClasses\\") + kUsbPrintClass +
           "\\##?#usb#vid_0483&pid_5741#" + serial + "#" + kUsbPrintClass +
           "\\#\\Device Parameters";
}

std::string UsbPortKey(const std::string& port) {
    return "SYSTEM\\ControlSet001\\Control\\Print\\Monitors\\USB Monitor\\Ports\\" + port;
}

sim::Text16 OtherDevicePath(const std::string& name) {
    return sim::Widen(std::string("\\\\?\\usb#vid_046d&pid_c52b#") + name + "#" + kUsbDeviceClass);
}

void EnsurePort(const std::string& port, const std::string& monitor = "USB Monitor") {
    for (const sim::Text16& existing : sim::Ports()) {
        if (existing == sim::Widen(port)) {
            return;
        }
    }
    sim::AddPort(sim::Widen(port), sim::Widen(monitor));
}

std::vector<BYTE> Frame(int code) {
    return {0x10, 0x01, 0x00, static_cast<BYTE>(code), 0x00};
}

// What the printer registers, unless a registry line of the scenario describes that value.
void RegisterByDefault(const Scenario& s, const std::string& key, const std::string& value,
                       const std::string& text) {
    for (const Scenario::RegistryText& r : s.registry) {
        if (LowerAscii(r.key) == LowerAscii(key) && LowerAscii(r.value) == LowerAscii(value)) {
            return;
        }
    }
    sim::SetRegistryString(key, value, text);
}

// Plugs the printer in: the USB printing class registers its port description, the USB port
// monitor records the device on its port, and the device appears.
void PlugPrinter(const Scenario& s, const std::string& serial, const std::string& port, int code) {
    RegisterByDefault(s, UsbPrintInterfaceKey(serial), "Port Description", "KorvaneQ5");
    RegisterByDefault(s, UsbPortKey(port), "Device Id", "USB\\VID_0483&PID_5741\\" + serial);
    EnsurePort(port);
    sim::SetDeviceFrame(PrinterDevicePath(serial), Frame(code));
    sim::PlugDevice(PrinterDevicePath(serial));
}

std::string Abbreviated(const std::string& text) {
    return text.size() <= 40 ? "\"" + text + "\""
                             : "\"" + text.substr(0, 24) + "...\" (" + std::to_string(text.size()) +
                                   " characters)";
}

// "OpenPrinterW fails with error 5 at call 3", "... at its next 2 calls".
std::string FailureText(const CallFailure& f, bool fromNow) {
    const std::string count = std::to_string(f.count);
    const std::string nth = std::to_string(f.nth);
    const std::string last = std::to_string(f.nth + f.count - 1);
    return f.function + " fails with error " + std::to_string(f.error) + " at " +
           (fromNow ? (f.count == 1 ? "its next call" : "its next " + count + " calls")
                    : (f.count == 1 ? "call " + nth : "calls " + nth + " to " + last));
}

// Builds the machine the scenario describes: the Spooler, the queue, the ports, the registry, the
// printer, and the faults to inject.
void BuildMachine(const Scenario& s) {
    sim::Reset();
    sim::SetStartedByServiceManager(s.startedByServiceManager);
    sim::SetSpoolerTimes(s.spoolerStopMs, s.spoolerStartMs);
    sim::SetSpoolerStopHangs(s.spoolerStopHangs);
    sim::SetSpoolerStartBlocks(s.spoolerStartBlocksMs);
    for (const std::string& name : s.spoolerDependents) {
        sim::AddSpoolerDependent(name);
        sim::Note("scenario", "service " + name + " depends on the Spooler and is running");
    }
    if (s.queueExists) {
        sim::AddPrinter(kQueueName, sim::Widen(s.queuePort));
        if (s.queueNullPort) {
            sim::SetPrinterNullPort(kQueueName);
        }
        if (s.queueGrows) {
            sim::GrowPrinterRecordAfterSizeQuery(kQueueName);
        }
    }
    sim::DenyPrinterAdministration(s.notAnAdministrator);
    for (const auto& [name, monitor] : s.ports) {
        EnsurePort(name, monitor);
    }
    for (const auto& r : s.registry) {
        if (r.missing) {
            sim::AddRegistryKey(r.key);
        } else {
            sim::SetRegistryString(r.key, r.value, r.text);
        }
    }
    if (s.printerPresent) {
        PlugPrinter(s, s.printerSerial, s.printerPort, s.printerCode);
    }
    for (const CallFailure& f : s.failures) {
        sim::FailCall(f.function, f.nth, f.error, f.count);
    }
    if (s.controlAtStartup != 0) {
        sim::DeliverControlDuringNotificationRegistration(s.controlAtStartup);
    }
}

// Opens the timeline with what the service will find: the queue, the ports, the registry, the
// printer.
void NoteWhatTheServiceFinds(const Scenario& s) {
    std::string ports;
    for (const sim::Text16& port : sim::Ports()) {
        ports += (ports.empty() ? "" : ", ") + sim::Narrow(port);
    }
    sim::Note("scenario", !s.queueExists    ? std::string("no queue \"Korvane-Q5\"")
                          : s.queueNullPort ? "queue \"Korvane-Q5\" prints to " + s.queuePort +
                                                  ", its record reports no port"
                                            : "queue \"Korvane-Q5\" prints to " + s.queuePort);
    sim::Note("scenario", "spooler ports: " + (ports.empty() ? std::string("none") : ports));
    if (s.queueGrows) {
        sim::Note("scenario", "the queue's record grows after the next size query");
    }
    if (s.notAnAdministrator) {
        sim::Note("scenario", "opening the queue with full access is refused");
    }
    for (const auto& r : s.registry) {
        sim::Note("scenario",
                  "registry " + r.key + ": \"" + r.value + "\" " +
                      (r.missing ? std::string("missing") : "= " + Abbreviated(r.text)));
    }
    if (s.printerPresent) {
        sim::Note("scenario", "printer " + s.printerSerial + " plugged in on " + s.printerPort +
                                  ", status " + CodeText(s.printerCode));
    }
}

// Then how the machine will misbehave: a slow or stuck Spooler, failing calls, an early control.
void NoteHowTheMachineMisbehaves(const Scenario& s) {
    if (s.spoolerStopMs != 0 || s.spoolerStartMs != 0) {
        sim::Note("scenario", "the Spooler takes " + std::to_string(s.spoolerStopMs) +
                                  " ms to stop and " + std::to_string(s.spoolerStartMs) +
                                  " ms to start");
    }
    if (s.spoolerStopHangs) {
        sim::Note("scenario", "the Spooler, once asked to stop, never gets there");
    }
    if (s.spoolerStartBlocksMs != 0) {
        sim::Note("scenario", "a start request of the Spooler returns only after " +
                                  std::to_string(s.spoolerStartBlocksMs) + " ms");
    }
    for (const CallFailure& f : s.failures) {
        sim::Note("scenario", FailureText(f, false));
    }
    if (s.controlAtStartup != 0) {
        sim::Note("scenario", "the service manager sends " +
                                  std::string(ControlKeyword(s.controlAtStartup)) +
                                  " while the service registers for device events");
    }
    if (!s.startedByServiceManager) {
        sim::Note("scenario", "kq5svc.exe started from a console");
    }
}

void SetUpMachine(const Scenario& s) {
    BuildMachine(s);
    NoteWhatTheServiceFinds(s);
    NoteHowTheMachineMisbehaves(s);
}

// ---- Driving the events ------------------------------------------------------------------------

struct Driver {
    const Scenario& scenario;
    std::string printerSerial;
    int printerCode;
    bool printerPresent;
    std::vector<PrinterChange> printer;
    std::vector<LaneMark> actions;
    size_t next = 0;        // the next event to happen
    bool inProcess = true;  // kq5's process is running: device events and controls reach it
    std::function<void(const ScenarioEvent&)> beforeEvent;

    // Notes an action on the timeline and, for the picture, in its lane (if any).
    void Say(const std::string& lane, const std::string& text) {
        sim::Note("scenario", text);
        if (!lane.empty()) {
            actions.push_back(LaneMark{sim::NowMs(), lane, text});
        }
    }
    void PrinterChanged(bool present) {
        printerPresent = present;
        printer.push_back(PrinterChange{sim::NowMs(), present, printerCode});
    }
    void Arrive(const sim::Text16& path) {
        if (inProcess) {
            sim::SendControl(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL,
                             sim::DeviceInterfaceRecord(path));
        }
    }
    void Leave(const sim::Text16& path) {
        if (inProcess) {
            sim::SendControl(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVECOMPLETE,
                             sim::DeviceInterfaceRecord(path));
        }
    }
};

void Status(Driver& d, const ScenarioEvent& e) {
    d.printerCode = e.code;
    d.Say("", "printer reports status " + CodeText(e.code));  // the printer's lane shows the code
    if (!d.printerSerial.empty()) {
        sim::SetDeviceFrame(PrinterDevicePath(d.printerSerial), Frame(d.printerCode));
    }
    d.PrinterChanged(d.printerPresent);
}

void ReadFails(Driver& d, const ScenarioEvent& e) {
    d.Say("printer", "the printer's next status read fails with error " + std::to_string(e.error));
    if (!d.printerSerial.empty()) {
        sim::ScriptDeviceReadFailure(PrinterDevicePath(d.printerSerial), e.error);
    }
}

void ReadReturns(Driver& d, const ScenarioEvent& e) {
    d.Say("printer",
          "the printer's next status read returns " + std::to_string(e.bytes.size()) + " byte(s)");
    if (!d.printerSerial.empty()) {
        sim::ScriptDeviceRead(PrinterDevicePath(d.printerSerial), e.bytes);
    }
}

void Plug(Driver& d, const ScenarioEvent& e) {
    d.printerSerial = e.device;
    d.Say("service", "printer " + e.device + " plugged in, Windows gives it " + e.port);
    PlugPrinter(d.scenario, e.device, e.port, d.printerCode);
    d.PrinterChanged(true);
    d.Arrive(PrinterDevicePath(d.printerSerial));
}

void Unplug(Driver& d, const ScenarioEvent&) {
    d.Say("service", "printer unplugged");
    if (!d.printerSerial.empty()) {
        sim::UnplugDevice(PrinterDevicePath(d.printerSerial));
        d.PrinterChanged(false);
        d.Leave(PrinterDevicePath(d.printerSerial));
    }
}

void OtherDevice(Driver& d, const ScenarioEvent& e) {
    d.Say("service", "another USB device (" + e.device + ") plugged in");
    sim::PlugDevice(OtherDevicePath(e.device));
    d.Arrive(OtherDevicePath(e.device));
}

void OtherDeviceGone(Driver& d, const ScenarioEvent& e) {
    d.Say("service", "another USB device (" + e.device + ") unplugged");
    sim::UnplugDevice(OtherDevicePath(e.device));
    d.Leave(OtherDevicePath(e.device));
}

void Control(Driver& d, DWORD control) {
    const std::string name = ControlKeyword(control);
    if (!d.inProcess) {
        d.Say("service", "service manager: " + name + " not sent, kq5 is not running");
        return;
    }
    d.Say("service", "service manager sends " + name);
    sim::SendControl(control);
}

void Fail(Driver& d, const ScenarioEvent& e) {
    CallFailure f = e.failure;
    const auto totals = sim::CallTotals();
    const auto made = totals.find(f.function);
    f.nth = static_cast<int>(made == totals.end() ? 1 : made->second + 1);
    d.Say("service", FailureText(f, true));
    sim::FailCall(f.function, f.nth, f.error, f.count);
}

void Apply(Driver& d, const ScenarioEvent& e) {
    switch (e.kind) {
        case EventKind::Status:
            return Status(d, e);
        case EventKind::ReadFails:
            return ReadFails(d, e);
        case EventKind::ReadReturns:
            return ReadReturns(d, e);
        case EventKind::Plug:
            return Plug(d, e);
        case EventKind::Unplug:
            return Unplug(d, e);
        case EventKind::OtherDevice:
            return OtherDevice(d, e);
        case EventKind::OtherDeviceGone:
            return OtherDeviceGone(d, e);
        case EventKind::Stop:
            return Control(d, SERVICE_CONTROL_STOP);
        case EventKind::Shutdown:
            return Control(d, SERVICE_CONTROL_SHUTDOWN);
        case EventKind::Interrogate:
            return Control(d, SERVICE_CONTROL_INTERROGATE);
        case EventKind::Fail:
            return Fail(d, e);
        case EventKind::Start:
            // Inside kq5's process the service manager refuses a second start; outside,
            // RunScenario starts a new process here.
            return d.Say("service",
                         "service manager: start refused, kq5 is already running (1056)");
    }
}

// The events from d.next on; outside kq5's process, up to the next start (which is left to
// RunScenario).
void RunEvents(Driver& d) {
    while (d.next < d.scenario.events.size()) {
        const ScenarioEvent& event = d.scenario.events[d.next];
        if (!d.inProcess && event.kind == EventKind::Start) {
            return;
        }
        sim::WaitUntil(event.atMs);  // a process that ends meanwhile leaves the event to come
        ++d.next;
        if (d.beforeEvent) {
            d.beforeEvent(event);
        }
        Apply(d, event);
    }
}

}  // namespace

sim::Text16 PrinterDevicePath(const std::string& serial) {
    return sim::Widen("\\\\?\\usb#vid_0483&pid_5741#" + serial + "#" + kUsbDeviceClass);
}

namespace {

// kq5's process has ended with events still to come: the machine goes on without it until the
// service manager starts it again, as a new process that keeps nothing of the old one but what
// Windows keeps (the queue, the spooler, the registry, the devices). False when no start comes
// before the events run out.
bool RunUntilTheServiceStartsAgain(Driver& driver) {
    sim::EndProcess();
    driver.inProcess = false;
    RunEvents(driver);
    const Scenario& scenario = driver.scenario;
    if (driver.next >= scenario.events.size()) {
        sim::WaitUntil(std::max(scenario.endMs, sim::NowMs()));
        return false;
    }
    const ScenarioEvent& start = scenario.events[driver.next++];
    sim::WaitUntil(start.atMs);
    if (driver.beforeEvent) {
        driver.beforeEvent(start);
    }
    driver.Say("service", "service manager starts kq5svc.exe again, a new process");
    ResetServiceState();
    driver.inProcess = true;
    return true;
}

// What the run left: the timeline, the queue, the Spooler, and the last process's end (`ended`,
// when it ended before the run did; else it is still running now).
void CollectResult(const Driver& driver, const std::optional<ProcessEnd>& ended,
                   ScenarioResult& result) {
    result.timeline = sim::Timeline();
    for (const std::string& undelivered : sim::UndeliveredInjections()) {
        result.timeline.push_back(sim::TimelineEvent{
            sim::NowMs(), NoteEvent{"scenario", undelivered + ": that failure never happened"}});
    }
    result.queue = sim::Printer(kQueueName);
    result.spoolerState = sim::SpoolerState();
    result.openHandles = ended ? ended->openHandles : sim::OpenHandles();
    if (ended) {
        result.exitCode = ended->exitCode;
    }
    result.printer = driver.printer;
    result.actions = driver.actions;
    result.longestControlMs = sim::LongestControlMs();
    result.longestStopMs = sim::LongestStopMs();
}

}  // namespace

ScenarioResult RunScenario(const Scenario& scenario, sim::Threads threads,
                           const std::function<void()>& arrange,
                           const std::function<void(const ScenarioEvent&)>& beforeEvent) {
    SetUpMachine(scenario);
    if (arrange) {
        arrange();
    }
    ResetServiceState();
    Driver driver{scenario,
                  scenario.printerPresent ? scenario.printerSerial : "",
                  scenario.printerCode,
                  scenario.printerPresent,
                  {},
                  {},
                  0,
                  true,
                  beforeEvent};
    driver.printer.push_back(PrinterChange{0, scenario.printerPresent, scenario.printerCode});
    ScenarioResult result;
    std::optional<ProcessEnd> ended;  // the last process, when it ended before the run did
    const uint64_t endMs = threads == sim::Threads::Concurrent ? UINT64_MAX : scenario.endMs;
    for (;;) {
        result.exitCode = sim::RunProcess(
            ServiceProgramMain, [&driver] { RunEvents(driver); }, endMs, threads);
        if (driver.next >= scenario.events.size() || threads == sim::Threads::Concurrent) {
            break;
        }
        ended = ProcessEnd{sim::NowMs(), result.exitCode, sim::OpenHandles()};
        if (!RunUntilTheServiceStartsAgain(driver)) {
            break;
        }
        result.processes.push_back(*ended);
        ended.reset();
    }
    CollectResult(driver, ended, result);
    return result;
}
