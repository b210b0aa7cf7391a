// The machine a scenario describes, built in the simulated Windows before the service starts, and
// the timeline's opening lines that say what the service will find there.
#include <cstdio>

#include "common/service_state.h"
#include "common/text.h"
#include "scenario_parts.h"

namespace {

constexpr const char* kUsbDeviceClass = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr const char* kUsbPrintClass = "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

std::string UsbPrintInterfaceKey(const std::string& serial) {
    return std::string("SYSTEM\\ControlSet001\\Control\\DeviceClasses\\") + kUsbPrintClass +
           "\\##?#usb#vid_0483&pid_5741#" + serial + "#" + kUsbPrintClass +
           "\\#\\Device Parameters";
}

std::string UsbPortKey(const std::string& port) {
    return "SYSTEM\\ControlSet001\\Control\\Print\\Monitors\\USB Monitor\\Ports\\" + port;
}

void EnsurePort(const std::string& port, const std::string& monitor = kUsbMonitor) {
    for (const sim::Text16& existing : sim::Ports()) {
        if (existing == sim::Widen(port)) {
            return;
        }
    }
    sim::AddPort(sim::Widen(port), sim::Widen(monitor));
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

std::string Abbreviated(const std::string& text) {
    return text.size() <= 40 ? "\"" + text + "\""
                             : "\"" + text.substr(0, 24) + "...\" (" + std::to_string(text.size()) +
                                   " characters)";
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
    for (const auto& [function, ms] : s.callDurations) {
        sim::SetCallDuration(function, ms);
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

}  // namespace

sim::Text16 PrinterDevicePath(const std::string& serial) {
    return sim::Widen("\\\\?\\usb#vid_0483&pid_5741#" + serial + "#" + kUsbDeviceClass);
}

sim::Text16 OtherDevicePath(const std::string& name) {
    return sim::Widen(std::string("\\\\?\\usb#vid_046d&pid_c52b#") + name + "#" + kUsbDeviceClass);
}

std::vector<BYTE> Frame(int code) {
    return {0x10, 0x01, 0x00, static_cast<BYTE>(code), 0x00};
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

// "OpenPrinterW fails with error 5 at call 3", "... at its next 2 calls".
std::string FailureText(const CallFailure& f, bool fromNow) {
    const std::string count = std::to_string(f.count);
    const std::string nth = std::to_string(f.nth);
    const std::string last = std::to_string(f.nth + f.count - 1);
    return f.function + " fails with error " + std::to_string(f.error) + " at " +
           (fromNow ? (f.count == 1 ? "its next call" : "its next " + count + " calls")
                    : (f.count == 1 ? "call " + nth : "calls " + nth + " to " + last));
}

void SetUpMachine(const Scenario& s) {
    BuildMachine(s);
    NoteWhatTheServiceFinds(s);
    NoteHowTheMachineMisbehaves(s);
}
