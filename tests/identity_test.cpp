// Printer identity check.
#include "device/device.h"

#include "sim_fixture.h"

namespace {

class IdentityTest : public SimTest {};

TEST_F(IdentityTest, WorkedExampleKeyIsLookedUp) {
    PlugPrinter("A1B2C3");
    EXPECT_TRUE(IsTargetPrinter(PrinterPath("A1B2C3")));
    EXPECT_EQ(
        sim::CallsOf({"RegOpenKeyExA"}),
        std::vector<std::string>{
            "RegOpenKeyExA(HKEY_LOCAL_MACHINE, \"SYSTEM\\ControlSet001\\Control\\DeviceClasses\\"
            "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\\##?#usb#vid_0483&pid_5741#A1B2C3#"
            "{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\\#\\Device Parameters\", 0, 0x20019)"});
    EXPECT_EQ(sim::CallsOf({"RegQueryValueExA"}),
              std::vector<std::string>{
                  "RegQueryValueExA(key#1, \"Port Description\", null, type, buffer, 200)"});
    EXPECT_TRUE(sim::OpenHandles().empty());
    EXPECT_TRUE(sim::DebugLines().empty());
}

TEST_F(IdentityTest, DescriptionComparesWholeAndFoldsOnlyAsciiCase) {
    const struct {
        const char* stored;
        bool printer;
    } cases[] = {{"KorvaneQ5", true}, {"KORVANEq5", true}, {"KorvaneQ5X", false},
                 {"Korvane", false},  {"", false},         {"K\xD6rvaneQ5", false}};
    for (const auto& c : cases) {
        sim::SetRegistryString(DescriptionKey("S1"), "Port Description", c.stored);
        EXPECT_EQ(IsTargetPrinter(PrinterPath("S1")), c.printer) << c.stored;
    }
    EXPECT_TRUE(sim::DebugLines().empty());
}

TEST_F(IdentityTest, MissingKeyIsSilentMissingValueIsReported) {
    EXPECT_FALSE(IsTargetPrinter(PrinterPath("NOKEY")));
    EXPECT_TRUE(sim::DebugLines().empty());
    sim::AddRegistryKey(DescriptionKey("NOVALUE"));
    EXPECT_FALSE(IsTargetPrinter(PrinterPath("NOVALUE")));
    EXPECT_EQ(sim::DebugLines(), std::vector<std::string>{"GetLastError:2\r\n"});
    EXPECT_TRUE(sim::OpenHandles().empty());
}

TEST_F(IdentityTest, ValueOf199CharactersIsReadAnd200IsTooLong) {
    const std::string fits(199, 'x');
    sim::SetRegistryString(DescriptionKey("S1"), "Port Description", fits);
    EXPECT_FALSE(IsTargetPrinter(PrinterPath("S1")));
    EXPECT_TRUE(sim::DebugLines().empty());  // read and compared
    sim::SetRegistryString(DescriptionKey("S1"), "Port Description", std::string(200, 'x'));
    EXPECT_FALSE(IsTargetPrinter(PrinterPath("S1")));
    EXPECT_EQ(sim::DebugLines(), std::vector<std::string>{"GetLastError:234\r\n"});
}

TEST_F(IdentityTest, ValueWithoutTerminatorEndsWithTheReturnedBytes) {
    const std::string text = "KorvaneQ5";
    sim::SetRegistryValue(DescriptionKey("S1"), "Port Description", REG_SZ,
                          std::vector<BYTE>(text.begin(), text.end()));
    EXPECT_TRUE(IsTargetPrinter(PrinterPath("S1")));
    // 200 bytes without a NUL: the whole buffer is the text, and nothing past it is read.
    sim::SetRegistryValue(DescriptionKey("S1"), "Port Description", REG_BINARY,
                          std::vector<BYTE>(200, 'K'));
    EXPECT_FALSE(IsTargetPrinter(PrinterPath("S1")));
}

TEST_F(IdentityTest, KeyPathThatDoesNotFitIsNeverLookedUp) {
    // 358 characters before the last '#' fit the 500-byte key buffer; one more does not.
    const std::u16string fits = u"\\\\?\\" + std::u16string(354, u'a') + u"#{tail}";
    const std::u16string tooLong = u"\\\\?\\" + std::u16string(355, u'a') + u"#{tail}";
    EXPECT_FALSE(IsTargetPrinter(fits));
    EXPECT_EQ(sim::CallCount("RegOpenKeyExA"), 1);
    EXPECT_FALSE(IsTargetPrinter(tooLong));
    EXPECT_EQ(sim::CallCount("RegOpenKeyExA"), 1);
}

TEST_F(IdentityTest, RejectedPathAndOpenFailuresAnswerFalse) {
    EXPECT_FALSE(IsTargetPrinter(u"no separators at all"));
    EXPECT_EQ(sim::CallCount("RegOpenKeyExA"), 0);
    PlugPrinter("S1");
    sim::FailCall("RegOpenKeyExA", 1, ERROR_ACCESS_DENIED);
    EXPECT_FALSE(IsTargetPrinter(PrinterPath("S1")));
    sim::FailCall("RegQueryValueExA", 1, ERROR_GEN_FAILURE);
    EXPECT_FALSE(IsTargetPrinter(PrinterPath("S1")));
    EXPECT_EQ(sim::DebugLines(), std::vector<std::string>{"GetLastError:31\r\n"});
    EXPECT_TRUE(sim::OpenHandles().empty());
}

TEST_F(IdentityTest, CallersPathIsUnchanged) {
    PlugPrinter("S1");
    const std::u16string path = PrinterPath("S1");
    const std::u16string before = path;
    IsTargetPrinter(path);
    EXPECT_EQ(path, before);
}

}  // namespace
