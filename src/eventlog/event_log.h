// Raising kq5's Windows events: the source "kq5" registered once, each event reported with its
// five insertion strings, the source given back at the end. A failure never stops the caller:
// the event waits and is tried again with the next one (and at the end), and the first failure
// is said once, for the record.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <string>

#include "judge/judge.h"
#include "platform/platform.h"

struct PendingEvent {
    unsigned long id = 0;
    WORD type = 0;                       // EVENTLOG_ERROR_TYPE, ...
    std::array<std::string, 5> strings;  // UTF-8
};

struct EventLog {
    HANDLE source = nullptr;
    std::deque<PendingEvent> pending;  // not reported yet, oldest first
    uint64_t dropped = 0;              // events given up: more than kPendingEvents waited
    bool told = false;                 // the first failure was said
};

// The events that wait for the event log at most; past it the oldest is given up.
inline constexpr size_t kPendingEvents = 64;

// Queues EVENT and reports every waiting event, registering the source first if needed. A failed
// registration or report leaves the rest waiting (a failed report also gives the source back: a
// source whose EventLog service restarted does not answer again). Returns the words for the
// record the first time anything failed, else empty.
std::string RaiseEvent(EventLog& log, PendingEvent event);
// The judge's EVENT as it is reported: its ID, its type (EVENTLOG_ERROR_TYPE, ...), its strings.
PendingEvent PendingOf(const JudgedEvent& event);
// Tries the waiting events once more, then gives the source back. Returns the words for the
// record when events are left unreported, else empty.
std::string EndEventLog(EventLog& log);
