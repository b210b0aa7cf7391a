// The Win32 values that kq5's programs name, one table a vocabulary: each value with the SDK's
// name for it and the words a person reads. The timeline, the trace reader, the doctor and the
// simulator all name them from here. Standard C++ only: the trace reader has no Windows header.
#pragma once

#include <cstdint>
#include <span>

struct Win32Name {
    std::uint32_t value;
    const char* name;   // as the SDK spells it: "SERVICE_RUNNING"
    const char* words;  // as a person reads it: "running"
};

// A service's state (SERVICE_STATUS.dwCurrentState): SERVICE_STOPPED to SERVICE_PAUSED.
std::span<const Win32Name> ServiceStates();
// The controls the service manager sends kq5 (SERVICE_CONTROL_*).
std::span<const Win32Name> ServiceControls();
// winspool.h's PRINTER_STATUS_* bits, in its order.
std::span<const Win32Name> PrinterStatusBits();
// A service's start type (SERVICE_BOOT_START to SERVICE_DISABLED).
std::span<const Win32Name> ServiceStartTypes();
// A recovery action's type (SC_ACTION_NONE to SC_ACTION_RUN_COMMAND).
std::span<const Win32Name> FailureActionTypes();
// The Win32 errors the doctor's lookups can meet.
std::span<const Win32Name> Win32Errors();

// VALUE's row in TABLE, or null when the table does not name it.
const Win32Name* FindWin32Name(std::span<const Win32Name> table, std::uint32_t value);
