// The loops of kq5trace's capture and recording, in standard C++: the listener (lines of the
// service's process, the service manager asked at most once a second), the recording (the
// channel tried again every 3 s while another viewer holds it, a writing thread, the messages and
// exit codes). They meet the system only through the plain functions of ListenSystem and
// RecordSystem: Win32 calls on Windows (listen.cpp, record.cpp), a clock and a channel the tests
// set on the host.
#pragma once

#include <atomic>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <string>

#include "judge/judge.h"
#include "trace/recorder.h"

struct Stamp {
    LocalDate date;
    std::string text;  // "2026-12-07 09:15:02.345 +01:00": local time, milliseconds, UTC offset
};

struct ListenSink {
    // Called with each line of the service and each note on its process, in file order.
    std::function<void(Entry)> write;
    // Asked before each wait for a line, with the service's process as last answered (0: not
    // running); false ends the listening.
    std::function<bool(std::uint32_t pid)> goOn;
};

struct ListenSystem {
    std::function<std::uint64_t()> nowMs;  // a clock that never goes back (GetTickCount64)
    std::function<Stamp()> stamp;          // the local time now
    // Waits up to TIMEOUTMS for a debugger line: true with its writer's process and raw bytes.
    std::function<bool(std::uint32_t timeoutMs, std::uint32_t& pid, std::string& text)> receive;
    std::function<ServiceAnswer()> ask;  // the service manager's answer now
};

// How long ListenLoop waits for a line before it looks at the clock and the sink again.
inline constexpr std::uint32_t kReceiveMs = 100;

// Hands every debugger line of the service's process to the sink, with a note whenever its
// process changes (started again, stopped). The service manager is asked at most once a second,
// whatever other programs write; the writer of a line waits only for its copy into memory.
void ListenLoop(const ListenSystem& system, ListenSink& sink);

// Why a capture or a recording ended, for its last note.
enum class StopCause { Asked, TimeUp, ServiceStopped };

// "recording stopped: ..." with the cause (SECONDS: --for's), the note that ends a capture or a
// recording that could go on writing; a failure's note names the failure instead.
std::string StoppedNote(StopCause cause, double seconds);

// The note of the service manager's answer: "service kq5 runs as process 4242", "service kq5 is
// not running", "service kq5 is not running: there is no such service".
ServiceAnswer AnswerOf(const std::string& service, std::uint32_t pid, bool noSuchService);

// ---- The recording ------------------------------------------------------------------------------

enum class ChannelOpen { Ok, Taken, NoRights, Failed };

// How often a channel held by another viewer is tried again.
inline constexpr std::uint64_t kRetryMs = 3000;

struct RecordSystem {
    std::function<std::uint64_t()> nowMs;
    std::function<Stamp()> stamp;  // called by the writing thread too
    // Opens the debug-output channel; with ERROR set to the system's error when it fails.
    std::function<ChannelOpen(std::uint32_t& error)> open;
    // Listens on the channel just opened until SINK says to end, then closes the channel.
    std::function<void(ListenSink& sink)> listen;
    std::function<void(std::uint32_t ms)> sleep;
    std::function<bool()> stopRequested;  // Ctrl+C, or the end of the task
    // A message for the person at the console (standard error), without "kq5trace: ".
    std::function<void(const std::string& text)> say;
    // Raises a Windows event of the judge (record_events.h); the words for the record when
    // raising failed for the first time, else empty. None: no events.
    std::function<std::string(const JudgedEvent& event)> raise;
    // The recording's last note (why it stopped), told before it goes. None: not told.
    std::function<void(const std::string& note)> ending;
};

struct RecordPlan {
    std::filesystem::path folder;
    std::string service = "kq5";
    RecordLimits limits;
    double seconds = -1;  // stop after this long; below 0: until stopped
    std::string version = "0";
};

// Records until stopped or the time is up. Exit codes: 0 done; 1 the files cannot be written
// (what was written stays); 2 the channel cannot be had for a reason waiting does not cure.
int Record(const RecordPlan& plan, const RecordSystem& system);

// The writing thread: everything queued at once, then handed to the system. After a failure it
// only empties the queue (so that the listener never blocks on it) and sets FAILED.
void WriteEntries(LineQueue& queue, Recorder& recorder, std::atomic<bool>& failed,
                  const std::function<Stamp()>& stamp);
