// The errors the service reported, tallied for the findings.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tracereader/clock.h"
#include "tracereader/finding.h"

// The errors the service reported, counted with the first time of each.
struct ErrorTallies {
    std::map<unsigned long, std::pair<size_t, uint64_t>> openErrors;  // count, first
    std::map<long, std::pair<size_t, uint64_t>> registryErrors;       // count, first
    size_t discoveryLines = 0;
    std::string mainErrorText;  // the last " MainError:" line
    size_t readFailures = 0;
    uint64_t firstReadFailureMs = 0;
    void OpenError(uint64_t atMs, unsigned long code);
    void RegistryError(uint64_t atMs, long code);
    void ReadFailure(uint64_t atMs);
    void Findings(std::vector<TraceFinding>& out, const TraceClock& clock) const;
};
