// USB port lookup.
#include "device/device.h"

#include "sim_fixture.h"

namespace {

class PortLookupTest : public SimTest {};

TEST_F(PortLookupTest, CollectsPortsWithUsbInTheirNameInSpoolerOrder) {
    for (const char16_t* name :
         {u"LPT1:", u"USB002", u"usb003", u"COM1:", u"VIRTUALUSB", u"USB001"}) {
        sim::AddPort(name);
    }
    EXPECT_EQ(CollectUsbPorts(), (PortList{u"USB002", u"VIRTUALUSB", u"USB001"}));
    EXPECT_EQ(sim::CallsOf({"EnumPortsW"}).at(0), "EnumPortsW(null, 2, null, 0)");
    sim::FailCall("EnumPortsW", 4, RPC_S_SERVER_UNAVAILABLE);
    EXPECT_TRUE(CollectUsbPorts().empty());
    EXPECT_TRUE(sim::OpenHandles().empty());
}

// The first port in the list whose "Device Id" is the device's instance ID (whole, ASCII case
// folded), as the list spells it; later ports are not read. A port whose value cannot be read is
// reported and passed over, one whose key is missing passed over silently; a key path that would
// not fit is not looked up.
TEST_F(PortLookupTest, FindsTheFirstPortWhoseDeviceIdMatches) {
    const std::string id = "USB\\VID_0483&PID_5741\\A1B2C3";
    const std::u16string printer = PrinterPath("A1B2C3"),
                         tooLong = u"USB" + std::u16string(440, u'9');
    const struct {
        PortList ports;
        std::vector<std::string> ids;  // per port: its "Device Id"; "-" no value, "?" no key
        std::u16string path, found;
        int opens;
        std::vector<std::string> lines;
    } cases[] = {
        {{u"USB001", u"usb002"},
         {id + "X", "usb\\vid_0483&pid_5741\\a1b2c3"},
         printer,
         u"usb002",
         2,
         {}},
        {{u"USB002", u"USB001"}, {id, id}, printer, u"USB002", 1, {}},
        {{u"USB001", u"USB002"}, {"-", id}, printer, u"USB002", 2, {"GetLastError:2\r\n"}},
        {{u"USB001", u"USB002"}, {"?", id}, printer, u"USB002", 2, {}},
        {{tooLong, u"USB002"}, {"?", id}, printer, u"USB002", 1, {}},
        {{u"USB001", u"USB002", u"USB003"},
         {id + "0", std::string(150, 'X'), std::string(200, 'X')},
         printer,
         u"",
         3,
         {"GetLastError:234\r\n"}},
        {{u"USB001", u"USB002"}, {"USB", ""}, u"abcd#{guid}", u"USB002", 2, {}},
        {{}, {}, printer, u"", 0, {}},
        {{u"USB001"}, {id}, u"no hash here", u"", 0, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(sim::Narrow(c.found) + " " + std::to_string(c.opens));
        SetUp();
        for (size_t i = 0; i < c.ports.size(); ++i) {
            const std::string key = PortKey(sim::Narrow(c.ports[i]));
            if (c.ids[i] == "-") {
                sim::AddRegistryKey(key);
            } else if (c.ids[i] != "?") {
                sim::SetRegistryString(key, "Device Id", c.ids[i]);
            }
        }
        EXPECT_EQ(FindPortForDevice(c.ports, c.path), c.found);
        EXPECT_EQ(sim::CallCount("RegOpenKeyExA"), c.opens);
        EXPECT_EQ(sim::DebugLines(), c.lines);
        EXPECT_TRUE(sim::OpenHandles().empty());
    }
}

}  // namespace
