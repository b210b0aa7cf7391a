// The Win32 calls kq5 makes, each held to what Windows documents for it, run on both sides: in
// the host tests against the simulated Windows, and under Wine in the Windows build. Where Wine
// departs from Windows, the case says how and expects Wine's answer there. Each Windows fact names
// its evidence on an "Evidence:" line: a Microsoft page or protocol section, or a Wine or ReactOS
// conformance test that runs on Windows (an ok() that is not todo_wine); or it says unproven.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "conformance_env.h"

namespace conformance {
namespace {

const Text kQueue = WSTR("kq5-conformance");

class Conformance : public ::testing::Test {
protected:
    void SetUp() override { Prepare(); }
    void TearDown() override { CleanUp(); }
};

bool SameIgnoringAsciiCase(const Text& a, const Text& b) {
    auto fold = [](WCHAR c) { return c >= 'A' && c <= 'Z' ? static_cast<WCHAR>(c | 0x20) : c; };
    return std::equal(a.begin(), a.end(), b.begin(), b.end(),
                      [&](WCHAR x, WCHAR y) { return fold(x) == fold(y); });
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
std::vector<BYTE> ReadRecord(HANDLE printer) {
    DWORD needed = 0;
    GetPrinterW(printer, 2, nullptr, 0, &needed);
    std::vector<BYTE> buffer(std::max<size_t>(needed, sizeof(PRINTER_INFO_2W)));
    EXPECT_TRUE(GetPrinterW(printer, 2, buffer.data(), needed, &needed)) << GetLastError();
    return buffer;
}

PRINTER_INFO_2W* Record(std::vector<BYTE>& buffer) {
    return reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
}

Text PortOf(HANDLE printer) {
    std::vector<BYTE> buffer = ReadRecord(printer);
    return Record(buffer)->pPortName ? Record(buffer)->pPortName : Text();
}

TEST_F(Conformance, OpenPrinterFindsTheQueueGetPrinterSizesTheRecordAndBothNeedTheSpooler) {
    MakeQueue(kQueue, WSTR("USB201"));
    // Evidence: Wine winspool.drv/tests/info.c, test_OpenPrinter (a missing printer).
    EXPECT_EQ(ErrorOf([] { return OpenQueue(WSTR("kq5-conformance-missing")); }),
              DWORD{ERROR_INVALID_PRINTER_NAME});
    // Queue names compare without regard to case. Evidence: unproven.
    HANDLE printer = OpenQueue(WSTR("KQ5-Conformance"));
    ASSERT_NE(printer, nullptr);
    DWORD needed = 0;
    // Evidence: ReactOS apitests/winspool/GetPrinter.c (a null size pointer; the size query).
    // Wine's GetPrinterW takes a null size pointer for a size query: ERROR_INSUFFICIENT_BUFFER.
    EXPECT_EQ(ErrorOf([&] { return GetPrinterW(printer, 2, nullptr, 0, nullptr); }),
              kOnWine ? DWORD{ERROR_INSUFFICIENT_BUFFER} : DWORD{RPC_X_NULL_REF_POINTER});
    EXPECT_EQ(ErrorOf([&] { return GetPrinterW(printer, 2, nullptr, 0, &needed); }),
              DWORD{ERROR_INSUFFICIENT_BUFFER});
    ASSERT_GT(needed, sizeof(PRINTER_INFO_2W));
    std::vector<BYTE> buffer(needed);
    DWORD again = 0;
    // Evidence: MS-RPRN 3.1.4.1.9 (INFO Structures Query Parameters: a buffer too small).
    EXPECT_EQ(ErrorOf([&] { return GetPrinterW(printer, 2, buffer.data(), needed - 1, &again); }),
              DWORD{ERROR_INSUFFICIENT_BUFFER});
    EXPECT_EQ(again, needed);
    // Evidence: MS-RPRN 3.1.4.2.6 (RpcGetPrinter: levels 0 to 9 only).
    EXPECT_EQ(ErrorOf([&] { return GetPrinterW(printer, 99, buffer.data(), needed, &again); }),
              DWORD{ERROR_INVALID_LEVEL});
    // Evidence: ReactOS apitests/winspool/GetPrinter.c (the read in the size the query gave).
    ASSERT_TRUE(GetPrinterW(printer, 2, buffer.data(), needed, &again));
    const PRINTER_INFO_2W* record = Record(buffer);
    EXPECT_TRUE(record->pPrinterName && SameIgnoringAsciiCase(record->pPrinterName, kQueue));
    EXPECT_EQ(PortOf(printer), WSTR("USB201"));
    // The strings lie in the caller's buffer behind the record. Evidence: unproven.
    for (const void* part : std::initializer_list<const void*>{
             record->pPrinterName, record->pShareName, record->pPortName, record->pDriverName,
             record->pComment, record->pLocation, record->pDevMode, record->pSepFile,
             record->pPrintProcessor, record->pDatatype, record->pParameters,
             record->pSecurityDescriptor}) {
        EXPECT_TRUE(Inside(part, buffer, sizeof *record));
    }
    ClosePrinter(printer);

    // The spooler's clients reach it through its service: while it is stopped they get no answer.
    // Wine's winspool does the spooler's work in the caller's process: it answers as ever.
    // Evidence: unproven.
    SC_HANDLE spooler = OpenServiceByName("Spooler");
    SERVICE_STATUS status = {};
    ASSERT_TRUE(ControlService(spooler, SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(AwaitState(spooler, SERVICE_STOPPED));
    EXPECT_EQ(ErrorOf([&] { return printer = OpenQueue(kQueue.c_str()); }),
              kOnWine ? DWORD{ERROR_SUCCESS} : DWORD{RPC_S_SERVER_UNAVAILABLE});
    ClosePrinter(printer);
    DWORD count = 0;
    EXPECT_EQ(ErrorOf([&] { return EnumPortsW(nullptr, 2, nullptr, 0, &needed, &count); }),
              kOnWine ? DWORD{ERROR_INSUFFICIENT_BUFFER} : DWORD{RPC_S_SERVER_UNAVAILABLE});
    ASSERT_TRUE(StartServiceA(spooler, 0, nullptr));
    ASSERT_TRUE(AwaitState(spooler, SERVICE_RUNNING));
    EXPECT_TRUE(ClosePrinter(OpenQueue(kQueue.c_str())));
    CloseServiceHandle(spooler);
}

// A level-2 write is checked as the spooler checks it; a refused one changes nothing. Level 0
// carries commands, the status word in the data argument itself.
// Evidence: MS-RPRN 3.1.4.1.8.6 (PRINTER_CONTAINER Parameters) for the port, driver, print
// processor and data type; 3.1.4.1.8.7 (SECURITY_CONTAINER Parameters: a descriptor that is not a
// well-formed self-relative one) for the security descriptor; the printer name cases, and that a
// refused write changes nothing: unproven.
TEST_F(Conformance, SetPrinterTakesCheckedLevelTwoRecordsAndLevelZeroCommands) {
    MakeQueue(kQueue, WSTR("USB201"));
    MakeQueue(WSTR("kq5-conformance-2"), WSTR("USB201"));
    AddSpoolerPort(WSTR("USB202"));
    HANDLE printer = OpenQueue(kQueue.c_str());
    ASSERT_NE(printer, nullptr);
    std::vector<BYTE> buffer = ReadRecord(printer);
    BYTE revisionTwo[20] = {2};
    const struct {
        LPWSTR PRINTER_INFO_2W::*field;  // null: the security descriptor
        const WCHAR* text;
        DWORD error;
    } cases[] = {
        {&PRINTER_INFO_2W::pPortName, WSTR("USB999"), ERROR_UNKNOWN_PORT},
        {&PRINTER_INFO_2W::pPortName, nullptr, ERROR_UNKNOWN_PORT},
        {&PRINTER_INFO_2W::pDriverName, nullptr, ERROR_UNKNOWN_PRINTER_DRIVER},
        {&PRINTER_INFO_2W::pPrinterName, WSTR(""), ERROR_INVALID_PRINTER_NAME},
        {&PRINTER_INFO_2W::pPrinterName, WSTR("kq5-conformance-2"), ERROR_PRINTER_ALREADY_EXISTS},
        {&PRINTER_INFO_2W::pPrintProcessor, WSTR("nothing"), ERROR_UNKNOWN_PRINTPROCESSOR},
        {&PRINTER_INFO_2W::pDatatype, WSTR("nothing"), ERROR_INVALID_DATATYPE},
        {nullptr, nullptr, ERROR_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        PRINTER_INFO_2W damaged = *Record(buffer);
        if (c.field != nullptr) {
            damaged.*c.field = const_cast<LPWSTR>(c.text);
        } else {
            damaged.pSecurityDescriptor = revisionTwo;
        }
        // Wine's SetPrinterW writes any level-2 record into the queue's registry key unchecked.
        EXPECT_EQ(
            ErrorOf([&] { return SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(&damaged), 0); }),
            kOnWine ? DWORD{ERROR_SUCCESS} : c.error);
        EXPECT_TRUE(kOnWine || PortOf(printer) == WSTR("USB201")) << c.error;
    }
    // The record as read goes back with another listed port: that port is the queue's.
    // Evidence: the SetPrinter page (level 2 sets the printer's settings).
    WCHAR listedPort[] = WSTR("USB202");
    Record(buffer)->pPortName = listedPort;
    EXPECT_TRUE(SetPrinterW(printer, 2, buffer.data(), 0));
    EXPECT_EQ(PortOf(printer), WSTR("USB202"));
    // Evidence: the SetPrinter page (level 0: the commands; PRINTER_CONTROL_SET_STATUS with the
    // status in pPrinter); the status each command leaves: unproven.
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
        const auto data = reinterpret_cast<LPBYTE>(static_cast<ULONG_PTR>(step.status));
        const DWORD error = ErrorOf([&] { return SetPrinterW(printer, 0, data, step.command); });
        // Wine's SetPrinterW has no level 0: it answers every command ERROR_INVALID_LEVEL.
        EXPECT_EQ(error, kOnWine ? DWORD{ERROR_INVALID_LEVEL} : DWORD{ERROR_SUCCESS});
        buffer = ReadRecord(printer);
        EXPECT_EQ(Record(buffer)->Status, kOnWine ? Record(buffer)->Status : step.statusAfter)
            << step.command;
    }
    ClosePrinter(printer);
}

// Evidence: Wine winspool.drv/tests/info.c, test_EnumPorts (the size query, a buffer one byte
// short, level 3: refused or an empty list); the count after the size query, the strings in the
// caller's buffer: unproven.
TEST_F(Conformance, EnumPortsSizesThenListsEveryPortInTheCallersBuffer) {
    AddSpoolerPort(WSTR("USB201"));
    AddSpoolerPort(WSTR("USB202"));
    DWORD needed = 0;
    DWORD count = 7;
    EXPECT_EQ(ErrorOf([&] { return EnumPortsW(nullptr, 2, nullptr, 0, &needed, &count); }),
              DWORD{ERROR_INSUFFICIENT_BUFFER});
    EXPECT_EQ(count, 0u);
    ASSERT_GT(needed, 0u);
    std::vector<BYTE> buffer(needed);
    BYTE* data = buffer.data();
    EXPECT_EQ(ErrorOf([&] { return EnumPortsW(nullptr, 2, data, needed - 1, &needed, &count); }),
              DWORD{ERROR_INSUFFICIENT_BUFFER});
    EXPECT_EQ(needed, buffer.size());
    DWORD levelThree = 7;
    DWORD levelThreeNeeded = 0;
    const DWORD levelThreeError = ErrorOf(
        [&] { return EnumPortsW(nullptr, 3, data, needed, &levelThreeNeeded, &levelThree); });
    EXPECT_TRUE(levelThreeError == ERROR_INVALID_LEVEL ||
                (levelThreeError == ERROR_SUCCESS && levelThree == 0))
        << levelThreeError;
    ASSERT_TRUE(EnumPortsW(nullptr, 2, data, needed, &needed, &count));
    const auto* records = reinterpret_cast<const PORT_INFO_2W*>(data);
    std::vector<Text> ours;
    for (DWORD i = 0; i < count; ++i) {
        for (const void* part :
             {records[i].pPortName, records[i].pMonitorName, records[i].pDescription}) {
            EXPECT_TRUE(Inside(part, buffer, count * sizeof *records));
        }
        if (records[i].pPortName && Text(records[i].pPortName).starts_with(WSTR("USB20"))) {
            ours.push_back(records[i].pPortName);
        }
    }
    EXPECT_EQ(ours, (std::vector<Text>{WSTR("USB201"), WSTR("USB202")}));
}

// ---- Service control manager -------------------------------------------------------------------

TEST_F(Conformance, ServiceManagerAnswersStopStartAndQueryInEachStateAndMindsDependents) {
    SC_HANDLE service = OpenServiceByName(MakeSlowService());
    ASSERT_NE(service, nullptr);
    SERVICE_STATUS status = {};
    auto start = [&] { return ErrorOf([&] { return StartServiceA(service, 0, nullptr); }); };
    auto control = [&](DWORD code) {
        status.dwCurrentState = 0;
        return ErrorOf([&] { return ControlService(service, code, &status); });
    };
    auto stop = [&] { return control(SERVICE_CONTROL_STOP); };
    EXPECT_EQ(StateOf(service), DWORD{SERVICE_RUNNING});
    // Evidence: the "Service Control Requests" page (all services accept
    // SERVICE_CONTROL_INTERROGATE).
    EXPECT_EQ(control(SERVICE_CONTROL_INTERROGATE), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_RUNNING});
    // Evidence: the StartService page (ERROR_SERVICE_ALREADY_RUNNING: an instance is running).
    EXPECT_EQ(start(), DWORD{ERROR_SERVICE_ALREADY_RUNNING});
    // Evidence: the ControlService page (remarks: the table of controls by state, and the status
    // filled in for NO_ERROR and the three refusals below).
    ASSERT_EQ(stop(), DWORD{ERROR_SUCCESS});
    EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_STOP_PENDING});

    // Still stopping: no start (the same answer as for a running service), no second stop; the
    // refusal reports the service's status. Evidence for the start: unproven.
    EXPECT_EQ(StateOf(service), DWORD{SERVICE_STOP_PENDING});
    EXPECT_EQ(start(), DWORD{ERROR_SERVICE_ALREADY_RUNNING});
    EXPECT_EQ(stop(), DWORD{ERROR_SERVICE_CANNOT_ACCEPT_CTRL});
    EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_STOP_PENDING});
    // Nor any other control a caller can send, interrogate and user-defined codes among them, and
    // whatever the service accepts (under Wine the slow service still lists stop while it stops,
    // as kq5 does). Evidence: the ControlService page (remarks: in the table of controls by
    // state, STOP_PENDING gives ERROR_SERVICE_CANNOT_ACCEPT_CTRL for stop and for every other
    // control; ERROR_SERVICE_CANNOT_ACCEPT_CTRL: "The requested control code cannot be sent to the
    // service because the state of the service is SERVICE_STOPPED, SERVICE_START_PENDING, or
    // SERVICE_STOP_PENDING").
    for (const DWORD code : {DWORD{SERVICE_CONTROL_INTERROGATE}, DWORD{128}}) {
        EXPECT_EQ(control(code), DWORD{ERROR_SERVICE_CANNOT_ACCEPT_CTRL}) << code;
        EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_STOP_PENDING}) << code;
    }
    ASSERT_TRUE(AwaitState(service, SERVICE_STOPPED));
    EXPECT_EQ(stop(), DWORD{ERROR_SERVICE_NOT_ACTIVE});
    EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_STOPPED});
    ASSERT_EQ(start(), DWORD{ERROR_SUCCESS});

    // Still starting: no second start, and no stop, for a starting service accepts no control
    // until it reports otherwise. Evidence: the ControlService page (remarks: START_PENDING, stop:
    // sent if the service accepts it, else ERROR_INVALID_SERVICE_CONTROL); the StartService page
    // (remarks: the service manager sets the accepted controls to none at the start).
    EXPECT_EQ(StateOf(service), DWORD{SERVICE_START_PENDING});
    EXPECT_EQ(start(), DWORD{ERROR_SERVICE_ALREADY_RUNNING});
    // Wine gives the same answer but fills in no status with it.
    EXPECT_EQ(stop(), DWORD{ERROR_INVALID_SERVICE_CONTROL});
    EXPECT_TRUE(kOnWine || status.dwCurrentState == SERVICE_START_PENDING);
    ASSERT_TRUE(AwaitState(service, SERVICE_RUNNING));

    // No stop while a dependent runs. Wine's service manager does not look at dependents: it
    // passes the stop on. Evidence: the ControlService page (ERROR_DEPENDENT_SERVICES_RUNNING).
    AddRunningDependent();
    EXPECT_EQ(stop(), kOnWine ? DWORD{ERROR_SUCCESS} : DWORD{ERROR_DEPENDENT_SERVICES_RUNNING});
    EXPECT_EQ(StateOf(service), kOnWine ? DWORD{SERVICE_STOP_PENDING} : DWORD{SERVICE_RUNNING});
    CloseServiceHandle(service);
}

// The Spooler runs in a process of its own, spoolsv.exe. Evidence: its service key on Windows
// (Type 0x110, own process and interactive; a Windows 7 export, blackviper.com "Print Spooler");
// for Windows 10 and 11: unproven. Wine registers it own-process, without the interactive bit.
TEST_F(Conformance, TheSpoolerIsAnOwnProcessService) {
    SC_HANDLE spooler = OpenServiceByName("Spooler");
    ASSERT_NE(spooler, nullptr);
    SERVICE_STATUS status = {};
    ASSERT_TRUE(QueryServiceStatus(spooler, &status));
    EXPECT_EQ(status.dwServiceType & SERVICE_WIN32, DWORD{SERVICE_WIN32_OWN_PROCESS});
    CloseServiceHandle(spooler);
}

// ---- Registry ----------------------------------------------------------------------------------

TEST_F(Conformance, RegistryReadsAnswerWithTheSizeTheValueNeeds) {
    const std::string key = std::string(kTestKey) + "\\Values";
    SetRegistryString(key, "Text", "KorvaneQ5");
    SetRegistryString(key, "Unterminated", "KorvaneQ5", false);
    // A missing key: no handle. Evidence: Wine advapi32/tests/registry.c, test_reg_open_key
    // (RegOpenKeyA of a nonexistent key sets the handle to NULL).
    auto handle = reinterpret_cast<HKEY>(static_cast<ULONG_PTR>(0xdeadbeef));
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (key + "\\Missing").c_str(), 0, KEY_READ, &handle),
              ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(handle, nullptr);
    // Key paths and value names compare without regard to case. Evidence: unproven.
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\KQ5-CONFORMANCE\\values", 0, KEY_READ,
                            &handle),
              ERROR_SUCCESS);
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
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.name) + " in " + std::to_string(c.room));
        std::vector<char> buffer(c.room, '#');
        DWORD size = c.room == 0 ? 0xdeadbeef : c.room;
        DWORD type = REG_NONE;
        EXPECT_EQ(
            RegQueryValueExA(handle, c.name, nullptr, &type,
                             c.room ? reinterpret_cast<LPBYTE>(buffer.data()) : nullptr, &size),
            c.status);
        EXPECT_EQ(size, c.size);
        // Of a missing value, Windows leaves the type undefined (test_query_value_ex).
        EXPECT_TRUE(c.status == ERROR_FILE_NOT_FOUND || type == REG_SZ) << type;
        if (c.bytes != nullptr) {
            const size_t length = std::strlen(c.bytes) + (c.room > c.size ? 1 : 0);
            EXPECT_EQ(std::string(buffer.data(), length), std::string(c.bytes, length));
        }
    }
    RegCloseKey(handle);
}

// ---- Device installation services and device files ---------------------------------------------

HDEVINFO PresentUsbInterfaces() {
    return SetupDiGetClassDevsW(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr,
                                DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
}

// Looks through the listed interfaces for the printer's; whether it is there, in `member`.
bool FindPrinter(HDEVINFO list, SP_DEVICE_INTERFACE_DATA& member) {
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
            EXPECT_TRUE(std::none_of(path.begin(), path.end(), [](WCHAR c) {
                return c >= 'A' && c <= 'Z';
            })) << std::string(path.begin(), path.end());
            return true;
        }
    }
    EXPECT_EQ(GetLastError(), DWORD{ERROR_NO_MORE_ITEMS});
    return false;
}

bool PrinterListed() {
    HDEVINFO list = PresentUsbInterfaces();
    SP_DEVICE_INTERFACE_DATA member = {};
    const bool found = FindPrinter(list, member);
    SetupDiDestroyDeviceInfoList(list);
    return found;
}

// Evidence: the SetupDiGetDeviceInterfaceDetail page (cbSize is the fixed part's size; the size
// query with no buffer: ERROR_INSUFFICIENT_BUFFER and the size); Wine setupapi/tests/devinst.c,
// test_device_iface_detail (the size query, cbSize 0 and a wrong cbSize: ERROR_INVALID_USER_BUFFER,
// a buffer too small).
TEST_F(Conformance, SetupDiListsPresentUsbInterfacesWithTheDetailSizingProtocol) {
    HDEVINFO list = PresentUsbInterfaces();
    ASSERT_NE(list, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA member = {};
    ASSERT_TRUE(FindPrinter(list, member));
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
    for (const auto& c : cases) {
        detail->cbSize = c.cbSize;
        EXPECT_EQ(ErrorOf([&] {
                      return SetupDiGetDeviceInterfaceDetailW(
                          list, &member, c.size ? detail : nullptr, c.size, &required, nullptr);
                  }),
                  c.error)
            << c.cbSize << " " << c.size;
        if (c.size == 0) {
            EXPECT_EQ(required, exact);
        }
    }
    EXPECT_TRUE(SameIgnoringAsciiCase(detail->DevicePath, kPrinterPath));
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
TEST_F(Conformance, CreateFileOpensAPresentPrinterOneHandleAtATime) {
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
    for (const auto& c : cases) {
        HANDLE first = CreateFileW(kPrinterPath.c_str(), kReadWrite, c.firstShare, nullptr,
                                   OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
        ASSERT_NE(first, INVALID_HANDLE_VALUE) << GetLastError();
        // The virtual printer is a named pipe of one instance: while one handle is open, Wine
        // answers every other open ERROR_PIPE_BUSY, whatever the share modes.
        EXPECT_EQ(OpenError(kPrinterPath, c.access, c.share),
                  kOnWine ? DWORD{ERROR_PIPE_BUSY} : DWORD{ERROR_ACCESS_DENIED})
            << c.firstShare << " " << c.share;
        EXPECT_TRUE(CloseHandle(first));
        AwaitPrinterClosed();
    }
    // Closed, it opens again.
    EXPECT_EQ(OpenError(kPrinterPath, kReadWrite, 0), DWORD{ERROR_SUCCESS});
    AwaitPrinterClosed();
    // A device that is not present, or no longer (nor listed then), does not open: its
    // interface's link is gone. Evidence: unproven.
    Text absent = kPrinterPath;
    absent.replace(absent.find(WSTR("a1b2c3")), 6, WSTR("absent"));
    EXPECT_EQ(OpenError(absent, kReadWrite, 0), DWORD{ERROR_FILE_NOT_FOUND});
    SetPrinterPlugged(false);
    EXPECT_FALSE(PrinterListed());
    EXPECT_EQ(OpenError(kPrinterPath, kReadWrite, 0), DWORD{ERROR_FILE_NOT_FOUND});
    SetPrinterPlugged(true);
    EXPECT_TRUE(PrinterListed());
}

// ---- Text conversion ---------------------------------------------------------------------------

// Evidence: Wine kernel32/tests/codepage.c, test_negative_source_length (-2002 as -1; a buffer
// too small); the MultiByteToWideChar page for the rest (room 0: the size only; a length of 0
// fails; ERROR_INVALID_PARAMETER for invalid arguments; a NUL inside counts when a length is
// given).
TEST_F(Conformance, MultiByteToWideCharSizesAndConvertsInTheThreadsCodePage) {
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
    for (const auto& c : cases) {
        WCHAR wide[16] = {};
        SetLastError(0xdeadbeef);
        const int result = MultiByteToWideChar(CP_THREAD_ACP, 0, c.text, c.bytes,
                                               c.output ? wide : nullptr, c.room);
        EXPECT_EQ(result, c.result) << c.bytes << " " << c.room;
        EXPECT_EQ(result == 0 ? GetLastError() : 0, c.error) << c.bytes << " " << c.room;
        if (result != 0 && c.room != 0) {
            EXPECT_EQ(Text(wide, result), Text(c.text, c.text + result));
        }
    }
}

}  // namespace
}  // namespace conformance
