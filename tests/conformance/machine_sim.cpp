// The conformance facts' machine in the simulated Windows: set up through its control panel.
#include <vector>

#include "conformance/machine.h"
#include "platform/sim/sim.h"

namespace conformance {

// Plugged with its instance ID's upper-case serial, as the virtual printer is under Wine.
const Text kPluggedPath =
    WSTR("\\\\?\\USB#VID_0483&PID_5741#A1B2C3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");

bool OnWine() {
    return false;
}

void Prepare() {
    sim::Reset();
    sim::PlugDevice(kPluggedPath);
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

void NeedPrinter() {}

void SetPrinterPlugged(bool plugged) {
    plugged ? sim::PlugDevice(kPluggedPath) : sim::UnplugDevice(kPluggedPath);
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
