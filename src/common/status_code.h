// What the service commands the queue for each status code of the printer: the one table that
// the poller acts on, and that the trace reader, the picture, the doctor and the swarm's checks
// read to tell from a code what was (or should have been) commanded.
#pragma once

#include <cstdint>

// winspool's PRINTER_STATUS_* bits the service sets, named here so that the trace reader needs
// no Windows header (the simulated Windows checks them against its own values).
inline constexpr std::uint32_t kPrinterStatusPaperOut = 0x10;
inline constexpr std::uint32_t kPrinterStatusDoorOpen = 0x400000;

enum class QueueAction { None, DoorOpen, PaperOut, Ready };

// A code's command: pause with a printer status, resume with the status cleared, or nothing.
struct QueueCommand {
    QueueAction action = QueueAction::None;
    bool pause = false;          // pause the queue; resume it when false (action not None)
    std::uint32_t status = 0;    // the printer status set with the command, 0 to clear it
    const char* words = "";      // what the code means: "door open", "paper out", "ready"
};

// The command for a status code (byte 3 of the frame, taken as signed).
inline QueueCommand QueueCommandFor(std::int8_t code) {
    switch (static_cast<std::uint8_t>(code)) {
        case 0x04:
        case 0x0C:
            return {QueueAction::DoorOpen, true, kPrinterStatusDoorOpen, "door open"};
        case 0x00:
        case 0x08:
        case 0x80:
            return {QueueAction::PaperOut, true, kPrinterStatusPaperOut, "paper out"};
        case 0x20:
        case 0x28:
        case 0xA0:
            return {QueueAction::Ready, false, 0, "ready"};
        default:
            return {};
    }
}

// The same for a code kept as an int (a trace's line, a scenario): its low byte.
inline QueueCommand QueueCommandFor(int code) {
    return QueueCommandFor(static_cast<std::int8_t>(code & 0xFF));
}
