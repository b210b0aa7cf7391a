// Captures OutputDebugStringA text from every process of the session, as debug viewers do: through
// the shared "DBWIN_BUFFER" section and its two events. Each message arrives as raw bytes with the
// id of the process that wrote it.
#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

struct DebugMessage {
    DWORD processId;
    std::string text;
};

class DebugOutputCapture {
public:
    // False when another capture already owns the channel.
    bool Start() {
        mutex_ = CreateMutexW(nullptr, FALSE, L"DBWinMutex");
        bufferReady_ = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_BUFFER_READY");
        dataReady_ = CreateEventW(nullptr, FALSE, FALSE, L"DBWIN_DATA_READY");
        if (bufferReady_ == nullptr || dataReady_ == nullptr ||
            GetLastError() == ERROR_ALREADY_EXISTS) {
            return false;
        }
        section_ = CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, kSize,
                                      L"DBWIN_BUFFER");
        if (section_ == nullptr) {
            return false;
        }
        view_ = static_cast<BYTE*>(MapViewOfFile(section_, FILE_MAP_READ, 0, 0, kSize));
        if (view_ == nullptr) {
            return false;
        }
        running_ = true;
        thread_ = std::thread([this] { Loop(); });
        return true;
    }

    void Stop() {
        running_ = false;
        if (thread_.joinable()) {
            thread_.join();
        }
        if (view_ != nullptr)
            UnmapViewOfFile(view_);
        for (HANDLE h : {section_, dataReady_, bufferReady_, mutex_}) {
            if (h != nullptr)
                CloseHandle(h);
        }
        view_ = nullptr;
        section_ = dataReady_ = bufferReady_ = mutex_ = nullptr;
    }

    ~DebugOutputCapture() { Stop(); }

    std::vector<DebugMessage> Messages() {
        std::lock_guard<std::mutex> lock(lock_);
        return messages_;
    }

    // The texts written by this process, in order.
    std::vector<std::string> OwnTexts() {
        std::vector<std::string> texts;
        for (const DebugMessage& m : Messages()) {
            if (m.processId == GetCurrentProcessId()) {
                texts.push_back(m.text);
            }
        }
        return texts;
    }

    void Clear() {
        std::lock_guard<std::mutex> lock(lock_);
        messages_.clear();
    }

private:
    static constexpr DWORD kSize = 4096;

    void Loop() {
        SetEvent(bufferReady_);
        while (running_) {
            if (WaitForSingleObject(dataReady_, 50) != WAIT_OBJECT_0) {
                continue;
            }
            DebugMessage message;
            CopyMemory(&message.processId, view_, sizeof(DWORD));
            const char* text = reinterpret_cast<const char*>(view_ + sizeof(DWORD));
            size_t length = 0;
            while (length < kSize - sizeof(DWORD) && text[length] != '\0') {
                ++length;
            }
            message.text.assign(text, length);
            {
                std::lock_guard<std::mutex> lock(lock_);
                messages_.push_back(message);
            }
            SetEvent(bufferReady_);
        }
    }

    HANDLE mutex_ = nullptr;
    HANDLE bufferReady_ = nullptr;
    HANDLE dataReady_ = nullptr;
    HANDLE section_ = nullptr;
    BYTE* view_ = nullptr;
    std::atomic<bool> running_{false};
    std::thread thread_;
    std::mutex lock_;
    std::vector<DebugMessage> messages_;
};
