// The Win32 calls kq5 makes, each held to what Windows documents for it, run on both sides: in
// the host tests against the simulated Windows, and under Wine in the Windows build. Where Wine
// departs from Windows, the case says how and expects Wine's answer there.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

#include "conformance_env.h"

namespace {

using conformance::kOnWine;
using conformance::Text;

const Text kQueue = WSTR("kq5-conformance");
const Text kOtherQueue = WSTR("kq5-conformance-2");

class Conformance : public ::testing::Test {
protected:
    void SetUp() override { conformance::Prepare(); }
    void TearDown() override { conformance::CleanUp(); }
};

bool SameIgnoringAsciiCase(const Text& a, const Text& b) {
    auto fold = [](WCHAR c) { return c >= 'A' && c <= 'Z' ? static_cast<WCHAR>(c | 0x20) : c; };
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (fold(a[i]) != fold(b[i])) {
            return false;
        }
    }
    return true;
}

bool Inside(const void* part, const std::vector<BYTE>& buffer, size_t recordsSize) {
    const auto* at = static_cast<const BYTE*>(part);
    return part == nullptr ||
           (at >= buffer.data() + recordsSize && at < buffer.data() + buffer.size());
}

// ---- Print spooler -----------------------------------------------------------------------------

HANDLE OpenQueue(const Text& name) {
    Text copy = name;
    PRINTER_DEFAULTSW all = {nullptr, nullptr, PRINTER_ALL_ACCESS};
    HANDLE printer = nullptr;
    return OpenPrinterW(copy.data(), &printer, &all) ? printer : nullptr;
}

// The level-2 record by the sizing protocol: the size first, then a buffer of exactly that size.
std::vector<BYTE> ReadRecord(HANDLE printer) {
    DWORD needed = 0;
    GetPrinterW(printer, 2, nullptr, 0, &needed);
    std::vector<BYTE> buffer(needed);
    if (needed == 0 || !GetPrinterW(printer, 2, buffer.data(), needed, &needed)) {
        ADD_FAILURE() << "GetPrinterW failed with " << GetLastError();
        return std::vector<BYTE>(sizeof(PRINTER_INFO_2W));
    }
    return buffer;
}

PRINTER_INFO_2W* Record(std::vector<BYTE>& buffer) {
    return reinterpret_cast<PRINTER_INFO_2W*>(buffer.data());
}

Text PortOf(HANDLE printer) {
    std::vector<BYTE> buffer = ReadRecord(printer);
    return Record(buffer)->pPortName ? Record(buffer)->pPortName : Text();
}

TEST_F(Conformance, OpenPrinterFindsAQueueByNameWithoutRegardToCase) {
    conformance::MakeQueue(kQueue, WSTR("USB201"));
    HANDLE printer = OpenQueue(WSTR("KQ5-Conformance"));
    ASSERT_NE(printer, nullptr);
    EXPECT_TRUE(ClosePrinter(printer));
    SetLastError(0xdeadbeef);
    EXPECT_EQ(OpenQueue(WSTR("kq5-conformance-missing")), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PRINTER_NAME));
}

TEST_F(Conformance, GetPrinterSizesThenHandsTheWholeRecordInTheCallersBuffer) {
    conformance::MakeQueue(kQueue, WSTR("USB201"));
    HANDLE printer = OpenQueue(kQueue);
    ASSERT_NE(printer, nullptr);
    DWORD needed = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetPrinterW(printer, 2, nullptr, 0, &needed));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    ASSERT_GT(needed, sizeof(PRINTER_INFO_2W));
    std::vector<BYTE> buffer(needed);
    DWORD again = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetPrinterW(printer, 2, buffer.data(), needed - 1, &again));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(again, needed);
    ASSERT_TRUE(GetPrinterW(printer, 2, buffer.data(), needed, &again));
    const PRINTER_INFO_2W* record = Record(buffer);
    ASSERT_NE(record->pPrinterName, nullptr);
    EXPECT_TRUE(SameIgnoringAsciiCase(record->pPrinterName, kQueue));
    ASSERT_NE(record->pPortName, nullptr);
    EXPECT_EQ(Text(record->pPortName), WSTR("USB201"));
    const void* const parts[] = {
        record->pPrinterName, record->pShareName,  record->pPortName,
        record->pDriverName,  record->pComment,    record->pLocation,
        record->pDevMode,     record->pSepFile,    record->pPrintProcessor,
        record->pDatatype,    record->pParameters, record->pSecurityDescriptor};
    for (const void* part : parts) {
        EXPECT_TRUE(Inside(part, buffer, sizeof *record));
    }
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(GetPrinterW(printer, 99, buffer.data(), needed, &again));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
    ClosePrinter(printer);
}

// A level-2 write is checked as the spooler checks it; a refused one changes nothing.
TEST_F(Conformance, SetPrinterTakesALevelTwoRecordOnlyWhenTheSpoolerAcceptsIt) {
    conformance::MakeQueue(kQueue, WSTR("USB201"));
    conformance::MakeQueue(kOtherQueue, WSTR("USB201"));
    conformance::AddSpoolerPort(WSTR("USB202"));
    HANDLE printer = OpenQueue(kQueue);
    ASSERT_NE(printer, nullptr);
    std::vector<BYTE> buffer = ReadRecord(printer);
    WCHAR unknownPort[] = WSTR("USB999");
    WCHAR empty[] = WSTR("");
    WCHAR other[] = WSTR("kq5-conformance-2");
    WCHAR unknown[] = WSTR("nothing");
    BYTE revisionTwo[20] = {2};
    const struct {
        LPWSTR PRINTER_INFO_2W::*field;
        LPWSTR text;
        void* descriptor;
        DWORD error;
    } cases[] = {
        {&PRINTER_INFO_2W::pPortName, unknownPort, nullptr, ERROR_UNKNOWN_PORT},
        {&PRINTER_INFO_2W::pPortName, nullptr, nullptr, ERROR_UNKNOWN_PORT},
        {&PRINTER_INFO_2W::pDriverName, nullptr, nullptr, ERROR_UNKNOWN_PRINTER_DRIVER},
        {&PRINTER_INFO_2W::pPrinterName, empty, nullptr, ERROR_INVALID_PRINTER_NAME},
        {&PRINTER_INFO_2W::pPrinterName, other, nullptr, ERROR_PRINTER_ALREADY_EXISTS},
        {&PRINTER_INFO_2W::pPrintProcessor, unknown, nullptr, ERROR_UNKNOWN_PRINTPROCESSOR},
        {&PRINTER_INFO_2W::pDatatype, unknown, nullptr, ERROR_INVALID_DATATYPE},
        {nullptr, nullptr, revisionTwo, ERROR_INVALID_SECURITY_DESCR},
    };
    for (const auto& c : cases) {
        PRINTER_INFO_2W damaged = *Record(buffer);
        if (c.field != nullptr) {
            damaged.*c.field = c.text;
        } else {
            damaged.pSecurityDescriptor = c.descriptor;
        }
        SetLastError(0xdeadbeef);
        const BOOL written = SetPrinterW(printer, 2, reinterpret_cast<LPBYTE>(&damaged), 0);
        if (kOnWine) {
            // Wine's SetPrinterW writes any level-2 record into the queue's registry key unchecked.
            EXPECT_TRUE(written) << c.error;
        } else {
            EXPECT_FALSE(written) << c.error;
            EXPECT_EQ(GetLastError(), c.error);
            EXPECT_EQ(PortOf(printer), WSTR("USB201"));
        }
    }
    // The record as read goes back; with another listed port, that port is the queue's.
    EXPECT_TRUE(SetPrinterW(printer, 2, buffer.data(), 0));
    WCHAR listedPort[] = WSTR("USB202");
    Record(buffer)->pPortName = listedPort;
    EXPECT_TRUE(SetPrinterW(printer, 2, buffer.data(), 0));
    EXPECT_EQ(PortOf(printer), WSTR("USB202"));
    ClosePrinter(printer);
}

TEST_F(Conformance, LevelZeroCommandsPauseResumeAndSetThePrinterStatus) {
    conformance::MakeQueue(kQueue, WSTR("USB201"));
    HANDLE printer = OpenQueue(kQueue);
    ASSERT_NE(printer, nullptr);
    // The status word travels in the data argument itself.
    const struct {
        DWORD command;
        DWORD status;
        DWORD statusAfter;
    } steps[] = {
        {PRINTER_CONTROL_PAUSE, 0, PRINTER_STATUS_PAUSED},
        {PRINTER_CONTROL_SET_STATUS, PRINTER_STATUS_DOOR_OPEN,
         PRINTER_STATUS_PAUSED | PRINTER_STATUS_DOOR_OPEN},
        {PRINTER_CONTROL_RESUME, 0, PRINTER_STATUS_DOOR_OPEN},
        {PRINTER_CONTROL_SET_STATUS, PRINTER_STATUS_OFFLINE, PRINTER_STATUS_OFFLINE},
        {PRINTER_CONTROL_SET_STATUS, 0, 0},
    };
    for (const auto& step : steps) {
        SetLastError(0xdeadbeef);
        const BOOL done =
            SetPrinterW(printer, 0, reinterpret_cast<LPBYTE>(static_cast<ULONG_PTR>(step.status)),
                        step.command);
        if (kOnWine) {
            // Wine's SetPrinterW has no level 0: it answers every command ERROR_INVALID_LEVEL.
            EXPECT_FALSE(done);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
            continue;
        }
        EXPECT_TRUE(done) << step.command;
        std::vector<BYTE> buffer = ReadRecord(printer);
        EXPECT_EQ(Record(buffer)->Status, step.statusAfter) << step.command;
    }
    ClosePrinter(printer);
}

TEST_F(Conformance, EnumPortsSizesThenListsEveryPortInTheCallersBuffer) {
    conformance::AddSpoolerPort(WSTR("USB201"));
    conformance::AddSpoolerPort(WSTR("USB202"));
    DWORD needed = 0;
    DWORD count = 7;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(EnumPortsW(nullptr, 2, nullptr, 0, &needed, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(count, 0u);
    ASSERT_GT(needed, 0u);
    std::vector<BYTE> buffer(needed);
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(EnumPortsW(nullptr, 2, buffer.data(), needed - 1, &needed, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(needed, buffer.size());
    ASSERT_TRUE(EnumPortsW(nullptr, 2, buffer.data(), needed, &needed, &count));
    const auto* records = reinterpret_cast<const PORT_INFO_2W*>(buffer.data());
    std::vector<Text> ours;
    for (DWORD i = 0; i < count; ++i) {
        EXPECT_TRUE(Inside(records[i].pPortName, buffer, count * sizeof *records));
        EXPECT_TRUE(Inside(records[i].pMonitorName, buffer, count * sizeof *records));
        EXPECT_TRUE(Inside(records[i].pDescription, buffer, count * sizeof *records));
        const Text name = records[i].pPortName ? records[i].pPortName : Text();
        if (name == WSTR("USB201") || name == WSTR("USB202")) {
            ours.push_back(name);
        }
    }
    EXPECT_EQ(ours, (std::vector<Text>{WSTR("USB201"), WSTR("USB202")}));
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(EnumPortsW(nullptr, 3, buffer.data(), needed, &needed, &count));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_LEVEL));
}

// ---- Service control manager -------------------------------------------------------------------

DWORD StateOf(SC_HANDLE service) {
    SERVICE_STATUS status = {};
    return QueryServiceStatus(service, &status) ? status.dwCurrentState : 0;
}

// Polls until the service reaches `state`; in the simulation, simulated time passes.
bool AwaitState(SC_HANDLE service, DWORD state) {
    for (int i = 0; i < 200 && StateOf(service) != state; ++i) {
        Sleep(50);
    }
    return StateOf(service) == state;
}

void ExpectStartRefused(SC_HANDLE service) {
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(StartServiceA(service, 0, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SERVICE_ALREADY_RUNNING));
}

// For these refusals the service manager fills in the service's status, in `state`.
void ExpectStopRefused(SC_HANDLE service, DWORD error, DWORD state = 0) {
    SERVICE_STATUS status = {};
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(GetLastError(), error);
    if (state != 0) {
        EXPECT_EQ(status.dwCurrentState, state);
    }
}

TEST_F(Conformance, ServiceManagerAnswersStopStartAndQueryInEachState) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE service = OpenServiceA(manager, conformance::MakeSlowService(), SERVICE_ALL_ACCESS);
    ASSERT_NE(service, nullptr);
    SERVICE_STATUS status = {};
    ASSERT_TRUE(QueryServiceStatus(service, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_RUNNING));
    EXPECT_NE(status.dwControlsAccepted & SERVICE_ACCEPT_STOP, 0u);
    ExpectStartRefused(service);
    ASSERT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status));
    EXPECT_EQ(status.dwCurrentState, static_cast<DWORD>(SERVICE_STOP_PENDING));

    // Still stopping: no start (the same answer as for a running service), no second stop.
    EXPECT_EQ(StateOf(service), static_cast<DWORD>(SERVICE_STOP_PENDING));
    ExpectStartRefused(service);
    ExpectStopRefused(service, ERROR_SERVICE_CANNOT_ACCEPT_CTRL, SERVICE_STOP_PENDING);

    ASSERT_TRUE(AwaitState(service, SERVICE_STOPPED));
    ExpectStopRefused(service, ERROR_SERVICE_NOT_ACTIVE, SERVICE_STOPPED);
    ASSERT_TRUE(StartServiceA(service, 0, nullptr));

    // Still starting: no second start, no stop.
    EXPECT_EQ(StateOf(service), static_cast<DWORD>(SERVICE_START_PENDING));
    ExpectStartRefused(service);
    if (kOnWine) {
        // Wine passes a stop to a starting service that accepts it, and answers
        // ERROR_INVALID_SERVICE_CONTROL, with no status, for one that does not yet.
        ExpectStopRefused(service, ERROR_INVALID_SERVICE_CONTROL);
    } else {
        ExpectStopRefused(service, ERROR_SERVICE_CANNOT_ACCEPT_CTRL, SERVICE_START_PENDING);
    }
    EXPECT_TRUE(AwaitState(service, SERVICE_RUNNING));
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

TEST_F(Conformance, StopIsRefusedWhileADependentServiceRuns) {
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE service = OpenServiceA(manager, conformance::MakeSlowService(), SERVICE_ALL_ACCESS);
    ASSERT_NE(service, nullptr);
    conformance::AddRunningDependent();
    SERVICE_STATUS status = {};
    SetLastError(0xdeadbeef);
    const BOOL stopped = ControlService(service, SERVICE_CONTROL_STOP, &status);
    if (kOnWine) {
        // Wine's service manager does not look at dependents: it passes the stop on.
        EXPECT_TRUE(stopped);
    } else {
        EXPECT_FALSE(stopped);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DEPENDENT_SERVICES_RUNNING));
        EXPECT_EQ(StateOf(service), static_cast<DWORD>(SERVICE_RUNNING));
    }
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
}

// The spooler's clients reach it through its service: while it is stopped they get no answer.
TEST_F(Conformance, SpoolerCallsFailWhileTheSpoolerServiceIsStopped) {
    conformance::MakeQueue(kQueue, WSTR("USB201"));
    SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
    ASSERT_NE(manager, nullptr);
    SC_HANDLE spooler = OpenServiceA(manager, "Spooler", SERVICE_ALL_ACCESS);
    ASSERT_NE(spooler, nullptr);
    SERVICE_STATUS status = {};
    ASSERT_TRUE(ControlService(spooler, SERVICE_CONTROL_STOP, &status));
    ASSERT_TRUE(AwaitState(spooler, SERVICE_STOPPED));
    SetLastError(0xdeadbeef);
    HANDLE printer = OpenQueue(kQueue);
    const DWORD openError = GetLastError();
    DWORD needed = 0;
    DWORD count = 0;
    SetLastError(0xdeadbeef);
    const BOOL listed = EnumPortsW(nullptr, 2, nullptr, 0, &needed, &count);
    const DWORD listError = GetLastError();
    if (kOnWine) {
        // Wine's winspool does the spooler's work in the caller's process: it answers as ever.
        EXPECT_NE(printer, nullptr);
        EXPECT_EQ(listError, static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
        ClosePrinter(printer);
    } else {
        EXPECT_EQ(printer, nullptr);
        EXPECT_EQ(openError, static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
        EXPECT_FALSE(listed);
        EXPECT_EQ(listError, static_cast<DWORD>(RPC_S_SERVER_UNAVAILABLE));
    }
    ASSERT_TRUE(StartServiceA(spooler, 0, nullptr));
    ASSERT_TRUE(AwaitState(spooler, SERVICE_RUNNING));
    printer = OpenQueue(kQueue);
    EXPECT_NE(printer, nullptr);
    ClosePrinter(printer);
    CloseServiceHandle(spooler);
    CloseServiceHandle(manager);
}

// ---- Registry ----------------------------------------------------------------------------------

TEST_F(Conformance, RegistryReadsAnswerWithTheSizeTheValueNeeds) {
    const std::string key = std::string(conformance::kTestKey) + "\\Values";
    conformance::SetRegistryString(key, "Text", "KorvaneQ5");
    conformance::SetRegistryString(key, "Unterminated", "KorvaneQ5", false);
    conformance::SetRegistryString(key, "Long", std::string(200, 'K'));
    HKEY handle = nullptr;
    SetLastError(0xdeadbeef);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, (key + "\\Missing").c_str(), 0, KEY_READ, &handle),
              ERROR_FILE_NOT_FOUND);
    // Key paths and value names compare without regard to case.
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
        {"Long", 200, ERROR_MORE_DATA, 201, nullptr},
        {"Missing", 200, ERROR_FILE_NOT_FOUND, 200, nullptr},
    };
    for (const auto& c : cases) {
        std::vector<char> buffer(c.room, '#');
        DWORD size = c.room;
        DWORD type = REG_NONE;
        EXPECT_EQ(
            RegQueryValueExA(handle, c.name, nullptr, &type,
                             c.room ? reinterpret_cast<LPBYTE>(buffer.data()) : nullptr, &size),
            c.status)
            << c.name << " in " << c.room;
        EXPECT_EQ(size, c.size) << c.name << " in " << c.room;
        EXPECT_EQ(type, static_cast<DWORD>(c.status == ERROR_FILE_NOT_FOUND ? REG_NONE : REG_SZ));
        if (c.bytes != nullptr) {
            const size_t length = std::strlen(c.bytes) + (c.room > c.size ? 1 : 0);
            EXPECT_EQ(std::string(buffer.data(), length), std::string(c.bytes, length)) << c.name;
        }
    }
    EXPECT_EQ(RegCloseKey(handle), ERROR_SUCCESS);
}

// ---- Device installation services and device files ---------------------------------------------

// The detail of one listed interface by the sizing protocol; empty when it cannot be had.
Text DetailPath(HDEVINFO list, SP_DEVICE_INTERFACE_DATA& member) {
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(list, &member, nullptr, 0, &required, nullptr);
    std::vector<BYTE> buffer(required + sizeof(WCHAR));
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    detail->cbSize = sizeof *detail;
    return SetupDiGetDeviceInterfaceDetailW(list, &member, detail, required, nullptr, nullptr)
               ? Text(detail->DevicePath)
               : Text();
}

// The paths of the present USB device interfaces.
std::vector<Text> ListUsbDevices() {
    HDEVINFO list = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr,
                                         DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    EXPECT_NE(list, INVALID_HANDLE_VALUE);
    std::vector<Text> paths;
    SP_DEVICE_INTERFACE_DATA member = {};
    member.cbSize = sizeof member;
    for (DWORD i = 0;
         SetupDiEnumDeviceInterfaces(list, nullptr, &GUID_DEVINTERFACE_USB_DEVICE, i, &member);
         ++i) {
        paths.push_back(DetailPath(list, member));
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    SetupDiDestroyDeviceInfoList(list);
    return paths;
}

bool Listed(const std::vector<Text>& paths, const Text& path) {
    for (const Text& listed : paths) {
        if (SameIgnoringAsciiCase(listed, path)) {
            return true;
        }
    }
    return false;
}

TEST_F(Conformance, SetupDiListsPresentUsbInterfacesWithTheDetailSizingProtocol) {
    const Text path = conformance::PrinterPath();
    EXPECT_TRUE(Listed(ListUsbDevices(), path));
    HDEVINFO list = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr,
                                         DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    ASSERT_NE(list, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA member = {};
    member.cbSize = sizeof member;
    DWORD index = 0;
    while (
        SetupDiEnumDeviceInterfaces(list, nullptr, &GUID_DEVINTERFACE_USB_DEVICE, index, &member) &&
        !SameIgnoringAsciiCase(DetailPath(list, member), path)) {
        ++index;
    }
    EXPECT_EQ(member.Flags & SPINT_ACTIVE, static_cast<DWORD>(SPINT_ACTIVE));
    const DWORD exact = static_cast<DWORD>(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                                           (path.size() + 1) * sizeof(WCHAR));
    DWORD required = 0;
    SetLastError(0xdeadbeef);
    EXPECT_FALSE(SetupDiGetDeviceInterfaceDetailW(list, &member, nullptr, 0, &required, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(required, exact);
    std::vector<BYTE> buffer(exact);
    auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer.data());
    const struct {
        DWORD cbSize;
        DWORD size;
        DWORD error;  // 0: the call succeeds
    } cases[] = {
        {0, exact, ERROR_INVALID_USER_BUFFER},
        {exact, exact,
         ERROR_INVALID_USER_BUFFER},  // cbSize is the fixed part's size, not the whole
        {sizeof *detail, exact - static_cast<DWORD>(sizeof(WCHAR)), ERROR_INSUFFICIENT_BUFFER},
        {sizeof *detail, exact, 0},
    };
    for (const auto& c : cases) {
        detail->cbSize = c.cbSize;
        SetLastError(0xdeadbeef);
        EXPECT_EQ(SetupDiGetDeviceInterfaceDetailW(list, &member, detail, c.size, nullptr, nullptr),
                  c.error == 0)
            << c.cbSize << " " << c.size;
        if (c.error != 0) {
            EXPECT_EQ(GetLastError(), c.error) << c.cbSize << " " << c.size;
        }
    }
    EXPECT_TRUE(SameIgnoringAsciiCase(detail->DevicePath, path));
    SetupDiDestroyDeviceInfoList(list);
    // An unplugged device is no longer present.
    conformance::SetPrinterPlugged(false);
    EXPECT_FALSE(Listed(ListUsbDevices(), path));
    conformance::SetPrinterPlugged(true);
    EXPECT_TRUE(Listed(ListUsbDevices(), path));
}

HANDLE OpenDevice(const Text& path, DWORD access, DWORD share) {
    return CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, FILE_FLAG_NO_BUFFERING,
                       nullptr);
}

TEST_F(Conformance, CreateFileKeepsToTheShareModesOfTheHandlesOpen) {
    const Text path = conformance::PrinterPath();
    constexpr DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
    constexpr DWORD kShareBoth = FILE_SHARE_READ | FILE_SHARE_WRITE;
    // The first handle reads and writes; the second open asks for `access` and grants `share`.
    const struct {
        DWORD firstShare;
        DWORD access;
        DWORD share;
        bool opens;
    } cases[] = {
        {0, kReadWrite, 0, false},
        {0, GENERIC_READ, kShareBoth, false},
        {kShareBoth, kReadWrite, 0, false},
        {kShareBoth, kReadWrite, FILE_SHARE_READ, false},  // would deny the first its writes
        {FILE_SHARE_READ, kReadWrite, kShareBoth, false},  // the first does not share writes
        {FILE_SHARE_READ, GENERIC_READ, kShareBoth, true},
        {kShareBoth, kReadWrite, kShareBoth, true},
    };
    for (const auto& c : cases) {
        HANDLE first = OpenDevice(path, kReadWrite, c.firstShare);
        ASSERT_NE(first, INVALID_HANDLE_VALUE) << GetLastError();
        SetLastError(0xdeadbeef);
        HANDLE second = OpenDevice(path, c.access, c.share);
        if (kOnWine) {
            // The virtual printer is a named pipe of one instance: while one handle is open, Wine
            // answers every other open ERROR_PIPE_BUSY, whatever the share modes.
            EXPECT_EQ(second, INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PIPE_BUSY));
        } else if (c.opens) {
            EXPECT_NE(second, INVALID_HANDLE_VALUE) << c.firstShare << " " << c.share;
        } else {
            EXPECT_EQ(second, INVALID_HANDLE_VALUE) << c.firstShare << " " << c.share;
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        }
        if (second != INVALID_HANDLE_VALUE) {
            CloseHandle(second);
        }
        EXPECT_TRUE(CloseHandle(first));
        conformance::AwaitPrinterClosed();
    }
    // A device that is not present, or no longer, does not open.
    const Text absent =
        WSTR("\\\\?\\usb#vid_0483&pid_5741#absent#{a5dcbf10-6530-11d2-901f-00c04fb951ed}");
    SetLastError(0xdeadbeef);
    EXPECT_EQ(OpenDevice(absent, kReadWrite, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    conformance::SetPrinterPlugged(false);
    SetLastError(0xdeadbeef);
    EXPECT_EQ(OpenDevice(path, kReadWrite, 0), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    conformance::SetPrinterPlugged(true);
}

// ---- Text conversion ---------------------------------------------------------------------------

TEST_F(Conformance, MultiByteToWideCharSizesAndConvertsInTheThreadsCodePage) {
    const struct {
        const char* text;
        int bytes;  // -1: up to and with the NUL
        bool output;
        int room;
        int result;
        DWORD error;  // when the result is 0
    } cases[] = {
        {"KorvaneQ5", 9, true, 9, 9, 0},
        {"KorvaneQ5", -1, true, 10, 10, 0},
        {"Korvane\0Q5", 10, true, 10, 10, 0},  // a NUL inside is a character like any other
        {"KorvaneQ5", 9, true, 0, 9, 0},       // room 0: the size only
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
        if (result == 0) {
            EXPECT_EQ(GetLastError(), c.error) << c.bytes << " " << c.room;
        } else if (c.room != 0) {
            for (int i = 0; i < result; ++i) {
                EXPECT_EQ(wide[i], static_cast<WCHAR>(c.text[i])) << i;
            }
        }
    }
}

}  // namespace
