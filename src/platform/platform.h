// The one door to Windows. System code includes this header and calls Win32 by its own names.
// On Windows it brings in the SDK; on the host it declares the same subset, implemented by the
// simulated Windows in sim/.
#pragma once

#ifdef _WIN32

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winspool.h>
#include <setupapi.h>
#include <dbt.h>
#include <initguid.h>
#include <usbiodef.h>

// A wide string literal of the platform's WCHAR.
#define WSTR(s) L##s

#else

#include "sim/win32.h"

#define WSTR(s) u##s

#endif
