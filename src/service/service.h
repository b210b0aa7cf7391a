// The service host: program entry, start-up, the control handler and device-event handling.
#pragma once

#include "common/wide_string.h"
#include "platform/platform.h"

// Puts the whole process's state back to its start value, the shared record's and the port
// move's (a fresh process, for the simulation and tests).
void ResetServiceState();

// The program's main: hands the service table to the dispatcher, then reports its last error.
int ServiceProgramMain();

void WINAPI ServiceMain(DWORD argc, LPWSTR* argv);

DWORD WINAPI ServiceCtrlHandler(DWORD control, DWORD eventType, LPVOID eventData, LPVOID context);

// The handler returns within this much of a stop or a shutdown, whatever the spooler is doing:
// the service manager delivers nothing else to the service meanwhile, and at shutdown Windows
// gives services only a few seconds. The one exception is a stop with a spooler debt owed when
// no thread can be created: the handler then pays the debt itself.
inline constexpr unsigned kStopHandlingBoundMs = 100;

// The thread that reports a stop's progress while another thread (`payer`, a thread handle it
// closes) pays the spooler debt: SERVICE_STOP_PENDING with its checkpoint one up every second,
// then SERVICE_STOPPED with why the debt is still owed, within 21 s of the stop. It calls the
// service manager only to report, so a payer blocked in a start request cannot hold the reports
// up, and it ends without a word once the service has stopped otherwise (a shutdown).
DWORD WINAPI ReportStopProgress(LPVOID payer);

// Turns a USB device-interface event into action: arrivals re-open the device and follow the
// printer's port; the printer's removal marks the queue offline.
void OnDeviceEvent(DWORD eventType, LPVOID eventData);
void OnPrinterArrival(WideString path);
void OnPrinterRemoval(WideString path);
