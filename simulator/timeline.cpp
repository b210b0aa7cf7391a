// The simulator's report: the timeline in simulated time, then the queue's final state; and
// the run as a picture.
#include <cstdio>

#include "scenario.h"

namespace {

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
    // Repeats fold: an identical line (the poller's line every 800 ms) or an identical group of
    // lines (a failed open with its message, then the status line, each cycle) is printed once.
    return FoldTimeline(result.timeline) + "\nFinal state:\n" + FormatFinalState(result);
}

std::string FormatFinalState(const ScenarioResult& result) {
    std::string out;
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
    const std::string held = TimelineSeconds(result.longestControlMs);
    out += "  longest control handling: " + held.substr(held.find_first_not_of(' ')) + "\n";
    const std::string stop = TimelineSeconds(result.longestStopMs);
    out +=
        "  longest stop or shutdown handling: " + stop.substr(stop.find_first_not_of(' ')) + "\n";
    std::string handles;
    for (const std::string& h : result.openHandles) {
        handles += (handles.empty() ? "" : ", ") + h;
    }
    out += "  handles still open: " + (handles.empty() ? std::string("none") : handles) + "\n";
    return out;
}

std::string FormatSvg(const Scenario& scenario, const ScenarioResult& result,
                      const std::string& title) {
    Picture picture;
    picture.queueExists = scenario.queueExists;
    picture.queuePort = scenario.queueNullPort ? "" : scenario.queuePort;
    picture.timeline = result.timeline;
    picture.printer = result.printer;
    picture.actions = result.actions;
    picture.subtitle = "kq5 in the simulated Windows, " +
                       std::to_string(PictureEndMs(result.timeline) / 1000) +
                       " s of simulated time";
    return FormatSvg(picture, title);
}
