// Device arrival and removal.
#include <cstring>

#include "queue/queue.h"
#include "sim_fixture.h"  // and service/service.h

namespace {

class DeviceEventsTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        AddQueue(u"USB001");
        sim::AddPort(u"USB002");
        PlugPrinter("NEW");
    }
    static void Event(DWORD type, const std::u16string& path) {
        std::vector<BYTE> record = sim::DeviceInterfaceRecord(path);
        OnDeviceEvent(type, record.data());
    }
    static void Flags(BYTE removed, BYTE reopen) {
        EXPECT_EQ(serviceState.deviceRemoved, removed);
        EXPECT_EQ(serviceState.reopenRequested, reopen);
    }
};

const std::u16string kMouse = PrinterPath("M1", "vid_046d&pid_c52b");

// Every USB arrival resumes mirroring and asks for a re-open before anything else; another
// device's arrival does nothing more, its removal nothing at all, and other events nothing.
TEST_F(DeviceEventsTest, OtherDevicesOnlyMoveTheFlags) {
    serviceState.deviceRemoved = 1;
    Event(DBT_DEVICEREMOVECOMPLETE, kMouse);
    Event(0x0007, PrinterPath("NEW"));  // DBT_DEVNODES_CHANGED
    Flags(1, 0);
    Event(DBT_DEVICEARRIVAL, kMouse);
    Flags(0, 1);
    EXPECT_EQ(sim::CallCount("EnumPortsW") + sim::CallCount("OpenPrinterW"), 0);
}

// The printer on another port: the port found for it is compared with the queue's port read
// afresh, the queue is moved (with a spooler restart), its port read again, and then resumed;
// the re-open is asked for at the start and again at the end, for a re-open the poller made
// meanwhile came too early.
TEST_F(DeviceEventsTest, PrinterOnAnotherPortMovesAndResumesTheQueue) {
    sim::SetRegistryString(PortKey("USB002"), "Device Id", "USB\\VID_0483&PID_5741\\NEW");
    sim::SetRegistryString(PortKey("USB001"), "Device Id", "USB\\VID_0483&PID_5741\\OLD");
    ApplyQueueState(PRINTER_CONTROL_PAUSE, PRINTER_STATUS_OFFLINE);
    serviceState.deviceRemoved = 1;
    PortMoveRecord().currentPort = u"USB002";  // stale: the queue prints to USB001
    sim::ClearCalls();
    sim::AtCall("RegOpenKeyExA", 1, [] { Flags(0, 1); });
    sim::AtCall("EnumPortsW", 1, [] { serviceState.reopenRequested = 0; });
    Event(DBT_DEVICEARRIVAL, PrinterPath("NEW"));
    EXPECT_EQ(Order({"OutputDebugStringA", "SetPrinterW", "StartServiceA"}),
              (std::vector<std::string>{"OutputDebugStringA", "SetPrinterW", "StartServiceA",
                                        "OutputDebugStringA", "SetPrinterW", "SetPrinterW"}));
    EXPECT_EQ(sim::CallsOf({"SetPrinterW"}).at(0),
              "SetPrinterW(printer#3, 2, {port \"USB002\"}, 0)");
    const sim::PrinterState queue = sim::Printer(u"Korvane-Q5");
    EXPECT_EQ(queue.port, u"USB002");
    EXPECT_FALSE(queue.paused);
    EXPECT_EQ(queue.status, 0u);
    Flags(0, 1);
    EXPECT_TRUE(sim::OpenHandles().empty());
}

// The same port in other letter case, or no port found for the printer: no rewrite, no restart,
// no resume (a queue left paused and offline stays so); the re-open is asked for all the same.
TEST_F(DeviceEventsTest, PrinterOnItsQueuesPortOrOnNoKnownPortLeavesTheQueue) {
    for (const bool portFound : {true, false}) {
        SCOPED_TRACE(portFound);
        SetUp();
        sim::RemovePrinter(u"Korvane-Q5");
        AddQueue(u"usb001");
        if (portFound) {
            sim::SetRegistryString(PortKey("USB001"), "Device Id", "USB\\VID_0483&PID_5741\\NEW");
        }
        ApplyQueueState(PRINTER_CONTROL_PAUSE, PRINTER_STATUS_OFFLINE);
        sim::ClearCalls();
        Event(DBT_DEVICEARRIVAL, PrinterPath("NEW"));
        EXPECT_EQ(sim::CallCount("SetPrinterW") + sim::CallCount("StartServiceA"), 0);
        EXPECT_TRUE(sim::Printer(u"Korvane-Q5").paused);
        EXPECT_EQ(CurrentPort(), u"usb001");
        EXPECT_FALSE(SpoolerDebtOwed());  // nor a move owed for later
        Flags(0, 1);
    }
}

// The printer's removal pauses the queue and marks it offline, and only then says so to the
// poller; the re-open request keeps its value.
TEST_F(DeviceEventsTest, PrinterRemovalMarksTheQueueOfflineThenSetsTheFlag) {
    serviceState.reopenRequested = 1;
    sim::AtCall("SetPrinterW", 2, [] { Flags(0, 1); });
    Event(DBT_DEVICEREMOVECOMPLETE, PrinterPath("NEW"));
    EXPECT_EQ(sim::CallsOf({"SetPrinterW"}),
              (std::vector<std::string>{"SetPrinterW(printer#1, 0, 0x0, 1)",
                                        "SetPrinterW(printer#1, 0, 0x80, 4)"}));
    Flags(1, 1);
}

// The path ends at its first NUL and is read no further than dbcc_size allows; no record, or
// one too short to hold a name, is no event.
TEST_F(DeviceEventsTest, NameEndsAtItsNulAndIsNeverReadPastTheRecordSize) {
    OnDeviceEvent(DBT_DEVICEARRIVAL, nullptr);
    Event(DBT_DEVICEREMOVECOMPLETE, std::u16string(u"\0#", 2));  // an empty name
    std::vector<BYTE> record = sim::DeviceInterfaceRecord(PrinterPath("NEW") + u'\0' + u"#X");
    // no name; "\"; "\\?\usb#vid_0483&pid_5741#NEW", a unit short of the printer's; the whole
    for (const DWORD size : {28u, 30u, 28u + 2 * 29u, static_cast<DWORD>(record.size())}) {
        std::memcpy(record.data(), &size, sizeof size);
        OnDeviceEvent(DBT_DEVICEREMOVECOMPLETE, record.data());
    }
    EXPECT_EQ(sim::CallCount("RegOpenKeyExA"), 3);
    EXPECT_EQ(sim::CallCount("SetPrinterW"), 2);  // the whole record's printer only
    Flags(1, 0);
}

}  // namespace
