// kq5bench: a simulated day of the whole service (108,000 poll cycles) in the simulated Windows,
// with the printer unplugged and plugged back on the other USB port every 10 minutes and a status
// change every minute. Reports wall time, platform calls per cycle, memory and open handles.
// Recording is off, so the figures are the service's, not the recorder's. The CPU time and the
// blocking waits show what the turns between the simulated threads cost: a day that hands the turn
// through the kernel on every cycle spends most of its time in system calls.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <string>

#include <sys/resource.h>

#include "common/service_state.h"
#include "platform/sim/sim.h"
#include "service/service.h"

namespace {

constexpr uint64_t kMinute = 60 * 1000;
constexpr uint64_t kDay = 24 * 60 * kMinute;
const char* const kSerials[] = {"SOCKETA", "SOCKETB"};
const char* const kPorts[] = {"USB001", "USB002"};
const BYTE kCodes[] = {0x04, 0x20, 0x80, 0x20};

std::u16string PrinterPath(int socket) {
    return sim::Widen(std::string("\\\\?\\usb#vid_0483&pid_5741#") + kSerials[socket] +
                      "#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
}

void SetUpMachine() {
    sim::Reset();
    sim::SetRecording(false);
    sim::SetStartedByServiceManager(true);
    sim::AddPrinter(u"Korvane-Q5", u"USB001");
    sim::AddPort(u"USB002");
    for (int socket = 0; socket < 2; ++socket) {
        sim::SetRegistryString(
            std::string("SYSTEM\\ControlSet001\\Control\\DeviceClasses\\"
                        "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\\##?#usb#vid_0483&pid_5741#") +
                kSerials[socket] + "#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\\#\\Device Parameters",
            "Port Description", "KorvaneQ5");
        sim::SetRegistryString(
            std::string("SYSTEM\\ControlSet001\\Control\\Print\\Monitors\\USB Monitor\\Ports\\") +
                kPorts[socket],
            "Device Id", std::string("USB\\VID_0483&PID_5741\\") + kSerials[socket]);
    }
    sim::SetDeviceFrame(PrinterPath(0), {0x10, 0x01, 0x00, 0x20, 0x00});
    sim::PlugDevice(PrinterPath(0));
    ResetServiceState();
}

// A figure of /proc/self/status in KiB: "VmRSS" (resident now) or "VmHWM" (resident at peak).
long StatusKiB(const std::string& field) {
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind(field + ":", 0) == 0) {
            return std::stol(line.substr(field.size() + 1));
        }
    }
    return -1;
}

long ResidentKiB() {
    return StatusKiB("VmRSS");
}

struct CycleCalls {
    uint64_t reads = 0, spooler = 0, other = 0;
};

CycleCalls Difference(const std::map<std::string, uint64_t>& before,
                      const std::map<std::string, uint64_t>& after, uint64_t cycles) {
    CycleCalls calls;
    for (const auto& [name, total] : after) {
        const auto it = before.find(name);
        const uint64_t count = total - (it == before.end() ? 0 : it->second);
        if (name == "ReadFile") {
            calls.reads += count;
        } else if (name == "OpenPrinterW" || name == "GetPrinterW" || name == "SetPrinterW" ||
                   name == "ClosePrinter") {
            calls.spooler += count;
        } else {
            calls.other += count;
        }
    }
    calls.reads /= cycles;
    calls.spooler /= cycles;
    calls.other /= cycles;
    return calls;
}

struct Measurements {
    long rssHour1 = 0, rssHour24 = 0;
    CycleCalls acting, idle;
};

Measurements* measurements = nullptr;

// The world around the service: the printer's status, its plugging, the measurements, the stop.
void Drive() {
    int socket = 0;
    int minute = 0;
    std::map<std::string, uint64_t> snapshot;
    for (uint64_t t = kMinute; t < kDay; t += kMinute) {
        ++minute;
        if (t == 2 * kMinute) {  // ten acting cycles, between two poll cycles at each end
            sim::WaitUntil(t + 400);
            snapshot = sim::CallTotals();
            sim::WaitUntil(t + 400 + 10 * 800);
            measurements->acting = Difference(snapshot, sim::CallTotals(), 10);
        }
        sim::WaitUntil(t);
        if (minute % 10 == 0) {
            sim::UnplugDevice(PrinterPath(socket));
            sim::SendControl(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEREMOVECOMPLETE,
                             sim::DeviceInterfaceRecord(PrinterPath(socket)));
            if (minute == 10) {  // ten idle cycles while the printer is away
                sim::WaitUntil(t + 400);
                snapshot = sim::CallTotals();
                sim::WaitUntil(t + 400 + 10 * 800);
                measurements->idle = Difference(snapshot, sim::CallTotals(), 10);
            }
            sim::WaitUntil(t + 30 * 1000);
            socket = 1 - socket;
            sim::SetDeviceFrame(PrinterPath(socket), {0x10, 0x01, 0x00, kCodes[minute % 4], 0x00});
            sim::PlugDevice(PrinterPath(socket));
            sim::SendControl(SERVICE_CONTROL_DEVICEEVENT, DBT_DEVICEARRIVAL,
                             sim::DeviceInterfaceRecord(PrinterPath(socket)));
        } else {
            sim::SetDeviceFrame(PrinterPath(socket), {0x10, 0x01, 0x00, kCodes[minute % 4], 0x00});
        }
        if (t == 60 * kMinute) {
            sim::WaitUntil(t + 400);
            measurements->rssHour1 = ResidentKiB();
        }
    }
    sim::WaitUntil(kDay - 400);
    measurements->rssHour24 = ResidentKiB();
    sim::WaitUntil(kDay);
    sim::SendControl(SERVICE_CONTROL_STOP);
}

double Seconds(const timeval& t) {
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) / 1e6;
}

}  // namespace

int main() {
    Measurements m;
    measurements = &m;
    SetUpMachine();
    const auto start = std::chrono::steady_clock::now();
    const int exitCode = sim::RunProcess(ServiceProgramMain, Drive, kDay + kMinute);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const auto totals = sim::CallTotals();
    const auto handles = sim::OpenHandles();
    std::string open;
    for (const std::string& h : handles) {
        open += (open.empty() ? "" : ", ") + h;
    }

    std::printf("kq5bench: one simulated day, %llu poll cycles\n",
                static_cast<unsigned long long>(totals.count("ReadFile") ? kDay / 800 : 0));
    std::printf("  wall time                  %.2f s\n", seconds);
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    std::printf("  CPU time                   %.2f s user + %.2f s system\n",
                Seconds(usage.ru_utime), Seconds(usage.ru_stime));
    std::printf("  blocking waits             %ld (a thread handing the turn to another)\n",
                usage.ru_nvcsw);
    std::printf(
        "  calls per acting cycle     %llu read + %llu spooler + %llu other (sleep, debug line)\n",
        static_cast<unsigned long long>(m.acting.reads),
        static_cast<unsigned long long>(m.acting.spooler),
        static_cast<unsigned long long>(m.acting.other));
    std::printf(
        "  calls per idle cycle       %llu read + %llu spooler + %llu other (printer away)\n",
        static_cast<unsigned long long>(m.idle.reads),
        static_cast<unsigned long long>(m.idle.spooler),
        static_cast<unsigned long long>(m.idle.other));
    std::printf("  spooler restarts           %llu\n",
                static_cast<unsigned long long>(
                    totals.count("StartServiceA") ? totals.at("StartServiceA") : 0));
    std::printf("  RSS at hour 1 / hour 24    %ld KiB / %ld KiB (growth %ld KiB)\n", m.rssHour1,
                m.rssHour24, m.rssHour24 - m.rssHour1);
    std::printf("  peak RSS                   %ld KiB\n", StatusKiB("VmHWM"));
    std::printf("  handles open at the end    %s\n", open.empty() ? "none" : open.c_str());
    std::printf("  exit code                  %d\n", exitCode);
    return exitCode == 0 ? 0 : 1;
}
