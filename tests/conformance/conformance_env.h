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

// The USB printer's device interface path, as SetupDi lists it.
Text PrinterPath();
void SetPrinterPlugged(bool plugged);
// Returns once the printer, closed by the case, can be opened again.
void AwaitPrinterClosed();

// A running service that takes a second or more to start and to stop; its name.
const char* MakeSlowService();
// A running service that depends on the slow service.
void AddRunningDependent();

}  // namespace conformance
