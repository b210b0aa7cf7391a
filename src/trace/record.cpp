#include "trace/record.h"

#include <atomic>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <thread>
#include <utility>

#include "trace/listen.h"
#include "trace/recorder.h"

namespace {

// How often a channel held by another viewer is tried again.
constexpr DWORD kRetryMs = 3000;

Entry Note(const std::string& text) {
    const Stamp now = LocalStamp();
    return Entry{Entry::Kind::Note, now.date, now.text, 0, text};
}

// The writing thread: everything queued at once, then handed to the system. After a failure it
// only empties the queue, so that the listener never blocks on it.
void WriteEntries(LineQueue& queue, Recorder& recorder, std::atomic<bool>& failed) {
    std::deque<Entry> batch;
    std::uint64_t dropped = 0;
    while (TakeEntries(queue, batch, dropped)) {
        if (failed) {
            continue;
        }
        if (dropped != 0) {
            // A failure here shows in the flush below, as any other.
            (void)RecordEntry(recorder,
                              Note(std::to_string(dropped) +
                                   " lines dropped: the disk did not keep up with the channel"));
        }
        for (const Entry& entry : batch) {
            if (!RecordEntry(recorder, entry)) {
                break;
            }
        }
        if (!FlushRecorder(recorder)) {
            const Stamp now = LocalStamp();
            TryNote(recorder, now.text, "recording stopped: " + recorder.failure);
            failed = true;
        }
    }
}

}  // namespace

int RunRecord(const RecordOptions& options, const volatile LONG& stop) {
    const std::string name = Narrow(options.service);
    Recorder recorder;
    if (!OpenRecorder(recorder, std::filesystem::path(options.folder), options.limits,
                      std::string("# kq5trace ") + options.version +
                          ": debugger lines of the service " + name)) {
        std::fprintf(stderr, "kq5trace: %s\n", recorder.failure.c_str());
        return 1;
    }
    const ULONGLONG startMs = GetTickCount64();
    std::atomic<bool> failed{false};
    const auto goOn = [&] {
        return stop == 0 && !failed &&
               (options.seconds < 0 ||
                static_cast<double>(GetTickCount64() - startMs) < options.seconds * 1000);
    };
    LineQueue queue;
    std::thread writer([&] { WriteEntries(queue, recorder, failed); });
    int code = 0;
    bool waiting = false;
    while (goOn()) {
        DbwinChannel channel;
        const ChannelOpen opened = OpenChannel(channel, options.session ? L"" : L"Global\\");
        if (opened == ChannelOpen::Taken) {
            // DebugView or a debugger may hold it for a while: said once, then tried again.
            if (!waiting) {
                PushEntry(queue, Note("another debug-output viewer holds the channel; waiting"));
                std::fprintf(stderr,
                             "kq5trace: another debug-output viewer holds the channel; waiting "
                             "for it to close\n");
                waiting = true;
            }
            for (DWORD waited = 0; waited < kRetryMs && goOn(); waited += 100) {
                Sleep(100);
            }
            continue;
        }
        if (opened != ChannelOpen::Ok) {
            if (opened == ChannelOpen::NoRights) {
                std::fputs(
                    "kq5trace: no rights for the global debug-output channel: run kq5trace "
                    "as an administrator or as SYSTEM\n",
                    stderr);
            } else {
                std::fprintf(stderr,
                             "kq5trace: the debug-output channel cannot be opened (error %lu)\n",
                             static_cast<unsigned long>(channel.error));
            }
            code = 2;
            break;
        }
        if (waiting) {
            PushEntry(queue, Note("the debug-output channel is free again; recording"));
            std::fprintf(stderr, "kq5trace: the channel is free again; recording\n");
            waiting = false;
        }
        ListenSink sink{[&queue](Entry entry) { PushEntry(queue, std::move(entry)); },
                        [&goOn](std::uint32_t) { return goOn(); }};
        Listen(channel, options.service, sink);
        CloseChannel(channel);
    }
    CloseQueue(queue);
    writer.join();
    if (!recorder.failed && !CloseRecorder(recorder)) {
        failed = true;
    }
    if (recorder.failed) {
        std::fprintf(stderr,
                     "kq5trace: recording stopped: %s (the disk may be full); the files written "
                     "so far are kept in %s\n",
                     recorder.failure.c_str(), PathText(recorder.folder).c_str());
        return 1;
    }
    return code;
}
