// The conformance cases' machine in the simulated Windows: set up through its control panel.
#include <vector>

#include "conformance_env.h"
#include "platform/sim/sim.h"

namespace conformance {

void Prepare() {
    sim::Reset();
    sim::PlugDevice(kPrinterPath);
}

void CleanUp() {}

void MakeQueue(const Text& name, const Text& port) {
    sim::AddPrinter(name, port);
}

void AddSpoolerPort(const Text& name) {
    sim::AddPort(name);
}

void SetRegistryString(const std::string& key, const std::string& name, const std::string& text,
                       bool withNul) {
    std::vector<BYTE> data(text.begin(), text.end());
    data.resize(text.size() + (withNul ? 1 : 0));
    sim::SetRegistryValue(key, name, REG_SZ, data);
}

void SetPrinterPlugged(bool plugged) {
    plugged ? sim::PlugDevice(kPrinterPath) : sim::UnplugDevice(kPrinterPath);
}

void AwaitPrinterClosed() {}

const char* MakeSlowService() {
    sim::SetSpoolerTimes(1500, 1500);
    return "Spooler";
}

void AddRunningDependent() {
    sim::AddSpoolerDependent("Fax");
}

}  // namespace conformance
