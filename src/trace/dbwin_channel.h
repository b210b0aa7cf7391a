// The debug-output channel as debug viewers hold it (the DBWIN protocol): OutputDebugStringA in any
// process of the namespace takes "DBWinMutex", waits for "DBWIN_BUFFER_READY", writes its process
// id and text into the 4096-byte section "DBWIN_BUFFER" and sets "DBWIN_DATA_READY". Only one
// viewer can hold the channel: the objects are created here, and finding them already there means
// another viewer has them. Windows builds only (kq5trace and the Wine checks' capture).
#pragma once

#include <windows.h>

#include <string>

#include "trace/record_loop.h"

struct DbwinChannel {
    HANDLE mutex = nullptr;
    HANDLE bufferReady = nullptr;
    HANDLE dataReady = nullptr;
    HANDLE section = nullptr;
    const BYTE* view = nullptr;
    DWORD error = 0;  // the last error of a failed open
};

inline constexpr DWORD kDbwinBufferSize = 4096;

inline void CloseChannel(DbwinChannel& channel) {
    if (channel.view != nullptr) {
        UnmapViewOfFile(channel.view);
    }
    for (HANDLE h : {channel.section, channel.dataReady, channel.bufferReady, channel.mutex}) {
        if (h != nullptr) {
            CloseHandle(h);
        }
    }
    channel = DbwinChannel{};
}

// PREFIX is L"Global\\" for the global namespace, where a service of session 0 writes, or L""
// for the caller's own session. Creating global objects needs SeCreateGlobalPrivilege
// (administrators have it), which a refusal with ERROR_ACCESS_DENIED reports.
inline ChannelOpen OpenChannel(DbwinChannel& channel, const std::wstring& prefix) {
    channel = DbwinChannel{};
    HANDLE* handles[] = {&channel.mutex, &channel.bufferReady, &channel.dataReady,
                         &channel.section};
    for (size_t i = 0; i < 4; ++i) {
        SetLastError(0);
        HANDLE h =
            i == 0   ? CreateMutexW(nullptr, FALSE, (prefix + L"DBWinMutex").c_str())
            : i == 1 ? CreateEventW(nullptr, FALSE, FALSE, (prefix + L"DBWIN_BUFFER_READY").c_str())
            : i == 2 ? CreateEventW(nullptr, FALSE, FALSE, (prefix + L"DBWIN_DATA_READY").c_str())
                     : CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                          kDbwinBufferSize, (prefix + L"DBWIN_BUFFER").c_str());
        const DWORD error = GetLastError();
        *handles[i] = h;
        // The mutex is shared with every writer and may exist without a viewer.
        if (h == nullptr || (i > 0 && error == ERROR_ALREADY_EXISTS)) {
            CloseChannel(channel);  // clears the record: the error is set after it
            channel.error = h == nullptr ? error : ERROR_ALREADY_EXISTS;
            return error == ERROR_ALREADY_EXISTS  ? ChannelOpen::Taken
                   : error == ERROR_ACCESS_DENIED ? ChannelOpen::NoRights
                                                  : ChannelOpen::Failed;
        }
    }
    channel.view = static_cast<const BYTE*>(
        MapViewOfFile(channel.section, FILE_MAP_READ, 0, 0, kDbwinBufferSize));
    if (channel.view == nullptr) {
        const DWORD error = GetLastError();
        CloseChannel(channel);
        channel.error = error;
        return ChannelOpen::Failed;
    }
    SetEvent(channel.bufferReady);  // the first writer may go
    return ChannelOpen::Ok;
}

// Waits up to TIMEOUTMS for a message; true with the writer's process id and the text's raw
// bytes (up to its terminator, or the end of the buffer) when one came. The buffer is handed back
// to the next writer only once the text is copied.
inline bool ReceiveMessage(const DbwinChannel& channel, DWORD timeoutMs, DWORD& processId,
                           std::string& text) {
    if (WaitForSingleObject(channel.dataReady, timeoutMs) != WAIT_OBJECT_0) {
        return false;
    }
    CopyMemory(&processId, channel.view, sizeof(DWORD));
    const char* bytes = reinterpret_cast<const char*>(channel.view + sizeof(DWORD));
    size_t length = 0;
    while (length < kDbwinBufferSize - sizeof(DWORD) && bytes[length] != '\0') {
        ++length;
    }
    text.assign(bytes, length);
    SetEvent(channel.bufferReady);
    return true;
}
