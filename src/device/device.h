// Recognising the printer among USB devices, opening it, and finding the USB printer port that
// Windows gave it. Paths and registry values come from the system and are handled as untrusted.
#pragma once

#include <optional>
#include <vector>

#include "common/wide_string.h"
#include "platform/platform.h"

// The spooler's port names, in the spooler's order.
using PortList = std::vector<WideString>;

// Bytes of the buffer a registry string value is read into, terminator included.
inline constexpr DWORD kValueBufferSize = 200;

// The device's key name among the USB printing interfaces, or nothing when the path holds
// neither a backslash nor a '#'.
std::optional<WideString> InterfaceKeyFromPath(WideString path);

// The device instance ID (e.g. usb\vid_0483&pid_5741\A1B2C3), or nothing when the path holds no
// '#'. An empty ID is a valid result.
std::optional<WideString> DeviceInstanceIdFromPath(WideString path);

// Whether the device's registered port description is the printer's.
bool IsTargetPrinter(WideString path);

// Opens the first present USB device that is the printer; INVALID_HANDLE_VALUE when there is
// none or it cannot be opened. The caller owns the handle.
HANDLE FindAndOpenPrinterDevice();

// The spooler's ports whose names contain "USB".
PortList CollectUsbPorts();

// The first port whose registered device ID is the device's instance ID, as the list spells it;
// empty when there is none.
WideString FindPortForDevice(PortList ports, WideString path);
