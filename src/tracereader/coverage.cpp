// The service's processes and the stretches of a trace without a line of the service.
#include "tracereader/coverage.h"

#include <algorithm>

void Coverage::Line(uint64_t atMs, unsigned long pid) {
    if (!haveLine ? atMs > silentMs : atMs - lastLineMs > silentMs) {
        uncovered.push_back(
            Uncovered{haveLine ? lastLineMs : 0, atMs, haveLine && processes[current].ended});
    }
    haveLine = true;
    lastLineMs = std::max(lastLineMs, atMs);
    // The latest process of that id that has not ended (an id is used again only after its
    // process ended).
    for (size_t i = processes.size(); i-- > 0;) {
        if (processes[i].pid == pid && !processes[i].ended) {
            processes[i].lastMs = atMs;
            current = i;
            return;
        }
    }
    processes.push_back(ServiceProcess{pid, atMs, atMs, false, 0});
    current = processes.size() - 1;
}

void Coverage::Ended(uint64_t atMs, unsigned long pid, long long lastError) {
    Line(atMs, pid);
    processes[current].ended = true;
    processes[current].lastError = lastError;
}

void Coverage::Finish(uint64_t endMs) {
    if (!haveLine) {
        uncovered.push_back(Uncovered{0, endMs, false, true});
    } else if (endMs > lastLineMs + silentMs) {
        uncovered.push_back(Uncovered{lastLineMs, endMs, processes[current].ended, true});
    }
}
