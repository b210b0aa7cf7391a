// The values as winsvc.h, winspool.h and winerror.h define them.
#include "events/win32_names.h"

namespace {

constexpr Win32Name kServiceStates[] = {
    {1, "SERVICE_STOPPED", "stopped"},
    {2, "SERVICE_START_PENDING", "starting"},
    {3, "SERVICE_STOP_PENDING", "stopping"},
    {4, "SERVICE_RUNNING", "running"},
    {5, "SERVICE_CONTINUE_PENDING", "continuing"},
    {6, "SERVICE_PAUSE_PENDING", "pausing"},
    {7, "SERVICE_PAUSED", "paused"},
};

constexpr Win32Name kServiceControls[] = {
    {1, "SERVICE_CONTROL_STOP", "stop"},
    {4, "SERVICE_CONTROL_INTERROGATE", "interrogate"},
    {5, "SERVICE_CONTROL_SHUTDOWN", "shutdown"},
    {11, "SERVICE_CONTROL_DEVICEEVENT", "device event"},
};

constexpr Win32Name kPrinterStatusBits[] = {
    {0x1, "PRINTER_STATUS_PAUSED", "paused"},
    {0x2, "PRINTER_STATUS_ERROR", "error"},
    {0x4, "PRINTER_STATUS_PENDING_DELETION", "pending deletion"},
    {0x8, "PRINTER_STATUS_PAPER_JAM", "paper jam"},
    {0x10, "PRINTER_STATUS_PAPER_OUT", "paper out"},
    {0x20, "PRINTER_STATUS_MANUAL_FEED", "manual feed"},
    {0x40, "PRINTER_STATUS_PAPER_PROBLEM", "paper problem"},
    {0x80, "PRINTER_STATUS_OFFLINE", "offline"},
    {0x100, "PRINTER_STATUS_IO_ACTIVE", "I/O active"},
    {0x200, "PRINTER_STATUS_BUSY", "busy"},
    {0x400, "PRINTER_STATUS_PRINTING", "printing"},
    {0x800, "PRINTER_STATUS_OUTPUT_BIN_FULL", "output bin full"},
    {0x1000, "PRINTER_STATUS_NOT_AVAILABLE", "not available"},
    {0x2000, "PRINTER_STATUS_WAITING", "waiting"},
    {0x4000, "PRINTER_STATUS_PROCESSING", "processing"},
    {0x8000, "PRINTER_STATUS_INITIALIZING", "initializing"},
    {0x10000, "PRINTER_STATUS_WARMING_UP", "warming up"},
    {0x20000, "PRINTER_STATUS_TONER_LOW", "toner low"},
    {0x40000, "PRINTER_STATUS_NO_TONER", "no toner"},
    {0x80000, "PRINTER_STATUS_PAGE_PUNT", "page punt"},
    {0x100000, "PRINTER_STATUS_USER_INTERVENTION", "user intervention"},
    {0x200000, "PRINTER_STATUS_OUT_OF_MEMORY", "out of memory"},
    {0x400000, "PRINTER_STATUS_DOOR_OPEN", "door open"},
    {0x800000, "PRINTER_STATUS_SERVER_UNKNOWN", "server unknown"},
    {0x1000000, "PRINTER_STATUS_POWER_SAVE", "power save"},
};

constexpr Win32Name kServiceStartTypes[] = {
    {0, "SERVICE_BOOT_START", "boot"},      {1, "SERVICE_SYSTEM_START", "system"},
    {2, "SERVICE_AUTO_START", "automatic"}, {3, "SERVICE_DEMAND_START", "manual"},
    {4, "SERVICE_DISABLED", "disabled"},
};

constexpr Win32Name kFailureActionTypes[] = {
    {0, "SC_ACTION_NONE", "none"},
    {1, "SC_ACTION_RESTART", "restart"},
    {2, "SC_ACTION_REBOOT", "reboot"},
    {3, "SC_ACTION_RUN_COMMAND", "run_command"},
};

constexpr Win32Name kWin32Errors[] = {
    {2, "ERROR_FILE_NOT_FOUND", "not found"},
    {3, "ERROR_PATH_NOT_FOUND", "path not found"},
    {5, "ERROR_ACCESS_DENIED", "access denied"},
    {8, "ERROR_NOT_ENOUGH_MEMORY", "out of memory"},
    {13, "ERROR_INVALID_DATA", "the record is not valid"},
    {32, "ERROR_SHARING_VIOLATION", "in use by another program"},
    {122, "ERROR_INSUFFICIENT_BUFFER", "buffer too small"},
    {124, "ERROR_INVALID_LEVEL", "this system cannot answer this query"},
    {231, "ERROR_PIPE_BUSY", "in use by another program"},
    {234, "ERROR_MORE_DATA", "more data is available"},
    {1060, "ERROR_SERVICE_DOES_NOT_EXIST", "no such service"},
    {1167, "ERROR_DEVICE_NOT_CONNECTED", "the device is not connected"},
    {1722, "RPC_S_SERVER_UNAVAILABLE", "the Spooler is not running"},
    {1801, "ERROR_INVALID_PRINTER_NAME", "no such queue"},
    {1812, "ERROR_RESOURCE_DATA_NOT_FOUND", "no version resource"},
};

}  // namespace

std::span<const Win32Name> ServiceStates() {
    return kServiceStates;
}

std::span<const Win32Name> ServiceControls() {
    return kServiceControls;
}

std::span<const Win32Name> PrinterStatusBits() {
    return kPrinterStatusBits;
}

std::span<const Win32Name> ServiceStartTypes() {
    return kServiceStartTypes;
}

std::span<const Win32Name> FailureActionTypes() {
    return kFailureActionTypes;
}

std::span<const Win32Name> Win32Errors() {
    return kWin32Errors;
}

const Win32Name* FindWin32Name(std::span<const Win32Name> table, std::uint32_t value) {
    for (const Win32Name& row : table) {
        if (row.value == value) {
            return &row;
        }
    }
    return nullptr;
}
