// Listening on the debug-output channel for the service's lines, shared by kq5trace's capture
// (--out) and its recording (--record). Windows builds only.
#pragma once

#include <windows.h>

#include <cstdint>
#include <functional>
#include <string>

#include "trace/dbwin_channel.h"
#include "trace/recorder.h"

struct Stamp {
    LocalDate date;
    std::string text;  // "2026-12-07 09:15:02.345 +01:00": local time, milliseconds, UTC offset
};

Stamp LocalStamp();

// The service's process id, or 0 while it does not run (or cannot be asked).
DWORD ServiceProcessId(const std::wstring& name, DWORD& error);

// Wide text as ASCII for messages ('?' for anything else).
std::string Narrow(const std::wstring& text);

struct ListenSink {
    // Called with each line of the service and each note on its process, in file order.
    std::function<void(Entry)> write;
    // Asked before each wait for a line, with the service's process as last answered (0: not
    // running); false ends the listening.
    std::function<bool(std::uint32_t pid)> goOn;
};

// Hands every debugger line of the service's process to the sink, with a note whenever its
// process changes (started again, stopped). The service manager is asked at most once a second,
// whatever other programs write; the writer of a line waits only for its copy into memory.
void Listen(const DbwinChannel& channel, const std::wstring& service, ListenSink& sink);
