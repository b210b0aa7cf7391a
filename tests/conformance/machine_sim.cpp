// The conformance facts' machine in the simulated Windows: set up through its control panel.
#include "conformance/machine_sim.h"

#include <utility>
#include <vector>

#include "conformance/check.h"
#include "conformance/machine.h"
#include "platform/sim/sim.h"

namespace conformance {

namespace {

simulated::Variation variation;
// The ports the running fact added: a second queue on one of them adds it no more.
std::vector<Text> ownPorts;

}  // namespace

void simulated::Vary(Variation v) {
    variation = std::move(v);
}

// Plugged with its instance ID's upper-case serial, as the virtual printer is under Wine.
const Text kPluggedPath =
    WSTR("\\\\?\\USB#VID_0483&PID_5741#A1B2C3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");

bool OnWine() {
    return variation.onWine;
}

void Prepare() {
    sim::Reset();
    ownPorts.clear();
    sim::PlugDevice(kPluggedPath);
    if (variation.afterPrepare) {
        variation.afterPrepare();
    }
}

void CleanUp() {}

void MakeQueue(const Text& name, const Text& port) {
    AddSpoolerPort(port);
    sim::AddPrinter(name, port);
}

// As on Windows (machine_windows.cpp): never a port that is there already, for it would not be
// the fact's to take away afterwards.
void AddSpoolerPort(const Text& name) {
    for (const Text& own : ownPorts) {
        if (EqualsIgnoringAsciiCase(own, name)) {
            return;
        }
    }
    for (const Text& listed : sim::Ports()) {
        if (EqualsIgnoringAsciiCase(listed, name)) {
            throw NotPossible{"a port " + sim::Narrow(name) + " is there already"};
        }
    }
    sim::AddPort(name);
    ownPorts.push_back(name);
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
