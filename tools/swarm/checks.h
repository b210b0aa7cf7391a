// What the invariants' checks read: the run as the scenario made it and as the machine shows it,
// at a moment during the run and at its end. Each check is a function registered in
// invariants.cpp beside its name, its reason and its exceptions.
#pragma once

#include <optional>
#include <set>
#include <string>
#include <vector>

#include "scenario.h"
#include "swarm.h"

namespace swarm {

// What the machine shows at one moment.
struct MachineView {
    uint64_t now = 0;
    DWORD spooler = 0;
    std::vector<sim::TimelineEvent> timeline;
    std::vector<sim::ControlRecord> controls;
    std::vector<sim::FailureHit> hits;
    sim::PrinterState queue;
};

// The scenario's events with what became of them.
struct Happened {
    const ScenarioEvent* event = nullptr;
    size_t controlsBefore = SIZE_MAX;  // how many controls had been sent when it happened
};

struct Run {
    const Scenario& scenario;
    std::vector<Happened> events;
    std::vector<Broken> broken;
    std::set<std::string> seen;  // each invariant once per run
};

// The printer as the scenario's events have left it by a moment.
struct PrinterPicture {
    bool present = false;
    int code = 0;
    std::string port;
    uint64_t lastChange = 0;  // of its status, or of a scripted read
    std::optional<size_t> lastPlug;
    std::optional<size_t> lastUnplug;
    size_t devices = 0;  // printer devices present: one plugged in again unplugged leaves two
};

// A moment of the run: `happened` events have happened by f.now.
struct Moment {
    const Run& run;
    size_t happened;
    const MachineView& f;
    PrinterPicture printer;
    std::optional<uint64_t> alive;   // since when kq5's process runs, not stopping
    const sim::ControlRecord* plug;  // the control the last arrival sent, if any
    bool plugHandled;                // ... and the handler answered it
};

// The end of the run, after its quiet tail.
struct RunEnd {
    const Run& run;
    const ScenarioResult& result;
    const MachineView& f;
    const sim::PrinterState& initialQueue;
};

// The checks: the moment's three and the end's twelve.
Finding QueueOnPrinterPort(const Moment& m);
Finding QueueFollowsStatus(const Moment& m);
Finding RemovalPausesOffline(const Moment& m);
Finding SpoolerRunsAtEnd(const RunEnd& end);
Finding NoStrayHandles(const RunEnd& end);
Finding QueueWritesOnlyStateStatusPort(const RunEnd& end);
Finding ControlsAnswered(const RunEnd& end);
Finding StopEndsInBound(const RunEnd& end);
Finding StoppedIsFinal(const RunEnd& end);
Finding LastingRefusalEndsDebt(const RunEnd& end);
Finding OwedStartPrompt(const RunEnd& end);
Finding PortReadAfresh(const RunEnd& end);
Finding QueueLeftAloneWhileSpoolerStopped(const RunEnd& end);
Finding DiagnosticsOnlyKq5sTexts(const RunEnd& end);
Finding NoCrash(const RunEnd& end);

}  // namespace swarm
