#include "scenario.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "common/service_state.h"
#include "service/service.h"

namespace {

constexpr const char* kUsbDeviceClass = "{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr const char* kUsbPrintClass = "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
constexpr uint64_t kRunOnAfterLastEventMs = 2000;

std::vector<std::string> Words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> words;
    for (std::string w; in >> w;) {
        words.push_back(w);
    }
    return words;
}

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(" \t\r");
    const size_t last = text.find_last_not_of(" \t\r");
    return first == std::string::npos ? "" : text.substr(first, last - first + 1);
}

// A '#' at the start of a line or after a blank starts a comment; inside a word (a registry key
// such as ...\#\Device Parameters) it is text.
std::string StripComment(const std::string& line) {
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '#' && (i == 0 || line[i - 1] == ' ' || line[i - 1] == '\t')) {
            return line.substr(0, i);
        }
    }
    return line;
}

bool ParseMilliseconds(const std::string& text, uint64_t& ms) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 10);
    if (end == text.c_str() || *end != '\0' || text[0] == '-' || value > 3600000) {
        return false;
    }
    ms = value;
    return true;
}

bool ParseSeconds(const std::string& text, uint64_t& ms) {
    char* end = nullptr;
    const double seconds = std::strtod(text.c_str(), &end);
    if (end == text.c_str() || *end != '\0' || !(seconds >= 0) || seconds > 1e7) {
        return false;
    }
    ms = static_cast<uint64_t>(std::llround(seconds * 1000));
    return true;
}

bool ParseCode(const std::string& text, int& code) {
    char* end = nullptr;
    const long value = std::strtol(text.c_str(), &end, 0);
    if (end == text.c_str() || *end != '\0' || value < 0 || value > 255) {
        return false;
    }
    code = static_cast<int>(value);
    return true;
}

bool CheckEvent(const std::vector<std::string>& w, std::string& why) {
    const std::string& e = w[0];
    size_t arguments = 0;
    int code = 0;
    if (e == "status") {
        arguments = 1;
        if (w.size() == 2 && !ParseCode(w[1], code)) {
            why = "status code must be 0..255";
            return false;
        }
    } else if (e == "plug") {
        arguments = 2;
    } else if (e == "other-device" || e == "other-device-gone") {
        arguments = 1;
    } else if (e != "unplug" && e != "read-fails" && e != "stop" && e != "shutdown" &&
               e != "interrogate") {
        why = "unknown event '" + e + "'";
        return false;
    }
    if (w.size() != arguments + 1) {
        why = "'" + e + "' takes " + std::to_string(arguments) + " argument(s)";
        return false;
    }
    return true;
}

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

// Plugs the printer in: the USB printing class registers its port description, the USB port
// monitor records the device on its port, and the device appears.
void PlugPrinter(const std::string& serial, const std::string& port, int code) {
    sim::SetRegistryString(UsbPrintInterfaceKey(serial), "Port Description", "KorvaneQ5");
    sim::SetRegistryString(UsbPortKey(port), "Device Id", "USB\\VID_0483&PID_5741\\" + serial);
    EnsurePort(port);
    sim::SetDeviceFrame(PrinterDevicePath(serial), Frame(code));
    sim::PlugDevice(PrinterDevicePath(serial));
}

void SetUpMachine(const Scenario& s) {
    sim::Reset();
    sim::SetStartedByServiceManager(s.startedByServiceManager);
    sim::SetSpoolerTimes(s.spoolerStopMs, 0);
    for (const std::string& name : s.spoolerDependents) {
        sim::AddSpoolerDependent(name);
        sim::Note("scenario", "service " + name + " depends on the Spooler and is running");
    }
    if (s.queueExists) {
        sim::AddPrinter(kQueueName, sim::Widen(s.queuePort));
    }
    for (const auto& [name, monitor] : s.ports) {
        EnsurePort(name, monitor);
    }
    for (const auto& r : s.registry) {
        sim::SetRegistryString(r.key, r.value, r.text);
    }
    if (s.printerPresent) {
        PlugPrinter(s.printerSerial, s.printerPort, s.printerCode);
    }
    std::string ports;
    for (const sim::Text16& port : sim::Ports()) {
        ports += (ports.empty() ? "" : ", ") + sim::Narrow(port);
    }
    sim::Note("scenario", s.queueExists ? "queue \"Korvane-Q5\" prints to " + s.queuePort
                                        : std::string("no queue \"Korvane-Q5\""));
    sim::Note("scenario", "spooler ports: " + (ports.empty() ? std::string("none") : ports));
    if (s.printerPresent) {
        char code[8];
        std::snprintf(code, sizeof code, "0x%02X", s.printerCode);
        sim::Note("scenario", "printer " + s.printerSerial + " plugged in on " + s.printerPort +
                                  ", status " + code);
    }
    if (!s.startedByServiceManager) {
        sim::Note("scenario", "kq5svc.exe started from a console");
    }
}

// ---- Driving the events ------------------------------------------------------------------------

struct Driver {
    const Scenario& scenario;
    std::string printerSerial;
    int printerCode;

    void Run() {
        for (const ScenarioEvent& event : scenario.events) {
            sim::WaitUntil(event.atMs);
            Apply(event.words);
        }
    }

    void Arrive(const sim::Text16& path) {
        sim::SendControl(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL,
                         sim::DeviceInterfaceRecord(path));
    }
    void Leave(const sim::Text16& path) {
        sim::SendControl(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVECOMPLETE,
                         sim::DeviceInterfaceRecord(path));
    }

    void Apply(const std::vector<std::string>& w) {
        const std::string& e = w[0];
        if (e == "status") {
            ParseCode(w[1], printerCode);
            sim::Note("scenario", "printer reports status " + w[1]);
            if (!printerSerial.empty()) {
                sim::SetDeviceFrame(PrinterDevicePath(printerSerial), Frame(printerCode));
            }
        } else if (e == "read-fails") {
            sim::Note("scenario", "the printer's next status read fails");
            if (!printerSerial.empty()) {
                sim::ScriptDeviceReadFailure(PrinterDevicePath(printerSerial), ERROR_GEN_FAILURE);
            }
        } else if (e == "plug") {
            printerSerial = w[1];
            sim::Note("scenario", "printer " + w[1] + " plugged in, Windows gives it " + w[2]);
            PlugPrinter(w[1], w[2], printerCode);
            Arrive(PrinterDevicePath(printerSerial));
        } else if (e == "unplug") {
            sim::Note("scenario", "printer unplugged");
            if (!printerSerial.empty()) {
                sim::UnplugDevice(PrinterDevicePath(printerSerial));
                Leave(PrinterDevicePath(printerSerial));
            }
        } else if (e == "other-device") {
            sim::Note("scenario", "another USB device (" + w[1] + ") plugged in");
            sim::PlugDevice(OtherDevicePath(w[1]));
            Arrive(OtherDevicePath(w[1]));
        } else if (e == "other-device-gone") {
            sim::Note("scenario", "another USB device (" + w[1] + ") unplugged");
            sim::UnplugDevice(OtherDevicePath(w[1]));
            Leave(OtherDevicePath(w[1]));
        } else {
            const DWORD control = e == "stop"       ? SERVICE_CONTROL_STOP
                                  : e == "shutdown" ? SERVICE_CONTROL_SHUTDOWN
                                                    : SERVICE_CONTROL_INTERROGATE;
            sim::Note("scenario", "service manager sends " + e);
            sim::SendControl(control);
        }
    }
};

}  // namespace

sim::Text16 PrinterDevicePath(const std::string& serial) {
    return sim::Widen("\\\\?\\usb#vid_0483&pid_5741#" + serial + "#" + kUsbDeviceClass);
}

bool ParseScenario(const std::string& text, Scenario& scenario, std::string& error) {
    scenario = Scenario();
    bool endGiven = false;
    std::istringstream in(text);
    std::string raw;
    for (int line = 1; std::getline(in, raw); ++line) {
        const std::string content = Trim(StripComment(raw));
        if (content.empty()) {
            continue;
        }
        const std::vector<std::string> w = Words(content);
        const std::string& k = w[0];
        std::string why;
        if (k == "queue" && w.size() == 2) {
            scenario.queueExists = w[1] != "none";
            scenario.queuePort = scenario.queueExists ? w[1] : "";
        } else if (k == "port" && w.size() >= 2) {
            const size_t monitorAt = content.find(w[1]) + w[1].size();
            const std::string monitor =
                w.size() == 2 ? "USB Monitor" : Trim(content.substr(monitorAt));
            scenario.ports.emplace_back(w[1], monitor);
        } else if (k == "printer" && w.size() == 4 && ParseCode(w[3], scenario.printerCode)) {
            scenario.printerPresent = true;
            scenario.printerSerial = w[1];
            scenario.printerPort = w[2];
        } else if (k == "registry") {
            const std::string rest = Trim(content.substr(8));
            const size_t bar1 = rest.find('|');
            const size_t bar2 = bar1 == std::string::npos ? bar1 : rest.find('|', bar1 + 1);
            if (bar2 == std::string::npos) {
                why = "registry takes KEY | VALUE | TEXT";
            } else {
                scenario.registry.push_back({Trim(rest.substr(0, bar1)),
                                             Trim(rest.substr(bar1 + 1, bar2 - bar1 - 1)),
                                             Trim(rest.substr(bar2 + 1))});
            }
        } else if (k == "spooler-stop-time" && w.size() == 2 &&
                   ParseMilliseconds(w[1], scenario.spoolerStopMs)) {
        } else if (k == "spooler-dependent" && w.size() == 2) {
            scenario.spoolerDependents.push_back(w[1]);
        } else if (k == "not-a-service" && w.size() == 1) {
            scenario.startedByServiceManager = false;
        } else if (k == "end" && w.size() == 2 && ParseSeconds(w[1], scenario.endMs)) {
            endGiven = true;
        } else if (k == "at" && w.size() >= 3) {
            ScenarioEvent event;
            event.line = line;
            event.words.assign(w.begin() + 2, w.end());
            if (!ParseSeconds(w[1], event.atMs)) {
                why = "'" + w[1] + "' is not a time in seconds";
            } else if (!scenario.events.empty() && event.atMs < scenario.events.back().atMs) {
                why = "events must be in time order";
            } else if (CheckEvent(event.words, why)) {
                scenario.events.push_back(event);
            }
        } else {
            why = "cannot read '" + content + "'";
        }
        if (!why.empty()) {
            error = "line " + std::to_string(line) + ": " + why;
            return false;
        }
    }
    if (!endGiven) {
        scenario.endMs =
            (scenario.events.empty() ? 0 : scenario.events.back().atMs) + kRunOnAfterLastEventMs;
    }
    return true;
}

ScenarioResult RunScenario(const Scenario& scenario, sim::Threads threads,
                           const std::function<void()>& arrange) {
    SetUpMachine(scenario);
    if (arrange) {
        arrange();
    }
    ResetServiceState();
    Driver driver{scenario, scenario.printerPresent ? scenario.printerSerial : "",
                  scenario.printerCode};
    ScenarioResult result;
    const uint64_t endMs = threads == sim::Threads::Concurrent ? UINT64_MAX : scenario.endMs;
    result.exitCode = sim::RunProcess(
        ServiceProgramMain, [&driver] { driver.Run(); }, endMs, threads);
    result.timeline = sim::Timeline();
    result.queue = sim::Printer(kQueueName);
    result.spoolerState = sim::SpoolerState();
    result.openHandles = sim::OpenHandles();
    result.longestControlMs = sim::LongestControlMs();
    return result;
}
