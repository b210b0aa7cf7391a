#include "trace/record_loop.h"

#include "cmdline/cmdline.h"

#include <cstdio>
#include <mutex>
#include <thread>
#include <utility>

namespace {

// The pause between looks at the clock and the stop request while the channel is waited for.
constexpr std::uint32_t kWaitStepMs = 100;

Entry Note(const Stamp& now, const std::string& text) {
    return Entry{.kind = Entry::Kind::Note, .date = now.date, .stamp = now.text, .text = text};
}

// One recording's state, shared by its steps (the writing thread sees `queue` and `failed`).
struct Recording {
    Recording(const RecordPlan& p, const RecordSystem& s)
        : plan(p), system(s), startMs(s.nowMs()) {}
    const RecordPlan& plan;
    const RecordSystem& system;
    LineQueue queue;
    std::atomic<bool> failed{false};
    const std::uint64_t startMs;  // --for counts from here
    bool waiting = false;         // another viewer held the channel at the last try
    std::mutex sayLock;           // both threads speak to standard error
};

void Say(Recording& r, const std::string& text) {
    std::lock_guard<std::mutex> lock(r.sayLock);
    r.system.say(text);
}

bool TimeUp(const Recording& r) {
    return r.plan.seconds >= 0 &&
           static_cast<double>(r.system.nowMs() - r.startMs) >= r.plan.seconds * 1000;
}

bool GoOn(const Recording& r) {
    return !r.system.stopRequested() && !r.failed && !TimeUp(r);
}

// The recording's last note, unless the writing failed (the writer notes that): why it ended.
void NoteTheEnd(Recording& r, const std::string& refusal) {
    if (r.failed) {
        return;
    }
    const std::string note = !refusal.empty() ? "recording stopped: " + refusal
                             : TimeUp(r)      ? StoppedNote(StopCause::TimeUp, r.plan.seconds)
                                              : StoppedNote(StopCause::Asked, 0);
    if (r.system.ending) {
        r.system.ending(note);
    }
    PushEntry(r.queue, Note(r.system.stamp(), note));
}

// Silence for kStillListeningMs: the note that the listener is there, with what it knows of the
// service ("still listening; service kq5 is not running").
void StillListening(const ListenSystem& system, const ServiceWatch& watch, ListenSink& sink) {
    const Stamp now = system.stamp();
    sink.write(
        Note(now, "still listening" + (watch.shownNote.empty() ? "" : "; " + watch.shownNote)));
}

// DebugView or a debugger may hold the channel for a while: said once, then tried again.
void WaitForChannel(Recording& r) {
    if (!r.waiting) {
        PushEntry(r.queue,
                  Note(r.system.stamp(), "another debug-output viewer holds the channel; waiting"));
        Say(r, "another debug-output viewer holds the channel; waiting for it to close");
        r.waiting = true;
    }
    for (std::uint64_t waited = 0; waited < kRetryMs && GoOn(r); waited += kWaitStepMs) {
        r.system.sleep(kWaitStepMs);
    }
}

// One try at the channel: listened on until the recording ends, or waited for. False, with the
// exit code, when it cannot be had for a reason waiting does not cure.
bool TryChannel(Recording& r, int& code, std::string& refusal) {
    std::uint32_t error = 0;
    const ChannelOpen opened = r.system.open(error);
    if (opened == ChannelOpen::Taken) {
        WaitForChannel(r);
        return true;
    }
    if (opened != ChannelOpen::Ok) {
        refusal =
            opened == ChannelOpen::NoRights
                ? "no rights for the global debug-output channel: run kq5trace as an "
                  "administrator or as SYSTEM"
                : "the debug-output channel cannot be opened (error " + std::to_string(error) + ")";
        Say(r, refusal);
        code = 2;
        return false;
    }
    // Listened on until the recording ends: the channel is never waited for after this.
    if (r.waiting) {
        PushEntry(r.queue,
                  Note(r.system.stamp(), "the debug-output channel is free again; recording"));
        Say(r, "the channel is free again; recording");
    }
    ListenSink sink{[&r](Entry entry) { PushEntry(r.queue, std::move(entry)); },
                    [&r](std::uint32_t) { return GoOn(r); }};
    r.system.listen(sink);
    return true;
}

}  // namespace

void ListenLoop(const ListenSystem& system, ListenSink& sink) {
    ServiceWatch watch;
    std::uint64_t writtenMs = system.nowMs();  // when the sink was last given something
    const auto write = [&](std::vector<Entry> entries) {
        writtenMs = entries.empty() ? writtenMs : system.nowMs();
        for (Entry& entry : entries) {
            sink.write(std::move(entry));
        }
    };
    while (sink.goOn(watch.filter.pid)) {
        const std::uint64_t nowMs = system.nowMs();
        if (nowMs - writtenMs >= kStillListeningMs) {
            StillListening(system, watch, sink);
            writtenMs = nowMs;
        }
        if (TimeToAsk(watch.filter, nowMs)) {  // the local time is read only when it is needed
            const Stamp now = system.stamp();
            write(WatchStep(watch, nowMs, now.date, now.text, nullptr, system.ask));
        }
        std::uint32_t from = 0;
        std::string text;
        if (!system.receive(kReceiveMs, from, text)) {
            continue;
        }
        const Stamp stamp = system.stamp();
        const Entry line{Entry::Kind::Line, stamp.date, stamp.text, from, std::move(text)};
        write(WatchStep(watch, system.nowMs(), stamp.date, stamp.text, &line, system.ask));
    }
}

std::string StoppedNote(StopCause cause, double seconds) {
    if (cause == StopCause::TimeUp) {
        char text[64];
        std::snprintf(text, sizeof text, "recording stopped: the %g s of --for are up", seconds);
        return text;
    }
    return cause == StopCause::ServiceStopped
               ? "recording stopped: the service stopped (--until-stop)"
               : "recording stopped: asked to stop (Ctrl+C, or the end of its task)";
}

ServiceAnswer AnswerOf(const std::string& service, std::uint32_t pid, bool noSuchService) {
    return ServiceAnswer{pid, "service " + service +
                                  (pid != 0        ? " runs as process " + std::to_string(pid)
                                   : noSuchService ? " is not running: there is no such service"
                                                   : " is not running")};
}

void WriteEntries(LineQueue& queue, Recorder& recorder, std::atomic<bool>& failed,
                  const std::function<Stamp()>& stamp) {
    std::deque<Entry> batch;
    std::uint64_t dropped = 0;
    while (TakeEntries(queue, batch, dropped)) {
        if (failed) {
            continue;
        }
        if (dropped != 0) {
            // A failure here shows in the flush below, as any other.
            (void)RecordEntry(recorder,
                              Note(stamp(), std::to_string(dropped) +
                                                " lines dropped: the disk did not keep up with "
                                                "the channel"));
        }
        for (const Entry& entry : batch) {
            (void)RecordEntry(recorder, entry);  // after a failure it writes nothing more
        }
        if (!FlushRecorder(recorder)) {
            TryNote(recorder, stamp().text, "recording stopped: " + recorder.failure);
            failed = true;
        }
    }
}

int Record(const RecordPlan& plan, const RecordSystem& system) {
    Recorder recorder;
    if (!OpenRecorder(recorder, plan.folder, plan.limits,
                      HeaderTitle(plan.version, plan.service))) {
        system.say(recorder.failure + (recorder.taken ? "; nothing recorded" : ""));
        return recorder.taken ? 2 : 1;
    }
    Recording r(plan, system);
    recorder.told = [&r](const std::string& note) { Say(r, note); };
    std::thread writer([&] { WriteEntries(r.queue, recorder, r.failed, system.stamp); });
    int code = 0;
    std::string refusal;
    while (GoOn(r) && TryChannel(r, code, refusal)) {
    }
    NoteTheEnd(r, refusal);
    CloseQueue(r.queue);
    writer.join();
    // Closing hands over the last bytes; after a failure it only closes, and says false again.
    if (!CloseRecorder(recorder)) {
        system.say("recording stopped: " + recorder.failure + FailureHint(recorder.error) +
                   "; the files written so far are kept in " +
                   cmdline::Shown(PathText(recorder.folder)));
        return 1;
    }
    return code;
}
