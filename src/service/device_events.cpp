// USB device arrival and removal, delivered to the control handler on the dispatcher thread.
#include <cstddef>
#include <cstring>

#include "common/service_state.h"
#include "device/device.h"
#include "portmove/port_move.h"
#include "queue/queue.h"
#include "service/service.h"

namespace {

constexpr size_t kNameOffset = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
static_assert(kNameOffset == 28);

// The record's device interface path, read no further than dbcc_size allows. Nothing when there
// is no record or it is too short to hold a name.
std::optional<WideString> PathFromRecord(LPVOID eventData) {
    if (eventData == nullptr) {
        return std::nullopt;
    }
    DWORD size = 0;
    std::memcpy(&size, eventData, sizeof size);
    if (size < kNameOffset + sizeof(WCHAR)) {
        return std::nullopt;
    }
    const size_t maxUnits = (size - kNameOffset) / sizeof(WCHAR);
    const auto* name =
        reinterpret_cast<const WCHAR*>(static_cast<const BYTE*>(eventData) + kNameOffset);
    size_t length = 0;
    while (length < maxUnits && name[length] != 0) {
        ++length;
    }
    return WideString(name, length);
}

}  // namespace

void OnDeviceEvent(DWORD eventType, LPVOID eventData) {
    if (eventType != DBT_DEVICEARRIVAL && eventType != DBT_DEVICEREMOVECOMPLETE) {
        return;
    }
    const std::optional<WideString> path = PathFromRecord(eventData);
    if (!path) {
        return;
    }
    if (eventType == DBT_DEVICEARRIVAL) {
        // Every USB arrival resumes status mirroring and asks the poller to re-open the device.
        serviceState.deviceRemoved = 0;
        serviceState.reopenRequested = 1;
        if (IsTargetPrinter(*path)) {
            OnPrinterArrival(*path);
        }
    } else if (IsTargetPrinter(*path)) {
        OnPrinterRemoval(*path);
    }
}

void OnPrinterArrival(WideString path) {
    PortMoveOnArrival(path);
    // Again at the end: a re-open the poller made while this ran may have come too early.
    serviceState.reopenRequested = 1;
}

void OnPrinterRemoval(WideString) {
    ApplyQueueState(PRINTER_CONTROL_PAUSE, PRINTER_STATUS_OFFLINE);
    serviceState.deviceRemoved = 1;
    PortMoveOnRemoval();  // an owed follow-up leaves the queue paused
}
