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
constexpr uint64_t kRunOnAfterLastEventMs = 2000;
constexpr DWORD kReadFailureError = ERROR_GEN_FAILURE;

std::vector<std::string> SplitWords(const std::string& line) {
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

// An unsigned number, decimal or 0x-hex, within [low, high], stored in `out`; `out` stays as it
// was when the text is not one.
template <typename T>
bool ParseNumber(const std::string& text, unsigned long long low, unsigned long long high, T& out) {
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text.c_str(), &end, 0);
    if (end == text.c_str() || *end != '\0' || text[0] == '-' || value < low || value > high) {
        return false;
    }
    out = static_cast<T>(value);
    return true;
}

bool ParseMilliseconds(const std::string& text, uint64_t& ms) {
    return ParseNumber(text, 0, 3600000, ms);
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
    return ParseNumber(text, 0, 255, code);
}

bool ParseError(const std::string& text, DWORD& error) {
    return ParseNumber(text, 0, 0xFFFFFFFF, error);
}

bool ParseCount(const std::string& text, int& count) {
    return ParseNumber(text, 1, 1000000, count);  // the sum of two stays an int
}

constexpr std::pair<const char*, DWORD> kControls[] = {
    {"stop", SERVICE_CONTROL_STOP},
    {"shutdown", SERVICE_CONTROL_SHUTDOWN},
    {"interrogate", SERVICE_CONTROL_INTERROGATE}};

bool ParseControl(const std::string& word, DWORD& control) {
    for (const auto& [name, value] : kControls) {
        if (word == name) {
            control = value;
            return true;
        }
    }
    return false;
}

std::string ControlName(DWORD control) {
    for (const auto& [name, value] : kControls) {
        if (control == value) {
            return name;
        }
    }
    return std::to_string(control);
}

// A misspelt name, or a call that cannot fail, would make a failure that never happens.
std::string NoSuchFailure(const std::string& function) {
    return "'" + function + "' is not a Win32 function the simulation can make fail";
}

// "fail FUNCTION ERROR [COUNT]" (the event) or "fail FUNCTION NTH ERROR [COUNT]" (the statement).
bool ParseFailure(const std::vector<std::string>& w, bool withNth, CallFailure& f) {
    const size_t at = withNth ? 3 : 2;
    f.function = w[1];
    return sim::CanFail(f.function) && (!withNth || ParseCount(w[2], f.nth)) &&
           ParseError(w[at], f.error) && (w.size() == at + 1 || ParseCount(w[at + 1], f.count));
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
        char code[8];
        std::snprintf(code, sizeof code, "0x%02X", s.printerCode);
        sim::Note("scenario", "printer " + s.printerSerial + " plugged in on " + s.printerPort +
                                  ", status " + code);
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
        sim::Note("scenario", "the service manager sends " + ControlName(s.controlAtStartup) +
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

using Words = std::vector<std::string>;  // an event or statement, then its arguments

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

void Status(Driver& d, const Words& w) {
    ParseCode(w[1], d.printerCode);
    d.Say("", "printer reports status " + w[1]);  // the printer's lane shows the code
    if (!d.printerSerial.empty()) {
        sim::SetDeviceFrame(PrinterDevicePath(d.printerSerial), Frame(d.printerCode));
    }
    d.PrinterChanged(d.printerPresent);
}

void ReadFails(Driver& d, const Words& w) {
    DWORD error = kReadFailureError;
    if (w.size() == 2) {
        ParseError(w[1], error);
    }
    d.Say("printer", "the printer's next status read fails with error " + std::to_string(error));
    if (!d.printerSerial.empty()) {
        sim::ScriptDeviceReadFailure(PrinterDevicePath(d.printerSerial), error);
    }
}

void ReadReturns(Driver& d, const Words& w) {
    std::vector<BYTE> bytes;
    int byte = 0;
    for (size_t i = 1; i < w.size(); ++i) {
        ParseCode(w[i], byte);
        bytes.push_back(static_cast<BYTE>(byte));
    }
    d.Say("printer",
          "the printer's next status read returns " + std::to_string(bytes.size()) + " byte(s)");
    if (!d.printerSerial.empty()) {
        sim::ScriptDeviceRead(PrinterDevicePath(d.printerSerial), bytes);
    }
}

void Plug(Driver& d, const Words& w) {
    d.printerSerial = w[1];
    d.Say("service", "printer " + w[1] + " plugged in, Windows gives it " + w[2]);
    PlugPrinter(d.scenario, w[1], w[2], d.printerCode);
    d.PrinterChanged(true);
    d.Arrive(PrinterDevicePath(d.printerSerial));
}

void Unplug(Driver& d, const Words&) {
    d.Say("service", "printer unplugged");
    if (!d.printerSerial.empty()) {
        sim::UnplugDevice(PrinterDevicePath(d.printerSerial));
        d.PrinterChanged(false);
        d.Leave(PrinterDevicePath(d.printerSerial));
    }
}

void OtherDevice(Driver& d, const Words& w) {
    d.Say("service", "another USB device (" + w[1] + ") plugged in");
    sim::PlugDevice(OtherDevicePath(w[1]));
    d.Arrive(OtherDevicePath(w[1]));
}

void OtherDeviceGone(Driver& d, const Words& w) {
    d.Say("service", "another USB device (" + w[1] + ") unplugged");
    sim::UnplugDevice(OtherDevicePath(w[1]));
    d.Leave(OtherDevicePath(w[1]));
}

void Control(Driver& d, const Words& w) {
    DWORD control = 0;
    ParseControl(w[0], control);
    if (!d.inProcess) {
        d.Say("service", "service manager: " + w[0] + " not sent, kq5 is not running");
        return;
    }
    d.Say("service", "service manager sends " + w[0]);
    sim::SendControl(control);
}

// Inside kq5's process the service manager refuses a second start; outside, RunScenario starts a
// new process here.
void Start(Driver& d, const Words&) {
    d.Say("service", "service manager: start refused, kq5 is already running (1056)");
}

void Fail(Driver& d, const Words& w) {
    CallFailure f;
    ParseFailure(w, false, f);
    const auto totals = sim::CallTotals();
    const auto made = totals.find(f.function);
    f.nth = static_cast<int>(made == totals.end() ? 1 : made->second + 1);
    d.Say("service", FailureText(f, true));
    sim::FailCall(f.function, f.nth, f.error, f.count);
}

bool CodeOk(const Words& w) {
    int code = 0;
    return ParseCode(w[1], code);
}
bool ErrorOk(const Words& w) {
    DWORD error = 0;
    return w.size() == 1 || ParseError(w[1], error);
}
bool BytesOk(const Words& w) {
    int byte = 0;
    return std::all_of(w.begin() + 1, w.end(),
                       [&](const std::string& word) { return ParseCode(word, byte); });
}
bool FailureOk(const Words& w) {
    CallFailure f;
    return ParseFailure(w, false, f);
}

// The events a scenario can name after "at SECONDS".
struct EventKind {
    const char* name;
    const char* usage;  // its arguments, for error messages
    size_t minArguments, maxArguments;
    bool (*check)(const Words&);           // null: any words will do
    void (*apply)(Driver&, const Words&);  // the event's name, then its arguments
};

constexpr EventKind kEvents[] = {
    {"status", "CODE (0..255)", 1, 1, CodeOk, Status},
    {"read-fails", "[ERROR]", 0, 1, ErrorOk, ReadFails},
    {"read-returns", "BYTE... (0..255, at most 16)", 0, 16, BytesOk, ReadReturns},
    {"plug", "SERIAL PORT", 2, 2, nullptr, Plug},
    {"unplug", "nothing", 0, 0, nullptr, Unplug},
    {"other-device", "NAME", 1, 1, nullptr, OtherDevice},
    {"other-device-gone", "NAME", 1, 1, nullptr, OtherDeviceGone},
    {"stop", "nothing", 0, 0, nullptr, Control},
    {"shutdown", "nothing", 0, 0, nullptr, Control},
    {"interrogate", "nothing", 0, 0, nullptr, Control},
    {"fail", "FUNCTION ERROR [COUNT]", 2, 3, FailureOk, Fail},
    {"start", "nothing", 0, 0, nullptr, Start},
};

const EventKind* FindEvent(const std::string& name) {
    for (const EventKind& kind : kEvents) {
        if (name == kind.name) {
            return &kind;
        }
    }
    return nullptr;
}

// The events from d.next on; outside kq5's process, up to the next start (which is left to
// RunScenario).
void RunEvents(Driver& d) {
    while (d.next < d.scenario.events.size()) {
        const ScenarioEvent& event = d.scenario.events[d.next];
        if (!d.inProcess && event.words[0] == "start") {
            return;
        }
        sim::WaitUntil(event.atMs);  // a process that ends meanwhile leaves the event to come
        ++d.next;
        if (d.beforeEvent) {
            d.beforeEvent(event);
        }
        FindEvent(event.words[0])->apply(d, event.words);
    }
}

// ---- Statements --------------------------------------------------------------------------------

struct Parsing {
    Scenario& scenario;
    int line = 0;
    bool endGiven = false;
    int printerLine = 0;  // the printer statement's line; 0: none
};

// One statement: its words, and the text after the keyword as written.
struct Statement {
    Words words;
    std::string rest;
};

// "A | B | C": exactly `parts` parts, none empty.
bool SplitBars(const std::string& text, size_t parts, std::vector<std::string>& out) {
    out.clear();
    std::istringstream in(text);
    for (std::string part; std::getline(in, part, '|');) {
        out.push_back(Trim(part));
    }
    if (!text.empty() && text.back() == '|') {
        out.push_back("");
    }
    return out.size() == parts &&
           std::none_of(out.begin(), out.end(), [](const std::string& p) { return p.empty(); });
}

// A statement of no arguments that sets one of the scenario's switches.
template <bool Scenario::*field>
bool SetSwitch(Parsing& p, const Statement&, std::string&) {
    p.scenario.*field = true;
    return true;
}
// A statement whose one argument is a time in milliseconds, kept in one of the scenario's fields.
template <uint64_t Scenario::*field>
bool SetMilliseconds(Parsing& p, const Statement& s, std::string&) {
    return ParseMilliseconds(s.words[1], p.scenario.*field);
}

bool Queue(Parsing& p, const Statement& s, std::string&) {
    p.scenario.queueExists = s.words[1] != "none";
    p.scenario.queuePort = p.scenario.queueExists ? s.words[1] : "";
    return true;
}
bool Port(Parsing& p, const Statement& s, std::string&) {
    const std::string monitor =
        s.words.size() == 2 ? "USB Monitor"
                            : Trim(s.rest.substr(s.rest.find(s.words[1]) + s.words[1].size()));
    p.scenario.ports.emplace_back(s.words[1], monitor);
    return true;
}
bool Printer(Parsing& p, const Statement& s, std::string& why) {
    if (p.printerLine != 0) {
        why = "a second printer line (line " + std::to_string(p.printerLine) +
              " gave the printer): a scenario starts with one printer; to change it while kq5 "
              "runs, write 'at SECONDS unplug', then 'at SECONDS plug SERIAL PORT'";
        return false;
    }
    p.printerLine = p.line;
    p.scenario.printerPresent = true;
    p.scenario.printerSerial = s.words[1];
    p.scenario.printerPort = s.words[2];
    return ParseCode(s.words[3], p.scenario.printerCode);
}
bool Registry(Parsing& p, const Statement& s, std::string&) {
    std::vector<std::string> parts;
    if (!SplitBars(s.rest, 3, parts)) {
        return false;
    }
    p.scenario.registry.push_back({parts[0], parts[1], parts[2], false});
    return true;
}
bool RegistryMissing(Parsing& p, const Statement& s, std::string&) {
    std::vector<std::string> parts;
    if (!SplitBars(s.rest, 2, parts)) {
        return false;
    }
    p.scenario.registry.push_back({parts[0], parts[1], "", true});
    return true;
}
bool SpoolerDependent(Parsing& p, const Statement& s, std::string&) {
    p.scenario.spoolerDependents.push_back(s.words[1]);
    return true;
}
bool FailStatement(Parsing& p, const Statement& s, std::string& why) {
    CallFailure f;
    if (!ParseFailure(s.words, true, f)) {
        why = sim::CanFail(s.words[1]) ? "" : NoSuchFailure(s.words[1]);
        return false;
    }
    p.scenario.failures.push_back(f);
    return true;
}
bool ControlAtStartup(Parsing& p, const Statement& s, std::string&) {
    return ParseControl(s.words[1], p.scenario.controlAtStartup);
}
bool NotAService(Parsing& p, const Statement&, std::string&) {
    p.scenario.startedByServiceManager = false;
    return true;
}
bool End(Parsing& p, const Statement& s, std::string&) {
    p.endGiven = true;
    return ParseSeconds(s.words[1], p.scenario.endMs);
}
bool At(Parsing& p, const Statement& s, std::string& why) {
    ScenarioEvent event;
    event.line = p.line;
    event.words.assign(s.words.begin() + 2, s.words.end());
    const EventKind* kind = FindEvent(event.words[0]);
    const size_t arguments = event.words.size() - 1;
    if (!ParseSeconds(s.words[1], event.atMs)) {
        why = "'" + s.words[1] + "' is not a time in seconds";
    } else if (!p.scenario.events.empty() && event.atMs < p.scenario.events.back().atMs) {
        why = "events must be in time order";
    } else if (kind == nullptr) {
        why = "unknown event '" + event.words[0] + "'";
    } else if (kind->apply == Fail && arguments > 0 && !sim::CanFail(event.words[1])) {
        why = NoSuchFailure(event.words[1]);
    } else if (arguments < kind->minArguments || arguments > kind->maxArguments ||
               (kind->check != nullptr && !kind->check(event.words))) {
        why = "'" + event.words[0] + "' takes " + kind->usage;
    } else {
        p.scenario.events.push_back(event);
        return true;
    }
    return false;
}

struct StatementKind {
    const char* keyword;
    const char* usage;  // its arguments, for error messages
    size_t minArguments, maxArguments;
    // Fills the scenario; false with `why` empty means the arguments do not fit the usage.
    bool (*parse)(Parsing&, const Statement&, std::string& why);
};

constexpr size_t kAny = SIZE_MAX;

constexpr StatementKind kStatements[] = {
    {"queue", "PORT or none", 1, 1, Queue},
    {"queue-null-port", "nothing", 0, 0, SetSwitch<&Scenario::queueNullPort>},
    {"queue-grows", "nothing", 0, 0, SetSwitch<&Scenario::queueGrows>},
    {"not-an-administrator", "nothing", 0, 0, SetSwitch<&Scenario::notAnAdministrator>},
    {"port", "NAME [MONITOR]", 1, kAny, Port},
    {"printer", "SERIAL PORT CODE (0..255)", 3, 3, Printer},
    {"registry", "KEY | VALUE | TEXT", 0, kAny, Registry},
    {"registry-missing", "KEY | VALUE", 0, kAny, RegistryMissing},
    {"spooler-stop-time", "MS (0..3600000)", 1, 1, SetMilliseconds<&Scenario::spoolerStopMs>},
    {"spooler-start-time", "MS (0..3600000)", 1, 1, SetMilliseconds<&Scenario::spoolerStartMs>},
    {"spooler-stop-hangs", "nothing", 0, 0, SetSwitch<&Scenario::spoolerStopHangs>},
    {"spooler-start-blocks", "MS (0..3600000)", 1, 1,
     SetMilliseconds<&Scenario::spoolerStartBlocksMs>},
    {"spooler-dependent", "NAME", 1, 1, SpoolerDependent},
    {"fail", "FUNCTION NTH ERROR [COUNT]", 3, 4, FailStatement},
    {"control-at-startup", "stop, shutdown or interrogate", 1, 1, ControlAtStartup},
    {"not-a-service", "nothing", 0, 0, NotAService},
    {"end", "SECONDS", 1, 1, End},
    {"at", "SECONDS EVENT", 2, kAny, At},
};

// The ports a plug may name: the queue's, the port lines', the printer line's.
bool Declared(const Scenario& s, const std::string& port) {
    return (s.queueExists && s.queuePort == port) || (s.printerPresent && s.printerPort == port) ||
           std::any_of(s.ports.begin(), s.ports.end(),
                       [&](const auto& declared) { return declared.first == port; });
}

// The printer's plugs and unplugs in time order, as a person meant them: each refused with the
// line and the fix where the run would silently do something else, or warned of where it may
// be meant.
std::string CheckPlugs(const Scenario& s, int printerLine, std::vector<std::string>& warnings) {
    bool present = s.printerPresent;
    int since = printerLine;                                  // the line that last plugged it in
    std::map<std::string, std::pair<std::string, int>> seen;  // serial: its port, the line
    if (present) {
        seen[s.printerSerial] = {s.printerPort, printerLine};
    }
    for (const ScenarioEvent& e : s.events) {
        const std::string at = "line " + std::to_string(e.line) + ": ";
        if (e.words[0] == "unplug" && !present) {
            return at + "unplug, but no printer is plugged in then" +
                   (since != 0 ? " (the unplug before it already took it away)" : "") +
                   ": plug one first ('at SECONDS plug SERIAL PORT'), or drop this line";
        }
        if (e.words[0] == "unplug") {
            present = false;
        }
        if (e.words[0] != "plug") {
            continue;
        }
        const std::string& serial = e.words[1];
        const std::string& port = e.words[2];
        if (present) {
            // Two devices at once can be meant (one that is not the printer, then the printer).
            warnings.push_back(at + "plug while the printer of line " + std::to_string(since) +
                               " is still plugged in: both stay plugged in, and the events "
                               "after it act on " +
                               serial +
                               "; if the first should go, write 'at SECONDS unplug' before it");
        }
        if (!Declared(s, port)) {
            return at + "plug onto " + port +
                   ", which no line declares, so the queue could not follow it there: add 'port " +
                   port + "' to the machine's lines";
        }
        const auto before = seen.find(serial);
        if (before != seen.end() && before->second.first != port) {
            return at + "printer " + serial + " was on " + before->second.first + " (line " +
                   std::to_string(before->second.second) +
                   "): Windows keeps the port of a device "
                   "instance it knows, so the queue would stay there; on another socket the "
                   "printer is another instance: give it another SERIAL";
        }
        seen[serial] = {port, e.line};
        present = true;
        since = e.line;
    }
    return "";
}

}  // namespace

sim::Text16 PrinterDevicePath(const std::string& serial) {
    return sim::Widen("\\\\?\\usb#vid_0483&pid_5741#" + serial + "#" + kUsbDeviceClass);
}

bool ParseScenario(const std::string& text, Scenario& scenario, std::string& error) {
    scenario = Scenario();
    Parsing parsing{scenario};
    std::istringstream in(text);
    std::string raw;
    for (int line = 1; std::getline(in, raw); ++line) {
        const std::string content = Trim(StripComment(raw));
        if (content.empty()) {
            continue;
        }
        const Words words = SplitWords(content);
        const std::string& keyword = words[0];
        const Statement statement{words, Trim(content.substr(keyword.size()))};
        const StatementKind* kind = nullptr;
        for (const StatementKind& k : kStatements) {
            kind = keyword == k.keyword ? &k : kind;
        }
        parsing.line = line;
        std::string why;
        if (kind == nullptr) {
            why = "unknown statement '" + keyword + "'";
        } else if (words.size() - 1 < kind->minArguments || words.size() - 1 > kind->maxArguments ||
                   !kind->parse(parsing, statement, why)) {
            why = why.empty() ? "'" + keyword + "' takes " + kind->usage : why;
        }
        if (!why.empty()) {
            // The reason quotes the line's words: its bytes are escaped, never echoed raw.
            error = "line " + std::to_string(line) + ": " + EscapeBytes(why);
            return false;
        }
    }
    if (const std::string why = CheckPlugs(scenario, parsing.printerLine, scenario.warnings);
        !why.empty()) {
        error = EscapeBytes(why);
        return false;
    }
    if (!parsing.endGiven) {
        scenario.endMs =
            (scenario.events.empty() ? 0 : scenario.events.back().atMs) + kRunOnAfterLastEventMs;
    }
    return true;
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
