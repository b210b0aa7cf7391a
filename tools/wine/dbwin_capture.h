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

#include "trace/dbwin_channel.h"

struct DebugMessage {
    DWORD processId;
    std::string text;
};

class DebugOutputCapture {
public:
    // False when another capture already owns the channel (the session's own names).
    bool Start() {
        if (OpenChannel(channel_, L"") != ChannelOpen::Ok) {
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
        CloseChannel(channel_);
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
    void Loop() {
        while (running_) {
            DebugMessage message;
            if (ReceiveMessage(channel_, 50, message.processId, message.text)) {
                std::lock_guard<std::mutex> lock(lock_);
                messages_.push_back(message);
            }
        }
    }

    DbwinChannel channel_;
    std::atomic<bool> running_{false};
    std::thread thread_;
    std::mutex lock_;
    std::vector<DebugMessage> messages_;
};
