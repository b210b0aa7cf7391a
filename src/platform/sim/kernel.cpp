// kernel32 and user32 of the simulated machine: last error, clock, debugger output, standard
// output, memory, threads and text conversion.
#include <cstdlib>
#include <cstring>

#include "common/escape.h"
#include "platform/sim/machine.h"

using namespace sim;

namespace {

thread_local DWORD lastError = 0;

HANDLE const kStandardOutput = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7));

std::string Escape(const char* text, size_t length) {
    return EscapeBytes(text, length);
}

}  // namespace

DWORD WINAPI GetLastError() {
    return lastError;
}

void WINAPI SetLastError(DWORD dwErrCode) {
    lastError = dwErrCode;
}

void WINAPI Sleep(DWORD dwMilliseconds) {
    uint64_t wakeAt = 0;
    {
        std::lock_guard<std::mutex> lock(MachineLock());
        Machine& m = TheMachine();
        RecordCall(m, "Sleep", [&] { return std::to_string(dwMilliseconds); });
        wakeAt = m.nowMs + dwMilliseconds;
        if (!OnSimulatedThread()) {
            m.nowMs = wakeAt;  // nothing else runs: time simply moves on
            return;
        }
    }
    SleepUntil(wakeAt);
}

// Milliseconds since the machine started: the simulated clock.
ULONGLONG WINAPI GetTickCount64() {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    RecordCall(m, "GetTickCount64", [&] { return ""; });
    return m.nowMs;
}

void WINAPI OutputDebugStringA(LPCSTR lpOutputString) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    const std::string text = lpOutputString == nullptr ? "" : lpOutputString;
    RecordCall(m, "OutputDebugStringA",
               [&] { return "\"" + Escape(text.data(), text.size()) + "\""; });
    if (m.recording) {
        m.debugLines.push_back(text);
    }
    AddTimeline(m, ReadServiceLine(Channel::Debug, Escape(text.data(), text.size())));
    // With no debugger attached, the call looks for a debug-output monitor's shared buffer
    // ("DBWIN_BUFFER"); the failed open leaves its error behind, so a last error read after a
    // diagnostic line is no longer the one the line was about.
    SetLastError(ERROR_FILE_NOT_FOUND);
}

HANDLE WINAPI GetStdHandle(DWORD nStdHandle) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    if (auto error = RecordCall(m, "GetStdHandle",
                                [&] { return std::to_string(static_cast<int32_t>(nStdHandle)); })) {
        SetLastError(*error);
        return INVALID_HANDLE_VALUE;
    }
    if (nStdHandle != STD_OUTPUT_HANDLE) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    // A process that the service manager starts has no console and no redirected handles:
    // Windows answers NULL, not a failure.
    return m.startedByServiceManager ? nullptr : kStandardOutput;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite,
                      LPDWORD lpNumberOfBytesWritten, LPOVERLAPPED lpOverlapped) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    const char* bytes = static_cast<const char*>(lpBuffer);
    const bool toStdout = hFile == kStandardOutput;
    const auto error = RecordCall(m, "WriteFile", [&] {
        return (toStdout ? std::string("stdout") : HandleName(m, hFile)) + ", \"" +
               Escape(bytes, nNumberOfBytesToWrite) + "\", " +
               std::to_string(nNumberOfBytesToWrite);
    });
    if (lpNumberOfBytesWritten != nullptr) {
        *lpNumberOfBytesWritten = 0;
    }
    if (error) {
        SetLastError(*error);
        return FALSE;
    }
    if (hFile == nullptr && bytes != nullptr) {
        // What a service writes to the standard output it does not have.
        AddTimeline(m, ReadServiceLine(Channel::StdoutLost, Escape(bytes, nNumberOfBytesToWrite)));
    }
    if (!toStdout || lpOverlapped != nullptr || (bytes == nullptr && nNumberOfBytesToWrite != 0)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (m.recording) {
        m.standardOutput.append(bytes, nNumberOfBytesToWrite);
    }
    AddTimeline(m, ReadServiceLine(Channel::Stdout, Escape(bytes, nNumberOfBytesToWrite)));
    if (lpNumberOfBytesWritten != nullptr) {
        *lpNumberOfBytesWritten = nNumberOfBytesToWrite;
    }
    // The last error after a successful write is not defined; here it is cleared, so that a read
    // of it after the write shows.
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

HGLOBAL WINAPI GlobalAlloc(UINT uFlags, SIZE_T dwBytes) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    if (auto error = RecordCall(m, "GlobalAlloc",
                                [&] { return Hex(uFlags) + ", " + std::to_string(dwBytes); })) {
        SetLastError(*error);
        return nullptr;
    }
    void* memory = std::malloc(dwBytes == 0 ? 1 : dwBytes);
    if (memory == nullptr) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    // Without GMEM_ZEROINIT the block holds garbage, so code that relies on zeros shows up.
    std::memset(memory, (uFlags & GMEM_ZEROINIT) != 0 ? 0 : 0xCD, dwBytes);
    HandleEntry entry;
    entry.kind = "memory";
    entry.memory = memory;
    // A fixed block's handle is its address.
    return NewHandle(m, entry, reinterpret_cast<uintptr_t>(memory));
}

HGLOBAL WINAPI GlobalFree(HGLOBAL hMem) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    RecordCall(m, "GlobalFree", [&] { return HandleName(m, hMem); });
    HandleEntry* entry = FindHandle(m, hMem, "memory");
    if (entry == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return hMem;
    }
    std::free(entry->memory);
    ReleaseHandle(m, hMem);
    return nullptr;
}

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    if (auto error = RecordCall(m, "MultiByteToWideChar", [&] {
            return std::to_string(CodePage) + ", " + std::to_string(dwFlags) + ", " +
                   std::to_string(cbMultiByte) + ", " + std::to_string(cchWideChar);
        })) {
        SetLastError(*error);
        return 0;
    }
    // The simulated machine's ANSI code page: ASCII, and Latin-1 above it.
    if ((CodePage != CP_THREAD_ACP && CodePage != CP_ACP) || lpMultiByteStr == nullptr ||
        cbMultiByte == 0 || cchWideChar < 0 || (lpWideCharStr == nullptr && cchWideChar != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // Any negative length means up to and with the NUL, as -1 does.
    const size_t length =
        cbMultiByte < 0 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    if (cchWideChar == 0) {
        return static_cast<int>(length);
    }
    if (static_cast<size_t>(cchWideChar) < length) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    for (size_t i = 0; i < length; ++i) {
        lpWideCharStr[i] = static_cast<unsigned char>(lpMultiByteStr[i]);
    }
    return static_cast<int>(length);
}

HANDLE WINAPI CreateThread(LPSECURITY_ATTRIBUTES lpThreadAttributes, SIZE_T dwStackSize,
                           LPTHREAD_START_ROUTINE lpStartAddress, LPVOID lpParameter,
                           DWORD dwCreationFlags, LPDWORD lpThreadId) {
    HANDLE thread = nullptr;
    std::function<void()> body = [lpStartAddress, lpParameter] { lpStartAddress(lpParameter); };
    {
        std::lock_guard<std::mutex> lock(MachineLock());
        Machine& m = TheMachine();
        const auto args = [&] {
            return std::string(lpThreadAttributes ? "attributes" : "null") + ", " +
                   std::to_string(dwStackSize) + ", " + (lpParameter ? "parameter" : "null") +
                   ", " + std::to_string(dwCreationFlags) + ", " + (lpThreadId ? "id" : "null");
        };
        if (auto error = RecordCall(m, "CreateThread", args)) {
            SetLastError(*error);
            return nullptr;
        }
        HandleEntry entry;
        entry.kind = "thread";
        thread = NewHandle(m, entry);
        if (lpThreadId != nullptr) {
            *lpThreadId = static_cast<DWORD>(m.handleNumbers["thread"]);
        }
    }
    // Outside a running process (a unit test calling a start routine directly) the thread is
    // recorded but not run: the test drives the thread's work itself.
    void* simulated = StartSimulatedThread("thread", std::move(body));
    std::lock_guard<std::mutex> lock(MachineLock());
    if (HandleEntry* entry = FindHandle(TheMachine(), thread, "thread")) {
        entry->thread = simulated;
    }
    return thread;
}

DWORD WINAPI WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    void* simulated = nullptr;
    uint64_t deadline = 0;
    {
        std::lock_guard<std::mutex> lock(MachineLock());
        Machine& m = TheMachine();
        const auto args = [&] {
            return HandleName(m, hHandle) + ", " + std::to_string(dwMilliseconds);
        };
        HandleEntry* entry = RecordOnHandle(m, "WaitForSingleObject", args, hHandle, "thread");
        if (entry == nullptr) {
            return WAIT_FAILED;
        }
        simulated = entry->thread;
        deadline = dwMilliseconds == INFINITE ? UINT64_MAX : m.nowMs + dwMilliseconds;
        if (simulated == nullptr || !OnSimulatedThread()) {
            // A thread that never runs (outside a process) never ends: the wait times out.
            m.nowMs = deadline == UINT64_MAX ? m.nowMs : deadline;
            return WAIT_TIMEOUT;
        }
    }
    // A thread object is signalled once its thread has ended.
    return AwaitSimulatedThread(simulated, deadline) ? WAIT_OBJECT_0 : WAIT_TIMEOUT;
}

BOOL WINAPI CloseHandle(HANDLE hObject) {
    return CloseHandleOf("CloseHandle", hObject, {"thread", "device"});
}
