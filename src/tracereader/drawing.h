// Drawing a trace: the picture's lanes as the lines tell them, and ticks for the lines.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "picture/picture.h"
#include "tracereader/clock.h"

// Ticks over time in at most 2 x kColumns buckets: when the trace outgrows them, each bucket
// takes twice the time and neighbours merge, so the picture's cost does not grow with the trace.
struct Buckets {
    uint64_t widthMs = 100;
    // By bucket: the first line's time, and the lines it holds for the title.
    std::map<uint64_t, std::pair<uint64_t, std::string>> ticks;
    std::map<uint64_t, size_t> counts;
    void Add(uint64_t atMs, const std::string& line);
};

// The picture as the lines draw it, and what it knows of the printer and the Spooler.
struct TraceDrawing {
    Picture picture;
    Buckets buckets;
    bool spoolerKnown = false;  // a line has said whether the Spooler answers since the last
                                // stretch without lines
    bool printerKnown = false;  // as for the Spooler: a status line has drawn the printer
    bool queueKnown = false;    // a command drawn since the last stretch or queue read
    bool openFailedThisCycle = false;
    // When a line last told of each lane: a later line unsays it no earlier than just after.
    enum Told { kPrinter, kQueue, kSpooler };
    uint64_t told[3] = {0, 0, 0};
    bool spoolerDown = false;
    // The printer's new CODE, and the queue as the service commanded it.
    void Commanded(uint64_t atMs, int code);
    // A status line with CODE; WHOLECYCLE: the line before it came within the same cycle's
    // reach, so no open error of this cycle can have gone unseen.
    void SpoolerAnswered(uint64_t atMs, int code, bool wholeCycle);
    void OpenFailed(uint64_t atMs, unsigned long code);
    // An arrival read the queue ("GetPrinterHandle"): a port move may follow and resume the queue
    // without a line, so the command drawn no longer holds.
    void QueueRead(uint64_t atMs);
    // From ATMS the printer was not read: nothing drawn of it, the queue or the Spooler holds.
    void StatusesStopped(uint64_t atMs);
    // The service's process ended at ATMS (" MainError:"): the printer and the Spooler are unknown.
    void ProcessEnded(uint64_t atMs);
    void Unsay(uint64_t atMs, Told lane, const std::string& why);
    // The picture of a trace read as LAYOUTNAME, ending at ENDMS, with its CLOCK and the
    // stretches no line of the service covers.
    Picture Draw(const std::string& layoutName, uint64_t endMs, const TraceClock& clock,
                 const std::vector<Uncovered>& uncovered) const;
};
