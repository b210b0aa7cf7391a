// The scenario parser: text to the model, each refusal naming its line and what is wrong. It reads
// what the printer (scenario_model.cpp) writes, and what a person writes by hand.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <map>
#include <sstream>

#include "common/escape.h"
#include "platform/sim/sim.h"
#include "scenario.h"

namespace {

using Words = std::vector<std::string>;  // an event or statement, then its arguments

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

bool ParseControl(const std::string& word, DWORD& control) {
    for (const DWORD value :
         {SERVICE_CONTROL_STOP, SERVICE_CONTROL_SHUTDOWN, SERVICE_CONTROL_INTERROGATE}) {
        if (word == ControlKeyword(value)) {
            control = value;
            return true;
        }
    }
    return false;
}

// A misspelt name, or a call that cannot fail, would make a failure that never happens.
std::string NoSuchFailure(const std::string& function) {
    return "'" + function + "' is not a Win32 function the simulation can make fail";
}

// "fail FUNCTION ERROR [COUNT]" (the event) or "fail FUNCTION NTH ERROR [COUNT]" (the statement).
bool ParseFailure(const Words& w, bool withNth, CallFailure& f) {
    const size_t at = withNth ? 3 : 2;
    f.function = w[1];
    return sim::CanFail(f.function) && (!withNth || ParseCount(w[2], f.nth)) &&
           ParseError(w[at], f.error) && (w.size() == at + 1 || ParseCount(w[at + 1], f.count));
}

// ---- Events ------------------------------------------------------------------------------------

bool NoArguments(const Words&, ScenarioEvent&) {
    return true;
}
bool StatusEvent(const Words& w, ScenarioEvent& e) {
    return ParseCode(w[1], e.code);
}
bool ReadFailsEvent(const Words& w, ScenarioEvent& e) {
    return w.size() == 1 || ParseError(w[1], e.error);
}
bool ReadReturnsEvent(const Words& w, ScenarioEvent& e) {
    int byte = 0;
    for (size_t i = 1; i < w.size(); ++i) {
        if (!ParseCode(w[i], byte)) {
            return false;
        }
        e.bytes.push_back(static_cast<BYTE>(byte));
    }
    return true;
}
bool PlugEvent(const Words& w, ScenarioEvent& e) {
    e.device = w[1];
    e.port = w[2];
    return true;
}
bool DeviceEvent(const Words& w, ScenarioEvent& e) {
    e.device = w[1];
    return true;
}
bool FailEvent(const Words& w, ScenarioEvent& e) {
    return ParseFailure(w, false, e.failure);
}

// The events a scenario can name after "at SECONDS", with their arguments.
struct EventForm {
    EventKind kind;
    const char* usage;  // its arguments, for error messages
    size_t minArguments, maxArguments;
    bool (*parse)(const Words&, ScenarioEvent&);  // false: the arguments do not fit the usage
};

constexpr EventForm kEvents[] = {
    {EventKind::Status, "CODE (0..255)", 1, 1, StatusEvent},
    {EventKind::ReadFails, "[ERROR]", 0, 1, ReadFailsEvent},
    {EventKind::ReadReturns, "BYTE... (0..255, at most 16)", 0, 16, ReadReturnsEvent},
    {EventKind::Plug, "SERIAL PORT", 2, 2, PlugEvent},
    {EventKind::Unplug, "nothing", 0, 0, NoArguments},
    {EventKind::OtherDevice, "NAME", 1, 1, DeviceEvent},
    {EventKind::OtherDeviceGone, "NAME", 1, 1, DeviceEvent},
    {EventKind::Stop, "nothing", 0, 0, NoArguments},
    {EventKind::Shutdown, "nothing", 0, 0, NoArguments},
    {EventKind::Interrogate, "nothing", 0, 0, NoArguments},
    {EventKind::Fail, "FUNCTION ERROR [COUNT]", 2, 3, FailEvent},
    {EventKind::Start, "nothing", 0, 0, NoArguments},
};

const EventForm* FindEvent(const std::string& name) {
    for (const EventForm& form : kEvents) {
        if (name == EventName(form.kind)) {
            return &form;
        }
    }
    return nullptr;
}

// ---- Statements --------------------------------------------------------------------------------

struct Parsing {
    Scenario& scenario;
    int line = 0;
    bool endGiven = false;
    bool statementSeen = false;
    int printerLine = 0;            // the printer statement's line; 0: none
    std::vector<int> eventLines{};  // each event's line
    std::vector<std::string> warnings{};
};

// One statement's words, and the text after the keyword as written.
struct Line {
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
template <bool Scenario::*field, bool value = true>
bool SetSwitch(Parsing& p, const Line&, std::string&) {
    p.scenario.*field = value;
    return true;
}
// A statement whose one argument is a time in milliseconds, kept in one of the scenario's fields.
template <uint64_t Scenario::*field>
bool SetMilliseconds(Parsing& p, const Line& s, std::string&) {
    return ParseMilliseconds(s.words[1], p.scenario.*field);
}

bool Queue(Parsing& p, const Line& s, std::string&) {
    p.scenario.queueExists = s.words[1] != "none";
    p.scenario.queuePort = p.scenario.queueExists ? s.words[1] : "";
    return true;
}
bool Port(Parsing& p, const Line& s, std::string&) {
    const std::string monitor =
        s.words.size() == 2 ? kUsbMonitor
                            : Trim(s.rest.substr(s.rest.find(s.words[1]) + s.words[1].size()));
    p.scenario.ports.emplace_back(s.words[1], monitor);
    return true;
}
bool Printer(Parsing& p, const Line& s, std::string& why) {
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
// "registry KEY | VALUE | TEXT" or, `missing`, "registry-missing KEY | VALUE".
template <bool missing>
bool Registry(Parsing& p, const Line& s, std::string&) {
    std::vector<std::string> parts;
    if (!SplitBars(s.rest, missing ? 2 : 3, parts)) {
        return false;
    }
    p.scenario.registry.push_back({parts[0], parts[1], missing ? "" : parts[2], missing});
    return true;
}
bool SpoolerDependent(Parsing& p, const Line& s, std::string&) {
    p.scenario.spoolerDependents.push_back(s.words[1]);
    return true;
}
bool FailStatement(Parsing& p, const Line& s, std::string& why) {
    CallFailure f;
    if (!ParseFailure(s.words, true, f)) {
        why = sim::CanFail(s.words[1]) ? "" : NoSuchFailure(s.words[1]);
        return false;
    }
    p.scenario.failures.push_back(f);
    return true;
}
bool CallTakes(Parsing& p, const Line& s, std::string& why) {
    uint64_t ms = 0;
    if (!sim::CanFail(s.words[1])) {
        why = "'" + s.words[1] + "' is not a Win32 function the simulation can give a duration";
        return false;
    }
    if (!ParseMilliseconds(s.words[2], ms) || ms == 0) {
        return false;
    }
    p.scenario.callDurations.emplace_back(s.words[1], ms);
    return true;
}
bool ControlAtStartup(Parsing& p, const Line& s, std::string&) {
    return ParseControl(s.words[1], p.scenario.controlAtStartup);
}
bool End(Parsing& p, const Line& s, std::string&) {
    p.endGiven = true;
    return ParseSeconds(s.words[1], p.scenario.endMs);
}
bool At(Parsing& p, const Line& s, std::string& why) {
    ScenarioEvent event;
    const Words words(s.words.begin() + 2, s.words.end());
    const EventForm* form = FindEvent(words[0]);
    const size_t arguments = words.size() - 1;
    if (!ParseSeconds(s.words[1], event.atMs)) {
        why = "'" + s.words[1] + "' is not a time in seconds";
    } else if (!p.scenario.events.empty() && event.atMs < p.scenario.events.back().atMs) {
        why = "events must be in time order";
    } else if (form == nullptr) {
        why = "unknown event '" + words[0] + "'";
    } else if (form->kind == EventKind::Fail && arguments > 0 && !sim::CanFail(words[1])) {
        why = NoSuchFailure(words[1]);
    } else if (arguments < form->minArguments || arguments > form->maxArguments ||
               !form->parse(words, event)) {
        why = "'" + words[0] + "' takes " + form->usage;
    } else {
        event.kind = form->kind;
        p.scenario.events.push_back(event);
        p.eventLines.push_back(p.line);
        return true;
    }
    return false;
}

struct StatementForm {
    Keyword keyword;
    const char* suffix;  // after the keyword's text: "-missing" for registry-missing
    const char* usage;   // its arguments, for error messages
    size_t minArguments, maxArguments;
    // Fills the scenario; false with `why` empty means the arguments do not fit the usage.
    bool (*parse)(Parsing&, const Line&, std::string& why);
};

constexpr size_t kAny = SIZE_MAX;

constexpr StatementForm kStatements[] = {
    {Keyword::Queue, "", "PORT or none", 1, 1, Queue},
    {Keyword::QueueNullPort, "", "nothing", 0, 0, SetSwitch<&Scenario::queueNullPort>},
    {Keyword::QueueGrows, "", "nothing", 0, 0, SetSwitch<&Scenario::queueGrows>},
    {Keyword::NotAnAdministrator, "", "nothing", 0, 0, SetSwitch<&Scenario::notAnAdministrator>},
    {Keyword::Port, "", "NAME [MONITOR]", 1, kAny, Port},
    {Keyword::Printer, "", "SERIAL PORT CODE (0..255)", 3, 3, Printer},
    {Keyword::Registry, "", "KEY | VALUE | TEXT", 0, kAny, Registry<false>},
    {Keyword::Registry, "-missing", "KEY | VALUE", 0, kAny, Registry<true>},
    {Keyword::SpoolerStopTime, "", "MS (0..3600000)", 1, 1,
     SetMilliseconds<&Scenario::spoolerStopMs>},
    {Keyword::SpoolerStartTime, "", "MS (0..3600000)", 1, 1,
     SetMilliseconds<&Scenario::spoolerStartMs>},
    {Keyword::SpoolerStopHangs, "", "nothing", 0, 0, SetSwitch<&Scenario::spoolerStopHangs>},
    {Keyword::SpoolerStartBlocks, "", "MS (0..3600000)", 1, 1,
     SetMilliseconds<&Scenario::spoolerStartBlocksMs>},
    {Keyword::SpoolerDependent, "", "NAME", 1, 1, SpoolerDependent},
    {Keyword::CallTakes, "", "FUNCTION MS (1..3600000)", 2, 2, CallTakes},
    {Keyword::Fail, "", "FUNCTION NTH ERROR [COUNT]", 3, 4, FailStatement},
    {Keyword::ControlAtStartup, "", "stop, shutdown or interrogate", 1, 1, ControlAtStartup},
    {Keyword::NotAService, "", "nothing", 0, 0,
     SetSwitch<&Scenario::startedByServiceManager, false>},
    {Keyword::End, "", "SECONDS", 1, 1, End},
    {Keyword::At, "", "SECONDS EVENT", 2, kAny, At},
};

const StatementForm* FindStatement(const std::string& keyword) {
    for (const StatementForm& form : kStatements) {
        if (keyword == std::string(KeywordText(form.keyword)) + form.suffix) {
            return &form;
        }
    }
    return nullptr;
}

// The ports a plug may name: the queue's, the port lines', the printer line's.
bool Declared(const Scenario& s, const std::string& port) {
    return (s.queueExists && s.queuePort == port) || (s.printerPresent && s.printerPort == port) ||
           std::any_of(s.ports.begin(), s.ports.end(),
                       [&](const auto& declared) { return declared.first == port; });
}

// A plug of `serial` onto `port`, given where each serial was seen last: the refusal, if any.
std::string CheckPlug(const Scenario& s, const std::string& serial, const std::string& port,
                      const std::map<std::string, std::pair<std::string, int>>& seen) {
    if (!Declared(s, port)) {
        return "plug onto " + port +
               ", which no line declares, so the queue could not follow it there: add 'port " +
               port + "' to the machine's lines";
    }
    const auto before = seen.find(serial);
    if (before != seen.end() && before->second.first != port) {
        return "printer " + serial + " was on " + before->second.first + " (line " +
               std::to_string(before->second.second) +
               "): Windows keeps the port of a device "
               "instance it knows, so the queue would stay there; on another socket the "
               "printer is another instance: give it another SERIAL";
    }
    return "";
}

// The printer's plugs and unplugs in time order, as a person meant them: each refused with the
// line and the fix where the run would silently do something else, or warned of where it may
// be meant.
std::string CheckPlugs(const Parsing& p, std::vector<std::string>& warnings) {
    const Scenario& s = p.scenario;
    bool present = s.printerPresent;
    int since = p.printerLine;                                // the line that last plugged it in
    std::map<std::string, std::pair<std::string, int>> seen;  // serial: its port, the line
    if (present) {
        seen[s.printerSerial] = {s.printerPort, p.printerLine};
    }
    for (size_t i = 0; i < s.events.size(); ++i) {
        const ScenarioEvent& e = s.events[i];
        const std::string at = "line " + std::to_string(p.eventLines[i]) + ": ";
        if (e.kind == EventKind::Unplug && !present) {
            return at + "unplug, but no printer is plugged in then" +
                   (since != 0 ? " (the unplug before it already took it away)" : "") +
                   ": plug one first ('at SECONDS plug SERIAL PORT'), or drop this line";
        }
        present = present && e.kind != EventKind::Unplug;
        if (e.kind != EventKind::Plug) {
            continue;
        }
        if (present) {
            // Two devices at once can be meant (one that is not the printer, then the printer).
            warnings.push_back(at + "plug while the printer of line " + std::to_string(since) +
                               " is still plugged in: both stay plugged in, and the events "
                               "after it act on " +
                               e.device +
                               "; if the first should go, write 'at SECONDS unplug' before it");
        }
        if (const std::string why = CheckPlug(s, e.device, e.port, seen); !why.empty()) {
            return at + why;
        }
        seen[e.device] = {e.port, p.eventLines[i]};
        present = true;
        since = p.eventLines[i];
    }
    return "";
}

// One line of the scenario: an empty reason when it is good (its statement taken into the
// scenario), else why not.
std::string ParseLine(Parsing& parsing, const std::string& raw) {
    const std::string content = Trim(StripComment(raw));
    if (content.empty()) {
        // A comment before the first statement heads the scenario.
        const std::string comment = Trim(raw);
        if (!comment.empty() && !parsing.statementSeen) {
            parsing.scenario.header.push_back(comment.substr(1));
        }
        return "";
    }
    parsing.statementSeen = true;
    const Words words = SplitWords(content);
    const std::string& keyword = words[0];
    const StatementForm* form = FindStatement(keyword);
    std::string why;
    if (form == nullptr) {
        why = "unknown statement '" + keyword + "'";
    } else if (words.size() - 1 < form->minArguments || words.size() - 1 > form->maxArguments ||
               !form->parse(parsing, Line{words, Trim(content.substr(keyword.size()))}, why)) {
        why = why.empty() ? "'" + keyword + "' takes " + form->usage : why;
    }
    return why;
}

}  // namespace

bool ParseScenario(const std::string& text, Scenario& scenario, std::string& error,
                   std::vector<std::string>* warnings) {
    scenario = Scenario();
    Parsing parsing{scenario};
    std::istringstream in(text);
    std::string raw;
    for (parsing.line = 1; std::getline(in, raw); ++parsing.line) {
        if (const std::string why = ParseLine(parsing, raw); !why.empty()) {
            // The reason quotes the line's words: its bytes are escaped, never echoed raw.
            error = "line " + std::to_string(parsing.line) + ": " + EscapeBytes(why);
            return false;
        }
    }
    if (const std::string why = CheckPlugs(parsing, parsing.warnings); !why.empty()) {
        error = EscapeBytes(why);
        return false;
    }
    if (warnings != nullptr) {
        *warnings = parsing.warnings;
    }
    if (!parsing.endGiven) {
        scenario.endMs =
            (scenario.events.empty() ? 0 : scenario.events.back().atMs) + kRunOnAfterLastEventMs;
    }
    return true;
}
