// What kq5trace --record would raise as it recorded a log's lines as they came: the recording's
// own judge (trace/record_events.h) fed the log again, line by line, on a clock set to each
// line's time and ticking each second between them. The check that the reader's report of a
// trace and the events raised while it was written tell the same story.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <utility>
#include <vector>

#include "judge/judge.h"

// Each event with the recording's clock when it was raised (ms since the log's first time).
std::vector<std::pair<uint64_t, JudgedEvent>> RecordedEvents(std::istream& log);

// "ID CONDITION begins|ends TYPE | %1 | %2 | %3 | %4" (and " | %5" WITHWHERE), a line.
std::string EventLine(const JudgedEvent& e, bool withWhere);
