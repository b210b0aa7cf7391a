// --lab --printer on Windows: the walk-through's steps (walkthrough_steps.cpp) with the queue read
// through the spooler, the Spooler's process through the service manager and the tester at the
// console; afterwards the package's service configuration, read with the doctor's own look-ups.
#include "conformance/walkthrough.h"

#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

namespace conformance {
namespace {

const WCHAR kQueueName[] = L"Korvane-Q5";

QueueState ReadQueue() {
    QueueState state;
    PRINTER_DEFAULTSW read = {nullptr, nullptr, PRINTER_ACCESS_USE};
    HANDLE queue = nullptr;
    if (!OpenPrinterW(const_cast<WCHAR*>(kQueueName), &queue, &read)) {
        return state;
    }
    DWORD needed = 0;
    GetPrinterW(queue, 2, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed + sizeof(PRINTER_INFO_2W));
    if (GetPrinterW(queue, 2, buffer.data(), needed, &needed)) {
        const auto* record = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
        state.found = true;
        state.status = record->Status;
        state.port = record->pPortName ? record->pPortName : L"";
    }
    ClosePrinter(queue);
    return state;
}

DWORD SpoolerProcess() {
    SC_HANDLE spooler = OpenServiceByName("Spooler");
    SERVICE_STATUS_PROCESS status = {};
    DWORD size = 0;
    const bool read = QueryServiceStatusEx(spooler, SC_STATUS_PROCESS_INFO,
                                           reinterpret_cast<LPBYTE>(&status), sizeof status, &size);
    CloseServiceHandle(spooler);
    return read && status.dwCurrentState == SERVICE_RUNNING ? status.dwProcessId : 0;
}

SidAnswer ReadSidType(const std::string& service) {
    SidAnswer answer;
    SC_HANDLE handle = OpenServiceByName(service.c_str());
    SERVICE_SID_INFO info = {};
    DWORD needed = 0;
    if (QueryServiceConfig2W(handle, SERVICE_CONFIG_SERVICE_SID_INFO,
                             reinterpret_cast<LPBYTE>(&info), sizeof info, &needed)) {
        answer.known = true;
        answer.type = info.dwServiceSidType;
        answer.none = info.dwServiceSidType == SERVICE_SID_TYPE_NONE;
    } else {
        answer.error = GetLastError();
    }
    CloseServiceHandle(handle);
    return answer;
}

}  // namespace

std::vector<Outcome> RunPrinterWalkthrough(std::FILE* prompts) {
    WalkthroughSystem system;
    system.readQueue = ReadQueue;
    system.spoolerProcess = SpoolerProcess;
    system.sleep = [](DWORD ms) { Sleep(ms); };
    system.prompt = [prompts](const std::string& action) {
        std::fprintf(prompts, "\n>>> %s, then press Enter.\n", action.c_str());
        std::fflush(prompts);
        std::string line;
        return static_cast<bool>(std::getline(std::cin, line));
    };
    system.say = [prompts](const std::string& text) {
        std::fprintf(prompts, "%s\n", text.c_str());
    };
    system.onWine = OnWine();
    std::vector<Outcome> steps = PrinterSteps(system);
    const ::Facts facts = GatherFacts();
    const SidAnswer sid = facts.service.installed ? ReadSidType(facts.service.name) : SidAnswer{};
    for (const Outcome& outcome : PackageSteps(facts.service, sid)) {
        steps.push_back(outcome);
    }
    return steps;
}

}  // namespace conformance
