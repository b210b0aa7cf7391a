// The timeline's lines and their folding.
#include "picture/timeline.h"

#include <algorithm>

#include "common/text.h"
#include "tracereader/clock.h"

std::string TimelineSeconds(uint64_t ms) {
    const std::string seconds = MsAsSeconds(ms);  // at least 4 digits before the point, aligned
    return std::string(seconds.size() < 8 ? 8 - seconds.size() : 0, ' ') + seconds + "s";
}

std::string SecondsText(uint64_t ms) {
    return MsAsSeconds(ms) + " s";
}

namespace {

std::string SourceAndText(const TimelineEvent& e) {
    std::string source = EventSource(e);
    source.resize(std::max<size_t>(source.size(), 8), ' ');  // a column 8 wide, longer ones whole
    return source + " " + EventText(e);
}

}  // namespace

std::string FormatTimelineLine(const TimelineEvent& e) {
    return TimelineSeconds(e.timeMs) + "  " + SourceAndText(e);
}

// A time in a fold's note: the seconds since the first line, or the clock time, with the date
// before it where it changes.
std::string TimelineFolder::NoteTime(uint64_t ms) {
    if (clock_ == nullptr || !clock_->Known()) {
        return TimelineSeconds(ms);
    }
    const long long local = clock_->LocalAt(ms);
    const std::string date = DateText(clock_->kind, local);
    std::string time = TimeOfDayText(local, true);
    if (date == lastDate_) {
        return time;
    }
    lastDate_ = date;
    return date + " " + time;
}

// E's line, with the seconds since the first line or the clock time, after a line of its own
// with the date where it changes.
void TimelineFolder::WriteLine(const TimelineEvent& e) {
    if (clock_ == nullptr || !clock_->Known()) {
        write_(FormatTimelineLine(e));
        return;
    }
    const long long local = clock_->LocalAt(e.timeMs);
    const std::string date = DateText(clock_->kind, local);
    if (date != lastDate_) {
        lastDate_ = date;
        write_("-- " + date + " --");
    }
    write_("  " + TimeOfDayText(local, true) + "  " + SourceAndText(e));
}

TimelineFolder::TimelineFolder(std::function<void(const std::string&)> write)
    : write_(std::move(write)) {}

const TimelineEvent& TimelineFolder::At(size_t offset) const {
    if (offset < first_.size()) {
        return first_[offset];
    }
    return tail_[offset - tailStart_];
}

// Add and Decide call each other: a decision re-adds the lines it held back (fewer than
// 4 * kLongest), so the depth stays small.
void TimelineFolder::Add(const TimelineEvent& event) {  // NOLINT(misc-no-recursion)
    if (count_ < kLongest) {
        first_.push_back(event);
    }
    tail_.push_back(event);
    if (tail_.size() > 4 * kLongest) {
        tail_.pop_front();
        ++tailStart_;
    }
    const size_t k = count_++;
    const std::string source = EventSource(event);
    const std::string text = EventText(event);
    bool anyAlive = false;
    for (size_t n = 1; n <= kLongest; ++n) {
        Run& run = runs_[n - 1];
        if (!run.alive || k < n) {
            anyAlive = anyAlive || run.alive;
            continue;
        }
        const TimelineEvent& model = first_[(k - n) % n];
        if (EventText(model) != text || EventSource(model) != source) {
            run.alive = false;
            continue;
        }
        anyAlive = true;
        if ((k - n) % n == 0) {
            run.copyStartMs = event.timeMs;
        }
        if ((k - n + 1) % n == 0) {
            ++run.copies;
            run.lastCopyMs = run.copyStartMs;
        }
    }
    if (!anyAlive) {
        Decide();
    }
}

std::string FoldNote(size_t length, size_t copies, const std::string& last) {
    if (copies == 0) {
        return "";
    }
    if (length == 1) {
        return "           ... " + std::to_string(copies) + " more, the last at " + last;
    }
    return "           ... these " + std::to_string(length) + " lines " + std::to_string(copies) +
           (copies == 1 ? " more time" : " more times") + ", the last at " + last;
}

void TimelineFolder::Decide() {  // NOLINT(misc-no-recursion): see Add
    // The group that hides the most lines wins; among equals the shortest. A group longer than
    // one line wins only with copies, so all its lines have come.
    size_t length = 1;
    size_t copies = 0;
    for (size_t n = 1; n <= kLongest; ++n) {
        if (runs_[n - 1].copies * n > copies * length) {
            length = n;
            copies = runs_[n - 1].copies;
        }
    }
    for (size_t k = 0; k < length; ++k) {
        WriteLine(first_[k]);
    }
    if (copies > 0) {
        write_(FoldNote(length, copies, NoteTime(runs_[length - 1].lastCopyMs)));
    }
    // What came after the folded lines starts the next decision.
    const size_t used = (copies + 1) * length;
    std::vector<TimelineEvent> again;
    for (size_t k = used; k < count_; ++k) {
        again.push_back(At(k));
    }
    first_.clear();
    tail_.clear();
    tailStart_ = 0;
    count_ = 0;
    runs_ = {};
    for (const TimelineEvent& e : again) {
        Add(e);
    }
}

void TimelineFolder::Finish() {
    while (count_ > 0) {
        Decide();
    }
}

std::string TimelineText(const std::vector<std::string>& lines) {
    std::string out;
    for (const std::string& line : lines) {
        out += line + "\n";
    }
    return out;
}

std::string FoldTimeline(const std::vector<TimelineEvent>& events) {
    std::string out;
    TimelineFolder folder([&out](const std::string& line) { out += line + "\n"; });
    for (const TimelineEvent& e : events) {
        folder.Add(e);
    }
    folder.Finish();
    return out;
}
