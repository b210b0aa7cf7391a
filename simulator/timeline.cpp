// The simulator's report: the timeline in simulated time, then the queue's final state.
#include <cstdio>

#include "scenario.h"

namespace {

std::string Seconds(uint64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%4llu.%03llus", static_cast<unsigned long long>(ms / 1000),
                  static_cast<unsigned long long>(ms % 1000));
    return text;
}

std::string Line(const sim::TimelineEvent& e) {
    char source[12];
    std::snprintf(source, sizeof source, "%-8s", e.source.c_str());
    return Seconds(e.timeMs) + "  " + source + " " + e.text + "\n";
}

std::string SpoolerStateName(DWORD state) {
    switch (state) {
        case SERVICE_RUNNING:
            return "running";
        case SERVICE_STOPPED:
            return "stopped";
        case SERVICE_STOP_PENDING:
            return "stopping";
        case SERVICE_START_PENDING:
            return "starting";
        default:
            return std::to_string(state);
    }
}

// How many copies of the `length` events at `at` follow them directly.
size_t Copies(const std::vector<sim::TimelineEvent>& events, size_t at, size_t length) {
    size_t copies = 0;
    for (size_t next = at + length; next + length <= events.size(); next += length, ++copies) {
        for (size_t k = 0; k < length; ++k) {
            if (events[next + k].source != events[at + k].source ||
                events[next + k].text != events[at + k].text) {
                return copies;
            }
        }
    }
    return copies;
}

}  // namespace

std::string FormatTimeline(const ScenarioResult& result) {
    // Repeats fold: an identical line (the poller's line every 800 ms) or an identical group of
    // lines (a failed open with its message, then the status line, each cycle) is printed once.
    constexpr size_t kLongestGroup = 8;
    std::string out;
    const auto& events = result.timeline;
    for (size_t i = 0; i < events.size();) {
        size_t length = 1;
        size_t copies = 0;
        for (size_t n = 1; n <= kLongestGroup && i + 2 * n <= events.size(); ++n) {
            const size_t c = Copies(events, i, n);
            if (c * n > copies * length) {
                length = n;
                copies = c;
            }
        }
        for (size_t k = 0; k < length && i + k < events.size(); ++k) {
            out += Line(events[i + k]);
        }
        const std::string last = Seconds(events[i + copies * length].timeMs);
        if (copies > 0 && length == 1) {
            out += "           ... " + std::to_string(copies) + " more, the last at " + last + "\n";
        } else if (copies > 0) {
            out += "           ... these " + std::to_string(length) + " lines " +
                   std::to_string(copies) + (copies == 1 ? " more time" : " more times") +
                   ", the last at " + last + "\n";
        }
        i += (copies + 1) * length;
    }
    out += "\nFinal state:\n";
    if (!result.queue.exists) {
        out += "  queue \"Korvane-Q5\": absent\n";
    } else {
        char status[16];
        std::snprintf(status, sizeof status, "0x%08X", static_cast<unsigned>(result.queue.status));
        out +=
            "  queue \"Korvane-Q5\": " + std::string(result.queue.paused ? "paused" : "resumed") +
            ", status " + status + ", port " +
            (result.queue.nullPort ? std::string("(none)") : sim::Narrow(result.queue.port)) + "\n";
    }
    out += "  spooler: " + SpoolerStateName(result.spoolerState) + "\n";
    out += "  exit code: " + std::to_string(result.exitCode) + "\n";
    const std::string held = Seconds(result.longestControlMs);
    out += "  longest control handling: " + held.substr(held.find_first_not_of(' ')) + "\n";
    const std::string stop = Seconds(result.longestStopMs);
    out +=
        "  longest stop or shutdown handling: " + stop.substr(stop.find_first_not_of(' ')) + "\n";
    std::string handles;
    for (const std::string& h : result.openHandles) {
        handles += (handles.empty() ? "" : ", ") + h;
    }
    out += "  handles still open: " + (handles.empty() ? std::string("none") : handles) + "\n";
    return out;
}

// ---- The same folding, line by line, for a timeline too long to hold (a captured trace) ----

TimelineFolder::TimelineFolder(std::function<void(const std::string&)> write)
    : write_(std::move(write)) {}

const sim::TimelineEvent& TimelineFolder::At(size_t offset) const {
    if (offset < first_.size()) {
        return first_[offset];
    }
    return tail_[offset - tailStart_];
}

// Add and Decide call each other: a decision re-adds the lines it held back (fewer than
// 4 * kLongest), so the depth stays small.
void TimelineFolder::Add(const sim::TimelineEvent& event) {  // NOLINT(misc-no-recursion)
    if (count_ < kLongest) {
        first_.push_back(event);
    }
    tail_.push_back(event);
    if (tail_.size() > 4 * kLongest) {
        tail_.pop_front();
        ++tailStart_;
    }
    const size_t k = count_++;
    bool anyAlive = false;
    for (size_t n = 1; n <= kLongest; ++n) {
        Run& run = runs_[n - 1];
        if (!run.alive || k < n) {
            anyAlive = anyAlive || run.alive;
            continue;
        }
        const sim::TimelineEvent& model = first_[(k - n) % n];
        if (model.source != event.source || model.text != event.text) {
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

void TimelineFolder::Decide() {  // NOLINT(misc-no-recursion): see Add
    size_t length = 1;
    size_t copies = 0;
    uint64_t lastMs = 0;
    for (size_t n = 1; n <= kLongest; ++n) {
        if (runs_[n - 1].copies * n > copies * length) {
            length = n;
            copies = runs_[n - 1].copies;
            lastMs = runs_[n - 1].lastCopyMs;
        }
    }
    std::string out;
    for (size_t k = 0; k < length && k < count_; ++k) {
        out += Line(first_[k]);
    }
    const std::string last = Seconds(lastMs);
    if (copies > 0 && length == 1) {
        out += "           ... " + std::to_string(copies) + " more, the last at " + last + "\n";
    } else if (copies > 0) {
        out += "           ... these " + std::to_string(length) + " lines " +
               std::to_string(copies) + (copies == 1 ? " more time" : " more times") +
               ", the last at " + last + "\n";
    }
    write_(out);
    // What came after the folded lines starts the next decision.
    const size_t used = (copies + 1) * length;
    std::vector<sim::TimelineEvent> again;
    for (size_t k = used; k < count_; ++k) {
        again.push_back(At(k));
    }
    first_.clear();
    tail_.clear();
    tailStart_ = 0;
    count_ = 0;
    runs_ = {};
    for (const sim::TimelineEvent& e : again) {
        Add(e);
    }
}

void TimelineFolder::Finish() {
    while (count_ > 0) {
        Decide();
    }
}
