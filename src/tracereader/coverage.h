// What a trace covers: the service's processes one after another (a process that ends and is
// followed by another is a restart, not a fault), and the stretches in which no line of the
// service came (the capture not running, the service not running or silent), which the picture
// draws as unknown rather than as the state before them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "picture/picture.h"

// One process of the service, from its first line to its last.
struct ServiceProcess {
    unsigned long pid = 0;
    uint64_t firstMs = 0, lastMs = 0;
    bool ended = false;       // its last line was " MainError:N"
    long long lastError = 0;  // N: the last error code when it ended
};

struct Coverage {
    // SILENTMS: the longest time between two lines of the service that is no stretch.
    explicit Coverage(uint64_t silentMsOf) : silentMs(silentMsOf) {}
    // A line of the service by PID at ATMS (in the trace's order); ENDED: its " MainError:N".
    void Line(uint64_t atMs, unsigned long pid);
    void Ended(uint64_t atMs, unsigned long pid, long long lastError);
    // The trace's end at ENDMS: the stretch after the last line, or the whole trace without one.
    void Finish(uint64_t endMs);

    uint64_t silentMs;
    std::vector<ServiceProcess> processes;  // in the order of their first lines
    std::vector<Uncovered> uncovered;       // in time order
    bool haveLine = false;
    uint64_t lastLineMs = 0;
    size_t current = 0;  // the process of the last line
};
