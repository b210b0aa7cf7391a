// Device arrival and removal.
#include "service/service.h"

#include "queue/queue.h"

#include <cstring>

#include "sim_fixture.h"

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
    static int Restarts() { return sim::CallCount("StartServiceA"); }
};

TEST_F(DeviceEventsTest, OtherDeviceArrivalOnlySetsTheFlags) {
    serviceState.deviceRemoved = 1;
    Event(DBT_DEVICEARRIVAL, PrinterPath("M1", "vid_046d&pid_c52b"));
    EXPECT_EQ(serviceState.deviceRemoved, 0);
    EXPECT_EQ(serviceState.reopenRequested, 1);
    EXPECT_EQ(sim::CallCount("EnumPortsW") + sim::CallCount("OpenPrinterW"), 0);
}

TEST_F(DeviceEventsTest, OtherDeviceRemovalChangesNothing) {
    Event(DBT_DEVICEREMOVECOMPLETE, PrinterPath("M1", "vid_046d&pid_c52b"));
    EXPECT_EQ(serviceState.deviceRemoved, 0);
    EXPECT_EQ(serviceState.reopenRequested, 0);
    EXPECT_EQ(sim::CallCount("OpenPrinterW"), 0);
}

TEST_F(DeviceEventsTest, PrinterOnAnotherPortMovesAndResumesTheQueue) {
    sim::SetRegistryString(PortKey("USB002"), "Device Id", "USB\\VID_0483&PID_5741\\NEW");
    sim::SetRegistryString(PortKey("USB001"), "Device Id", "USB\\VID_0483&PID_5741\\OLD");
    ApplyQueueState(PRINTER_CONTROL_PAUSE, PRINTER_STATUS_OFFLINE);
    Event(DBT_DEVICEARRIVAL, PrinterPath("NEW"));
    EXPECT_EQ(sim::CallsOf({"SetPrinterW"}).at(2),
              "SetPrinterW(printer#3, 2, {port \"USB002\"}, 0)");
    EXPECT_EQ(Restarts(), 1);
    EXPECT_EQ(serviceState.currentPortName, u"USB002");
    const sim::PrinterState queue = sim::Printer(u"Korvane-Q5");
    EXPECT_EQ(queue.port, u"USB002");
    EXPECT_FALSE(queue.paused);
    EXPECT_EQ(queue.status, 0u);
    EXPECT_EQ(serviceState.reopenRequested, 1);
    EXPECT_TRUE(sim::OpenHandles().empty());
}

TEST_F(DeviceEventsTest, SamePortInOtherCaseIsLeftAlone) {
    sim::RemovePrinter(u"Korvane-Q5");
    sim::AddPrinter(u"Korvane-Q5", u"usb001");
    sim::SetRegistryString(PortKey("USB001"), "Device Id", "USB\\VID_0483&PID_5741\\NEW");
    Event(DBT_DEVICEARRIVAL, PrinterPath("NEW"));
    EXPECT_EQ(sim::CallCount("SetPrinterW"), 0);
    EXPECT_EQ(Restarts(), 0);
    EXPECT_EQ(serviceState.currentPortName, u"usb001");
    EXPECT_EQ(serviceState.reopenRequested, 1);
}

TEST_F(DeviceEventsTest, NoPortFoundMeansNoRewriteNoRestartNoResume) {
    ApplyQueueState(PRINTER_CONTROL_PAUSE, PRINTER_STATUS_OFFLINE);
    sim::ClearCalls();
    Event(DBT_DEVICEARRIVAL, PrinterPath("NEW"));
    EXPECT_EQ(sim::CallCount("SetPrinterW"), 0);
    EXPECT_EQ(Restarts(), 0);
    EXPECT_TRUE(sim::Printer(u"Korvane-Q5").paused);
    EXPECT_EQ(serviceState.currentPortName, u"USB001");
    EXPECT_EQ(serviceState.reopenRequested, 1);
}

TEST_F(DeviceEventsTest, PrinterRemovalPausesMarksOfflineThenSetsTheFlag) {
    serviceState.reopenRequested = 0;
    Event(DBT_DEVICEREMOVECOMPLETE, PrinterPath("NEW"));
    EXPECT_EQ(sim::CallsOf({"SetPrinterW"}),
              (std::vector<std::string>{"SetPrinterW(printer#1, 0, 0x0, 1)",
                                        "SetPrinterW(printer#1, 0, 0x80, 4)"}));
    EXPECT_EQ(serviceState.deviceRemoved, 1);
    EXPECT_EQ(serviceState.reopenRequested, 0);
    // Another device's arrival clears the flag, although the printer is still gone.
    Event(DBT_DEVICEARRIVAL, PrinterPath("M1", "vid_046d&pid_c52b"));
    EXPECT_EQ(serviceState.deviceRemoved, 0);
}

TEST_F(DeviceEventsTest, UnknownEventsAndBadRecordsDoNothing) {
    Event(0x0007, PrinterPath("NEW"));  // DBT_DEVNODES_CHANGED
    OnDeviceEvent(DBT_DEVICEARRIVAL, nullptr);
    std::vector<BYTE> header = sim::DeviceInterfaceRecord(PrinterPath("NEW"));
    DWORD tooShort = 28;  // no room for even one character of a name
    std::memcpy(header.data(), &tooShort, sizeof tooShort);
    OnDeviceEvent(DBT_DEVICEREMOVECOMPLETE, header.data());
    EXPECT_TRUE(sim::Calls().empty());
    EXPECT_EQ(serviceState.reopenRequested, 0);
}

TEST_F(DeviceEventsTest, NameIsNeverReadPastTheRecordSize) {
    // The size covers "\\?\usb#vid_0483&pid_5741#NE" only: the path read stops there.
    std::vector<BYTE> record = sim::DeviceInterfaceRecord(PrinterPath("NEW"));
    const DWORD size = 28 + 2 * 28;
    std::memcpy(record.data(), &size, sizeof size);
    OnDeviceEvent(DBT_DEVICEREMOVECOMPLETE, record.data());
    EXPECT_EQ(sim::CallCount("SetPrinterW"), 0);  // not the printer's path
    EXPECT_EQ(sim::CallCount("RegOpenKeyExA"), 1);
}

}  // namespace
