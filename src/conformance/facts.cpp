// The facts of the conformance suite (facts.h). Where Wine departs from Windows, the fact says
// how and accepts Wine's answer there (ExpectOr), so that a run under Wine holds while naming it.
#include "conformance/facts.h"

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "conformance/machine.h"

#if defined(_WIN32)
#include <cpuid.h>
#endif

namespace conformance {
namespace {

const Text kQueue = WSTR("kq5-conformance");

// clang-format off
constexpr const char* kOwnQueues =
    "queues of its own on local ports it adds (USB201, USB202), deleted afterwards; an administrator";
constexpr const char* kOwnServices =
    "services of its own (kq5-conformance.exe --service), deleted afterwards; an administrator";
constexpr const char* kOwnKey =
    "values under HKLM\\SOFTWARE\\kq5-conformance, deleted afterwards; an administrator";
constexpr const char* kVirtualPrinter =
    "the virtual USB printer (Wine); on Windows not run: the real printer is --lab --printer's";
// clang-format on

bool SameIgnoringAsciiCase(const Text& a, const Text& b) {
    return EqualsIgnoringAsciiCase(a, b);
}

// The error the call leaves, ERROR_SUCCESS when it succeeds; a failing call must set its own.
template <typename Call>
DWORD ErrorOf(Call call) {
    SetLastError(0xdeadbeef);
    return call() ? DWORD{ERROR_SUCCESS} : GetLastError();
}

// Whether a string of a returned record is absent or lies behind the records, in the buffer.
bool Inside(const void* part, const std::vector<BYTE>& buffer, size_t recordsSize) {
    const auto* at = static_cast<const BYTE*>(part);
    return part == nullptr ||
           (at >= buffer.data() + recordsSize && at < buffer.data() + buffer.size());
}

// ---- Print spooler -----------------------------------------------------------------------------

HANDLE OpenQueue(const WCHAR* name) {
    PRINTER_DEFAULTSW all = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE printer = nullptr;
    return OpenPrinterW(const_cast<LPWSTR>(name), &printer, &all) ? printer : nullptr;
}

// The level-2 record by the sizing protocol: the size first, then a buffer of exactly that size.
std::vector<BYTE> ReadRecord(Check& check, HANDLE printer) {
    DWORD needed = 0;
    GetPrinterW(printer, 2, nullptr, 0, &needed);
    std::vector<BYTE> buffer(std::max<size_t>(needed, sizeof(PRINTER_INFO_2W)));
    Must(check, "GetPrinterW level 2 in the size asked for",
         GetPrinterW(printer, 2, buffer.data(), needed, &needed) != FALSE);
    return buffer;
}

PRINTER_INFO_2W* Record(std::vector<BYTE>& buffer) {
    return reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
}

Text PortOf(Check& check, HANDLE printer) {
    std::vector<BYTE> buffer = ReadRecord(check, printer);
    return Record(buffer)->pPortName ? Record(buffer)->pPortName : Text();
}

void OpenPrinterAndGetPrinterSizing(Check& c) {
    MakeQueue(kQueue, WSTR("USB201"));
    // Evidence: Wine winspool.drv/tests/info.c, test_OpenPrinter (a missing printer).
    Expect(c, "OpenPrinterW of a missing queue",
           ErrorOf([] { return OpenQueue(WSTR("kq5-conformance-missing")); }),
           DWORD{ERROR_INVALID_PRINTER_NAME});
    // Queue names compare without regard to case. Evidence: unproven.
    HANDLE printer = OpenQueue(WSTR("KQ5-Conformance"));
    Must(c, "OpenPrinterW of the queue in other letter case", printer != nullptr);
    DWORD needed = 0;
    // Evidence: ReactOS apitests/winspool/GetPrinter.c (a null size pointer; the size query).
    ExpectOr(c, "GetPrinterW with a null size pointer",
             ErrorOf([&] { return GetPrinterW(printer, 2, nullptr, 0, nullptr); }),
             DWORD{RPC_X_NULL_REF_POINTER}, DWORD{ERROR_INSUFFICIENT_BUFFER},
             "Wine's GetPrinterW takes a null size pointer for a size query");
    Expect(c, "GetPrinterW size query",
           ErrorOf([&] { return GetPrinterW(printer, 2, nullptr, 0, &needed); }),
           DWORD{ERROR_INSUFFICIENT_BUFFER});
    Must(c, "the size query's size exceeds the record's", needed > sizeof(PRINTER_INFO_2W));
    std::vector<BYTE> buffer(needed);
    DWORD again = 0;
    // Evidence: MS-RPRN 3.1.4.1.9 (INFO Structures Query Parameters: a buffer too small).
    Expect(c, "GetPrinterW in a buffer one byte short",
           ErrorOf([&] { return GetPrinterW(printer, 2, buffer.data(), needed - 1, &again); }),
           DWORD{ERROR_INSUFFICIENT_BUFFER});
    Expect(c, "the size given again", again, needed);
    // Evidence: MS-RPRN 3.1.4.2.6 (RpcGetPrinter: levels 0 to 9 only).
    Expect(c, "GetPrinterW level 99",
           ErrorOf([&] { return GetPrinterW(printer, 99, buffer.data(), needed, &again); }),
           DWORD{ERROR_INVALID_LEVEL});
    // Evidence: ReactOS apitests/winspool/GetPrinter.c (the read in the size the query gave).
    Must(c, "GetPrinterW level 2 in the size the query gave",
         GetPrinterW(printer, 2, buffer.data(), needed, &again) != FALSE);
    const PRINTER_INFO_2W* record = Record(buffer);
    ExpectTrue(c, "pPrinterName is the queue's name",
               record->pPrinterName && SameIgnoringAsciiCase(record->pPrinterName, kQueue));
    Expect(c, "pPortName", PortOf(c, printer), Text(WSTR("USB201")));
    // The strings lie in the caller's buffer behind the record. Evidence: unproven.
    for (const void* part : std::initializer_list<const void*>{
             record->pPrinterName, record->pShareName, record->pPortName, record->pDriverName,
             record->pComment, record->pLocation, record->pDevMode, record->pSepFile,
             record->pPrintProcessor, record->pDatatype, record->pParameters,
             record->pSecurityDescriptor}) {
        ExpectTrue(c, "a string of the record lies behind it in the buffer",
                   Inside(part, buffer, sizeof *record));
    }
    ClosePrinter(printer);
}

// The spooler's clients reach it through its service: while it is stopped they get no answer.
// Evidence: unproven.
void SpoolerClientsWhileStopped(Check& c) {
    MakeQueue(kQueue, WSTR("USB201"));
    SC_HANDLE spooler = OpenServiceByName("Spooler");
    Must(c, "OpenServiceA of the Spooler", spooler != nullptr);
    SERVICE_STATUS status = {};
    Must(c, "ControlService stops the Spooler",
         ControlService(spooler, SERVICE_CONTROL_STOP, &status) != FALSE);
    Must(c, "the Spooler stops", AwaitState(spooler, SERVICE_STOPPED));
    const char* inProcess =
        "Wine's winspool does the spooler's work in the caller's process: "
        "it answers as ever while the Spooler is stopped";
    HANDLE printer = nullptr;
    ExpectOr(c, "OpenPrinterW while the Spooler is stopped",
             ErrorOf([&] { return printer = OpenQueue(kQueue.c_str()); }),
             DWORD{RPC_S_SERVER_UNAVAILABLE}, DWORD{ERROR_SUCCESS}, inProcess);
    if (printer != nullptr) {
        ClosePrinter(printer);
    }
    DWORD needed = 0;
    DWORD count = 0;
    ExpectOr(c, "EnumPortsW while the Spooler is stopped",
             ErrorOf([&] { return EnumPortsW(nullptr, 2, nullptr, 0, &needed, &count); }),
             DWORD{RPC_S_SERVER_UNAVAILABLE}, DWORD{ERROR_INSUFFICIENT_BUFFER}, inProcess);
    Must(c, "StartServiceA starts the Spooler again", StartServiceA(spooler, 0, nullptr) != FALSE);
    Must(c, "the Spooler runs again", AwaitState(spooler, SERVICE_RUNNING));
    ExpectTrue(c, "the queue opens once the Spooler runs", ClosePrinter(OpenQueue(kQueue.c_str())));
    CloseServiceHandle(spooler);
}

// A level-2 write is checked as the spooler checks it; a refused one changes nothing.
// Evidence: MS-RPRN 3.1.4.1.8.6 (PRINTER_CONTAINER Parameters) for the port, driver, print
// processor and data type; 3.1.4.1.8.7 (SECURITY_CONTAINER Parameters: a descriptor that is not a
// well-formed self-relative one) for the security descriptor; the printer name cases, and that a
// refused write changes nothing: unproven.
void LevelTwoRefusals(Check& c, HANDLE printer, const PRINTER_INFO_2W& record) {
    BYTE revisionTwo[20] = {2};
    const struct {
        LPWSTR PRINTER_INFO_2W::*field;  // null: the security descriptor
        const WCHAR* text;
        DWORD error;
        const char* what;
    } cases[] = {
        {&PRINTER_INFO_2W::pPortName, WSTR("USB999"), ERROR_UNKNOWN_PORT, "an unknown port"},
        {&PRINTER_INFO_2W::pPortName, nullptr, ERROR_UNKNOWN_PORT, "no port"},
        {&PRINTER_INFO_2W::pDriverName, nullptr, ERROR_UNKNOWN_PRINTER_DRIVER, "no driver"},
        {&PRINTER_INFO_2W::pPrinterName, WSTR(""), ERROR_INVALID_PRINTER_NAME, "an empty name"},
        {&PRINTER_INFO_2W::pPrinterName, WSTR("kq5-conformance-2"), ERROR_PRINTER_ALREADY_EXISTS,
         "another queue's name"},
        {&PRINTER_INFO_2W::pPrintProcessor, WSTR("nothing"), ERROR_UNKNOWN_PRINTPROCESSOR,
         "an unknown print processor"},
        {&PRINTER_INFO_2W::pDatatype, WSTR("nothing"), ERROR_INVALID_DATATYPE,
         "an unknown data type"},
        {nullptr, nullptr, ERROR_INVALID_PARAMETER, "a malformed security descriptor"},
    };
    const char* unchecked = "Wine's SetPrinterW writes any level-2 record unchecked";
    for (const auto& k : cases) {
        PRINTER_INFO_2W damaged = record;
        if (k.field != nullptr) {
            damaged.*k.field = const_cast<LPWSTR>(k.text);
        } else {
            damaged.pSecurityDescriptor = revisionTwo;
        }
        ExpectOr(c, std::string("SetPrinterW level 2 with ") + k.what, ErrorOf([&] {
                     return SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(&damaged), 0);
                 }),
                 k.error, DWORD{ERROR_SUCCESS}, unchecked);
        if (!c.onWine) {
            Expect(c, std::string("the port after the refused write with ") + k.what,
                   PortOf(c, printer), Text(WSTR("USB201")));
        }
    }
}

// Level 0 carries commands, the status word in the data argument itself.
// Evidence: the SetPrinter page (level 0: the commands; PRINTER_CONTROL_SET_STATUS with the
// status in pPrinter); the status each command leaves: unproven.
void LevelZeroCommands(Check& c, HANDLE printer) {
    const struct {
        DWORD command, status, statusAfter;
    } steps[] = {
        {PRINTER_CONTROL_PAUSE, 0, PRINTER_STATUS_PAUSED},
        {PRINTER_CONTROL_SET_STATUS, PRINTER_STATUS_DOOR_OPEN,
         PRINTER_STATUS_PAUSED | PRINTER_STATUS_DOOR_OPEN},
        {PRINTER_CONTROL_RESUME, 0, PRINTER_STATUS_DOOR_OPEN},
        {PRINTER_CONTROL_SET_STATUS, PRINTER_STATUS_OFFLINE, PRINTER_STATUS_OFFLINE},
        {PRINTER_CONTROL_SET_STATUS, 0, 0},
    };
    for (const auto& step : steps) {
        const std::string what = "SetPrinterW level 0 command " + std::to_string(step.command) +
                                 " status " + std::to_string(step.status);
        const auto data = reinterpret_cast<LPBYTE>(static_cast<ULONG_PTR>(step.status));
        ExpectOr(c, what, ErrorOf([&] { return SetPrinterW(printer, 0, data, step.command); }),
                 DWORD{ERROR_SUCCESS}, DWORD{ERROR_INVALID_LEVEL},
                 "Wine's SetPrinterW has no level 0: every command gets ERROR_INVALID_LEVEL");
        std::vector<BYTE> buffer = ReadRecord(c, printer);
        if (!c.onWine) {
            Expect(c, "the status after " + what, Record(buffer)->Status, step.statusAfter);
        }
    }
}

// Level 2 refuses what the spooler would not keep and takes a record with another listed port;
// level 0 takes the commands.
void SetPrinterChecksLevelTwoAndTakesLevelZero(Check& c) {
    MakeQueue(kQueue, WSTR("USB201"));
    MakeQueue(WSTR("kq5-conformance-2"), WSTR("USB201"));
    AddSpoolerPort(WSTR("USB202"));
    HANDLE printer = OpenQueue(kQueue.c_str());
    Must(c, "OpenPrinterW of the queue", printer != nullptr);
    std::vector<BYTE> buffer = ReadRecord(c, printer);
    LevelTwoRefusals(c, printer, *Record(buffer));
    // The record as read goes back with another listed port: that port is the queue's.
    // Evidence: the SetPrinter page (level 2 sets the printer's settings).
    WCHAR listedPort[] = WSTR("USB202");
    Record(buffer)->pPortName = listedPort;
    ExpectTrue(c, "SetPrinterW level 2 with another listed port",
               SetPrinterW(printer, 2, buffer.data(), 0) != FALSE);
    Expect(c, "the port after the write", PortOf(c, printer), Text(WSTR("USB202")));
    LevelZeroCommands(c, printer);
    ClosePrinter(printer);
}

// Evidence: Wine winspool.drv/tests/info.c, test_EnumPorts (the size query, a buffer one byte
// short, level 3: refused or an empty list); the count after the size query, the strings in the
// caller's buffer: unproven.
void EnumPortsSizesThenLists(Check& c) {
    AddSpoolerPort(WSTR("USB201"));
    AddSpoolerPort(WSTR("USB202"));
    DWORD needed = 0;
    DWORD count = 7;
    Expect(c, "EnumPortsW size query",
           ErrorOf([&] { return EnumPortsW(nullptr, 2, nullptr, 0, &needed, &count); }),
           DWORD{ERROR_INSUFFICIENT_BUFFER});
    Expect(c, "the count after the size query", count, DWORD{0});
    Must(c, "the size query gives a size", needed > 0);
    std::vector<BYTE> buffer(needed);
    BYTE* data = buffer.data();
    Expect(c, "EnumPortsW in a buffer one byte short",
           ErrorOf([&] { return EnumPortsW(nullptr, 2, data, needed - 1, &needed, &count); }),
           DWORD{ERROR_INSUFFICIENT_BUFFER});
    Expect(c, "the size given again", static_cast<size_t>(needed), buffer.size());
    DWORD levelThree = 7;
    DWORD levelThreeNeeded = 0;
    const DWORD levelThreeError = ErrorOf(
        [&] { return EnumPortsW(nullptr, 3, data, needed, &levelThreeNeeded, &levelThree); });
    ExpectTrue(c,
               "EnumPortsW level 3 is refused or lists nothing (error " +
                   std::to_string(levelThreeError) + ")",
               levelThreeError == ERROR_INVALID_LEVEL ||
                   (levelThreeError == ERROR_SUCCESS && levelThree == 0));
    Must(c, "EnumPortsW level 2 in the size asked for",
         EnumPortsW(nullptr, 2, data, needed, &needed, &count) != FALSE);
    const auto* records = reinterpret_cast<const PORT_INFO_2W*>(data);
    std::vector<Text> ours;
    for (DWORD i = 0; i < count; ++i) {
        for (const void* part :
             {records[i].pPortName, records[i].pMonitorName, records[i].pDescription}) {
            ExpectTrue(c, "a string of the list lies behind the records in the buffer",
                       Inside(part, buffer, count * sizeof *records));
        }
        if (records[i].pPortName && Text(records[i].pPortName).starts_with(WSTR("USB20"))) {
            ours.push_back(records[i].pPortName);
        }
    }
    Expect(c, "the ports added, in the list", ours.size(), size_t{2});
    ExpectTrue(c, "the list holds USB201 then USB202",
               ours == std::vector<Text>{WSTR("USB201"), WSTR("USB202")});
}

// ---- Service control manager -------------------------------------------------------------------

// The error StartServiceA leaves, ERROR_SUCCESS when it starts the service.
DWORD StartError(SC_HANDLE service) {
    return ErrorOf([&] { return StartServiceA(service, 0, nullptr); });
}

// The error ControlService leaves; `status` has the state it filled in (0: none).
DWORD ControlError(SC_HANDLE service, DWORD code, SERVICE_STATUS& status) {
    status.dwCurrentState = 0;
    return ErrorOf([&] { return ControlService(service, code, &status); });
}

// A running service answers an interrogation, refuses a second start and takes a stop.
void ControlsWhileRunning(Check& c, SC_HANDLE service) {
    SERVICE_STATUS status = {};
    Expect(c, "the state at the start", StateOf(service), DWORD{SERVICE_RUNNING});
    // Evidence: the "Service Control Requests" page (all services accept
    // SERVICE_CONTROL_INTERROGATE).
    Expect(c, "ControlService interrogate of a running service",
           ControlError(service, SERVICE_CONTROL_INTERROGATE, status), DWORD{ERROR_SUCCESS});
    Expect(c, "the status interrogate filled in", status.dwCurrentState, DWORD{SERVICE_RUNNING});
    // Evidence: the StartService page (ERROR_SERVICE_ALREADY_RUNNING: an instance is running).
    Expect(c, "StartServiceA of a running service", StartError(service),
           DWORD{ERROR_SERVICE_ALREADY_RUNNING});
    // Evidence: the ControlService page (remarks: the table of controls by state, and the status
    // filled in for NO_ERROR and the three refusals below).
    Must(c, "ControlService stops the running service",
         ControlError(service, SERVICE_CONTROL_STOP, status) == ERROR_SUCCESS);
    Expect(c, "the status the stop filled in", status.dwCurrentState, DWORD{SERVICE_STOP_PENDING});
}

// A start refused as already running and a stop refused with `stopError`, to a service in
// `state` ("stopping", "starting"); `status` is what the stop's refusal filled in.
void ExpectStartAndStopRefused(Check& c, SC_HANDLE service, const std::string& state,
                               DWORD stopError, SERVICE_STATUS& status) {
    Expect(c, "StartServiceA of a " + state + " service", StartError(service),
           DWORD{ERROR_SERVICE_ALREADY_RUNNING});
    Expect(c, "ControlService stop of a " + state + " service",
           ControlError(service, SERVICE_CONTROL_STOP, status), stopError);
}

// Still stopping: no start (the same answer as for a running service), no second stop; the
// refusal reports the service's status. Evidence for the start: unproven.
void ControlsWhileStopping(Check& c, SC_HANDLE service) {
    SERVICE_STATUS status = {};
    Expect(c, "the state after the stop", StateOf(service), DWORD{SERVICE_STOP_PENDING});
    ExpectStartAndStopRefused(c, service, "stopping", ERROR_SERVICE_CANNOT_ACCEPT_CTRL, status);
    Expect(c, "the status that refusal filled in", status.dwCurrentState,
           DWORD{SERVICE_STOP_PENDING});
    // Nor any other control a caller can send, interrogate and user-defined codes among them, and
    // whatever the service accepts (the slow service still lists stop while it stops, as kq5
    // does). Evidence: the ControlService page (remarks: in the table of controls by state,
    // STOP_PENDING gives ERROR_SERVICE_CANNOT_ACCEPT_CTRL for stop and for every other control;
    // ERROR_SERVICE_CANNOT_ACCEPT_CTRL: "The requested control code cannot be sent to the service
    // because the state of the service is SERVICE_STOPPED, SERVICE_START_PENDING, or
    // SERVICE_STOP_PENDING").
    Expect(c, "ControlService interrogate of a stopping service",
           ControlError(service, SERVICE_CONTROL_INTERROGATE, status),
           DWORD{ERROR_SERVICE_CANNOT_ACCEPT_CTRL});
    Expect(c, "ControlService user-defined code 128 to a stopping service",
           ControlError(service, 128, status), DWORD{ERROR_SERVICE_CANNOT_ACCEPT_CTRL});
    Expect(c, "the status that refusal filled in", status.dwCurrentState,
           DWORD{SERVICE_STOP_PENDING});
    Must(c, "the service stops", AwaitState(service, SERVICE_STOPPED));
}

// Stopped: no stop, a start.
void ControlsWhileStopped(Check& c, SC_HANDLE service) {
    SERVICE_STATUS status = {};
    Expect(c, "ControlService stop of a stopped service",
           ControlError(service, SERVICE_CONTROL_STOP, status), DWORD{ERROR_SERVICE_NOT_ACTIVE});
    Expect(c, "the status that refusal filled in", status.dwCurrentState, DWORD{SERVICE_STOPPED});
    Must(c, "StartServiceA of the stopped service", StartError(service) == ERROR_SUCCESS);
}

// Still starting: no second start, and no stop, for a starting service accepts no control until
// it reports otherwise. Evidence: the ControlService page (remarks: START_PENDING, stop: sent if
// the service accepts it, else ERROR_INVALID_SERVICE_CONTROL); the StartService page (remarks:
// the service manager sets the accepted controls to none at the start).
void ControlsWhileStarting(Check& c, SC_HANDLE service) {
    SERVICE_STATUS status = {};
    Expect(c, "the state after the start", StateOf(service), DWORD{SERVICE_START_PENDING});
    ExpectStartAndStopRefused(c, service, "starting", ERROR_INVALID_SERVICE_CONTROL, status);
    if (!WineDeparts(c, "Wine's refusal of a stop to a starting service fills in no status")) {
        Expect(c, "the status that refusal filled in", status.dwCurrentState,
               DWORD{SERVICE_START_PENDING});
    }
    Must(c, "the service runs", AwaitState(service, SERVICE_RUNNING));
}

// No stop while a dependent runs. Evidence: the ControlService page
// (ERROR_DEPENDENT_SERVICES_RUNNING).
void NoStopWhileADependentRuns(Check& c, SC_HANDLE service) {
    AddRunningDependent();
    const char* passesOn =
        "Wine's service manager passes a stop on although services that "
        "depend on the service run";
    SERVICE_STATUS status = {};
    ExpectOr(c, "ControlService stop with a dependent running",
             ControlError(service, SERVICE_CONTROL_STOP, status),
             DWORD{ERROR_DEPENDENT_SERVICES_RUNNING}, DWORD{ERROR_SUCCESS}, passesOn);
    ExpectOr(c, "the state after that stop", StateOf(service), DWORD{SERVICE_RUNNING},
             DWORD{SERVICE_STOP_PENDING}, passesOn);
}

// The service manager's answers to starts and controls in each state a service passes through.
void ServiceManagerStatesAndDependents(Check& c) {
    SC_HANDLE service = OpenServiceByName(MakeSlowService());
    Must(c, "OpenServiceA of the slow service", service != nullptr);
    ControlsWhileRunning(c, service);
    ControlsWhileStopping(c, service);
    ControlsWhileStopped(c, service);
    ControlsWhileStarting(c, service);
    NoStopWhileADependentRuns(c, service);
    CloseServiceHandle(service);
}

// The Spooler runs in a process of its own, spoolsv.exe. Evidence: its service key on Windows
// (Type 0x110, own process and interactive; a Windows 7 export, blackviper.com "Print Spooler");
// for Windows 10 and 11: unproven. Wine registers it own-process, without the interactive bit.
void SpoolerIsOwnProcess(Check& c) {
    SC_HANDLE spooler = OpenServiceByName("Spooler");
    Must(c, "OpenServiceA of the Spooler", spooler != nullptr);
    SERVICE_STATUS status = {};
    Must(c, "QueryServiceStatus of the Spooler", QueryServiceStatus(spooler, &status) != FALSE);
    Expect(c, "the Spooler's service type", status.dwServiceType & SERVICE_WIN32,
           DWORD{SERVICE_WIN32_OWN_PROCESS});
    CloseServiceHandle(spooler);
}

// ---- Registry ----------------------------------------------------------------------------------

// Reads of the two values, their sizes asked for and given, and of a missing one, each answered
// with the size it needs.
void ValueReadsAnswerWithTheSize(Check& c, HKEY handle) {
    const struct {
        const char* name;
        DWORD room;  // 0: no buffer, the size only
        LSTATUS status;
        DWORD size;
        const char* bytes;  // what the buffer holds afterwards, at most `room` of them
    } cases[] = {
        {"TEXT", 200, ERROR_SUCCESS, 10, "KorvaneQ5\0"},
        {"Text", 10, ERROR_SUCCESS, 10, "KorvaneQ5\0"},
        {"Text", 9, ERROR_MORE_DATA, 10, nullptr},
        {"Text", 0, ERROR_SUCCESS, 10, nullptr},
        // A string stored without its NUL is returned without one; where the buffer has room,
        // a NUL is added behind it all the same.
        {"Unterminated", 200, ERROR_SUCCESS, 9, "KorvaneQ5\0"},
        {"Unterminated", 9, ERROR_SUCCESS, 9, "KorvaneQ5"},
        // A missing value: the size query answers 0, a read leaves the size as it was.
        {"Missing", 0, ERROR_FILE_NOT_FOUND, 0, nullptr},
        {"Missing", 200, ERROR_FILE_NOT_FOUND, 200, nullptr},
    };
    // Evidence: Wine advapi32/tests/registry.c, test_query_value_ex (a string's size query, the
    // missing value both ways); the RegQueryValueEx page (ERROR_MORE_DATA with the size needed; a
    // string stored without its NUL comes back without one); the NUL added where there is room:
    // unproven.
    for (const auto& k : cases) {
        const std::string what =
            std::string("RegQueryValueExA of ") + k.name + " in " + std::to_string(k.room);
        std::vector<char> buffer(k.room, '#');
        DWORD size = k.room == 0 ? 0xdeadbeef : k.room;
        DWORD type = REG_NONE;
        Expect(c, what,
               RegQueryValueExA(handle, k.name, nullptr, &type,
                                k.room ? reinterpret_cast<LPBYTE>(buffer.data()) : nullptr, &size),
               k.status);
        Expect(c, "the size of " + what, size, k.size);
        // Of a missing value, Windows leaves the type undefined (test_query_value_ex).
        if (k.status != ERROR_FILE_NOT_FOUND) {
            Expect(c, "the type of " + what, type, DWORD{REG_SZ});
        }
        if (k.bytes != nullptr) {
            const size_t length = std::strlen(k.bytes) + (k.room > k.size ? 1 : 0);
            Expect(c, "the bytes of " + what, std::string(buffer.data(), length),
                   std::string(k.bytes, length));
        }
    }
}

void RegistryReadsAnswerWithTheSize(Check& c) {
    const std::string key = std::string(kTestKey) + "\\Values";
    SetRegistryString(key, "Text", "KorvaneQ5");
    SetRegistryString(key, "Unterminated", "KorvaneQ5", false);
    // A missing key: no handle. Evidence: Wine advapi32/tests/registry.c, test_reg_open_key
    // (RegOpenKeyA of a nonexistent key sets the handle to NULL).
    auto handle = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0xdeadbeef));
    Expect(c, "RegOpenKeyExA of a missing key",
           RegOpenKeyExA(HKEY_LOCAL_MACHINE, (key + "\\Missing").c_str(), 0, KEY_READ, &handle),
           LSTATUS{ERROR_FILE_NOT_FOUND});
    ExpectTrue(c, "the handle of a missing key is null", handle == nullptr);
    // Key paths and value names compare without regard to case. Evidence: unproven.
    Must(c, "RegOpenKeyExA of the key in other letter case",
         RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\KQ5-CONFORMANCE\\values", 0, KEY_READ,
                       &handle) == ERROR_SUCCESS);
    ValueReadsAnswerWithTheSize(c, handle);
    RegCloseKey(handle);
}

// ---- Device installation services and device files ---------------------------------------------

HDEVINFO PresentUsbInterfaces() {
    return SetupDiGetClassDevsW(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr,
                                DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
}

// Looks through the listed interfaces for the printer's; whether it is there, in `member`.
bool FindPrinter(Check& c, HDEVINFO list, SP_DEVICE_INTERFACE_DATA& member) {
    member.cbSize = sizeof member;
    for (DWORD i = 0;
         SetupDiEnumDeviceInterfaces(list, nullptr, &GUID_DEVINTERFACE_USB_DEVICE, i, &member);
         ++i) {
        std::vector<BYTE> buffer(1024);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
        detail->cbSize = sizeof *detail;
        if (SetupDiGetDeviceInterfaceDetailW(list, &member, detail, 1024, nullptr, nullptr) &&
            SameIgnoringAsciiCase(detail->DevicePath, kPrinterPath)) {
            // Setupapi hands out interface paths in lower case, whatever case the device was
            // plugged with. Evidence: Wine setupapi/tests/devinst.c, check_device_iface_
            // (check_all_lower_case).
            const Text path = detail->DevicePath;
            ExpectTrue(c, "the interface path " + Shown(path) + " is in lower case",
                       std::none_of(path.begin(), path.end(),
                                    [](WCHAR ch) { return ch >= 'A' && ch <= 'Z'; }));
            return true;
        }
    }
    Expect(c, "the error at the end of the list", GetLastError(), DWORD{ERROR_NO_MORE_ITEMS});
    return false;
}

bool PrinterListed(Check& c) {
    HDEVINFO list = PresentUsbInterfaces();
    SP_DEVICE_INTERFACE_DATA member = {};
    const bool found = FindPrinter(c, list, member);
    SetupDiDestroyDeviceInfoList(list);
    return found;
}

// Evidence: the SetupDiGetDeviceInterfaceDetail page (cbSize is the fixed part's size; the size
// query with no buffer: ERROR_INSUFFICIENT_BUFFER and the size); Wine setupapi/tests/devinst.c,
// test_device_iface_detail (the size query, cbSize 0 and a wrong cbSize: ERROR_INVALID_USER_BUFFER,
// a buffer too small).
void SetupDiDetailSizing(Check& c) {
    NeedPrinter();
    HDEVINFO list = PresentUsbInterfaces();
    Must(c, "SetupDiGetClassDevsW lists the present USB interfaces", list != INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA member = {};
    Must(c, "the printer's interface is listed", FindPrinter(c, list, member));
    const DWORD exact = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                           (kPrinterPath.size() + 1) * sizeof(WCHAR));
    std::vector<BYTE> buffer(exact);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    DWORD required = 0;
    // cbSize is the fixed part's size, not the whole; size 0: no buffer, the size only.
    const struct {
        DWORD cbSize, size, error;
    } cases[] = {
        {sizeof *detail, 0, ERROR_INSUFFICIENT_BUFFER},
        {0, exact, ERROR_INVALID_USER_BUFFER},
        {exact, exact, ERROR_INVALID_USER_BUFFER},
        {sizeof *detail, exact - DWORD{sizeof(WCHAR)}, ERROR_INSUFFICIENT_BUFFER},
        {sizeof *detail, exact, ERROR_SUCCESS},
    };
    for (const auto& k : cases) {
        detail->cbSize = k.cbSize;
        Expect(c,
               "SetupDiGetDeviceInterfaceDetailW with cbSize " + std::to_string(k.cbSize) + " in " +
                   std::to_string(k.size),
               ErrorOf([&] {
                   return SetupDiGetDeviceInterfaceDetailW(list, &member, k.size ? detail : nullptr,
                                                           k.size, &required, nullptr);
               }),
               k.error);
        if (k.size == 0) {
            Expect(c, "the size the query gave", required, exact);
        }
    }
    ExpectTrue(c, "the path read is the printer's",
               SameIgnoringAsciiCase(detail->DevicePath, kPrinterPath));
    SetupDiDestroyDeviceInfoList(list);
}

// Opens the device and closes it again: the error, ERROR_SUCCESS when it opened.
DWORD OpenError(const Text& path, DWORD access, DWORD share) {
    SetLastError(0xdeadbeef);
    HANDLE device = CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING,
                                FILE_FLAG_NO_BUFFERING, nullptr);
    return device != INVALID_HANDLE_VALUE && CloseHandle(device) ? DWORD{ERROR_SUCCESS}
                                                                 : GetLastError();
}

// A device checks share access only if its driver asks for it (the share modes are the file
// system's rule); the printer opens exclusively, as kq5 opens it. The simulated printer is an
// exclusive device: one handle at a time, whatever the share modes, any other open refused with
// access denied. Evidence: "Specifying Exclusive Access to Device Objects" (WDK: one handle at a
// time); the error, and which rule a real USB printer's driver keeps: unproven.
void CreateFileOneHandleAtATime(Check& c) {
    NeedPrinter();
    constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
    constexpr DWORD kShareBoth = FILE_SHARE_READ | FILE_SHARE_WRITE;
    // The first handle reads and writes with `firstShare`; the second asks for `access`, `share`.
    const struct {
        DWORD firstShare, access, share;
    } cases[] = {
        {0, kReadWrite, 0},
        {kShareBoth, kReadWrite, kShareBoth},
        {FILE_SHARE_READ, GENERIC_READ, kShareBoth},
    };
    for (const auto& k : cases) {
        HANDLE first = CreateFileW(kPrinterPath.c_str(), kReadWrite, k.firstShare, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
        Must(c, "CreateFileW opens the printer", first != INVALID_HANDLE_VALUE);
        ExpectOr(c,
                 "a second CreateFileW (shares " + std::to_string(k.firstShare) + " then " +
                     std::to_string(k.share) + ")",
                 OpenError(kPrinterPath, k.access, k.share), DWORD{ERROR_ACCESS_DENIED},
                 DWORD{ERROR_PIPE_BUSY},
                 "the virtual printer is a named pipe of one instance: Wine answers a second "
                 "open ERROR_PIPE_BUSY");
        ExpectTrue(c, "CloseHandle of the printer", CloseHandle(first) != FALSE);
        AwaitPrinterClosed();
    }
    // Closed, it opens again.
    Expect(c, "CreateFileW once the handle is closed", OpenError(kPrinterPath, kReadWrite, 0),
           DWORD{ERROR_SUCCESS});
    AwaitPrinterClosed();
    // A device that is not present, or no longer (nor listed then), does not open: its
    // interface's link is gone. Evidence: unproven.
    Text absent = kPrinterPath;
    absent.replace(absent.find(WSTR("a1b2c3")), 6, WSTR("absent"));
    Expect(c, "CreateFileW of a device never present", OpenError(absent, kReadWrite, 0),
           DWORD{ERROR_FILE_NOT_FOUND});
    SetPrinterPlugged(false);
    ExpectTrue(c, "the unplugged printer is not listed", !PrinterListed(c));
    Expect(c, "CreateFileW of the unplugged printer", OpenError(kPrinterPath, kReadWrite, 0),
           DWORD{ERROR_FILE_NOT_FOUND});
    SetPrinterPlugged(true);
    ExpectTrue(c, "the printer plugged in again is listed", PrinterListed(c));
}

// ---- Text conversion ---------------------------------------------------------------------------

// Evidence: Wine kernel32/tests/codepage.c, test_negative_source_length (-2002 as -1; a buffer
// too small); the MultiByteToWideChar page for the rest (room 0: the size only; a length of 0
// fails; ERROR_INVALID_PARAMETER for invalid arguments; a NUL inside counts when a length is
// given).
void MultiByteToWideCharSizes(Check& c) {
    const struct {
        const char* text;
        int bytes;  // -1: up to and with the NUL
        bool output;
        int room, result;
        DWORD error;  // when the result is 0
    } cases[] = {
        {"KorvaneQ5", 9, true, 9, 9, 0},
        {"KorvaneQ5", -1, true, 10, 10, 0},
        {"KorvaneQ5", -2002, true, 10, 10, 0},  // any negative length counts as -1
        {"Korvane\0Q5", 10, true, 10, 10, 0},   // a NUL inside is a character like any other
        {"KorvaneQ5", 9, true, 0, 9, 0},        // room 0: the size only
        {"KorvaneQ5", -1, false, 0, 10, 0},
        {"KorvaneQ5", 9, true, 8, 0, ERROR_INSUFFICIENT_BUFFER},
        {"KorvaneQ5", 0, true, 9, 0, ERROR_INVALID_PARAMETER},
        {nullptr, 9, true, 9, 0, ERROR_INVALID_PARAMETER},
        {"KorvaneQ5", 9, false, 9, 0, ERROR_INVALID_PARAMETER},
    };
    for (const auto& k : cases) {
        const std::string what = "MultiByteToWideChar of " + std::to_string(k.bytes) +
                                 " bytes in " + std::to_string(k.room);
        WCHAR wide[16] = {};
        SetLastError(0xdeadbeef);
        const int result = MultiByteToWideChar(CP_THREAD_ACP, 0, k.text, k.bytes,
                                               k.output ? wide : nullptr, k.room);
        Expect(c, what, result, k.result);
        Expect(c, "the error of " + what, result == 0 ? GetLastError() : DWORD{0}, k.error);
        if (result != 0 && k.room != 0) {
            Expect(c, "the text of " + what, Text(wide, result), Text(k.text, k.text + result));
        }
    }
}

#if defined(_WIN32)
// ---- The program's own mitigations -------------------------------------------------------------
// What Windows says is in force for this process, an exe built exactly as the shipped programs.
// Only a real Windows has them to report: the simulation has no image, and these facts are not
// in its table.

// The policy as Windows answers for this process. Windows writes every policy it knows; one it
// does not know fails (ERROR_INVALID_PARAMETER): not run. An answer that leaves the buffer as it
// was is no answer (Wine's GetProcessMitigationPolicy is a stub that returns TRUE): not run.
// Evidence: Microsoft's GetProcessMitigationPolicy page.
template <typename Policy>
Policy AskPolicy(PROCESS_MITIGATION_POLICY which, const std::string& name) {
    Policy answer;
    std::memset(&answer, 0xA5, sizeof answer);
    SetLastError(0xdeadbeef);
    if (!GetProcessMitigationPolicy(GetCurrentProcess(), which, &answer, sizeof answer)) {
        throw NotPossible{"this Windows has no " + name + " policy to report (error " +
                          std::to_string(GetLastError()) + ")"};
    }
    if (answer.Flags == 0xA5A5A5A5u) {
        throw NotPossible{"GetProcessMitigationPolicy answered without writing the " + name +
                          " policy" + (OnWine() ? ": Wine does not implement it" : "")};
    }
    return answer;
}

// Evidence: Microsoft's PROCESS_MITIGATION_CONTROL_FLOW_GUARD_POLICY page (EnableControlFlowGuard:
// the process runs with the guard, an image linked with it, on Windows 8.1 Update 3 and later).
void ControlFlowGuardInForce(Check& c) {
    const auto policy = AskPolicy<PROCESS_MITIGATION_CONTROL_FLOW_GUARD_POLICY>(
        ProcessControlFlowGuardPolicy, "Control Flow Guard");
    Expect(c, "EnableControlFlowGuard", policy.Flags & 1u, DWORD{1});
}

// Evidence: Microsoft's PROCESS_MITIGATION_DEP_POLICY page; DEP is always on, and permanent, for
// 64-bit processes.
void DepInForce(Check& c) {
    const auto policy = AskPolicy<PROCESS_MITIGATION_DEP_POLICY>(ProcessDEPPolicy, "DEP");
    Expect(c, "DEP Enable", policy.Flags & 1u, DWORD{1});
    Expect(c, "DEP Permanent", unsigned{policy.Permanent}, 1u);
}

// Evidence: Microsoft's PROCESS_MITIGATION_ASLR_POLICY page (EnableBottomUpRandomization,
// EnableHighEntropy: bits 0 and 2).
void AslrWithHighEntropyInForce(Check& c) {
    const auto policy = AskPolicy<PROCESS_MITIGATION_ASLR_POLICY>(ProcessASLRPolicy, "ASLR");
    Expect(c, "EnableBottomUpRandomization", policy.Flags & 1u, DWORD{1});
    Expect(c, "EnableHighEntropy", (policy.Flags >> 2) & 1u, DWORD{1});
}

// Where the processor has a shadow stack (CPUID leaf 7: ECX bit 7, CET_SS) and Windows offers it
// (Windows 10 20H1 and later), a program marked CET-compatible runs with it. Evidence:
// Microsoft's PROCESS_MITIGATION_USER_SHADOW_STACK_POLICY page and the /CETCOMPAT linker page.
void ShadowStackInForce(Check& c) {
    unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
    if (!__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx) || (ecx & (1u << 7)) == 0) {
        throw NotPossible{"the processor has no shadow stack (CPUID leaf 7, ECX bit 7: CET_SS)"};
    }
    const auto policy = AskPolicy<PROCESS_MITIGATION_USER_SHADOW_STACK_POLICY>(
        ProcessUserShadowStackPolicy, "user-mode shadow stack");
    Expect(c, "EnableUserShadowStack", policy.Flags & 1u, DWORD{1});
}
#endif

}  // namespace

const std::vector<Fact>& Facts() {
    static const std::vector<Fact> facts = {
        {"spooler.open-and-size",
         "OpenPrinterW finds a queue in any letter case; GetPrinterW sizes the level-2 record",
         kOwnQueues, false, OpenPrinterAndGetPrinterSizing},
        {"spooler.clients-while-stopped",
         "While the Spooler is stopped its clients get RPC_S_SERVER_UNAVAILABLE",
         "a queue of its own; stops and starts the Spooler (--lab)", true,
         SpoolerClientsWhileStopped},
        {"spooler.set-printer",
         "SetPrinterW checks a level-2 record as the spooler does and takes level-0 commands",
         kOwnQueues, false, SetPrinterChecksLevelTwoAndTakesLevelZero},
        {"spooler.enum-ports", "EnumPortsW sizes, then lists every port in the caller's buffer",
         kOwnQueues, false, EnumPortsSizesThenLists},
        {"services.states-and-dependents",
         "The service manager answers stop, start and query in each state and minds dependents",
         kOwnServices, false, ServiceManagerStatesAndDependents},
        {"services.spooler-own-process", "The Spooler is an own-process service", "nothing", false,
         SpoolerIsOwnProcess},
        {"registry.query-sizes", "Registry reads answer with the size the value needs", kOwnKey,
         false, RegistryReadsAnswerWithTheSize},
        {"setupapi.detail-sizing",
         "SetupDi lists present USB interfaces in lower case with the detail sizing protocol",
         kVirtualPrinter, false, SetupDiDetailSizing},
        {"device.one-handle", "CreateFileW opens a present printer one handle at a time",
         kVirtualPrinter, false, CreateFileOneHandleAtATime},
        {"text.multibyte-to-wide",
         "MultiByteToWideChar sizes and converts in the thread's code page", "nothing", false,
         MultiByteToWideCharSizes},
#if defined(_WIN32)
        {"mitigation.control-flow-guard", "Windows enforces Control Flow Guard on this program",
         "nothing", false, ControlFlowGuardInForce},
        {"mitigation.dep", "Windows keeps this program's data not executable (DEP), permanently",
         "nothing", false, DepInForce},
        {"mitigation.aslr-high-entropy",
         "Windows places this program at random, high-entropy addresses (ASLR)", "nothing", false,
         AslrWithHighEntropyInForce},
        {"mitigation.shadow-stack",
         "Where the processor has one, this program runs with a user-mode shadow stack", "nothing",
         false, ShadowStackInForce},
#endif
    };
    return facts;
}

Outcome RunFact(const Fact& fact, bool lab) {
    Outcome outcome;
    outcome.id = fact.id;
    outcome.title = fact.title;
    if (fact.lab && !lab) {
        outcome.notes.push_back("stops and starts the Spooler: only with --lab");
        return outcome;
    }
    Check check;
    check.onWine = OnWine();
    try {
        Prepare();
        fact.run(check);
    } catch (const NotPossible& notPossible) {
        outcome.notes.push_back(notPossible.why);
    } catch (const Stopped&) {
        // Its difference is recorded; the fact could not go on.
    }
    try {
        CleanUp();
    } catch (const NotPossible& notPossible) {
        check.differences.push_back("cleaning up: " + notPossible.why);
    }
    if (!check.differences.empty()) {
        outcome.verdict = Verdict::Differs;
        outcome.notes = check.differences;
    } else if (outcome.notes.empty()) {
        outcome.verdict = Verdict::Held;
        for (const std::string& departure : check.departures) {
            if (std::find(outcome.notes.begin(), outcome.notes.end(), departure) ==
                outcome.notes.end()) {
                outcome.notes.push_back(departure);
            }
        }
    }
    return outcome;
}

}  // namespace conformance
