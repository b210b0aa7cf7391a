// What the scenario's parts share as they run it: the machine (scenario_machine.cpp) and the
// driver of its events (scenario_events.cpp), used by the run (scenario_run.cpp).
#pragma once

#include <functional>
#include <string>
#include <vector>

#include "scenario.h"

// Builds the machine the scenario describes and opens the timeline with what the service will
// find there and how the machine will misbehave.
void SetUpMachine(const Scenario& s);

// Plugs the printer in: the USB printing class registers its port description, the USB port
// monitor records the device on its port, and the device appears.
void PlugPrinter(const Scenario& s, const std::string& serial, const std::string& port, int code);

// Another USB device's interface path.
sim::Text16 OtherDevicePath(const std::string& name);

// The printer's status frame reporting `code`.
std::vector<BYTE> Frame(int code);

// "OpenPrinterW fails with error 5 at call 3", "... at its next 2 calls".
std::string FailureText(const CallFailure& f, bool fromNow);

// The events as they happen, and what they did for the picture.
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

// The events from d.next on; outside kq5's process, up to the next start (which is left to
// RunScenario).
void RunEvents(Driver& d);
