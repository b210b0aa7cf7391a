// Lines to findings: what the service's lines say, in plain words, held as the trace streams by
// (counts, the first few of each kind, buckets for the picture), never the whole trace.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "tracereader/clock.h"
#include "tracereader/coverage.h"
#include "tracereader/layout.h"
#include "tracereader/picture.h"
#include "tracereader/timeline.h"

// One finding: its first line says it, the others give its detail. The most serious come first
// in a report; the rest in time order.
struct TraceFinding {
    int rank = 0;  // kSpoolerDown .. kGaps, or kOrdinary
    uint64_t atMs = 0;
    std::vector<std::string> lines;  // as printed, indented
    TraceFinding() = default;
    TraceFinding(int rankOf, uint64_t at, const std::string& first) : rank(rankOf), atMs(at) {
        lines.push_back(first);
    }
};
inline constexpr int kNoServiceLine = 0;  // nothing else can be told
inline constexpr int kSpoolerDown = 0;
inline constexpr int kPrinterNeverFound = 1;
inline constexpr int kServiceEnded = 2;
inline constexpr int kGaps = 3;
inline constexpr int kOrdinary = 9;

// Ticks over time in at most 2 x kColumns buckets: when the trace outgrows them, each bucket
// takes twice the time and neighbours merge, so the picture's cost does not grow with the trace.
struct Buckets {
    uint64_t widthMs = 100;
    // By bucket: the first line's time, and the lines it holds for the title.
    std::map<uint64_t, std::pair<uint64_t, std::string>> ticks;
    std::map<uint64_t, size_t> counts;
    void Add(uint64_t atMs, const std::string& line);
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
    void CountLine() { ++lines_; }  // a line read but not told apart (cut, too long)
    void Cut();                     // the file's last line has no line end
    void Finish();                  // the end of the trace: the timeline's last folds
    std::vector<TraceFinding> Findings();
    Picture Draw(const std::string& layoutName) const;

    std::string timeline;  // folded, as it is decided
    uint64_t lastRelMs = 0;

private:
    std::string Where(size_t number) const;
    void Event(uint64_t atMs, EventDetail detail);
    void EndState(uint64_t untilMs);
    void Status(uint64_t atMs, int code);
    void DrawCommanded(uint64_t atMs, int code);
    void ServiceLine(uint64_t atMs, unsigned long pid, const std::string& text, size_t number);
    void Said(uint64_t atMs, const OutputEvent& line);
    void OpenError(uint64_t atMs, unsigned long code);
    uint64_t Relative(long long writtenMs, size_t number);
    void Note(const TraceLine& line, size_t number);
    void Known(uint64_t atMs);
    void Gap(uint64_t atMs);
    void ReadFindings(std::vector<TraceFinding>& out) const;
    void StatusFindings(std::vector<TraceFinding>& out);
    void ProcessFindings(std::vector<TraceFinding>& out) const;
    TraceFinding NoServiceLine() const;

    TimelineFolder folder_;
    std::string file_;
    Layout layout_ = Layout::Unknown;
    bool wholeSeconds_ = false;  // some file's clock has whole seconds only
    bool haveStart_ = false;
    long long startMs_ = 0;     // the first line's time (kq5trace: UTC; DebugView: as written)
    long long previousMs_ = 0;  // the previous line's time, as written
    long long shiftMs_ = 0;     // added after a day's rollover or a clock set back
    std::vector<unsigned long> servicePids_;
    // The local clock where the trace carries it, the processes and what no line covers.
    TraceClock clock_;
    Coverage coverage_{1600};    // two cycles of 800 ms; FileLayout sets it for the clock
    size_t statusProcess_ = 0;   // the process of the last status line
    bool spoolerKnown_ = false;  // a line has said whether the Spooler answers since the last
                                 // stretch without lines
    std::string serviceNote_;    // kq5trace's last note of the service's state
    bool printerKnown_ = false;  // as for the Spooler: a status line has drawn the printer
    DatedTimes changeTimes_{clock_};

    size_t lines_ = 0, serviceLines_ = 0, otherProcessLines_ = 0, kernelLines_ = 0;
    std::vector<std::string> before_;  // lines before the first log line, named
    std::map<std::string, std::pair<size_t, std::string>> skipped_;  // why -> count, first lines
    std::vector<std::string> cut_;                                   // files whose end was cut
    std::vector<std::pair<uint64_t, std::string>> clockBack_;
    size_t statusLines_ = 0;
    bool haveStatus_ = false;
    uint64_t firstStatusMs_ = 0;
    uint64_t lastStatusMs_ = 0;
    int currentCode_ = 0;
    uint64_t codeSinceMs_ = 0;
    size_t codeLines_ = 0;
    std::vector<std::string> changes_;
    size_t moreChanges_ = 0;
    std::map<int, uint64_t> timeInCode_;
    std::map<uint64_t, size_t> intervals_;  // 10 ms buckets of the time between status lines
    std::vector<std::string> gaps_;
    uint64_t firstGapMs_ = 0;
    size_t moreGaps_ = 0;
    uint64_t longestGapMs_ = 0;
    std::map<unsigned long, std::pair<size_t, uint64_t>> openErrors_;  // count, first
    std::map<long, std::pair<size_t, uint64_t>> registryErrors_;       // count, first
    size_t discoveryLines_ = 0;
    std::string mainErrorText_;  // the last " MainError:" line
    size_t readFailures_ = 0;
    uint64_t firstReadFailureMs_ = 0;
    bool openFailedThisCycle_ = false;
    bool spoolerDown_ = false;

    Picture picture_;
    Buckets buckets_;
};

// "Findings:" and every finding's lines, in the order found.
std::string FormatFindings(const std::vector<TraceFinding>& findings);
