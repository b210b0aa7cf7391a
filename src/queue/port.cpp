// Rewriting the queue's port and restarting the spooler so that it takes the new port.
#include "common/service_state.h"
#include "queue/queue.h"
#include "queue/spooler.h"
#include "queue/spooler_debt.h"

namespace {

constexpr int kPortWriteAttempts = 21;  // the first write and up to 20 immediate repeats
constexpr DWORD kPauseAfterStartMs = 300;
constexpr DWORD kSettleAfterStartMs = 1000;

bool WriteQueueRecord(HANDLE queue, PRINTER_INFO_2W* record) {
    for (int attempt = 0; attempt < kPortWriteAttempts; ++attempt) {
        if (SetPrinterW(queue, 2, reinterpret_cast<LPBYTE>(record), 0) != 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool WriteQueuePort(WideString newPort) {
    if (newPort.empty()) {
        return false;
    }
    HANDLE queue = OpenQueue();
    if (queue == INVALID_HANDLE_VALUE) {
        return false;
    }
    QueueInfo info = ReadQueueInfo(queue);
    if (!info) {
        ClosePrinter(queue);
        return false;
    }
    // Only the port changes; every other field goes back exactly as read.
    InfoRecord(info)->pPortName = newPort.data();
    const bool accepted = WriteQueueRecord(queue, InfoRecord(info));
    ClosePrinter(queue);
    return accepted;
}

void SetQueuePort(WideString newPort) {
    if (WriteQueuePort(std::move(newPort))) {
        RestartSpooler();
    }
}

void RestartSpooler() {
    BeginSpoolerRestart();
    StopSpooler();
    if (StartSpoolerOrOweIt()) {
        Sleep(kPauseAfterStartMs);
        Sleep(kSettleAfterStartMs);
    }
}
