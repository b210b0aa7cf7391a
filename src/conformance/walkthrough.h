// kq5-conformance --lab --printer: the steps only a lab PC with the real printer and the
// installed service can show. The steps' logic (walkthrough_steps.cpp) meets the machine and the
// tester only through the plain functions of WalkthroughSystem: Win32 calls and the console on
// Windows (walkthrough.cpp), a queue and a clock the tests set on the host.
#pragma once

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "conformance/facts.h"
#include "conformance/machine.h"
#include "doctor/doctor.h"

namespace conformance {

// The queue "Korvane-Q5" as the spooler shows it.
struct QueueState {
    bool found = false;
    DWORD status = 0;
    Text port;
};

struct WalkthroughSystem {
    std::function<QueueState()> readQueue;
    std::function<DWORD()> spoolerProcess;  // the Spooler's process id; 0: not running
    std::function<void(DWORD ms)> sleep;
    // Asks the tester to do ACTION ("Unplug the printer's USB cable") and waits for Enter; false
    // when no one answers (the input has ended).
    std::function<bool(const std::string& action)> prompt;
    std::function<void(const std::string& text)> say;  // a line for the tester
    bool onWine = false;
};

// How long kq5 is given to show a status: two of its 800 ms cycles.
inline constexpr DWORD kStatusWithinMs = 2 * 800;
// A port move stops the Spooler (up to 10 s), starts it and pauses 1.3 s before it resumes.
inline constexpr DWORD kPortMoveMs = 30000;
// How often the queue is read while a step watches it.
inline constexpr DWORD kWatchStepMs = 100;

// The printer's steps in order: unplugged, another USB port, door open and closed, paper out and
// back; each held, differs (with what it saw) or not run (and why).
std::vector<Outcome> PrinterSteps(const WalkthroughSystem& system);

// The service's SID type as QueryServiceConfig2W reads it.
struct SidAnswer {
    bool known = false;
    bool none = false;  // SERVICE_SID_TYPE_NONE
    DWORD type = 0;
    DWORD error = 0;  // when not known
};

// The service's configuration that the package makes with sc.exe, judged: restart after one
// minute twice, then nothing; SeChangeNotifyPrivilege only; the SID type as created (none).
std::vector<Outcome> PackageSteps(const ServiceFacts& service, const SidAnswer& sid);

// The walk-through on this machine, prompted on PROMPTS and answered on standard input.
std::vector<Outcome> RunPrinterWalkthrough(std::FILE* prompts);

}  // namespace conformance
