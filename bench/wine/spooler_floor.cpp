// spooler_floor.exe DEVICE-PATH N: the floor under the service's acting cycle. Makes, N times and
// without pausing, the calls of one cycle with a door-open status: one 5-byte read from the
// printer's device, then open the queue, read its level-2 record (size query and read), pause it,
// set its status and close it. The benchmark measures the process's CPU time from outside.
#include <windows.h>
#include <winspool.h>

#include <cstdio>
#include <vector>

namespace {

void QueueCycle() {
    wchar_t name[] = L"Korvane-Q5";
    PRINTER_DEFAULTSW request = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE queue = nullptr;
    if (!OpenPrinterW(name, &queue, &request)) {
        return;
    }
    DWORD needed = 0;
    GetPrinterW(queue, 2, nullptr, 0, &needed);
    std::vector<BYTE> record(needed ? needed : 1);
    GetPrinterW(queue, 2, record.data(), needed, &needed);
    SetPrinterW(queue, 0, nullptr, PRINTER_CONTROL_PAUSE);
    SetPrinterW(queue, 0,
                reinterpret_cast<LPBYTE>(static_cast<ULONG_PTR>(PRINTER_STATUS_DOOR_OPEN)),
                PRINTER_CONTROL_SET_STATUS);
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
        BYTE frame[5];
        DWORD count = 0;
        ReadFile(device, frame, sizeof frame, &count, nullptr);
        QueueCycle();
    }
    CloseHandle(device);
    return 0;
}
