// Random scenarios from a seed: every choice comes from one generator seeded once, so a seed is
// the whole run.
#include <cstdio>
#include <string>
#include <vector>

#include "platform/sim/win32_calls.h"
#include "swarm.h"

namespace {

// splitmix64: small, fast, and the same numbers on every platform and library (the standard
// distributions are not).
struct Random {
    uint64_t state;
    uint64_t Next() {
        uint64_t z = (state += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    uint64_t Below(uint64_t n) { return n == 0 ? 0 : Next() % n; }
    bool Chance(int percent) { return Below(100) < static_cast<uint64_t>(percent); }
    template <typename T>
    const T& Pick(const std::vector<T>& items) {
        return items[Below(items.size())];
    }
};

const std::vector<std::string> kPorts = {"USB001", "USB002", "USB003"};

// Windows gives the printer a device instance of its own on each socket.
std::string SerialOnPort(const std::string& port) {
    return "5&99&0&" + port.substr(5);
}

// Known codes of every queue action, and codes with none.
const std::vector<int> kCodes = {0x00, 0x04, 0x08, 0x0C, 0x20, 0x28, 0x80,
                                 0xA0, 0x20, 0x20, 0x84, 0x01, 0xFF, 0x10};

struct FaultKind {
    const char* function;
    std::vector<unsigned> errors;
};

// Every platform call kq5 makes that can fail, with errors Windows gives for it (sim::kWin32Calls).
std::vector<FaultKind> Faults() {
    std::vector<FaultKind> faults;
    for (const sim::Win32Call& call : sim::kWin32Calls) {
        FaultKind kind{call.name, {}};
        for (const DWORD error : call.swarmErrors) {
            if (error != 0) {
                kind.errors.push_back(error);
            }
        }
        if (!kind.errors.empty()) {
            faults.push_back(kind);
        }
    }
    return faults;
}
const std::vector<FaultKind> kFaults = Faults();

// "from then on": more calls than any run makes.
constexpr int kLastingCount = 1000000;

// The spooler's own calls come up more often: the restart is where kq5's interleavings are.
const FaultKind& PickFault(Random& r) {
    static const std::vector<std::pair<const char*, int>> kWeights = {{"StartServiceA", 6},
                                                                      {"QueryServiceStatus", 4},
                                                                      {"OpenSCManagerA", 2},
                                                                      {"OpenServiceA", 2}};
    std::vector<const FaultKind*> pool;
    for (const FaultKind& kind : kFaults) {
        int weight = 1;
        for (const auto& [name, w] : kWeights) {
            weight = std::string(name) == kind.function ? w : weight;
        }
        pool.insert(pool.end(), static_cast<size_t>(weight), &kind);
    }
    return *r.Pick(pool);
}

ScenarioEvent Event(EventKind kind) {
    ScenarioEvent e;
    e.kind = kind;
    return e;
}

ScenarioEvent StatusEvent(int code) {
    ScenarioEvent e = Event(EventKind::Status);
    e.code = code;
    return e;
}

ScenarioEvent ControlEvent(bool stop) {
    return Event(stop ? EventKind::Stop : EventKind::Shutdown);
}

ScenarioEvent FaultEvent(Random& r) {
    const FaultKind& kind = PickFault(r);
    const unsigned error = r.Pick(kind.errors);
    // The spooler's state unreadable for good, and refusals that come again, make the owed
    // start's pace; they come up more often.
    const std::string function = kind.function;
    const int lasting = function == "QueryServiceStatus" ? 30 : 10;
    const int once = function == "StartServiceA" ? 50 : 75;
    const int count = r.Chance(lasting) ? kLastingCount
                      : r.Chance(once)  ? 1
                                        : 2 + static_cast<int>(r.Below(3));
    ScenarioEvent e = Event(EventKind::Fail);
    e.failure = CallFailure{function, 1, error, count};
    return e;
}

struct Day {
    Random r;
    Scenario s;
    uint64_t t = 0;
    bool present = false;
    std::string port;
    bool running = true;  // kq5, as far as the scenario's own events tell
    uint64_t last = 0;    // the last event's time

    void At(uint64_t at, ScenarioEvent event) {
        event.atMs = at;
        s.events.push_back(event);
        last = at;
    }
    void Plug(uint64_t at, const std::string& to) {
        present = true;
        port = to;
        ScenarioEvent e = Event(EventKind::Plug);
        e.device = SerialOnPort(to);
        e.port = to;
        At(at, e);
    }
    void Unplug(uint64_t at) {
        present = false;
        At(at, Event(EventKind::Unplug));
    }
    std::string OtherPort() {
        std::string to = port;
        while (to == port) {
            to = r.Pick(kPorts);
        }
        return to;
    }
};

uint64_t Gap(Random& r) {
    static const std::vector<uint64_t> kGaps = {50,   300,   800,   1500,  3000,
                                                8000, 20000, 60000, 180000};
    const uint64_t gap = r.Pick(kGaps);
    return gap + r.Below(gap);
}

// The machine as the day begins: the queue and its ports, the printer perhaps plugged in, the
// spooler's pace and quirks, perhaps a control before kq5 runs and a fault from the start.
void MachineLines(Day& d) {
    Random& r = d.r;
    Scenario& s = d.s;
    s.queuePort = "USB001";
    s.ports = {{"USB002", kUsbMonitor}, {"USB003", kUsbMonitor}};
    if (r.Chance(85)) {
        d.present = true;
        d.port = r.Chance(80) ? "USB001" : r.Pick(kPorts);
        s.printerPresent = true;
        s.printerSerial = SerialOnPort(d.port);
        s.printerPort = d.port;
        s.printerCode = r.Pick(kCodes);
    }
    static const std::vector<uint64_t> kStopTimes = {0,     0,     450,   1000, 3000,
                                                     12000, 15000, 25000, 45000};
    static const std::vector<uint64_t> kStartTimes = {0, 0, 0, 500, 3000};
    s.spoolerStopMs = r.Pick(kStopTimes);
    s.spoolerStartMs = r.Pick(kStartTimes);
    s.spoolerStopHangs = r.Chance(3);
    if (r.Chance(5)) {
        s.spoolerStartBlocksMs = r.Chance(50) ? 5000 : 40000;
    }
    if (r.Chance(8)) {
        s.spoolerDependents.push_back("Fax");
    }
    if (r.Chance(3)) {
        s.controlAtStartup = r.Chance(70) ? SERVICE_CONTROL_STOP : SERVICE_CONTROL_SHUTDOWN;
        d.running = false;
    }
    if (r.Chance(10)) {
        const FaultKind& kind = PickFault(r);
        // The error is drawn before the call's number, as seeds have always had it.
        const DWORD error = r.Pick(kind.errors);
        const int nth = 1 + static_cast<int>(r.Below(4));
        s.failures.push_back(CallFailure{kind.function, nth, error, 1});
    }
}

// The device's read fails, or returns a few bytes.
void ReadEvent(Day& d) {
    Random& r = d.r;
    if (r.Chance(50)) {
        d.At(d.t, Event(EventKind::ReadFails));
        return;
    }
    ScenarioEvent e = Event(EventKind::ReadReturns);
    for (uint64_t i = 0, n = 1 + r.Below(6); i < n; ++i) {
        e.bytes.push_back(static_cast<BYTE>(r.Pick(kCodes)));
    }
    d.At(d.t, e);
}

// Moved to another socket: out and in again a moment later, kq5 perhaps stopped in the middle of
// the port move.
void MoveEvent(Day& d) {
    Random& r = d.r;
    if (d.present) {
        d.Unplug(d.t);
    }
    d.t += 50 + r.Below(3000);
    d.Plug(d.t, d.OtherPort());
    if (d.running && r.Chance(30)) {
        d.t += 100 + r.Below(12000);
        d.At(d.t, ControlEvent(r.Chance(80)));
        d.running = false;
    }
}

// kq5 stopped (perhaps stopped again while its own stop is under way), or started again.
void StopOrStartEvent(Day& d) {
    Random& r = d.r;
    if (!d.running) {
        d.At(d.t, Event(EventKind::Start));
        d.running = true;
        return;
    }
    d.At(d.t, ControlEvent(r.Chance(80)));
    d.running = false;
    if (r.Chance(20)) {
        d.t += 100 + r.Below(15000);
        d.At(d.t, Event(EventKind::Stop));
    }
}

// One event after a random gap, of a kind drawn by weight.
void NextEvent(Day& d) {
    Random& r = d.r;
    d.t += Gap(r);
    const uint64_t kind = r.Below(100);
    if (kind < 20) {
        d.At(d.t, StatusEvent(r.Pick(kCodes)));
    } else if (kind < 25) {
        ReadEvent(d);
    } else if (kind < 40) {
        if (d.present) {
            d.Unplug(d.t);
        } else {
            d.Plug(d.t, d.port.empty() || r.Chance(50) ? r.Pick(kPorts) : d.port);
        }
    } else if (kind < 48) {
        MoveEvent(d);
    } else if (kind < 52) {
        ScenarioEvent e = Event(r.Chance(50) ? EventKind::OtherDevice : EventKind::OtherDeviceGone);
        e.device = "M1";
        d.At(d.t, e);
    } else if (kind < 60) {
        StopOrStartEvent(d);
    } else if (kind < 64) {
        const bool start = !d.running && r.Chance(50);
        d.At(d.t, Event(start ? EventKind::Start : EventKind::Interrogate));
        d.running = d.running || start;
    } else if (kind < 76) {
        d.At(d.t, FaultEvent(r));
    } else if (!d.running) {
        d.At(d.t, Event(EventKind::Start));
        d.running = true;
    }
}

}  // namespace

Scenario GenerateScenario(uint64_t seed, int minutes) {
    Day d{Random{seed}, {}, 0, false, "", true, 0};
    d.s.header.push_back(" swarm seed " + std::to_string(seed));
    MachineLines(d);
    const uint64_t span = static_cast<uint64_t>(minutes) * 60000;
    while (d.t < span) {
        NextEvent(d);
    }
    if (!d.running && d.r.Chance(80)) {
        d.At(d.t + 1000 + d.r.Below(20000), Event(EventKind::Start));
    }
    d.s.endMs = d.last + kQuietTailMs;
    return d.s;
}

uint64_t SeedFromCommit(const std::string& commit, int index) {
    uint64_t hash = 0xCBF29CE484222325ull;  // FNV-1a over the commit id
    for (const char c : commit) {
        hash = (hash ^ static_cast<unsigned char>(c)) * 0x100000001B3ull;
    }
    Random r{hash + static_cast<uint64_t>(index)};
    return r.Next() % 1000000000ull;
}
