// Which USB printer port belongs to a device: the spooler's "USB" ports, matched by the device ID
// that the USB port monitor registered for each.
#include <memory>
#include <new>

#include "device/device.h"
#include "device/registry_text.h"

namespace {

constexpr const WCHAR* kUsbPortMarker = WSTR("USB");
constexpr const char* kUsbPortKeyFormat =
    "SYSTEM\\ControlSet001\\Control\\Print\\Monitors\\USB Monitor\\Ports\\%S";
constexpr const char* kDeviceIdValue = "Device Id";

}  // namespace

PortList CollectUsbPorts() {
    DWORD needed = 0;
    DWORD count = 0;
    EnumPortsW(nullptr, 2, nullptr, 0, &needed, &count);
    std::unique_ptr<BYTE[]> buffer(new (std::nothrow) BYTE[needed == 0 ? 1 : needed]);
    PortList ports;
    if (!buffer) {
        return ports;
    }
    count = 0;
    if (EnumPortsW(nullptr, 2, buffer.get(), needed, &needed, &count) == 0) {
        count = 0;  // a failed enumeration reports nothing to walk
    }
    const auto* records = reinterpret_cast<const PORT_INFO_2W*>(buffer.get());
    for (DWORD i = 0; i < count; ++i) {
        const WideString name = records[i].pPortName ? records[i].pPortName : WideString();
        if (Contains(name, kUsbPortMarker)) {
            ports.push_back(name);
        }
    }
    return ports;
}

WideString FindPortForDevice(PortList ports, WideString path) {
    const std::optional<WideString> instanceId = DeviceInstanceIdFromPath(path);
    if (!instanceId) {
        return WideString();
    }
    for (const WideString& port : ports) {
        WideString deviceId;
        // A port whose key is missing (say, a stale port of another monitor) is skipped, so it
        // cannot hide the printer's own port further down the list.
        if (ReadRegistryText(kUsbPortKeyFormat, port, kDeviceIdValue, deviceId) ==
                RegistryRead::Read &&
            EqualsIgnoringAsciiCase(deviceId, *instanceId)) {
            return port;
        }
    }
    return WideString();
}
