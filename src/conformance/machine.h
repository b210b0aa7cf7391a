// The machine the conformance facts run on, set up its own way on each side: the simulated
// Windows through its control panel (tests/conformance/machine_sim.cpp); Windows, and Wine, by
// what a program may do there (machine_windows.cpp): queues of its own on local ports it adds,
// registry values under a key of its own, services of its own, and under Wine the virtual USB
// printer. A set-up that cannot be made throws NotPossible, and the fact is not run. The facts
// themselves make only Win32 calls.
#pragma once

#include <string>

#include "common/wide_string.h"
#include "platform/platform.h"

namespace conformance {

using Text = WideString;

// Whether the facts run under Wine, which departs from Windows in the answers the facts name.
bool OnWine();

// The root of the registry keys the facts write; CleanUp removes it.
inline constexpr const char* kTestKey = "SOFTWARE\\kq5-conformance";
// The USB printer's device interface path, as SetupDi lists it (the virtual printer's).
inline const Text kPrinterPath =
    WSTR("\\\\?\\usb#vid_0483&pid_5741#a1b2c3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");

// A machine with the spooler running and nothing the facts made.
void Prepare();
// Takes away whatever the fact made, the last made first.
void CleanUp();

// A queue printing to `port` (a port of its own, which the spooler then lists).
void MakeQueue(const Text& name, const Text& port);
// A port that EnumPortsW lists from now on.
void AddSpoolerPort(const Text& name);
// A REG_SZ value under HKEY_LOCAL_MACHINE, stored with its terminating NUL or without it.
void SetRegistryString(const std::string& key, const std::string& name, const std::string& text,
                       bool withNul = true);

// The USB printer at kPrinterPath, plugged in; NotPossible where there is none to plug.
void NeedPrinter();
void SetPrinterPlugged(bool plugged);
// Returns once the printer, closed by the fact, can be opened again.
void AwaitPrinterClosed();

// A running service that takes a second or more to start and to stop; its name.
const char* MakeSlowService();
// A running service that depends on the slow service.
void AddRunningDependent();

// The service opened with all access; the manager's handle is closed already.
inline SC_HANDLE OpenServiceByName(const char* name) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    SC_HANDLE service = OpenServiceA(manager, name, SERVICE_ALL_ACCESS);
    CloseServiceHandle(manager);
    return service;
}

inline DWORD StateOf(SC_HANDLE service) {
    SERVICE_STATUS status = {};
    return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

// Polls until the service reaches `state`; in the simulation, simulated time passes.
inline bool AwaitState(SC_HANDLE service, DWORD state) {
    for (int i = 0; i < 200 && StateOf(service) != state; ++i) {
        Sleep(50);
    }
    return StateOf(service) == state;
}

}  // namespace conformance
