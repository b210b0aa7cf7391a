// A finding of the trace reader: what a trace says, kept as a record (its kind, how serious, its
// time, the log's line it is about, its words and detail) until the text or the report writes it.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

// Gaps, status changes and clock set backs listed one by one, then summed up.
inline constexpr size_t kListed = 40;

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
    ClockForward,
    StatusPace,
    NoGap,
    Gaps,
    Unseen,
    EndAway,
    StatusChanges,
    TimeInStatus,
    PrinterNeverFound,
    OpenFailed,
    RegistryFailed,
    RecordUnread,
    Restart,
    ServiceEnded,
    NoEnd,
    Events,
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

// "12.3 s", "4 min 5 s", "2 h 10 min": a length of time in a finding.
std::string DurationText(uint64_t ms);

// "1 line", "2 lines": COUNT of a NOUN whose plural takes an s.
std::string Counted(size_t count, const std::string& noun);

// Line NUMBER, of FILE when the trace has more than one: "12", "kq5trace-2026-12-07.txt:12".
std::string LineWhere(const std::string& file, size_t number);

// "Findings:" and every finding's lines, indented, in the order found.
std::string FormatFindings(const std::vector<TraceFinding>& findings);
// A finding's first line as words: what it says, after the log's line it is about.
std::string FindingHeadline(const TraceFinding& finding);
