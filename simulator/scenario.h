// Scenarios for the simulator: the machine before the service starts and the timed events that
// happen to it while kq5 runs. One statement per line; '#' starts a comment.
//
//   queue USB001                the queue "Korvane-Q5" exists and prints to USB001 ("queue none")
//   port USB002 [MONITOR]       a spooler port, in order (the queue's port is added first)
//   printer SERIAL PORT CODE    the printer is plugged in at start on PORT, status code CODE
//   registry KEY | VALUE | TEXT a REG_SZ value under HKEY_LOCAL_MACHINE
//   spooler-stop-time MS        how long the Spooler takes to stop (default 0)
//   spooler-dependent NAME      a running service NAME depends on the Spooler, so the service
//                               manager refuses to stop the Spooler
//   not-a-service               the process is started from a console, not by the service manager
//   end SECONDS                 when the run ends if the service has not stopped (default: last
//                               event + 2 s)
//   at SECONDS EVENT            an event, where EVENT is one of
//       status CODE             the printer reports status CODE (byte 3 of its frame)
//       read-fails              the printer's next status read fails
//       plug SERIAL PORT        the printer (instance SERIAL) is plugged in and Windows gives it
//       PORT unplug                  the printer is unplugged other-device NAME       another USB
//       device arrives; other-device-gone NAME: it leaves stop | shutdown | interrogate   a service
//       control
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "platform/sim/sim.h"

struct ScenarioEvent {
    uint64_t atMs = 0;
    std::vector<std::string> words;  // the event and its arguments
    int line = 0;
};

struct Scenario {
    bool queueExists = true;
    std::string queuePort = "USB001";
    std::vector<std::pair<std::string, std::string>> ports;  // name, monitor
    bool printerPresent = false;
    std::string printerSerial;
    std::string printerPort;
    int printerCode = 0x20;
    struct RegistryText {
        std::string key, value, text;
    };
    std::vector<RegistryText> registry;
    uint64_t spoolerStopMs = 0;
    std::vector<std::string> spoolerDependents;
    bool startedByServiceManager = true;
    uint64_t endMs = 0;
    std::vector<ScenarioEvent> events;
};

// Parses a scenario; on failure `error` names the line and what is wrong with it.
bool ParseScenario(const std::string& text, Scenario& scenario, std::string& error);

const char* DefaultScenarioText();

struct ScenarioResult {
    int exitCode = -1;
    std::vector<sim::TimelineEvent> timeline;
    sim::PrinterState queue;
    DWORD spoolerState = 0;
    std::vector<std::string> openHandles;
    uint64_t longestControlMs = 0;  // the longest the control handler took over one control
};

// Sets up a fresh simulated machine, runs the real service program in it and drives the events.
// With concurrent threads the events still come in order, but the service's threads run at once
// and the run ends only when the service stops.
// `arrange`, when given, runs once the machine is set up, before the service starts (for failure
// injection).
ScenarioResult RunScenario(const Scenario& scenario, sim::Threads threads = sim::Threads::TakeTurns,
                           const std::function<void()>& arrange = nullptr);

// The readable timeline: one line per event, identical consecutive lines folded with a count,
// then the final state.
std::string FormatTimeline(const ScenarioResult& result);

// The printer's device interface path for an instance part (serial).
sim::Text16 PrinterDevicePath(const std::string& serial);
