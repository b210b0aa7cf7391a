// The identity check and the port lookup over fuzzed paths, port names and registry values of any
// type, length and termination (AddressSanitizer watches every read of them). A key is never
// looked up cut short or altered, a returned port is one of the listed ones and really matches,
// and nothing is left open.
#include <cstdlib>
#include <algorithm>
#include <map>
#include <optional>
#include <string>

#include "common/wide_string.h"
#include "device/device.h"
#include "fuzz_input.h"
#include "platform/sim/sim.h"

namespace {

const std::string kClasses =
    "SYSTEM\\ControlSet001\\Control\\DeviceClasses\\{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\\";
const std::string kPorts = "SYSTEM\\ControlSet001\\Control\\Print\\Monitors\\USB Monitor\\Ports\\";

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

bool Ascii(const std::u16string& text) {
    for (char16_t c : text) {
        if (c >= 0x80) {
            return false;
        }
    }
    return true;
}

// A registry value: sometimes the text that matches, sometimes anything.
std::vector<BYTE> Value(FuzzInput& in, const std::string& matching) {
    const uint8_t choice = in.Byte();
    if (choice % 4 == 0) {
        std::vector<BYTE> bytes(matching.begin(), matching.end());
        if (choice & 0x10) {
            bytes.push_back(0);
        }
        return bytes;
    }
    return in.Bytes(in.Byte() + (choice & 0x80 ? 60 : 0));
}

// The text a query of 200 bytes returns for a stored value, or nothing when it does not fit.
std::optional<std::string> StoredText(const std::vector<BYTE>& bytes) {
    if (bytes.size() > kValueBufferSize) {
        return std::nullopt;
    }
    std::string text(bytes.begin(), bytes.end());
    return text.substr(0, text.find('\0'));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    sim::Reset();
    const std::u16string path = in.PathLike(420);
    const auto interfaceKey = InterfaceKeyFromPath(path);
    const auto instanceId = DeviceInstanceIdFromPath(path);

    std::vector<std::string> expectedKeys;
    if (interfaceKey) {
        const std::string key = kClasses + sim::Narrow(*interfaceKey) + "\\#\\Device Parameters";
        sim::SetRegistryValue(key, "Port Description", in.Byte(),
                              Value(in, in.Byte() & 1 ? "KORVANEq5" : "KorvaneQ5"));
        if (Ascii(*interfaceKey) && key.size() < 500) {
            expectedKeys.push_back(key);
        }
    }
    PortList ports;
    std::map<std::u16string, std::vector<BYTE>> deviceIds;
    const int portCount = in.Byte() % 7;
    for (int i = 0; i < portCount; ++i) {
        std::u16string name = in.Byte() & 1
                                  ? u"USB00" + std::u16string(1, static_cast<char16_t>(u'0' + i))
                                  : in.PathLike(460);
        ports.push_back(name);
        const std::string key = kPorts + sim::Narrow(name);
        if (in.Byte() % 5 != 0) {
            const std::vector<BYTE> id = Value(in, instanceId ? sim::Narrow(*instanceId) : "");
            sim::SetRegistryValue(key, "Device Id", in.Byte(), id);
            deviceIds[name] = id;
        }
        if (Ascii(name) && key.size() < 500) {
            expectedKeys.push_back(key);
        }
    }
    const bool printer = IsTargetPrinter(path);
    const std::u16string port = FindPortForDevice(ports, path);

    // Every key looked up is a whole, expected path.
    for (const std::string& call : sim::CallsOf({"RegOpenKeyExA"})) {
        const size_t open = call.find('"');
        const std::string key = call.substr(open + 1, call.rfind('"') - open - 1);
        Check(key.size() < 500);
        Check(std::find(expectedKeys.begin(), expectedKeys.end(), key) != expectedKeys.end());
    }
    if (printer) {
        Check(interfaceKey.has_value());
    }
    if (!port.empty()) {
        Check(std::find(ports.begin(), ports.end(), port) != ports.end());
        const auto text = StoredText(deviceIds[port]);
        Check(text && instanceId && EqualsIgnoringAsciiCase(sim::Widen(*text), *instanceId));
    }
    for (const std::string& line : sim::DebugLines()) {
        Check(line.rfind("GetLastError:", 0) == 0 && line.size() > 15 &&
              line.substr(line.size() - 2) == "\r\n");
    }
    Check(sim::OpenHandles().empty());
    return 0;
}
