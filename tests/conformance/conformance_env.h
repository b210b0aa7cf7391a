// The machine the conformance cases run on, set up its own way on each side: the simulated
// Windows through its control panel (conformance_env_sim.cpp), or Wine through registry keys, a
// registry-made queue, a service of our own and the virtual USB printer
// (conformance_env_wine.cpp). The cases themselves make only Win32 calls.
#pragma once

#include <string>

#include "platform/platform.h"

namespace conformance {

using Text = std::basic_string<WCHAR>;

// Whether the cases run under Wine, where a case names each answer in which Wine departs from
// Windows and expects Wine's answer there.
#ifdef _WIN32
inline constexpr bool kOnWine = true;
#else
inline constexpr bool kOnWine = false;
#endif

// The root of the registry keys the cases write; CleanUp removes it.
inline constexpr const char* kTestKey = "SOFTWARE\\kq5-conformance";
// The USB printer's device interface path, as SetupDi lists it.
inline const Text kPrinterPath =
    WSTR("\\\\?\\usb#vid_0483&pid_5741#a1b2c3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");

// A machine with the spooler running, the printer plugged in and nothing the cases made.
void Prepare();
// Takes away whatever the case made.
void CleanUp();

// A queue printing to `port`, which the spooler then lists.
void MakeQueue(const Text& name, const Text& port);
// A port that EnumPortsW lists from now on.
void AddSpoolerPort(const Text& name);
// A REG_SZ value under HKEY_LOCAL_MACHINE, stored with its terminating NUL or without it.
void SetRegistryString(const std::string& key, const std::string& name, const std::string& text,
                       bool withNul = true);

void SetPrinterPlugged(bool plugged);
// Returns once the printer, closed by the case, can be opened again.
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
