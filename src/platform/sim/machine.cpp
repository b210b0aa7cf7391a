// The simulated machine's core: call log, failure injection, handle table, output channels,
// timeline and the public control panel.
#include "platform/sim/machine.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <iterator>
#include <stdexcept>
#include <string_view>

#include "platform/sim/win32_calls.h"

namespace sim {

Machine& TheMachine() {
    static Machine machine;
    return machine;
}

std::mutex& MachineLock() {
    static std::mutex lock;
    return lock;
}

namespace {

void FreeMemoryHandles(Machine& m) {
    for (auto& [value, entry] : m.handles) {
        if (entry.kind == "memory") {
            std::free(entry.memory);
        }
    }
}

}  // namespace

void EndProcess() {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    FreeMemoryHandles(m);
    m.handles.clear();
}

void Reset() {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    FreeMemoryHandles(m);
    m = Machine();
    ServiceRecord spooler;
    spooler.name = "Spooler";
    m.services.push_back(spooler);
}

uint64_t NowMs() {
    return ReadMachine(&Machine::nowMs);
}

// ---- Call log and failure injection ------------------------------------------------------------

namespace {

void CheckKnown(const std::string& caller, const std::string& function) {
    if (FindWin32Call(function) == nullptr) {
        throw std::invalid_argument(caller + ": the simulation has no function '" + function + "'");
    }
}

}  // namespace

void LogCall(Machine& m, const char* function, const std::string& args) {
    m.calls.push_back(function + ("(" + args + ")"));
}

std::optional<DWORD> CountCall(Machine& m, const char* function) {
    auto count = m.callTotals.find(std::string_view(function));
    if (count == m.callTotals.end()) {
        count = m.callTotals.emplace(function, 0).first;
    }
    const int ordinal = static_cast<int>(++count->second);
    for (const CallAction& a : m.callActions) {
        if (a.nth == ordinal && a.function == function) {
            a.action();
        }
    }
    for (Failure& f : m.failures) {
        if (ordinal >= f.first && ordinal - f.first < f.count && f.function == function) {
            ++f.delivered;
            if (m.recording) {
                m.failureHits.push_back(FailureHit{function, f.error, m.nowMs});
            }
            return f.error;
        }
    }
    return std::nullopt;
}

std::vector<FailureHit> FailureHits() {
    return ReadMachine(&Machine::failureHits);
}

std::vector<std::string> Calls() {
    return ReadMachine(&Machine::calls);
}

std::vector<std::string> CallsOf(const std::vector<std::string>& names) {
    std::lock_guard<std::mutex> lock(MachineLock());
    std::vector<std::string> selected;
    for (const std::string& call : TheMachine().calls) {
        const std::string name = call.substr(0, call.find('('));
        if (std::find(names.begin(), names.end(), name) != names.end()) {
            selected.push_back(call);
        }
    }
    return selected;
}

int CallCount(const std::string& function) {
    std::lock_guard<std::mutex> lock(MachineLock());
    int count = 0;
    for (const std::string& call : TheMachine().calls) {
        count += call.compare(0, function.size() + 1, function + "(") == 0 ? 1 : 0;
    }
    return count;
}

std::map<std::string, uint64_t> CallTotals() {
    std::lock_guard<std::mutex> lock(MachineLock());
    const auto& totals = TheMachine().callTotals;
    return std::map<std::string, uint64_t>(totals.begin(), totals.end());
}

void SetRecording(bool on) {
    std::lock_guard<std::mutex> lock(MachineLock());
    TheMachine().recording = on;
}

void ClearCalls() {
    std::lock_guard<std::mutex> lock(MachineLock());
    TheMachine().calls.clear();
}

bool CanFail(const std::string& function) {
    const Win32Call* call = FindWin32Call(function);
    return call != nullptr && call->canFail;
}

void SetCallDuration(const std::string& function, uint64_t ms) {
    std::lock_guard<std::mutex> lock(MachineLock());
    TheMachine().callDurations[function] = ms;
}

void FailCall(const std::string& function, int nth, DWORD error, int count) {
    CheckKnown("FailCall", function);
    if (!CanFail(function)) {
        throw std::invalid_argument("FailCall: the simulation cannot make " + function + " fail");
    }
    if (nth < 1 || count < 1) {
        throw std::invalid_argument("FailCall: calls are counted from 1, and at least one fails");
    }
    std::lock_guard<std::mutex> lock(MachineLock());
    TheMachine().failures.push_back(Failure{function, nth, count, error});
}

std::vector<std::string> UndeliveredInjections() {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    std::vector<std::string> undelivered;
    auto made = [&m](const std::string& function) {
        const auto count = m.callTotals.find(function);
        return count == m.callTotals.end() ? 0 : count->second;
    };
    auto missed = [&made](const std::string& function, int nth) {
        return "no call " + std::to_string(nth) + " of " + function + " came (" +
               std::to_string(made(function)) + " made)";
    };
    for (const Failure& f : m.failures) {
        if (f.delivered == 0) {
            undelivered.push_back(missed(f.function, f.first));
        }
    }
    for (const CallAction& a : m.callActions) {
        if (made(a.function) < static_cast<uint64_t>(a.nth)) {
            undelivered.push_back(missed(a.function, a.nth));
        }
    }
    return undelivered;
}

void AtCall(const std::string& function, int nth, std::function<void()> action) {
    CheckKnown("AtCall", function);
    std::lock_guard<std::mutex> lock(MachineLock());
    TheMachine().callActions.push_back(CallAction{function, nth, std::move(action)});
}

// ---- Handles -----------------------------------------------------------------------------------

void* NewHandle(Machine& m, HandleEntry entry, uintptr_t at) {
    entry.number = ++m.handleNumbers[entry.kind];
    if (at == 0) {
        // Distinct, non-null, never INVALID_HANDLE_VALUE, and never reused within one machine.
        m.nextHandle += 0x10;
        at = m.nextHandle;
    }
    m.handles[at] = std::move(entry);
    return reinterpret_cast<void*>(at);
}

HandleEntry* FindHandle(Machine& m, const void* handle, const std::string& kind) {
    auto it = m.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == m.handles.end() || it->second.kind != kind) {
        return nullptr;
    }
    return &it->second;
}

void ReleaseHandle(Machine& m, const void* handle) {
    m.handles.erase(reinterpret_cast<uintptr_t>(handle));
}

bool RecordClose(Machine& m, const char* function, const void* handle,
                 std::initializer_list<const char*> kinds) {
    // Its answer is not asked: a call that only releases cannot be made to fail (see CanFail).
    RecordCall(m, function, [&] { return HandleName(m, handle); });
    for (const char* kind : kinds) {
        if (FindHandle(m, handle, kind) != nullptr) {
            ReleaseHandle(m, handle);
            return true;
        }
    }
    return false;
}

BOOL CloseHandleOf(const char* function, const void* handle,
                   std::initializer_list<const char*> kinds) {
    std::lock_guard<std::mutex> lock(MachineLock());
    if (!RecordClose(TheMachine(), function, handle, kinds)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

std::string HandleName(Machine& m, const void* handle) {
    if (handle == nullptr) {
        return "null";
    }
    if (handle == INVALID_HANDLE_VALUE) {
        return "INVALID_HANDLE_VALUE";
    }
    if (handle == HKEY_LOCAL_MACHINE) {
        return "HKEY_LOCAL_MACHINE";
    }
    auto it = m.handles.find(reinterpret_cast<uintptr_t>(handle));
    if (it == m.handles.end()) {
        return "stale:" + Hex(reinterpret_cast<uintptr_t>(handle));
    }
    return it->second.kind + "#" + std::to_string(it->second.number);
}

std::vector<std::string> OpenHandles() {
    std::lock_guard<std::mutex> lock(MachineLock());
    std::vector<std::string> open;
    for (const auto& [value, entry] : TheMachine().handles) {
        if (entry.mustClose) {
            open.push_back(entry.kind + "#" + std::to_string(entry.number));
        }
    }
    return open;
}

int OpenHandleCount(const std::string& kind) {
    std::lock_guard<std::mutex> lock(MachineLock());
    int count = 0;
    for (const auto& [value, entry] : TheMachine().handles) {
        count += (entry.kind == kind && entry.mustClose) ? 1 : 0;
    }
    return count;
}

// ---- Output and timeline -----------------------------------------------------------------------

// The events name the Win32 values they carry without a Windows header: the same numbers.
static_assert(kServiceStopped == SERVICE_STOPPED && kServiceStartPending == SERVICE_START_PENDING &&
              kServiceStopPending == SERVICE_STOP_PENDING && kServiceRunning == SERVICE_RUNNING);
static_assert(kPrinterStatusPaused == PRINTER_STATUS_PAUSED &&
              kPrinterStatusError == PRINTER_STATUS_ERROR &&
              kPrinterStatusPaperOut == PRINTER_STATUS_PAPER_OUT &&
              kPrinterStatusOffline == PRINTER_STATUS_OFFLINE &&
              kPrinterStatusDoorOpen == PRINTER_STATUS_DOOR_OPEN);
static_assert(kErrorRpcServerUnavailable == RPC_S_SERVER_UNAVAILABLE);

// The timeline stays in time order, events of the same time in the order recorded: a stop or
// start that completed before it was looked at goes in at its own, earlier time.
void AddTimelineAt(Machine& m, uint64_t atMs, EventDetail detail) {
    if (!m.recording) {
        return;
    }
    auto at = m.timeline.end();
    while (at != m.timeline.begin() && std::prev(at)->timeMs > atMs) {
        --at;
    }
    m.timeline.insert(at, TimelineEvent{atMs, std::move(detail)});
}

void AddTimeline(Machine& m, EventDetail detail) {
    AddTimelineAt(m, m.nowMs, std::move(detail));
}

std::vector<std::string> DebugLines() {
    return ReadMachine(&Machine::debugLines);
}

std::string StandardOutput() {
    return ReadMachine(&Machine::standardOutput);
}

std::vector<TimelineEvent> Timeline() {
    return ReadMachine(&Machine::timeline);
}

void Note(const std::string& source, const std::string& text) {
    std::lock_guard<std::mutex> lock(MachineLock());
    AddTimeline(TheMachine(), NoteEvent{source, text});
}

// ---- Text helpers ------------------------------------------------------------------------------

std::string Narrow(const Text16& text) {
    return ::Narrow(text);
}

Text16 Widen(const std::string& text) {
    Text16 wide;
    for (unsigned char c : text) {
        wide += static_cast<char16_t>(c);
    }
    return wide;
}

std::string Quote(const char* text) {
    return text == nullptr ? "null" : "\"" + std::string(text) + "\"";
}

std::string Quote(const WCHAR* text) {
    return text == nullptr ? "null" : "\"" + Narrow(Text16(text)) + "\"";
}

bool EqualsIgnoringCase16(const Text16& a, const Text16& b) {
    return EqualsFoldingAscii(a, b);
}

}  // namespace sim
