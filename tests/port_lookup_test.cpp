// USB port lookup.
#include "device/device.h"

#include "sim_fixture.h"

namespace {

class PortLookupTest : public SimTest {
protected:
    static void SetDeviceId(const std::string& port, const std::string& id) {
        sim::SetRegistryString(PortKey(port), "Device Id", id);
    }
};

const std::string kId = "USB\\VID_0483&PID_5741\\A1B2C3";

TEST_F(PortLookupTest, CollectsPortsWithUsbInTheirNameInSpoolerOrder) {
    for (const char16_t* name :
         {u"LPT1:", u"USB002", u"usb003", u"COM1:", u"VIRTUALUSB", u"USB001"}) {
        sim::AddPort(name);
    }
    EXPECT_EQ(CollectUsbPorts(), (PortList{u"USB002", u"VIRTUALUSB", u"USB001"}));
    EXPECT_EQ(sim::CallsOf({"EnumPortsW"}).at(0), "EnumPortsW(null, 2, null, 0)");
    EXPECT_TRUE(sim::OpenHandles().empty());
}

TEST_F(PortLookupTest, FailedEnumerationGivesAnEmptyList) {
    sim::AddPort(u"USB001");
    sim::FailCall("EnumPortsW", 2, RPC_S_SERVER_UNAVAILABLE);
    EXPECT_TRUE(CollectUsbPorts().empty());
}

TEST_F(PortLookupTest, MatchIgnoresAsciiCaseAndKeepsTheSpoolersSpelling) {
    SetDeviceId("USB001", "USB\\VID_0483&PID_5741\\OTHER");
    SetDeviceId("USB002", "usb\\vid_0483&pid_5741\\a1b2c3");
    EXPECT_EQ(FindPortForDevice({u"USB001", u"usb002"}, PrinterPath("A1B2C3")), u"usb002");
    EXPECT_TRUE(sim::OpenHandles().empty());
}

TEST_F(PortLookupTest, FirstOfTwoMatchesWins) {
    SetDeviceId("USB001", kId);
    SetDeviceId("USB002", kId);
    EXPECT_EQ(FindPortForDevice({u"USB002", u"USB001"}, PrinterPath("A1B2C3")), u"USB002");
    EXPECT_EQ(sim::CallCount("RegQueryValueExA"), 1);
}

TEST_F(PortLookupTest, MissingValueIsReportedAndTheSearchGoesOn) {
    sim::AddRegistryKey(PortKey("USB001"));
    SetDeviceId("USB002", kId);
    EXPECT_EQ(FindPortForDevice({u"USB001", u"USB002"}, PrinterPath("A1B2C3")), u"USB002");
    EXPECT_EQ(sim::DebugLines(), std::vector<std::string>{"GetLastError:2\r\n"});
}

TEST_F(PortLookupTest, MissingKeyIsSkippedNotTheEndOfTheSearch) {
    SetDeviceId("USB002", kId);
    EXPECT_EQ(FindPortForDevice({u"USB001", u"USB002"}, PrinterPath("A1B2C3")), u"USB002");
    EXPECT_TRUE(sim::DebugLines().empty());
}

TEST_F(PortLookupTest, WholeStringsOnlyAndLongerValuesStillRead) {
    SetDeviceId("USB001", kId + "0");
    SetDeviceId("USB002", std::string(150, 'X'));
    SetDeviceId("USB003", std::string(200, 'X'));
    EXPECT_EQ(FindPortForDevice({u"USB001", u"USB002", u"USB003"}, PrinterPath("A1B2C3")), u"");
    EXPECT_EQ(sim::DebugLines(), std::vector<std::string>{"GetLastError:234\r\n"});
}

TEST_F(PortLookupTest, EmptyInstanceIdMatchesOnlyAnEmptyDeviceId) {
    SetDeviceId("USB001", "USB");
    SetDeviceId("USB002", "");
    EXPECT_EQ(FindPortForDevice({u"USB001", u"USB002"}, u"abcd#{guid}"), u"USB002");
}

TEST_F(PortLookupTest, NoPortsOrARejectedPathTouchNoKey) {
    EXPECT_EQ(FindPortForDevice({}, PrinterPath("A1B2C3")), u"");
    EXPECT_EQ(FindPortForDevice({u"USB001"}, u"no hash here"), u"");
    EXPECT_EQ(sim::CallCount("RegOpenKeyExA"), 0);
}

TEST_F(PortLookupTest, OverlongPortNameIsNeverLookedUp) {
    const std::u16string longName = u"USB" + std::u16string(440, u'9');
    SetDeviceId("USB002", kId);
    EXPECT_EQ(FindPortForDevice({longName, u"USB002"}, PrinterPath("A1B2C3")), u"USB002");
    EXPECT_EQ(sim::CallCount("RegOpenKeyExA"), 1);
}

TEST_F(PortLookupTest, CallersListAndPathAreUnchanged) {
    SetDeviceId("USB001", kId);
    const PortList ports = {u"USB001"};
    const std::u16string path = PrinterPath("A1B2C3");
    const PortList portsBefore = ports;
    const std::u16string pathBefore = path;
    FindPortForDevice(ports, path);
    EXPECT_EQ(ports, portsBefore);
    EXPECT_EQ(path, pathBefore);
}

}  // namespace
