#include "monitor/status_poller.h"

#include <cstring>

#include "common/diagnostics.h"
#include "common/format.h"
#include "common/service_state.h"
#include "common/status_code.h"
#include "device/device.h"
#include "portmove/port_move.h"
#include "queue/queue.h"

namespace {

constexpr DWORD kPollIntervalMs = 800;
constexpr size_t kStatusCodeByte = 3;
static_assert(kPrinterStatusDoorOpen == PRINTER_STATUS_DOOR_OPEN &&
              kPrinterStatusPaperOut == PRINTER_STATUS_PAPER_OUT);

void ReopenDevice() {
    // The old handle was opened without sharing: left open, it would make the new open fail.
    if (serviceState.deviceHandle != INVALID_HANDLE_VALUE && serviceState.deviceHandle != nullptr) {
        CloseHandle(serviceState.deviceHandle);
    }
    serviceState.deviceHandle = FindAndOpenPrinterDevice();
}

void MirrorStatus(std::int8_t code) {
    // State is re-applied on every cycle (level-triggered), never only on change.
    const QueueCommand command = QueueCommandFor(code);
    if (command.action != QueueAction::None) {
        ApplyQueueState(command.pause ? PRINTER_CONTROL_PAUSE : PRINTER_CONTROL_RESUME,
                        command.status);
    }
}

}  // namespace

void RunPollCycle() {
    // A spooler that stopped too slowly for the control handler is started here.
    StartOwedSpooler();
    // Cleared before the discovery, so a request made during it is not lost.
    if (serviceState.reopenRequested.exchange(0) != 0) {
        ReopenDevice();
    }
    if (serviceState.deviceHandle == INVALID_HANDLE_VALUE) {
        return;
    }
    BYTE frame[kStatusFrameSize] = {};
    DWORD count = 0;
    if (!ReadFile(serviceState.deviceHandle, frame, sizeof frame, &count, nullptr) ||
        count < sizeof frame) {
        return;  // a status the printer never sent must not move the queue
    }
    std::memcpy(serviceState.statusFrame, frame, sizeof frame);
    const auto code = static_cast<std::int8_t>(serviceState.statusFrame[kStatusCodeByte]);
    if (serviceState.deviceRemoved == 0) {
        MirrorStatus(code);
    }
    DebugPrint(diagnostics::kStatusFormat, code);
}

DWORD WINAPI StatusPollThread(LPVOID) {
    serviceState.deviceHandle = FindAndOpenPrinterDevice();
    for (;;) {
        RunPollCycle();
        Sleep(kPollIntervalMs);
    }
}
