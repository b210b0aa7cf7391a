// Driving a scenario's events: each at its time, on the machine and, while kq5's process runs,
// to the service as Windows would send it.
#include "scenario_parts.h"

namespace {

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

}  // namespace

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
