// Device discovery and opening.
#include "device/device.h"

#include "sim_fixture.h"

namespace {

class DiscoveryTest : public SimTest {
protected:
    static void ExpectOnlyDeviceOpen(HANDLE device) {
        ASSERT_NE(device, INVALID_HANDLE_VALUE);
        EXPECT_EQ(sim::OpenHandles(), std::vector<std::string>{"device#1"});
        CloseHandle(device);
    }
};

TEST_F(DiscoveryTest, OpensThePrinterExactlyAsRequired) {
    PlugPrinter("0001");
    HANDLE device = FindAndOpenPrinterDevice();
    EXPECT_EQ(sim::CallsOf({"SetupDiGetClassDevsW", "GlobalAlloc", "CreateFileW"}),
              (std::vector<std::string>{
                  "SetupDiGetClassDevsW({A5DCBF10-6530-11D2-901F-00C04FB951ED}, null, null, 0x12)",
                  "GlobalAlloc(0x40, 244)",  // 4 + 70 UTF-16 units + 100
                  "CreateFileW(\"\\\\?\\usb#vid_0483&pid_5741#0001#" + kUsbDeviceClass +
                      "\", 0xc0000000, 0, null, 3, 0x20000000, null)"}));
    EXPECT_EQ(sim::DebugLines(),
              std::vector<std::string>{" DevicePath:\\\\?\\usb#vid_0483&pid_5741#0001#" +
                                       kUsbDeviceClass + "\n"});
    ExpectOnlyDeviceOpen(device);
}

TEST_F(DiscoveryTest, PathFilterWantsBothDigitGroupsAnywhereCaseSensitive) {
    PlugPrinter("S1", "KorvaneQ5", "vid_1111&pid_5741");     // vendor digits missing
    PlugPrinter("5741X", "KorvaneQ5", "vid_0483&pid_9999");  // both, product in the serial
    HANDLE device = FindAndOpenPrinterDevice();
    EXPECT_EQ(sim::DebugLines().size(), 1u);
    EXPECT_NE(sim::DebugLines()[0].find("5741X"), std::string::npos);
    ExpectOnlyDeviceOpen(device);
}

TEST_F(DiscoveryTest, IdentityDecidesAndNonPrintersAreSkipped) {
    PlugPrinter("OTHER", "Some Other Printer");
    PlugPrinter("MINE");
    HANDLE device = FindAndOpenPrinterDevice();
    EXPECT_EQ(sim::DebugLines().size(), 2u);
    EXPECT_TRUE(sim::DeviceOpen(PrinterPath("MINE")));
    ExpectOnlyDeviceOpen(device);
}

TEST_F(DiscoveryTest, FirstOfTwoPrintersWinsAndLaterOnesAreNotExamined) {
    PlugPrinter("FIRST");
    PlugPrinter("SECOND");
    HANDLE device = FindAndOpenPrinterDevice();
    EXPECT_TRUE(sim::DeviceOpen(PrinterPath("FIRST")));
    EXPECT_EQ(sim::DebugLines().size(), 1u);
    ExpectOnlyDeviceOpen(device);
}

TEST_F(DiscoveryTest, PrinterHeldElsewhereEndsTheSearch) {
    PlugPrinter("FIRST");
    PlugPrinter("SECOND");
    HANDLE holder = CreateFileW(PrinterPath("FIRST").c_str(), GENERIC_READ, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(FindAndOpenPrinterDevice(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_FALSE(sim::DeviceOpen(PrinterPath("SECOND")));
    CloseHandle(holder);
    EXPECT_TRUE(sim::OpenHandles().empty());
}

TEST_F(DiscoveryTest, NoPrinterOrNoListGivesInvalidHandleAndReleasesEverything) {
    sim::PlugDevice(PrinterPath("NOREG"));
    EXPECT_EQ(FindAndOpenPrinterDevice(), INVALID_HANDLE_VALUE);
    sim::FailCall("SetupDiGetClassDevsW", 2, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_EQ(FindAndOpenPrinterDevice(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(sim::OpenHandles().empty());
}

TEST_F(DiscoveryTest, MemberWhoseDetailFailsIsSkipped) {
    PlugPrinter("FIRST");
    PlugPrinter("SECOND");
    sim::FailCall("SetupDiGetDeviceInterfaceDetailW", 2, ERROR_GEN_FAILURE);  // FIRST's fetch
    HANDLE device = FindAndOpenPrinterDevice();
    EXPECT_TRUE(sim::DeviceOpen(PrinterPath("SECOND")));
    ExpectOnlyDeviceOpen(device);
    sim::FailCall("GlobalAlloc", 3, ERROR_NOT_ENOUGH_MEMORY, 10);
    EXPECT_EQ(FindAndOpenPrinterDevice(), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(sim::OpenHandles().empty());
}

TEST_F(DiscoveryTest, LongPathIsLoggedCutAndStillOpened) {
    const std::string serial(150, 'S');
    PlugPrinter(serial);
    HANDLE device = FindAndOpenPrinterDevice();
    EXPECT_EQ(sim::DebugLines().at(0).size(), 99u);
    ExpectOnlyDeviceOpen(device);
}

}  // namespace
