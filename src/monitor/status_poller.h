// The status poller: reads the printer's 5-byte status frame every 800 ms and mirrors the status
// code into the print queue.
#pragma once

#include <cstdint>

#include "platform/platform.h"

enum class QueueAction { None, DoorOpen, PaperOut, Ready };

// The queue action for a status code (byte 3 of the frame, taken as signed).
QueueAction ClassifyStatus(std::int8_t code);

// One cycle without its pause: re-open the device when asked to, read a frame, act, log.
void RunPollCycle();

// The thread procedure: opens the device, then runs a cycle and sleeps 800 ms, for ever.
DWORD WINAPI StatusPollThread(LPVOID parameter);
