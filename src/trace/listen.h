// Listening on the debug-output channel for the service's lines, shared by kq5trace's capture
// (--out) and its recording (--record). Windows builds only.
#pragma once

#include <windows.h>

#include <string>

#include "common/text.h"
#include "trace/dbwin_channel.h"
#include "trace/record_loop.h"

Stamp LocalStamp();

// The service's process id, or 0 while it does not run (or cannot be asked).
DWORD ServiceProcessId(const std::wstring& name, DWORD& error);

// The listener (ListenLoop) on CHANNEL, with the system's clock and service manager.
void Listen(const DbwinChannel& channel, const std::wstring& service, ListenSink& sink);
