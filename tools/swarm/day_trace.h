// A swarm day as kq5trace would have recorded it, and the simulation's own record of that day:
// the trace reader is judged by how well its findings and its picture of the trace agree with
// what the machine did (reader_oracle.cpp).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "events/events.h"

// One state of a machine's part from `atMs` on (until the next one): a status code, a pause, a
// running service; `known` false where the day does not say (the printer absent).
struct TruthChange {
    uint64_t atMs = 0;
    int value = 0;
    bool known = true;
};
using Truth = std::vector<TruthChange>;  // in time order

// A stretch [fromMs, toMs) in which kq5trace did not listen, and how the trace says so.
struct Unheard {
    uint64_t fromMs = 0, toMs = 0;
    bool viewer = false;  // another viewer held the channel; else the recording stopped
};

// What the machine did over the day, in the simulation's time (the trace's first line at 0).
struct DayTruth {
    uint64_t endMs = 0;
    Truth printer;  // the printer's status code; unknown while it is absent
    Truth spooler;  // 1 while the Spooler runs
    Truth queue;    // 1 while the queue is paused
    Truth service;  // 1 while a process of kq5 runs
    std::vector<Unheard> unheard;
    std::vector<uint64_t> faultsMs;  // injected call failures: what a line says may be a fault's
    std::vector<uint64_t> linesMs;   // the service's lines the trace holds
};

// The machine's state at ATMS.
const TruthChange& StateAt(const Truth& truth, uint64_t atMs);
// Whether kq5trace listened at ATMS.
bool Heard(const DayTruth& day, uint64_t atMs);

// A day file of a record folder: its name and its text.
struct DayFile {
    std::string name, text;
};

struct DayTrace {
    std::string text;  // the trace, in kq5trace's own format
    // In half the days, the same lines as a record folder holds them, a file each local day:
    // the day is read as that folder.
    std::vector<DayFile> files;
    DayTruth truth;
    std::string error;  // the simulation's record could not be read; empty: none
};

// The day of SEED (a swarm scenario of MINUTES, without the scripted frames a read returns once,
// which the machine's record of the printer does not hold), run in the simulated Windows and
// recorded with damage drawn from the seed: stretches in which the recorder stopped or another
// viewer held the channel, the clock's offset from UTC changing in the middle, and in half the
// days a file for each local day.
DayTrace RecordDay(uint64_t seed, int minutes);
