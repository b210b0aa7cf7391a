// The scenario model's statements and its printer: the one place scenario text is written. The
// parser (scenario_parse.cpp) reads what this writes back to the same model.
#include <cstdio>
#include <iterator>

#include "common/text.h"
#include "scenario.h"

namespace {

constexpr std::pair<const char*, DWORD> kControls[] = {
    {"stop", SERVICE_CONTROL_STOP},
    {"shutdown", SERVICE_CONTROL_SHUTDOWN},
    {"interrogate", SERVICE_CONTROL_INTERROGATE}};

std::string CountText(int count) {
    return count == 1 ? "" : " " + std::to_string(count);
}

std::string EventText(const ScenarioEvent& e) {
    std::string text = EventName(e.kind);
    switch (e.kind) {
        case EventKind::Status:
            return text + " " + CodeText(e.code);
        case EventKind::ReadFails:
            return e.error == ScenarioEvent{}.error ? text : text + " " + std::to_string(e.error);
        case EventKind::ReadReturns:
            for (const BYTE byte : e.bytes) {
                text += " " + CodeText(byte);
            }
            return text;
        case EventKind::Plug:
            return text + " " + e.device + " " + e.port;
        case EventKind::OtherDevice:
        case EventKind::OtherDeviceGone:
            return text + " " + e.device;
        case EventKind::Fail:
            return text + " " + e.failure.function + " " + std::to_string(e.failure.error) +
                   CountText(e.failure.count);
        default:
            return text;
    }
}

// How many statements of a keyword the scenario holds, their words after the keyword, and how
// one goes as if its line were not there.
struct KeywordForm {
    const char* text;
    size_t (*count)(const Scenario&);
    std::string (*words)(const Scenario&, size_t index);
    void (*drop)(Scenario&, size_t index);
};

template <typename T>
void Erase(std::vector<T>& items, size_t index) {
    items.erase(items.begin() + static_cast<std::ptrdiff_t>(index));
}

size_t Once(const Scenario&) {
    return 1;
}
std::string Nothing(const Scenario&, size_t) {
    return "";
}
std::string Milliseconds(uint64_t ms) {
    return " " + std::to_string(ms);
}

// A statement of no arguments that sets one of the scenario's switches.
template <bool Scenario::*field, bool when = true>
constexpr KeywordForm Switch(const char* text) {
    return {text, [](const Scenario& s) -> size_t { return s.*field == when ? 1 : 0; }, Nothing,
            [](Scenario& s, size_t) { s.*field = !when; }};
}
// A statement whose one argument is a time in milliseconds (0 when not given).
template <uint64_t Scenario::*field>
constexpr KeywordForm Time(const char* text) {
    return {text, [](const Scenario& s) -> size_t { return s.*field != 0 ? 1 : 0; },
            [](const Scenario& s, size_t) { return Milliseconds(s.*field); },
            [](Scenario& s, size_t) { s.*field = 0; }};
}

constexpr KeywordForm kForms[] = {
    {"#", [](const Scenario& s) { return s.header.size(); },
     [](const Scenario& s, size_t i) { return s.header[i]; },
     [](Scenario& s, size_t i) { Erase(s.header, i); }},
    {"queue", Once,
     [](const Scenario& s, size_t) { return " " + (s.queueExists ? s.queuePort : "none"); },
     [](Scenario& s, size_t) {
         s.queueExists = Scenario{}.queueExists;
         s.queuePort = Scenario{}.queuePort;
     }},
    Switch<&Scenario::queueNullPort>("queue-null-port"),
    Switch<&Scenario::queueGrows>("queue-grows"),
    Switch<&Scenario::notAnAdministrator>("not-an-administrator"),
    {"port", [](const Scenario& s) { return s.ports.size(); },
     [](const Scenario& s, size_t i) {
         const auto& [name, monitor] = s.ports[i];
         return " " + name + (monitor == kUsbMonitor ? "" : " " + monitor);
     },
     [](Scenario& s, size_t i) { Erase(s.ports, i); }},
    {"printer", [](const Scenario& s) -> size_t { return s.printerPresent ? 1 : 0; },
     [](const Scenario& s, size_t) {
         return " " + s.printerSerial + " " + s.printerPort + " " + CodeText(s.printerCode);
     },
     [](Scenario& s, size_t) {
         const Scenario none;
         s.printerPresent = none.printerPresent;
         s.printerSerial = none.printerSerial;
         s.printerPort = none.printerPort;
         s.printerCode = none.printerCode;
     }},
    {"registry", [](const Scenario& s) { return s.registry.size(); },
     [](const Scenario& s, size_t i) {
         const Scenario::RegistryText& r = s.registry[i];
         return (r.missing ? "-missing " : " ") + r.key + " | " + r.value +
                (r.missing ? "" : " | " + r.text);
     },
     [](Scenario& s, size_t i) { Erase(s.registry, i); }},
    Time<&Scenario::spoolerStopMs>("spooler-stop-time"),
    Time<&Scenario::spoolerStartMs>("spooler-start-time"),
    Switch<&Scenario::spoolerStopHangs>("spooler-stop-hangs"),
    Time<&Scenario::spoolerStartBlocksMs>("spooler-start-blocks"),
    {"spooler-dependent", [](const Scenario& s) { return s.spoolerDependents.size(); },
     [](const Scenario& s, size_t i) { return " " + s.spoolerDependents[i]; },
     [](Scenario& s, size_t i) { Erase(s.spoolerDependents, i); }},
    {"call-takes", [](const Scenario& s) { return s.callDurations.size(); },
     [](const Scenario& s, size_t i) {
         return " " + s.callDurations[i].first + Milliseconds(s.callDurations[i].second);
     },
     [](Scenario& s, size_t i) { Erase(s.callDurations, i); }},
    {"control-at-startup",
     [](const Scenario& s) -> size_t { return ControlKeyword(s.controlAtStartup) ? 1 : 0; },
     [](const Scenario& s, size_t) {
         return " " + std::string(ControlKeyword(s.controlAtStartup));
     },
     [](Scenario& s, size_t) { s.controlAtStartup = 0; }},
    {"fail", [](const Scenario& s) { return s.failures.size(); },
     [](const Scenario& s, size_t i) {
         const CallFailure& f = s.failures[i];
         return " " + f.function + " " + std::to_string(f.nth) + " " + std::to_string(f.error) +
                CountText(f.count);
     },
     [](Scenario& s, size_t i) { Erase(s.failures, i); }},
    Switch<&Scenario::startedByServiceManager, false>("not-a-service"),
    {"at", [](const Scenario& s) { return s.events.size(); },
     [](const Scenario& s, size_t i) {
         return " " + MsAsSeconds(s.events[i].atMs) + " " + EventText(s.events[i]);
     },
     [](Scenario& s, size_t i) { Erase(s.events, i); }},
    {"end", Once, [](const Scenario& s, size_t) { return " " + MsAsSeconds(s.endMs); },
     [](Scenario& s, size_t) {
         s.endMs = (s.events.empty() ? 0 : s.events.back().atMs) + kRunOnAfterLastEventMs;
     }},
};
static_assert(std::size(kForms) == static_cast<size_t>(Keyword::End) + 1);

const KeywordForm& Form(Keyword keyword) {
    return kForms[static_cast<size_t>(keyword)];
}

constexpr const char* kEventNames[] = {
    "status", "read-fails", "read-returns", "plug", "unplug", "other-device", "other-device-gone",
    "stop",   "shutdown",   "interrogate",  "fail", "start"};

}  // namespace

const char* KeywordText(Keyword keyword) {
    return Form(keyword).text;
}

const char* EventName(EventKind kind) {
    return kEventNames[static_cast<size_t>(kind)];
}

const char* ControlKeyword(DWORD control) {
    for (const auto& [name, value] : kControls) {
        if (control == value) {
            return name;
        }
    }
    return nullptr;
}

std::string CodeText(int code) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02X", code);
    return text;
}

std::vector<Statement> Statements(const Scenario& scenario) {
    std::vector<Statement> statements;
    for (size_t k = 0; k < std::size(kForms); ++k) {
        for (size_t i = 0, n = kForms[k].count(scenario); i < n; ++i) {
            statements.push_back(Statement{static_cast<Keyword>(k), i});
        }
    }
    return statements;
}

std::string StatementText(const Scenario& scenario, Statement statement) {
    const KeywordForm& form = Form(statement.keyword);
    return form.text + form.words(scenario, statement.index);
}

void DropStatement(Scenario& scenario, Statement statement) {
    Form(statement.keyword).drop(scenario, statement.index);
}

std::string PrintScenario(const Scenario& scenario) {
    std::string text;
    for (const Statement& statement : Statements(scenario)) {
        text += StatementText(scenario, statement) + "\n";
    }
    return text;
}
