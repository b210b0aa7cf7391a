// advapi32's event logging on the simulated machine: a source registered with the EventLog
// service, the events reported through it (kept for the tests to read), its handle given back.
// Facts, with their evidence:
// - RegisterEventSourceW answers a handle, or NULL with the last error (Microsoft's page for it).
//   A source that no registry key names is no failure: the service writes to the Application
//   log (the same page; Wine's dlls/advapi32/tests/eventlog.c, test_readwrite, registers sources
//   and reports through each with ok()).
// - The calls reach the EventLog service by RPC: while it does not run they fail with
//   RPC_S_SERVER_UNAVAILABLE (Wine's tests skip the event log on exactly that answer, or on
//   ERROR_ACCESS_DENIED, which the fault injection gives).
// - ReportEventW needs a valid pointer for the strings when it has any, and for the raw data
//   when its size is not 0 (the buffer goes by RPC with that size); its failures are
//   ERROR_INVALID_PARAMETER, ERROR_NOT_ENOUGH_MEMORY, RPC_S_INVALID_BOUND, RPC_X_BAD_STUB_DATA
//   (Microsoft's page); a handle that is no event source's is ERROR_INVALID_HANDLE (Wine's
//   test_open_close for the log's handles).
// - DeregisterEventSource closes the handle; a second close or another handle fails with
//   ERROR_INVALID_HANDLE.
#include "platform/sim/machine.h"
#include "platform/sim/sim.h"

using namespace sim;

namespace {

constexpr char kSource[] = "event source";

std::string Strings(WORD count, LPCWSTR* strings) {
    std::string text;
    for (WORD i = 0; strings != nullptr && i < count; ++i) {
        text += ", " + Quote(strings[i]);
    }
    return text;
}

}  // namespace

namespace sim {

std::vector<ReportedEvent> ReportedEvents() {
    return ReadMachine(&Machine::reportedEvents);
}

void SetEventLogRunning(bool running) {
    std::lock_guard<std::mutex> lock(MachineLock());
    TheMachine().eventLogRunning = running;
}

}  // namespace sim

HANDLE WINAPI RegisterEventSourceW(LPCWSTR lpUNCServerName, LPCWSTR lpSourceName) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    if (auto error = RecordCall(m, "RegisterEventSourceW", [&] {
            return Quote(lpUNCServerName) + ", " + Quote(lpSourceName);
        })) {
        SetLastError(*error);
        return nullptr;
    }
    // No other machine answers here.
    const bool remote = lpUNCServerName != nullptr && lpUNCServerName[0] != 0;
    if (!m.eventLogRunning || remote) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return nullptr;
    }
    if (lpSourceName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    HandleEntry entry;
    entry.kind = kSource;
    entry.service = Narrow(lpSourceName);
    return NewHandle(m, entry);
}

BOOL WINAPI ReportEventW(HANDLE hEventLog, WORD wType, WORD wCategory, DWORD dwEventID, PSID,
                         WORD wNumStrings, DWORD dwDataSize, LPCWSTR* lpStrings, LPVOID lpRawData) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    const auto args = [&] {
        return HandleName(m, hEventLog) + ", " + std::to_string(wType) + ", " +
               std::to_string(dwEventID) + ", " + std::to_string(wNumStrings) +
               Strings(wNumStrings, lpStrings);
    };
    HandleEntry* source = RecordOnHandle(m, "ReportEventW", args, hEventLog, kSource);
    if (source == nullptr) {
        return FALSE;
    }
    if (!m.eventLogRunning) {
        SetLastError(RPC_S_SERVER_UNAVAILABLE);
        return FALSE;
    }
    if ((wNumStrings != 0 && lpStrings == nullptr) || (dwDataSize != 0 && lpRawData == nullptr)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ReportedEvent event{source->service, wType, wCategory, dwEventID, {}, dwDataSize};
    for (WORD i = 0; i < wNumStrings; ++i) {
        event.strings.push_back(lpStrings[i] != nullptr ? Text16(lpStrings[i]) : Text16());
    }
    m.reportedEvents.push_back(std::move(event));
    return TRUE;
}

BOOL WINAPI DeregisterEventSource(HANDLE hEventLog) {
    return CloseHandleOf("DeregisterEventSource", hEventLog, {kSource});
}
