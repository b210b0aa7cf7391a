#include "queue/queue.h"

#include <new>

#include "common/diagnostics.h"
#include "common/format.h"
#include "common/service_state.h"

namespace {

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
        DebugPrint(diagnostics::kOpenErrorFormat, error);
        WriteStandardOutput(FormatDebugLine(diagnostics::kOpenFailedMessage));
        return INVALID_HANDLE_VALUE;
    }
    return queue;
}

QueueInfo ReadQueueInfo(HANDLE queue) {
    DWORD needed = 0;
    GetPrinterW(queue, 2, nullptr, 0, &needed);
    QueueInfo info(new (std::nothrow) BYTE[needed == 0 ? 1 : needed]);
    if (!info || GetPrinterW(queue, 2, info.get(), needed, &needed) == 0) {
        DebugPrint(diagnostics::kReadFailedMessage);
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
    DebugPrint(diagnostics::kGetPrinterHandle);
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
