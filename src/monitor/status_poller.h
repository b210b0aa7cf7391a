// The status poller: reads the printer's 5-byte status frame every 800 ms and mirrors the status
// code into the print queue.
#pragma once

#include <cstdint>

#include "common/status_code.h"
#include "platform/platform.h"

// One cycle without its pause: re-open the device when asked to, read a frame, act, log.
void RunPollCycle();

// The thread procedure: opens the device, then runs a cycle and sleeps 800 ms, for ever.
DWORD WINAPI StatusPollThread(LPVOID parameter);
