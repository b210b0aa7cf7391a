// Lines to findings: what the service's lines say, in plain words, held as the trace streams by
// (counts, the first few of each kind, buckets for the picture), never the whole trace. The
// analysis hands each line to the jobs that keep it: the time, the status count, the error
// tally, the drawing and the timeline.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "judge/judge.h"
#include "picture/picture.h"
#include "picture/timeline.h"
#include "tracereader/clock.h"
#include "tracereader/coverage.h"
#include "tracereader/drawing.h"
#include "tracereader/error_tally.h"
#include "tracereader/finding.h"
#include "tracereader/layout.h"
#include "tracereader/status_count.h"
#include "tracereader/trace_time.h"

// How the trace was read: its lines by kind, and what was skipped.
struct ReadAccount {
    size_t lines = 0, serviceLines = 0, otherProcessLines = 0, kernelLines = 0;
    std::vector<unsigned long> servicePids;
    std::vector<std::string> before;  // lines before the first log line, named
    std::map<std::string, std::pair<size_t, std::string>> skipped;  // why -> count, first lines
    std::vector<std::string> cut;                                   // files whose end was cut
};

// What kq5trace's notes say of a stretch without a line of the service: whether it was
// recording. Each is the first such note, with its time; empty: none.
struct StretchNotes {
    std::string listened;    // the first note of a recording going on: the service said nothing
    std::string unrecorded;  // "recording stopped", another viewer holding the channel
    bool started = false;    // a header: the recording started (again) at startedMs
    uint64_t startedMs = 0, unrecordedMs = 0;
    unsigned long fromPid = 0, toPid = 0;  // the processes of the lines either side; 0: none before
    bool inStatusGap = false;  // between two status lines of one process: a gap names it
};

struct TraceAnalysis {
    TraceAnalysis();
    TraceAnalysis(const TraceAnalysis&) = delete;
    TraceAnalysis& operator=(const TraceAnalysis&) = delete;

    // The next file of the trace (LABEL names it in findings; empty for a single file), and its
    // layout once its first log line has told it.
    void BeginFile(const std::string& label);
    void FileLayout(Layout layout, bool wholeSeconds);
    // One line of the file, at line NUMBER.
    void Line(const TraceLine& line, size_t number);
    void Skip(size_t number, const std::string& why);
    void CountLine() { ++read_.lines; }  // a line read but not told apart (cut, too long)
    void Cut();                          // the file's last line has no line end
    void Finish();                       // the end of the trace: the timeline's last folds
    std::vector<TraceFinding> Findings();
    Picture Draw(const std::string& layoutName) const;
    // The events kq5trace --record raises for this trace, by the same judge, in time order.
    const std::vector<JudgedEvent>& Judged() const { return judged_; }

    std::vector<std::string> timeline;  // folded, line by line as it is decided

private:
    std::string Where(size_t number) const;
    void Event(uint64_t atMs, EventDetail detail);
    void Status(uint64_t atMs, int code);
    void ServiceLine(uint64_t atMs, unsigned long pid, const std::string& text, size_t number);
    void Said(uint64_t atMs, const OutputEvent& line);
    void OpenError(uint64_t atMs, unsigned long code);
    uint64_t Relative(long long writtenMs, size_t number);
    void Note(const TraceLine& line, size_t number);
    void StartAfterUnheard(const TraceLine& line, size_t number, uint64_t beforeMs, uint64_t atMs);
    void StatusLinesStopped(uint64_t atMs);
    void Known(uint64_t atMs);
    void ReadFindings(std::vector<TraceFinding>& out) const;
    void ProcessFindings(std::vector<TraceFinding>& out) const;
    void StretchFindings(std::vector<TraceFinding>& out) const;
    void StretchFinding(std::vector<TraceFinding>& out, bool restarts) const;
    std::string StretchText(const Uncovered& stretch, const StretchNotes& notes) const;
    void EndFindings(std::vector<TraceFinding>& out) const;
    void Stretches(size_t before, unsigned long fromPid, unsigned long toPid);
    TraceFinding NoServiceLine() const;
    void Judge(JudgeInput input, size_t number);
    void JudgedFinding(std::vector<TraceFinding>& out) const;

    TimelineFolder folder_;
    std::string file_;
    Layout layout_ = Layout::Unknown;
    bool wholeSeconds_ = false;  // some file's clock has whole seconds only
    // The local clock where the trace carries it, the processes and what no line covers.
    TraceClock clock_;
    Coverage coverage_{1600};  // two cycles of 800 ms; FileLayout sets it for the clock
    std::string serviceNote_;  // kq5trace's last note of the service's state
    StretchNotes pending_;     // the notes since the last line of the service
    std::vector<StretchNotes> stretchNotes_;  // one for each of coverage_.uncovered

    TraceTime time_;
    ReadAccount read_;
    StatusStats status_{clock_};
    ErrorTallies errors_;
    TraceDrawing drawing_;
    ::Judge judge_;
    bool recordingStopped_ = false;  // its note read, and no recording started since
    std::vector<JudgedEvent> judged_;
};
