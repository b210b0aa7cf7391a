#include "recorded_events.h"

#include <algorithm>

#include "trace/record_events.h"
#include "tracelog/format.h"

std::string EventLine(const JudgedEvent& e, bool withWhere) {
    std::string line = std::to_string(e.id) + " " + ConditionName(e.condition) +
                       (e.begins ? " begins " : " ends ") + TypeName(e.type);
    for (size_t i = 0; i < (withWhere ? 5u : 4u); ++i) {
        line += " | " + e.strings[i];
    }
    return line + "\n";
}

std::vector<std::pair<uint64_t, JudgedEvent>> RecordedEvents(std::istream& in) {
    std::vector<LogLine> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(lines.empty() ? ReadHeader(line) : ReadLogLine(line));
    }
    const auto first = std::find_if(lines.begin(), lines.end(), [](auto& l) { return l.timed; });
    if (first == lines.end()) {
        return {};
    }
    const long long base = first->utcMs;
    uint64_t now = 0;
    std::vector<std::pair<uint64_t, JudgedEvent>> raised;
    RecordJudge judge;
    RecordSystem system;
    system.nowMs = [&now] { return now; };
    system.stamp = [] { return Stamp{}; };
    system.raise = [&](const JudgedEvent& e) { return raised.emplace_back(now, e), ""; };
    system.listen = [&](ListenSink& sink) {
        for (const LogLine& line : lines) {
            // A recording started again (its note, or a header later in the file): a new
            // recorder, which heard nothing of the time before.
            const bool restart = line.text.find(kStartedNote) != std::string::npos ||
                                 (line.kind == LogLine::Kind::Header && &line != &lines.front());
            if (restart) {
                judge = RecordJudge{};
            }
            if (line.kind == LogLine::Kind::Damaged || line.kind == LogLine::Kind::Header) {
                continue;
            }
            const auto at = static_cast<uint64_t>(line.utcMs - base);
            while (!restart && now + 1000 < at && at < (1ull << 40)) {  // not a clock set back
                now += 1000;
                sink.goOn(0);  // the clock's ticks while no line comes
            }
            now = at;
            sink.goOn(0);
            const auto kind =
                line.kind == LogLine::Kind::Entry ? Entry::Kind::Line : Entry::Kind::Note;
            // Escaped text escapes as itself.
            sink.write(Entry{kind, {}, "", static_cast<std::uint32_t>(line.pid), line.text});
        }
        sink.goOn(0);
    };
    ListenSink quiet{[](Entry) {}, [](std::uint32_t) { return true; }};
    JudgedSystem(system, judge).listen(quiet);
    return raised;
}
