// The recording's Windows events: what the recording hears (the service's lines, its notes) and
// says (another viewer on the channel, a recording that stopped) goes through the judge, and each
// event it gives is raised through RecordSystem::raise, as it happens: the clock's ticks while no
// line comes raise a condition at its threshold, not at the next line.
#pragma once

#include <string>

#include "judge/judge.h"
#include "trace/record_loop.h"

struct RecordJudge {
    Judge judge;
    std::string owedNote;          // a failure to raise, for the record at the next entry written
    bool thresholdsNoted = false;  // the thresholds' note is in the record
};

// SYSTEM with the judge between the recording and the system: Record(plan, JudgedSystem(...)).
// JUDGE lives as long as the recording.
RecordSystem JudgedSystem(const RecordSystem& system, RecordJudge& judge);
