#include "queue/queue.h"

#include <new>

#include "common/format.h"
#include "common/service_state.h"

namespace {

// Code page 936 (GBK) bytes, kept as escapes so that no source encoding can change them.
// "Opening the printer failed!"
constexpr const char* kOpenFailedMessage =
    "\xB4\xF2\xBF\xAA\xB4\xF2\xD3\xA1\xBB\xFA\xCA\xA7\xB0\xDC!";
// "Getting the PRINTER_INFO_2 array failed!"
constexpr const char* kReadFailedMessage =
    "\xBB\xF1\xB5\xC3PRINTER_INFO_2\xB5\xC4\xCA\xFD\xD7\xE9\xCA\xA7\xB0\xDC!";

void WriteStandardOutput(const DebugLine& line) {
    DWORD written = 0;
    WriteFile(GetStdHandle(STD_OUTPUT_HANDLE), line.text, static_cast<DWORD>(line.length), &written,
              nullptr);
}

void SendQueueCommands(HANDLE queue, DWORD command, DWORD status) {
    SetPrinterW(queue, 0, nullptr, command);
    // The status word travels in the data argument itself, not behind a pointer.
    SetPrinterW(queue, 0, reinterpret_cast<LPBYTE>(static_cast<ULONG_PTR>(status)),
                PRINTER_CONTROL_SET_STATUS);
}

}  // namespace

HANDLE OpenQueue() {
    HANDLE queue = INVALID_HANDLE_VALUE;
    PRINTER_DEFAULTSW request = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    WideString name = kQueueName;
    if (OpenPrinterW(name.data(), &queue, &request) == 0) {
        const DWORD error = GetLastError();
        DebugPrint(" Open Printer Error :GetLastError() returns: 0x%x\n", error);
        WriteStandardOutput(FormatDebugLine(kOpenFailedMessage));
        return INVALID_HANDLE_VALUE;
    }
    return queue;
}

QueueInfo ReadQueueInfo(HANDLE queue) {
    DWORD needed = 0;
    GetPrinterW(queue, 2, nullptr, 0, &needed);
    QueueInfo info(new (std::nothrow) BYTE[needed == 0 ? 1 : needed]);
    if (!info || GetPrinterW(queue, 2, info.get(), needed, &needed) == 0) {
        DebugPrint(kReadFailedMessage);
        return nullptr;
    }
    return info;
}

HANDLE OpenQueueChecked() {
    HANDLE queue = OpenQueue();
    if (queue == INVALID_HANDLE_VALUE) {
        return queue;
    }
    if (!ReadQueueInfo(queue)) {
        ClosePrinter(queue);
        return INVALID_HANDLE_VALUE;
    }
    return queue;
}

WideString QueryQueuePort() {
    DebugPrint("GetPrinterHandle");
    HANDLE queue = OpenQueue();
    if (queue == INVALID_HANDLE_VALUE) {
        return WideString();
    }
    const QueueInfo info = ReadQueueInfo(queue);
    WideString port;
    if (info && InfoRecord(info)->pPortName != nullptr) {
        port = InfoRecord(info)->pPortName;
    }
    ClosePrinter(queue);
    return port;
}

void ApplyQueueState(DWORD command, DWORD status) {
    HANDLE queue = OpenQueueChecked();
    if (queue == INVALID_HANDLE_VALUE) {
        return;  // OpenQueueChecked has written its lines; the queue stays as it is
    }
    SendQueueCommands(queue, command, status);
    ClosePrinter(queue);
}

void ResumeQueue() {
    ApplyQueueState(PRINTER_CONTROL_RESUME, 0);
}
