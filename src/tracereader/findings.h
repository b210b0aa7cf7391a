// Lines to findings: what the service's lines say, in plain words, held as the trace streams by
// (counts, the first few of each kind, buckets for the picture), never the whole trace.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "tracereader/clock.h"
#include "tracereader/coverage.h"
#include "tracereader/layout.h"
#include "tracereader/picture.h"
#include "tracereader/timeline.h"

// What a finding is about; the text, the report and the tests tell findings apart by it.
enum class FindingKind {
    NoServiceLine,
    LinesRead,
    FilesRead,
    FilesSkipped,
    LinesBefore,
    OtherProcesses,
    KernelLines,
    LinesSkipped,
    LastLineCut,
    ClockBack,
    StatusPace,
    NoGap,
    Gaps,
    StatusChanges,
    TimeInStatus,
    PrinterNeverFound,
    OpenFailed,
    RegistryFailed,
    RecordUnread,
    Restart,
    ServiceEnded,
    NoEnd,
};

// How serious a finding is: the most serious come first in a report, the rest in time order.
enum class Severity {
    Blocking = 0,  // no line of the service, or the Spooler down: nothing else can be told
    NoPrinter = 1,
    ServiceEnded = 2,
    Gaps = 3,
    Ordinary = 9,
};

// One finding, kept as a record until it is written: its words and its detail, without the
// indentation or the markup that the text and the report give them.
struct TraceFinding {
    FindingKind kind = FindingKind::LinesRead;
    Severity severity = Severity::Ordinary;
    uint64_t atMs = 0;
    std::string file;       // the line's file in a record folder; empty for a single file
    size_t lineNumber = 0;  // the log's line the finding is about; 0: none
    std::string says;
    std::vector<std::string> detail;
    std::string more;  // what the detail leaves out, summed up; empty: nothing
};

inline TraceFinding MakeFinding(FindingKind kind, uint64_t atMs, std::string says,
                                Severity severity = Severity::Ordinary) {
    TraceFinding f;
    f.kind = kind;
    f.severity = severity;
    f.atMs = atMs;
    f.says = std::move(says);
    return f;
}

// Ticks over time in at most 2 x kColumns buckets: when the trace outgrows them, each bucket
// takes twice the time and neighbours merge, so the picture's cost does not grow with the trace.
struct Buckets {
    uint64_t widthMs = 100;
    // By bucket: the first line's time, and the lines it holds for the title.
    std::map<uint64_t, std::pair<uint64_t, std::string>> ticks;
    std::map<uint64_t, size_t> counts;
    void Add(uint64_t atMs, const std::string& line);
};

// The trace's time-keeping: each line's time since the first, across a day's rollover and a
// clock set back.
struct TraceTime {
    bool haveStart = false;
    long long startMs = 0;     // the first line's time (kq5trace: UTC; DebugView: as written)
    long long previousMs = 0;  // the previous line's time, as written
    long long shiftMs = 0;     // added after a day's rollover or a clock set back
    uint64_t lastRelMs = 0;
    std::vector<TraceFinding> clockBack;  // the first few
    // WRITTENMS since the first line; a clock of the time of day only rolls over at midnight.
    // FILE and NUMBER name the line in a finding.
    uint64_t Relative(long long writtenMs, bool timeOfDay, const std::string& file, size_t number);
};

// How the trace was read: its lines by kind, and what was skipped.
struct ReadAccount {
    size_t lines = 0, serviceLines = 0, otherProcessLines = 0, kernelLines = 0;
    std::vector<unsigned long> servicePids;
    std::vector<std::string> before;  // lines before the first log line, named
    std::map<std::string, std::pair<size_t, std::string>> skipped;  // why -> count, first lines
    std::vector<std::string> cut;                                   // files whose end was cut
};

// The status lines: their pace, gaps, the changes of code and the time in each.
struct StatusStats {
    explicit StatusStats(const TraceClock& clockOf) : clock(clockOf), changeTimes(clockOf) {}
    const TraceClock& clock;
    DatedTimes changeTimes;
    size_t lines = 0;
    bool have = false;
    size_t process = 0;  // the process of the last status line
    uint64_t firstMs = 0;
    uint64_t lastMs = 0;
    int code = 0;
    uint64_t codeSinceMs = 0;
    size_t codeLines = 0;
    std::vector<std::string> changes;
    size_t moreChanges = 0;
    std::map<int, uint64_t> timeInCode;
    // The times between two status lines of one process, by 10 ms: the cycles take a few
    // hundred keys, each gap one at most.
    std::map<uint64_t, size_t> intervals;
    std::vector<std::string> gaps;
    uint64_t firstGapMs = 0;
    size_t moreGaps = 0;
    uint64_t longestGapMs = 0;
    // The current code's time up to UNTILMS.
    void EndCode(uint64_t untilMs);
    // A status line of process OFPROCESS with STATUSCODE at ATMS; true when its code is new.
    // SILENTMS is the longest time between two lines that is no gap.
    bool Add(uint64_t atMs, int statusCode, size_t ofProcess, uint64_t silentMs);
    // The time since the last status line to ATMS, a gap when longer than SILENTMS.
    void Gap(uint64_t atMs, uint64_t silentMs);
    TraceFinding PaceFinding(bool wholeSeconds) const;
    void Findings(std::vector<TraceFinding>& out, bool wholeSeconds);
};

// The errors the service reported, counted with the first time of each.
struct ErrorTallies {
    std::map<unsigned long, std::pair<size_t, uint64_t>> openErrors;  // count, first
    std::map<long, std::pair<size_t, uint64_t>> registryErrors;       // count, first
    size_t discoveryLines = 0;
    std::string mainErrorText;  // the last " MainError:" line
    size_t readFailures = 0;
    uint64_t firstReadFailureMs = 0;
    void Findings(std::vector<TraceFinding>& out, const TraceClock& clock) const;
};

// The picture as the lines draw it, and what it knows of the printer and the Spooler.
struct TraceDrawing {
    Picture picture;
    Buckets buckets;
    bool spoolerKnown = false;  // a line has said whether the Spooler answers since the last
                                // stretch without lines
    bool printerKnown = false;  // as for the Spooler: a status line has drawn the printer
    bool openFailedThisCycle = false;
    bool spoolerDown = false;
    // The printer's new CODE, and the queue as the service commanded it.
    void Commanded(uint64_t atMs, int code);
    void SpoolerAnswered(uint64_t atMs, int code);
    void OpenFailed(uint64_t atMs, unsigned long code);
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
    void Known(uint64_t atMs);
    void ReadFindings(std::vector<TraceFinding>& out) const;
    void ProcessFindings(std::vector<TraceFinding>& out) const;
    TraceFinding NoServiceLine() const;

    TimelineFolder folder_;
    std::string file_;
    Layout layout_ = Layout::Unknown;
    bool wholeSeconds_ = false;  // some file's clock has whole seconds only
    // The local clock where the trace carries it, the processes and what no line covers.
    TraceClock clock_;
    Coverage coverage_{1600};  // two cycles of 800 ms; FileLayout sets it for the clock
    std::string serviceNote_;  // kq5trace's last note of the service's state

    TraceTime time_;
    ReadAccount read_;
    StatusStats status_{clock_};
    ErrorTallies errors_;
    TraceDrawing drawing_;
};

// "Findings:" and every finding's lines, indented, in the order found.
std::string FormatFindings(const std::vector<TraceFinding>& findings);
// A finding's first line as words: what it says, after the log's line it is about.
std::string FindingHeadline(const TraceFinding& finding);
