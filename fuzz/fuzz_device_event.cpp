// Device events of every type with records of every size and content, each handed over in a heap
// block of exactly dbcc_size bytes, so that AddressSanitizer sees any read past the record's end.
// Input: a byte choosing the event type, a byte choosing the record (even: the bytes that follow;
// odd: the printer's real record, damaged at the offset and byte pairs that follow). Whatever
// arrives, nothing is left open and the spooler keeps running.
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "common/service_state.h"
#include "platform/sim/sim.h"
#include "service/service.h"

namespace {

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
    if (size < 2) {
        return 0;
    }
    SetUpMachine();
    const DWORD eventType = data[0] % 3 == 0   ? DBT_DEVICEARRIVAL
                            : data[0] % 3 == 1 ? DBT_DEVICEREMOVECOMPLETE
                                               : data[0];
    std::vector<BYTE> record(data + 2, data + size);
    if (data[1] % 2 == 1) {
        std::vector<BYTE> damaged = sim::DeviceInterfaceRecord(kPrinterPath);
        for (size_t i = 0; i + 1 < record.size() && i < 8; i += 2) {
            damaged[record[i] % damaged.size()] = record[i + 1];
        }
        record = damaged;
    }
    if (record.size() < sizeof(DWORD)) {
        OnDeviceEvent(eventType, nullptr);
    } else {
        // Windows sizes the record by dbcc_size: the handler gets exactly that many bytes.
        DWORD claimed = 0;
        std::memcpy(&claimed, record.data(), sizeof claimed);
        if (claimed >= sizeof(DWORD) && claimed < record.size()) {
            record.resize(claimed);
        }
        const auto exact = static_cast<DWORD>(record.size());
        std::memcpy(record.data(), &exact, sizeof exact);
        std::unique_ptr<BYTE[]> block(new BYTE[record.size()]);
        std::memcpy(block.get(), record.data(), record.size());
        OnDeviceEvent(eventType, block.get());
    }
    if (!sim::OpenHandles().empty() || sim::SpoolerState() != SERVICE_RUNNING) {
        std::abort();
    }
    return 0;
}
