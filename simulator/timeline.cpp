// The simulator's report: the timeline in simulated time, then the queue's final state.
#include <cstdio>

#include "scenario.h"

namespace {

std::string Seconds(uint64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%4llu.%03llus", static_cast<unsigned long long>(ms / 1000),
                  static_cast<unsigned long long>(ms % 1000));
    return text;
}

std::string Line(const sim::TimelineEvent& e) {
    char source[12];
    std::snprintf(source, sizeof source, "%-8s", e.source.c_str());
    return Seconds(e.timeMs) + "  " + source + " " + e.text + "\n";
}

std::string SpoolerStateName(DWORD state) {
    switch (state) {
        case SERVICE_RUNNING:
            return "running";
        case SERVICE_STOPPED:
            return "stopped";
        case SERVICE_STOP_PENDING:
            return "stopping";
        case SERVICE_START_PENDING:
            return "starting";
        default:
            return std::to_string(state);
    }
}

}  // namespace

std::string FormatTimeline(const ScenarioResult& result) {
    std::string out;
    const auto& events = result.timeline;
    for (size_t i = 0; i < events.size();) {
        // Identical consecutive events (the poller's line every 800 ms) fold into one.
        size_t same = i + 1;
        while (same < events.size() && events[same].source == events[i].source &&
               events[same].text == events[i].text) {
            ++same;
        }
        out += Line(events[i]);
        if (same - i > 1) {
            out += "           ... " + std::to_string(same - i - 1) + " more, the last at " +
                   Seconds(events[same - 1].timeMs) + "\n";
        }
        i = same;
    }
    out += "\nFinal state:\n";
    if (!result.queue.exists) {
        out += "  queue \"Korvane-Q5\": absent\n";
    } else {
        char status[16];
        std::snprintf(status, sizeof status, "0x%08X", static_cast<unsigned>(result.queue.status));
        out +=
            "  queue \"Korvane-Q5\": " + std::string(result.queue.paused ? "paused" : "resumed") +
            ", status " + status + ", port " +
            (result.queue.nullPort ? std::string("(none)") : sim::Narrow(result.queue.port)) + "\n";
    }
    out += "  spooler: " + SpoolerStateName(result.spoolerState) + "\n";
    out += "  exit code: " + std::to_string(result.exitCode) + "\n";
    const std::string held = Seconds(result.longestControlMs);
    out += "  longest control handling: " + held.substr(held.find_first_not_of(' ')) + "\n";
    std::string handles;
    for (const std::string& h : result.openHandles) {
        handles += (handles.empty() ? "" : ", ") + h;
    }
    out += "  handles still open: " + (handles.empty() ? std::string("none") : handles) + "\n";
    return out;
}
