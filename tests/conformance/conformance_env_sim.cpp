// The conformance cases' machine in the simulated Windows: set up through its control panel.
#include <vector>

#include "conformance_env.h"
#include "platform/sim/sim.h"

namespace conformance {

namespace {

const Text kPrinterPath =
    u"\\\\?\\usb#vid_0483&pid_5741#a1b2c3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

}  // namespace

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
    if (withNul) {
        data.push_back(0);
    }
    sim::SetRegistryValue(key, name, REG_SZ, data);
}

Text PrinterPath() {
    return kPrinterPath;
}

void SetPrinterPlugged(bool plugged) {
    if (plugged) {
        sim::PlugDevice(kPrinterPath);
    } else {
        sim::UnplugDevice(kPrinterPath);
    }
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
