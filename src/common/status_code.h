// What the service does to the queue for each status code of the printer: shared by the poller,
// which acts on it, and the trace reader, which tells from a captured code what was commanded.
#pragma once

#include <cstdint>

enum class QueueAction { None, DoorOpen, PaperOut, Ready };

// The queue action for a status code (byte 3 of the frame, taken as signed).
inline QueueAction ClassifyStatus(std::int8_t code) {
    switch (static_cast<std::uint8_t>(code)) {
        case 0x04:
        case 0x0C:
            return QueueAction::DoorOpen;
        case 0x00:
        case 0x08:
        case 0x80:
            return QueueAction::PaperOut;
        case 0x20:
        case 0x28:
        case 0xA0:
            return QueueAction::Ready;
        default:
            return QueueAction::None;
    }
}
