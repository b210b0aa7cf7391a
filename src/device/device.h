// Recognising the printer among USB devices, opening it, and finding the USB printer port that
// Windows gave it. Paths and registry values come from the system and are handled as untrusted.
#pragma once

#include <functional>
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

// What the device's registered port description says about it.
enum class Identity {
    Printer,             // the printer's description
    NoInterfaceKey,      // the path names no registry key
    DescriptionMissing,  // no key or no "Port Description" value
    DescriptionTooLong,  // the value does not fit the 200-byte read
    DescriptionUnreadable,
    DescriptionDifferent,  // another device's description
};

struct IdentityCheck {
    Identity identity = Identity::NoInterfaceKey;
    WideString description;  // as read, when it was read
};

IdentityCheck CheckIdentity(const WideString& path);

// Whether the device's registered port description is the printer's.
bool IsTargetPrinter(WideString path);

// Calls `visit` with the path of each present USB device that carries both the vendor's and
// the product's digits, in the system's order, until it returns true. False, with the error in
// `error`, when the device list cannot be had.
bool VisitPrinterCandidates(const std::function<bool(const WideString&)>& visit, DWORD& error);

// Opens the printer's device as the service does: exclusively, read and write.
// INVALID_HANDLE_VALUE when it cannot be opened (GetLastError says why).
HANDLE OpenPrinterDevice(const WideString& path);

// Opens the first present USB device that is the printer; INVALID_HANDLE_VALUE when there is
// none or it cannot be opened. The caller owns the handle.
HANDLE FindAndOpenPrinterDevice();

// The spooler's ports whose names contain "USB".
PortList CollectUsbPorts();

// The first port whose registered device ID is the device's instance ID, as the list spells it;
// empty when there is none.
WideString FindPortForDevice(PortList ports, WideString path);
