#include "trace/record.h"

#include <cstdio>
#include <filesystem>

#include "trace/listen.h"
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
    return Record(plan, system);
}
