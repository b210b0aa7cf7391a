#include "tracereader/error_tally.h"

#include <cstdio>

#include "events/events.h"

namespace {

std::string OpenErrorMeaning(unsigned long code) {
    switch (code) {
        case 0x709:
            return "there is no queue \"Korvane-Q5\"";
        case 0x5:
            return "access denied: the service may not open the queue with full access";
        case 0x6ba:
            return "the Spooler is not running (RPC server unavailable)";
        default:
            return "see the Win32 error list";
    }
}

std::string RegistryMeaning(long code) {
    switch (code) {
        case 2:
            return "a registry value is missing (a port without \"Device Id\", a device without "
                   "\"Port Description\")";
        case 234:
            return "a port description longer than the service can read (199 characters)";
        default:
            return "the registry read failed";
    }
}

// One more of KEY, and the time of the first.
template <typename Key>
void Tally(std::map<Key, std::pair<size_t, uint64_t>>& tally, Key key, uint64_t atMs) {
    auto& [count, first] = tally[key];
    if (count++ == 0) {
        first = atMs;
    }
}

}  // namespace

void ErrorTallies::OpenError(uint64_t atMs, unsigned long code) {
    Tally(openErrors, code, atMs);
}

void ErrorTallies::RegistryError(uint64_t atMs, long code) {
    Tally(registryErrors, code, atMs);
}

void ErrorTallies::ReadFailure(uint64_t atMs) {
    if (readFailures++ == 0) {
        firstReadFailureMs = atMs;
    }
}

// The queue's open errors, the registry's and the failed reads of the queue's record.
void ErrorTallies::Findings(std::vector<TraceFinding>& out, const TraceClock& clock) const {
    for (const auto& [code, what] : openErrors) {
        char hex[24];  // "0x" and up to 16 digits: a damaged line may hold any code
        std::snprintf(hex, sizeof hex, "0x%lx", code);
        out.push_back(MakeFinding(
            FindingKind::OpenFailed, what.second,
            "the queue could not be opened " + Counted(what.first, "time") + " with " + hex +
                ", the first at " + DatedTimes(clock).At(what.second) + ": " +
                OpenErrorMeaning(code),
            code == kErrorRpcServerUnavailable ? Severity::Blocking : Severity::Ordinary));
    }
    for (const auto& [code, what] : registryErrors) {
        out.push_back(MakeFinding(FindingKind::RegistryFailed, what.second,
                                  Counted(what.first, "registry read") +
                                      " failed with GetLastError:" + std::to_string(code) + ": " +
                                      RegistryMeaning(code)));
    }
    if (readFailures > 0) {
        out.push_back(
            MakeFinding(FindingKind::RecordUnread, firstReadFailureMs,
                        "the queue's record could not be read " + Counted(readFailures, "time")));
    }
}
