// Device discovery and opening.
#include "device/device.h"

#include "sim_fixture.h"

namespace {

class DiscoveryTest : public SimTest {};

TEST_F(DiscoveryTest, OpensThePrinterExactlyAsRequired) {
    const std::string serial(150, 'S');  // its " DevicePath:" line is cut at 99 bytes
    PlugPrinter(serial);
    HANDLE device = FindAndOpenPrinterDevice();
    // The path as setupapi hands it out, in lower case.
    const std::string path = sim::Narrow(PrinterPath(std::string(150, 's')));
    EXPECT_EQ(sim::CallsOf({"SetupDiGetClassDevsW", "GlobalAlloc", "CreateFileW"}),
              (std::vector<std::string>{
                  "SetupDiGetClassDevsW({A5DCBF10-6530-11D2-901F-00C04FB951ED}, null, null, 0x12)",
                  "GlobalAlloc(0x40, 536)",  // 4 + 216 UTF-16 units + 100
                  "CreateFileW(\"" + path + "\", 0xc0000000, 0, null, 3, 0x20000000, null)"}));
    EXPECT_EQ(sim::DebugLines(),
              std::vector<std::string>{(" DevicePath:" + path + "\n").substr(0, 99)});
    EXPECT_NE(device, INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim::OpenHandles(), std::vector<std::string>{"device#1"});
}

// Members are listed when their path holds both digit groups (anywhere); the identity check
// decides; the first printer ends the search, opened or not; a member whose detail cannot be
// fetched is skipped. The serials are logged as setupapi spells the paths: in lower case.
TEST_F(DiscoveryTest, FirstListedPrinterIsOpened) {
    const struct {
        void (*arrange)();
        std::string logged, opened;  // serials
    } cases[] = {
        {[] {}, "other 5741x", "5741X"},
        {[] {
             CreateFileW(PrinterPath("5741X", "vid_0483&pid_9999").c_str(), GENERIC_READ, 0,
                         nullptr, OPEN_EXISTING, 0, nullptr);
         },
         "other 5741x", ""},
        {[] { sim::FailCall("SetupDiGetDeviceInterfaceDetailW", 8, ERROR_GEN_FAILURE); },
         "other second", "SECOND"},
        {[] { sim::FailCall("GlobalAlloc", 1, ERROR_NOT_ENOUGH_MEMORY, sim::kEveryLaterCall); }, "",
         ""},
        {[] { sim::FailCall("SetupDiGetClassDevsW", 1, ERROR_NOT_ENOUGH_MEMORY); }, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.logged);
        SetUp();
        PlugPrinter("V", "KorvaneQ5", "vid_1111&pid_5741");
        PlugPrinter("P", "KorvaneQ5", "vid_0483&pid_9999");
        PlugPrinter("OTHER", "Some Other Printer");
        PlugPrinter("5741X", "KorvaneQ5", "vid_0483&pid_9999");
        PlugPrinter("SECOND");
        c.arrange();
        const int held = sim::OpenHandleCount("device");
        HANDLE device = FindAndOpenPrinterDevice();
        std::string logged;
        for (const std::string& line : sim::DebugLines()) {
            const size_t serial = line.find('#', line.find('#') + 1) + 1;
            logged +=
                (logged.empty() ? "" : " ") + line.substr(serial, line.find('#', serial) - serial);
        }
        EXPECT_EQ(logged, c.logged);
        EXPECT_EQ(device != INVALID_HANDLE_VALUE, !c.opened.empty());
        EXPECT_EQ(sim::DeviceOpen(PrinterPath("SECOND")), c.opened == "SECOND");
        EXPECT_EQ(sim::OpenHandles().size(), held + (c.opened.empty() ? 0u : 1u));
        EXPECT_EQ(sim::OpenHandleCount("device"), static_cast<int>(sim::OpenHandles().size()));
        TearDown();
    }
}

}  // namespace

// A detail size beyond the discovery's limit (64 KiB; no real device path comes near it) is
// refused before anything is allocated: that member is skipped, and the next one is found.
TEST_F(DiscoveryTest, OversizedDetailIsRefusedBeforeAnyAllocation) {
    // 4 + 2 * (path + NUL) bytes: one unit over the limit, then at it (read, not the printer)
    const size_t atLimit = (65536 - 4) / 2 - 1 - PrinterPath("").size();
    PlugPrinter(std::string(atLimit + 1, 'L'));
    PlugPrinter(std::string(atLimit, 'M'));
    PlugPrinter("SECOND");
    FindAndOpenPrinterDevice();
    EXPECT_TRUE(sim::DeviceOpen(PrinterPath("SECOND")));
    EXPECT_EQ(sim::CallCount("GlobalAlloc"), 2);
}
