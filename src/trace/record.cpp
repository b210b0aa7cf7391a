#include "trace/record.h"

#include <cstdio>
#include <filesystem>

#include "eventlog/event_log.h"
#include "trace/listen.h"
#include "trace/record_events.h"
#include "trace/record_loop.h"

int RunRecord(const RecordOptions& options, const volatile LONG& stop) {
    RecordPlan plan;
    plan.folder = std::filesystem::path(options.folder);
    plan.service = Narrow(options.service);
    plan.limits = options.limits;
    plan.seconds = options.seconds;
    plan.version = options.version;
    DbwinChannel channel;
    RecordSystem system;
    system.nowMs = [] { return static_cast<std::uint64_t>(GetTickCount64()); };
    system.stamp = LocalStamp;
    system.open = [&](std::uint32_t& error) {
        const ChannelOpen opened = OpenChannel(channel, options.session ? L"" : L"Global\\");
        error = channel.error;
        return opened;
    };
    system.listen = [&](ListenSink& sink) {
        Listen(channel, options.service, sink);
        CloseChannel(channel);
    };
    system.sleep = [](std::uint32_t ms) { Sleep(ms); };
    system.stopRequested = [&stop] { return stop != 0; };
    system.say = [](const std::string& text) {
        std::fprintf(stderr, "kq5trace: %s\n", text.c_str());
    };
    // The judge's events go to the Windows event log as the recording hears what they rest on.
    EventLog events;
    system.raise = [&events](const JudgedEvent& event) {
        return RaiseEvent(events, PendingOf(event));
    };
    RecordJudge judge;
    judge.judge.thresholds = options.thresholds;
    const int code = Record(plan, JudgedSystem(system, judge));
    if (const std::string left = EndEventLog(events); !left.empty()) {
        system.say(left);
    }
    return code;
}
