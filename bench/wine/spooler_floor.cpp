// spooler_floor.exe DEVICE-PATH N: the floor under the service's acting cycle. Makes N times the
// Win32 calls of the status poller's cycle with a door-open status, with the same functions and
// arguments and the same opening and closing (src/monitor/status_poller.cpp, src/queue/queue.cpp):
// one 5-byte read from the printer's device, held open for good; then open the queue, its level-2
// record by the sizing protocol into a fresh block, the pause and the status commands, close the
// queue; the debugger line; the 800 ms sleep. The benchmark reads the process's CPU time from
// outside, at frames the virtual printer counts.
#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <new>

#include "common/format.h"

namespace {

constexpr DWORD kPollIntervalMs = 800;
constexpr DWORD kFrameSize = 5;
constexpr size_t kStatusCodeByte = 3;

void PauseQueueWithDoorOpen() {
    HANDLE queue = INVALID_HANDLE_VALUE;
    PRINTER_DEFAULTSW request = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    wchar_t name[] = L"Korvane-Q5";
    if (OpenPrinterW(name, &queue, &request) == 0) {
        return;
    }
    DWORD needed = 0;
    GetPrinterW(queue, 2, nullptr, 0, &needed);
    BYTE* record = new (std::nothrow) BYTE[needed == 0 ? 1 : needed];
    if (record != nullptr && GetPrinterW(queue, 2, record, needed, &needed) != 0) {
        SetPrinterW(queue, 0, nullptr, PRINTER_CONTROL_PAUSE);
        SetPrinterW(queue, 0,
                    reinterpret_cast<LPBYTE>(static_cast<ULONG_PTR>(PRINTER_STATUS_DOOR_OPEN)),
                    PRINTER_CONTROL_SET_STATUS);
    }
    delete[] record;
    ClosePrinter(queue);
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: spooler_floor DEVICE-PATH N\n");
        return 2;
    }
    const int iterations = _wtoi(argv[2]);
    HANDLE device = CreateFileW(argv[1], GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_NO_BUFFERING, nullptr);
    if (device == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "spooler_floor: cannot open %ls (%lu)\n", argv[1], GetLastError());
        return 1;
    }
    for (int i = 0; i < iterations; ++i) {
        BYTE frame[kFrameSize] = {};
        DWORD count = 0;
        if (ReadFile(device, frame, sizeof frame, &count, nullptr) && count == sizeof frame) {
            PauseQueueWithDoorOpen();
            DebugPrint("KQ5 STATUS:%d\r\n", static_cast<signed char>(frame[kStatusCodeByte]));
        }
        Sleep(kPollIntervalMs);
    }
    CloseHandle(device);
    return 0;
}
