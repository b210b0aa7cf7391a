// The service host: program entry, start-up, the control handler and device-event handling.
#pragma once

#include "common/wide_string.h"
#include "platform/platform.h"

// The program's main: hands the service table to the dispatcher, then reports its last error.
int ServiceProgramMain();

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);

DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

// Turns a USB device-interface event into action: arrivals re-open the device and follow the
// printer's port; the printer's removal marks the queue offline.
void OnDeviceEvent(DWORD eventType, LPVOID eventData);
void OnPrinterArrival(WideString path);
void OnPrinterRemoval(WideString path);
