// Rewriting the queue's port: only the port move (src/portmove) calls it.
#include "queue/queue.h"
#include "queue/spooler.h"

namespace {

constexpr int kPortWriteAttempts = 21;  // the first write and up to 20 immediate repeats

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
