// The events' words: the one place where the timeline's text is made, and the one reading of
// the service's output lines.
#include "events/events.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "common/diagnostics.h"
#include "common/escape.h"
#include "common/text.h"
#include "events/win32_names.h"

namespace {

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

std::string Quoted(const std::string& text) {
    return "\"" + text + "\"";
}

using namespace diagnostics;

// The read failure by its start, escaped as the timeline and a trace show it.
const std::string kReadFailure = [] {
    const std::string escaped = EscapeBytes(kReadFailedMessage);
    const std::string_view known = "PRINTER_INFO_2";
    return escaped.substr(0, escaped.find(known) + known.size());
}();

bool Says(const std::string& text, std::string_view prefix) {
    return text.compare(0, prefix.size(), prefix) == 0;
}

// A status line's code: it must be whole (the line end as the layout keeps it) and fit a byte.
void ReadStatus(OutputEvent& line, bool keepsEnds) {
    const char* rest = line.text.c_str() + kStatusPrefix.size();
    char* end = nullptr;
    line.code = std::strtol(rest, &end, 10);
    const std::string after = end;
    const bool ended = after == "\\r\\n" || (!keepsEnds && after.empty());
    line.whole = end != rest && ended && line.code >= -128 && line.code <= 127;
}

std::string StepText(const ServiceStepEvent& e) {
    switch (e.step) {
        case ServiceStep::StopRequested:
            return e.service + " stop requested";
        case ServiceStep::Stopped:
            return e.service + " stopped";
        case ServiceStep::StartRequested:
            return e.service + " start requested";
        case ServiceStep::Running:
            return e.service + " running";
        case ServiceStep::StopRefused:
            return e.service + " stop refused: services that depend on it are running";
    }
    return e.service;
}

std::string ControlName(uint32_t control) {
    const Win32Name* row = FindWin32Name(ServiceControls(), control);
    return row != nullptr ? row->words : "control " + std::to_string(control);
}

std::string OutputText(const OutputEvent& e) {
    if (e.channel == Channel::StdoutLost) {
        return "not written, no standard output: " + Quoted(e.text);
    }
    return Quoted(e.text);
}

}  // namespace

std::string ReportWords(const StatusReportEvent& s) {
    return ServiceStateName(s.state) + " (type " + Hex(s.type) + ", controls " +
           std::to_string(s.controlsAccepted) + ", exit " + std::to_string(s.win32ExitCode) + "/" +
           std::to_string(s.serviceSpecificExitCode) + ", checkpoint " +
           std::to_string(s.checkPoint) + ", wait hint " + std::to_string(s.waitHint) + ")";
}

std::string ReportWords(const ProcessFirstLineEvent& e) {
    return "SERVICE_RUNNING process " + std::to_string(e.pid) + " (its first line)";
}

std::string ReportWords(const ProcessEndedEvent& e) {
    return "SERVICE_STOPPED (the process ended: " + e.line + ")";
}

OutputEvent ReadServiceLine(Channel channel, const std::string& text, bool keepsEnds) {
    OutputEvent line{channel, text, LineSays::Other, 0, true, ""};
    if (Says(text, kStatusPrefix)) {
        line.says = LineSays::Status;
        ReadStatus(line, keepsEnds);
    } else if (Says(text, kOpenErrorPrefix)) {
        line.says = LineSays::OpenError;
        line.code = static_cast<long long>(
            std::strtoul(text.c_str() + kOpenErrorPrefix.size(), nullptr, 16));
    } else if (Says(text, kRegistryErrorPrefix)) {
        line.says = LineSays::RegistryError;
        line.code = std::strtol(text.c_str() + kRegistryErrorPrefix.size(), nullptr, 10);
    } else if (Says(text, kDevicePathPrefix)) {
        line.says = LineSays::DevicePath;
        line.path = text.substr(kDevicePathPrefix.size());
    } else if (Says(text, kGetPrinterHandle)) {
        line.says = LineSays::GetPrinterHandle;
    } else if (Says(text, kMainErrorPrefix)) {
        line.says = LineSays::MainError;
        line.code = std::strtol(text.c_str() + kMainErrorPrefix.size(), nullptr, 10);
    } else if (Says(text, kReadFailure)) {
        line.says = LineSays::ReadFailure;
    }
    return line;
}

bool IsServiceText(const std::string& text) {
    return ReadServiceLine(Channel::Debug, text).says != LineSays::Other;
}

std::string ServiceStateName(uint32_t state) {
    const Win32Name* row = FindWin32Name(ServiceStates(), state);
    return row != nullptr ? row->name : std::to_string(state);
}

std::string PrinterStatusName(uint32_t status) {
    if (status == 0) {
        return "0 (cleared)";
    }
    std::string text;
    uint32_t rest = status;
    for (const Win32Name& bit : PrinterStatusBits()) {
        if ((status & bit.value) != 0) {
            text += (text.empty() ? "" : " | ") + std::string(bit.name);
            rest &= ~bit.value;
        }
    }
    if (rest != 0) {
        text += (text.empty() ? "" : " | ") + Hex(rest);
    }
    return text;
}

std::string EventSource(const TimelineEvent& event) {
    return std::visit(
        Overloaded{[](const NoteEvent& e) { return e.source; },
                   [](const OutputEvent& e) {
                       return std::string(e.channel == Channel::Debug ? "debug" : "stdout");
                   },
                   [](const TickEvent&) { return std::string("debug"); },
                   [](const QueuePausedEvent&) { return std::string("queue"); },
                   [](const QueueStatusEvent&) { return std::string("queue"); },
                   [](const QueuePortEvent&) { return std::string("queue"); },
                   [](const QueueSettingsEvent&) { return std::string("queue"); },
                   [](const ServiceStepEvent&) { return std::string("spooler"); },
                   [](const StartRefusedEvent&) { return std::string("spooler"); },
                   [](const TraceEndEvent&) { return std::string("trace"); },
                   [](const auto&) { return std::string("service"); }},
        event.detail);
}

std::string EventText(const TimelineEvent& event) {
    return std::visit(
        Overloaded{
            [](const NoteEvent& e) { return e.text; },
            [](const OutputEvent& e) { return OutputText(e); },
            [](const TickEvent& e) { return e.text; },
            [](const QueuePausedEvent& e) { return std::string(e.paused ? "paused" : "resumed"); },
            [](const QueueStatusEvent& e) {
                return "status " +
                       (e.commanded && e.status == 0 ? "0" : PrinterStatusName(e.status)) +
                       (e.commanded ? " (commanded)" : "");
            },
            [](const QueuePortEvent& e) { return "port " + e.from + " -> " + e.to; },
            [](const QueueSettingsEvent& e) { return "settings changed: " + e.changed; },
            [](const ServiceStepEvent& e) { return StepText(e); },
            [](const StartRefusedEvent& e) {
                return e.service + " start refused: " + std::to_string(e.error) +
                       (e.state ? " (" + ServiceStateName(*e.state) + ")" : "");
            },
            [](const ServiceStartedEvent&) {
                return std::string("started by the service manager");
            },
            [](const StatusReportEvent& e) { return "status " + ReportWords(e); },
            [](const ControlRefusedEvent& e) {
                return ControlName(e.control) + " not delivered: the service manager answers " +
                       std::to_string(e.error) + " (the service is " +
                       ServiceStateName(e.reportedState) + ")";
            },
            [](const ProcessFirstLineEvent& e) { return "status " + ReportWords(e); },
            [](const ProcessEndedEvent& e) { return "status " + ReportWords(e); },
            [](const TraceEndEvent&) { return std::string("end"); }},
        event.detail);
}
