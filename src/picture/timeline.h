// The readable timeline: one line per event, with repeats folded. The simulator's runs and
// captured traces of any length are both printed through it.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "events/events.h"

// "  20.000s  debug    text": one event as a timeline line (no line end).
std::string FormatTimelineLine(const TimelineEvent& event);

// "   20.000s", the time column (right-aligned, milliseconds).
std::string TimelineSeconds(uint64_t ms);
// "20.000 s": a time in a finding or a picture's hover text.
std::string SecondsText(uint64_t ms);

// Folds a timeline given line by line: an identical line (the poller's line every 800 ms) or an
// identical group of up to eight lines (a failed open with its message, then the status line,
// each cycle) is written once with a count. Holds at most a few dozen lines and writes each
// line (without its line end) as soon as it is decided.
struct TraceClock;

class TimelineFolder {
public:
    explicit TimelineFolder(std::function<void(const std::string&)> write);
    void Add(const TimelineEvent& event);
    void Finish();  // writes what is still pending
    // Times as the local clock's time of day, after a line with the date wherever it changes,
    // once CLOCK knows the clock (it must outlive the folder).
    void UseClock(const TraceClock* clock) { clock_ = clock; }

private:
    static constexpr size_t kLongest = 8;  // the longest group folded
    struct Run {
        bool alive = true;
        size_t copies = 0;
        uint64_t copyStartMs = 0;
        uint64_t lastCopyMs = 0;
    };
    const TimelineEvent& At(size_t offset) const;
    void Decide();
    void WriteLine(const TimelineEvent& event);
    std::string NoteTime(uint64_t ms);
    const TraceClock* clock_ = nullptr;
    std::string lastDate_;  // the date of the last time written
    std::function<void(const std::string&)> write_;
    std::vector<TimelineEvent> first_;  // the first group's lines
    std::deque<TimelineEvent> tail_;    // the latest lines, for what follows a fold
    size_t tailStart_ = 0;              // the offset of tail_'s first line
    size_t count_ = 0;                  // lines since the last decision
    std::array<Run, kLongest> runs_{};
};

// The line (no line end) that stands for the COPIES (none: "") of a group of LENGTH lines printed
// once, the last of them at LAST.
std::string FoldNote(size_t length, size_t copies, const std::string& last);

// LINES as text, each line ended.
std::string TimelineText(const std::vector<std::string>& lines);

// The whole timeline of EVENTS, folded, each line ended.
std::string FoldTimeline(const std::vector<TimelineEvent>& events);
