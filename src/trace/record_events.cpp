#include "trace/record_events.h"

#include <utility>

#include "common/escape.h"
#include "tracelog/format.h"

namespace {

void Raise(const RecordSystem& system, RecordJudge& rj, const JudgeInput& input) {
    for (const JudgedEvent& event : JudgeStep(rj.judge, input)) {
        std::string note = system.raise ? system.raise(event) : "";
        if (!note.empty()) {
            rj.owedNote = std::move(note);
        }
    }
}

// What the recording heard, in the judge's words, resting on the day file it goes to.
JudgeInput InputOf(const Entry& entry, std::uint64_t nowMs) {
    JudgeInput input = entry.kind == Entry::Kind::Line
                           ? LineInput(EscapeBytes(entry.text), true, nowMs)
                           : NoteInput(entry.text, false, nowMs);
    input.where = LineRef{DayFileName(entry.date, 1), 0, entry.stamp};
    return input;
}

// A failure to raise an event is noted in the record once, by the first entry after it.
void WriteOwed(const RecordSystem& system, RecordJudge& rj, ListenSink& sink) {
    if (rj.owedNote.empty()) {
        return;
    }
    const Stamp now = system.stamp();
    sink.write(Entry{Entry::Kind::Note, now.date, now.text, 0, std::move(rj.owedNote)});
    rj.owedNote.clear();
}

}  // namespace

RecordSystem JudgedSystem(const RecordSystem& system, RecordJudge& rj) {
    RecordSystem judged = system;
    judged.listen = [system, &rj](ListenSink& sink) {
        // Thresholds of its own go into the record first, so that its reader judges by them.
        if (const std::string note = ThresholdsNote(rj.judge.thresholds);
            !rj.thresholdsNoted && !note.empty()) {
            const Stamp now = system.stamp();
            sink.write(Entry{Entry::Kind::Note, now.date, now.text, 0, note});
        }
        rj.thresholdsNoted = true;
        ListenSink heard{[&](Entry entry) {
                             const JudgeInput input = InputOf(entry, system.nowMs());
                             sink.write(std::move(entry));
                             Raise(system, rj, input);
                             WriteOwed(system, rj, sink);
                         },
                         [&](std::uint32_t pid) {
                             JudgeInput tick;
                             tick.atMs = system.nowMs();
                             Raise(system, rj, tick);
                             WriteOwed(system, rj, sink);
                             return sink.goOn(pid);
                         }};
        system.listen(heard);
    };
    // Another viewer on the channel, the channel free again, a recording that stopped: what the
    // recording says at the console, it also says to the judge.
    judged.say = [system, &rj](const std::string& text) {
        system.say(text);
        JudgeInput said = NoteInput(text, false, system.nowMs());
        said.where.written = system.stamp().text;
        Raise(system, rj, said);
    };
    // Its stop: the recorder says it no longer listens before it goes.
    judged.ending = [system, &rj](const std::string& note) {
        JudgeInput stop = NoteInput(note, false, system.nowMs());
        stop.where.written = system.stamp().text;
        Raise(system, rj, stop);
    };
    return judged;
}
