// The parts of `kq5trace --record` that need no system call: the day files (written with the
// standard library, so the host's tests run them in a folder of their own with a clock they set),
// the queue between the thread that listens and the thread that writes, and the choice of which
// captured lines are the service's.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "platform/files.h"
#include "tracelog/retention.h"

// One thing to write: a captured line, or a note (their lines in tracelog/format.h).
struct Entry {
    enum class Kind { Line, Note, ServiceNote };  // a service note says which process it is
    Kind kind = Kind::Line;
    LocalDate date;     // the local date of the stamp: which day's file it goes to
    std::string stamp;  // "2026-12-07 09:15:02.345 +01:00"
    std::uint32_t pid = 0;
    std::string text;  // a line's raw bytes, or the note's text
};

// The line as it stands in the file: an entry or a note.
std::string FormatEntry(const Entry& entry);

// ---- The day files ------------------------------------------------------------------------------

struct Recorder {
    std::filesystem::path folder;
    RecordLimits limits;
    std::string header;  // the first line of each file, without its stamp (HeaderTitle)
    std::ofstream file;
    std::string current;  // the file's name
    LocalDate day;
    std::uint64_t bytes = 0;  // the file's size
    std::string serviceNote;  // the last service note, repeated at the top of every new file
    std::vector<std::string> deleted;  // every file retention removed, in order
    // Told of each deletion as the file that follows it notes it ("deleted ...": for standard
    // error); may be empty.
    std::function<void(const std::string& note)> told;
    bool started = false;  // a file has been opened: the recording's start is in it
    bool failed = false;
    std::string failure;     // what failed, for the person who reads stderr
    int error = 0;           // the system's error number (errno) of the failure, if it had one
    files::FolderLock lock;  // the folder is this recorder's while it records
    bool taken = false;      // another recorder holds the folder: nothing was written
};

// Makes the folder if needed and holds it. False, with `failure` set, when it cannot be made or
// another recorder holds it (`taken`).
bool OpenRecorder(Recorder& recorder, const std::filesystem::path& folder, RecordLimits limits,
                  const std::string& header);
// Writes the entry to its day's file, opening the next file at a new local date or when the part
// is full, and applying retention whenever a file is opened. False once writing failed: then the
// files stay as they are and nothing more is written.
bool RecordEntry(Recorder& recorder, const Entry& entry);
// Hands what was written to the system. False when that failed (a full disk shows here).
bool FlushRecorder(Recorder& recorder);
// Writes NOTE into the current file if it still can (best effort: it is for after a failure).
void TryNote(Recorder& recorder, const std::string& stamp, const std::string& note);
// What the person at the console may do about ERROR (errno), in brackets, for a message that
// names the failure: "(the disk may be full)" for a full disk only; empty when there is no hint.
std::string FailureHint(int error);
// True when the file was closed without an error. Lets go of the folder.
bool CloseRecorder(Recorder& recorder);

// ---- Between the listening thread and the writing thread ----------------------------------------

// The listening thread only copies into memory; the writer takes everything queued at once. Past
// `maxBytes` queued (a disk far slower than the channel), lines are dropped and counted.
struct LineQueue {
    std::mutex mutex;
    std::condition_variable ready;
    std::deque<Entry> entries;
    std::size_t bytes = 0;
    std::size_t maxBytes = 64u << 20;
    std::uint64_t dropped = 0;  // since the writer last took
    bool closed = false;
};

void PushEntry(LineQueue& queue, Entry entry);
// Waits until something is queued or the queue is closed; false when closed and empty.
bool TakeEntries(LineQueue& queue, std::deque<Entry>& out, std::uint64_t& dropped);
void CloseQueue(LineQueue& queue);

// ---- Which process is the service's ------------------------------------------------------------

// Every program that writes a debugger line waits while the listener handles it, so the service
// manager is asked at most once a second. A line of a process that is not (yet) known to be the
// service's is held until the next answer: if that answer names its process (the service started
// again) it is kept, in its place; otherwise it is dropped.
struct ProcessFilter {
    std::uint32_t pid = 0;  // the service's process as last answered; 0: not running
    bool asked = false;
    std::uint64_t askedMs = 0;
    std::deque<Entry> held;
    std::size_t heldLimit = 4096;  // lines; the oldest go first
};

inline constexpr std::uint64_t kAskIntervalMs = 1000;

// What the service manager answered: the service's process (0: not running) and the note that
// says so ("service kq5 runs as process 4242").
struct ServiceAnswer {
    std::uint32_t pid = 0;
    std::string note;
};

struct ServiceWatch {
    ProcessFilter filter;
    std::string shownNote;  // the last note written
};

// One step of the listener, at each wait for a line (LINE null) and for each line that came
// (stamped with NOW): asks the service manager through ASK when it may, and gives the entries to
// write, in order: a note whenever the answer changes (dated with the first line it covers, so
// that the times in a file never go back), the held lines it claims, the line itself.
std::vector<Entry> WatchStep(ServiceWatch& watch, std::uint64_t nowMs, LocalDate today,
                             const std::string& stamp, const Entry* line,
                             const std::function<ServiceAnswer()>& ask);

bool TimeToAsk(const ProcessFilter& filter, std::uint64_t nowMs);
// The service manager's answer at NOWMS: the held lines of that process, to be written now.
std::vector<Entry> TakeAnswer(ProcessFilter& filter, std::uint32_t pid, std::uint64_t nowMs);
// A captured line: true when it is the service's and is to be written now; else it is held.
bool OfferLine(ProcessFilter& filter, const Entry& line);
