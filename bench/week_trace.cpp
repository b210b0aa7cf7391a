// kq5weektrace: a week of trace in kq5trace's layout, on standard output: 756,000 status lines
// (one every 800 ms from 1 November 2026, UTC+1; the door opened for a minute every hour; the
// Spooler away for 30 s and a port read with a DevicePath line once a day). The same bytes every
// time. Its lines are written by kq5trace's own format module, so the week follows the format
// when it changes. The trace benchmark and the checks of the reader (the same findings under
// Wine, the report in a browser) read it, through bench/week_trace.sh.
#include <cstdint>
#include <cstdio>
#include <string>

#include "tracelog/format.h"

#ifndef KQ5_VERSION
#define KQ5_VERSION "0"
#endif

namespace {

constexpr std::uint32_t kPid = 4242;
constexpr long long kCycleMs = 800;
constexpr long long kCycles = 756000;          // a week of 800 ms cycles
constexpr long long kCyclesADay = 108000;      // the port read's and the Spooler's day
constexpr long long kSpoolerAwayFrom = 50000;  // cycle of the day the Spooler goes
constexpr long long kSpoolerAwayCycles = 38;   // about 30 s
constexpr long long kCyclesAnHour = 4500;      // the door's hour
constexpr long long kDoorOpenCycles = 75;      // a minute

LocalTime CycleTime(long long cycle) {
    const long long ms = cycle * kCycleMs;
    const long long seconds = ms / 1000;
    const long long ofDay = seconds % 86400;
    LocalTime time;
    time.date = LocalDate{2026, 11, static_cast<int>(1 + seconds / 86400)};
    time.hour = static_cast<int>(ofDay / 3600);
    time.minute = static_cast<int>(ofDay / 60 % 60);
    time.second = static_cast<int>(ofDay % 60);
    time.millisecond = static_cast<int>(ms % 1000);
    time.offsetMinutes = 60;
    return time;
}

// The service's debugger lines of CYCLE, as it writes them.
void AppendCycle(long long cycle, std::string& out) {
    const std::string stamp = StampText(CycleTime(cycle));
    const long long ofDay = cycle % kCyclesADay;
    if (ofDay == 0) {
        out += EntryLine(stamp, kPid, "GetPrinterHandle");
        out += EntryLine(stamp, kPid,
                         " DevicePath:\\\\?\\usb#vid_0483&pid_5741#a1b2c3#"
                         "{a5dcbf10-6530-11d2-901f-00c04fb951ed}\n");
    }
    if (ofDay >= kSpoolerAwayFrom && ofDay < kSpoolerAwayFrom + kSpoolerAwayCycles) {
        out += EntryLine(stamp, kPid, " Open Printer Error :GetLastError() returns: 0x6ba\n");
    }
    const int code = cycle % kCyclesAnHour < kDoorOpenCycles ? 4 : 32;
    out += EntryLine(stamp, kPid, "KQ5 STATUS:" + std::to_string(code) + "\r\n");
}

bool Write(const std::string& text) {
    return std::fwrite(text.data(), 1, text.size(), stdout) == text.size();
}

}  // namespace

int main() {
    // A generated trace has no moment it was started from: its header says so instead.
    std::string out = HeaderTitle(KQ5_VERSION, "kq5") + ", generated for the benchmark\n";
    for (long long cycle = 0; cycle < kCycles; ++cycle) {
        AppendCycle(cycle, out);
        if (out.size() >= (1 << 20)) {
            if (!Write(out)) {
                return 1;
            }
            out.clear();
        }
    }
    return Write(out) && std::fflush(stdout) == 0 ? 0 : 1;
}
