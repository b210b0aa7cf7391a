// Device events with fuzzed types, records and sizes: the name is never read past dbcc_size (the
// record is exactly that long, so AddressSanitizer sees any overread), no empty or unknown port
// is ever written, and nothing but the poller's device is left open.
#include <cstdlib>
#include <cstring>
#include <memory>

#include "common/service_state.h"
#include "fuzz_input.h"
#include "platform/sim/sim.h"
#include "service/service.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

const std::u16string kPrinterPath =
    u"\\\\?\\usb#vid_0483&pid_5741#A1B2C3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";

void SetUpMachine() {
    sim::Reset();
    ResetServiceState();
    sim::AddPrinter(u"Korvane-Q5", u"USB001");
    sim::AddPort(u"USB002");
    sim::SetRegistryString(
        "SYSTEM\\ControlSet001\\Control\\DeviceClasses\\{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\\"
        "##?#usb#vid_0483&pid_5741#A1B2C3#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\\#\\Device "
        "Parameters",
        "Port Description", "KorvaneQ5");
    sim::SetRegistryString(
        "SYSTEM\\ControlSet001\\Control\\Print\\Monitors\\USB Monitor\\Ports\\USB002", "Device Id",
        "USB\\VID_0483&PID_5741\\A1B2C3");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    SetUpMachine();
    const uint8_t kind = in.Byte();
    const DWORD eventType = kind % 3 == 0   ? DBT_DEVICEARRIVAL
                            : kind % 3 == 1 ? DBT_DEVICEREMOVECOMPLETE
                                            : in.Word();
    std::vector<BYTE> record;
    if (in.Byte() & 1) {
        record = sim::DeviceInterfaceRecord(kPrinterPath);  // the real thing, then damaged
        const std::vector<uint8_t> patch = in.Bytes(8);
        for (size_t i = 0; i < patch.size(); i += 2) {
            record[patch[i] % record.size()] = i + 1 < patch.size() ? patch[i + 1] : 0;
        }
    } else {
        record = in.Bytes(in.Word() % 400);
    }
    if (record.size() < sizeof(DWORD)) {
        OnDeviceEvent(eventType, nullptr);
    } else {
        // Windows sizes the record by dbcc_size; give the handler exactly that many bytes.
        DWORD claimed = 0;
        std::memcpy(&claimed, record.data(), sizeof claimed);
        if (claimed >= sizeof(DWORD) && claimed < record.size()) {
            record.resize(claimed);
        }
        const DWORD exact = static_cast<DWORD>(record.size());
        std::memcpy(record.data(), &exact, sizeof exact);
        std::unique_ptr<BYTE[]> exactCopy(new BYTE[record.size()]);
        std::memcpy(exactCopy.get(), record.data(), record.size());
        OnDeviceEvent(eventType, exactCopy.get());
    }
    const auto ports = sim::Ports();
    for (const std::string& call : sim::CallsOf({"SetPrinterW"})) {
        const size_t at = call.find("{port \"");
        if (at != std::string::npos) {
            const std::string port = call.substr(at + 7, call.find('"', at + 7) - at - 7);
            Check(!port.empty() &&
                  std::find(ports.begin(), ports.end(), sim::Widen(port)) != ports.end());
        }
    }
    Check(sim::OpenHandles().empty());
    Check(sim::SpoolerState() == SERVICE_RUNNING);
    return 0;
}
