// The fault sweep's scenarios and the error each swept call fails with, shared by the sweep and by
// the check that the sweep's runs keep their recorded lines (tests/golden/fault-sweep).
#pragma once

#include <iterator>
#include <map>
#include <string>
#include <vector>

#include "platform/sim/sim.h"
#include "platform/sim/win32_calls.h"

namespace fault_sweep {

// The swept calls and the plausible error each fails with (sim::kWin32Calls).
inline std::map<std::string, DWORD> SweptErrors() {
    std::map<std::string, DWORD> errors;
    for (const sim::Win32Call& call : sim::kWin32Calls) {
        if (call.sweptError != 0) {
            errors.emplace(call.name, call.sweptError);
        }
    }
    return errors;
}
inline const std::map<std::string, DWORD> kErrors = SweptErrors();

inline const char* const kScenarios[] = {
    // start-up and a few cycles
    "queue USB001\nprinter P1 USB001 0x20\nend 2\n",
    // status cycles
    "queue USB001\nprinter P1 USB001 0x20\nat 0.5 status 0x04\nat 1.3 status 0x80\nat 2.1 status "
    "0x20\nend 3\n",
    // the printer arrives on a new port; the spooler takes a second to stop, so the poller's queue
    // operations meet it down
    "queue USB001\nport USB002\nspooler-stop-time 1000\nprinter P1 USB001 0x20\nat 1 unplug\n"
    "at 1.5 plug P2 USB002\nend 5\n",
    // removal
    "queue USB001\nprinter P1 USB001 0x04\nat 1 unplug\nend 2\n",
    // stop
    "queue USB001\nprinter P1 USB001 0x20\nat 1 stop\n",
    // a stop while the start is owed to the poller: the handler waits for the spooler, starts it
    // and finishes the port move before it reports the service stopped
    "queue USB001\nport USB002\nspooler-stop-time 12000\nprinter P1 USB001 0x84\nat 1 unplug\n"
    "at 1.5 plug P2 USB002\nat 13 stop\nend 40\n",
    // a stop that comes while the handler itself waits for the spooler (the arrival's wait), so
    // that it finds the start owed once it is its turn
    "queue USB001\nport USB002\nspooler-stop-time 12000\nprinter P1 USB001 0x84\nat 1 unplug\n"
    "at 1.5 plug P2 USB002\nat 5 stop\nend 40\n",
    // a shutdown while the stop waits for the spooler: stopped at once, the spooler left to the
    // machine's start
    "queue USB001\nport USB002\nspooler-stop-time 12000\nprinter P1 USB001 0x84\nat 1 unplug\n"
    "at 1.5 plug P2 USB002\nat 13 stop\nat 13.2 shutdown\nend 40\n",
};
inline constexpr int kScenarioCount = static_cast<int>(std::size(kScenarios));

inline const char* const kScenarioNames[] = {
    "StartUp", "StatusCycles",       "ArrivalOnNewPort",          "Removal",
    "Stop",    "StopWhileStartOwed", "StopDuringTheHandlersWait", "ShutdownDuringTheStopsWait"};
static_assert(std::size(kScenarioNames) == std::size(kScenarios));

// One run of the sweep: call `ordinal` of `function` fails with `error`, once (count 1) or from
// then on (sim::kEveryLaterCall); `call` is that call as the run without failures made it.
struct SweptFailure {
    std::string function;
    int ordinal = 0;
    DWORD error = 0;
    int count = 1;
    std::string call;
};

// The sweep's runs of a scenario, in order, from the calls of its run without failures.
inline std::vector<SweptFailure> SweptFailures(const std::vector<std::string>& calls) {
    std::vector<SweptFailure> runs;
    std::map<std::string, int> seen;
    for (const std::string& call : calls) {
        const std::string function = call.substr(0, call.find('('));
        const int ordinal = ++seen[function];
        const auto error = kErrors.find(function);
        if (error == kErrors.end()) {
            continue;
        }
        for (const int count : {1, sim::kEveryLaterCall}) {
            runs.push_back(SweptFailure{function, ordinal, error->second, count, call});
        }
    }
    return runs;
}

}  // namespace fault_sweep
