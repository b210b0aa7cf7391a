// kq5trace --record FOLDER: the service's debugger lines for days, unattended, one file per local
// day. Windows builds only: the Win32 calls around the recording's loop (record_loop.h); the
// files' policy is in tracelog/retention.h and recorder.h.
#pragma once

#include <windows.h>

#include <string>

#include "judge/judge.h"
#include "tracelog/retention.h"

struct RecordOptions {
    std::wstring folder;
    std::wstring service = L"kq5";
    RecordLimits limits;
    double seconds = -1;   // stop after this long; below 0: until Ctrl+C or the end of the task
    bool session = false;  // this session's channel instead of the global one
    const char* version = "0";
    Thresholds thresholds;  // --alert-after: when a condition is worth a Windows event
};

// Records until STOP is set or the time is up. Exit codes: 0 done; 1 the files cannot be written
// (what was written stays); 2 the channel cannot be had for a reason waiting does not cure.
int RunRecord(const RecordOptions& options, const volatile LONG& stop);
