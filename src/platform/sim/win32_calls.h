// The Win32 calls the simulated Windows knows (declared in win32.h), one row each: whether the
// simulation can make the call fail, the error the fault sweep fails it with, the errors the
// swarm picks from, and the part of kq5's work the call belongs to. The simulation's failure
// injection, the fault sweep (tests/fault_sweep.h) and the swarm (tools/swarm/) take their lists
// from here, so that a call added here is known, swept and generated at once.
#pragma once

#include <array>
#include <set>
#include <string>

#include "platform/sim/win32.h"

namespace sim {

// The part of kq5's work a call belongs to, as the swarm's invariants ask for it.
enum CallRole : unsigned {
    kNoRole = 0,
    kQueueCall = 1u << 0,         // the print queue: open, read, write
    kPortListCall = 1u << 1,      // the spooler's list of ports
    kDeviceLookupCall = 1u << 2,  // finding the printer's device and its port
    kDeviceOpenCall = 1u << 3,    // opening the printer's device itself
    kSpoolerStartCall = 1u << 4,  // opening and starting the Spooler service
};

struct Win32Call {
    const char* name;
    // Calls that cannot fail return nothing or only release what the caller owns, and kq5 never
    // looks at what they return: a failure injected there could change nothing, so it is refused.
    bool canFail;
    DWORD sweptError;  // the fault sweep's plausible error; 0: not swept
    std::array<DWORD, 7>
        swarmErrors;  // errors Windows gives for it, 0 ends the list; none: not generated
    unsigned roles;
};

// The swarm's generator picks from these rows in this order (a seed's scenario depends on it):
// keep the generated calls first and add new ones after them.
// clang-format off
inline constexpr Win32Call kWin32Calls[] = {
    {"OpenPrinterW", true, ERROR_ACCESS_DENIED, {5, 1722, 1801}, kQueueCall},
    {"GetPrinterW", true, RPC_S_SERVER_UNAVAILABLE, {1722, 5, 122}, kQueueCall},
    {"SetPrinterW", true, ERROR_ACCESS_DENIED, {5, 1722}, kQueueCall},
    {"EnumPortsW", true, RPC_S_SERVER_UNAVAILABLE, {1722, 5}, kPortListCall},
    {"OpenSCManagerA", true, ERROR_ACCESS_DENIED, {5, 1722, 1115}, kSpoolerStartCall},
    {"OpenServiceA", true, ERROR_SERVICE_DOES_NOT_EXIST, {1060, 5, 1722}, kSpoolerStartCall},
    {"ControlService", true, ERROR_SERVICE_CANNOT_ACCEPT_CTRL, {1061, 1051, 5}, kNoRole},
    {"QueryServiceStatus", true, ERROR_ACCESS_DENIED, {5, 6}, kNoRole},
    // can clear: the start is made later
    {"StartServiceA", true, ERROR_SERVICE_DATABASE_LOCKED, {1053, 1055, 1058, 1069, 5, 1056, 1072}, kSpoolerStartCall},
    {"RegOpenKeyExA", true, ERROR_ACCESS_DENIED, {5, 2}, kDeviceLookupCall},
    {"RegQueryValueExA", true, ERROR_ACCESS_DENIED, {5, 2, 234}, kDeviceLookupCall},
    {"SetupDiGetClassDevsW", true, ERROR_INVALID_PARAMETER, {87, 8}, kDeviceLookupCall},
    {"SetupDiEnumDeviceInterfaces", true, ERROR_NO_MORE_ITEMS, {259, 87}, kDeviceLookupCall},
    {"SetupDiGetDeviceInterfaceDetailW", true, ERROR_INSUFFICIENT_BUFFER, {122, 87}, kDeviceLookupCall},
    {"GlobalAlloc", true, ERROR_NOT_ENOUGH_MEMORY, {8}, kDeviceLookupCall},
    {"CreateFileW", true, ERROR_ACCESS_DENIED, {5, 32, 2}, kDeviceOpenCall},
    {"ReadFile", true, ERROR_DEVICE_NOT_CONNECTED, {31, 1167, 995}, kNoRole},
    {"MultiByteToWideChar", true, ERROR_INSUFFICIENT_BUFFER, {122, 1113}, kDeviceLookupCall},
    {"SetServiceStatus", true, ERROR_INVALID_DATA, {6, 13}, kNoRole},
    {"CreateThread", true, ERROR_NOT_ENOUGH_MEMORY, {8}, kNoRole},
    {"WaitForSingleObject", true, ERROR_INVALID_HANDLE, {6}, kNoRole},
    {"RegisterDeviceNotificationW", true, ERROR_INVALID_DATA, {13}, kNoRole},
    {"StartServiceCtrlDispatcherW", true, ERROR_SERVICE_ALREADY_RUNNING, {1063}, kNoRole},
    {"RegisterServiceCtrlHandlerExW", true, 123 /* ERROR_INVALID_NAME */, {123}, kNoRole},
    // the console's calls (the tools' output)
    {"GetStdHandle", true, ERROR_INVALID_HANDLE, {}, kNoRole},
    {"WriteFile", true, ERROR_INVALID_HANDLE, {}, kNoRole},
    // the doctor's calls
    {"EnumServicesStatusExW", true, 0, {}, kNoRole},
    {"OpenServiceW", true, 0, {}, kNoRole},
    {"QueryServiceConfigW", true, 0, {}, kNoRole},
    {"QueryServiceConfig2W", true, 0, {}, kNoRole},
    {"GetFileVersionInfoSizeW", true, 0, {}, kNoRole},
    {"GetFileVersionInfoW", true, 0, {}, kNoRole},
    {"EnumPrintersW", true, 0, {}, kNoRole},
    // kq5trace's Windows events
    {"RegisterEventSourceW", true, 0, {}, kNoRole},
    {"ReportEventW", true, 0, {}, kNoRole},
    // cannot fail
    {"ClosePrinter", false, 0, {}, kNoRole},
    {"CloseServiceHandle", false, 0, {}, kNoRole},
    {"RegCloseKey", false, 0, {}, kNoRole},
    {"SetupDiDestroyDeviceInfoList", false, 0, {}, kNoRole},
    {"DeregisterEventSource", false, 0, {}, kNoRole},
    {"CloseHandle", false, 0, {}, kNoRole},
    {"GlobalFree", false, 0, {}, kNoRole},
    {"Sleep", false, 0, {}, kNoRole},
    {"OutputDebugStringA", false, 0, {}, kNoRole},
    {"GetTickCount64", false, 0, {}, kNoRole},
};
// clang-format on

// The row of the call named `name`, or nullptr when the simulation does not know it.
inline const Win32Call* FindWin32Call(const std::string& name) {
    for (const Win32Call& call : kWin32Calls) {
        if (name == call.name) {
            return &call;
        }
    }
    return nullptr;
}

// The names of the calls that have any of `roles`.
inline std::set<std::string> CallsWithRole(unsigned roles) {
    std::set<std::string> names;
    for (const Win32Call& call : kWin32Calls) {
        if ((call.roles & roles) != 0) {
            names.insert(call.name);
        }
    }
    return names;
}

}  // namespace sim
