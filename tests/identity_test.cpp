// Printer identity check.
#include "device/device.h"

#include "sim_fixture.h"

namespace {

class IdentityTest : public SimTest {};

// The stored description, compared whole, folding only ASCII letters; a value that cannot be
// read is reported with the query's own status, a missing key silently.
TEST_F(IdentityTest, DescriptionDecides) {
    enum Stored { kText, kWithoutNul, kNoValue, kNoKey };
    const struct {
        Stored stored;
        std::string text;
        bool printer;
        std::vector<std::string> lines;
    } cases[] = {
        {kWithoutNul, "KorvaneQ5", true, {}},
        {kText, "kORVANEq5", true, {}},
        {kText, "KorvaneQ5X", false, {}},
        {kText, "Korvane", false, {}},
        {kText, "", false, {}},
        {kText, "K\xD6rvaneQ5", false, {}},
        {kText, std::string(199, 'x'), false, {}},  // read and compared
        {kText, std::string(200, 'x'), false, {"GetLastError:234\r\n"}},
        {kWithoutNul, std::string(200, 'K'), false, {}},  // the whole buffer, nothing past it
        {kNoValue, "", false, {"GetLastError:2\r\n"}},
        {kNoKey, "", false, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        SetUp();
        if (c.stored == kText) {
            sim::SetRegistryString(DescriptionKey("S1"), "Port Description", c.text);
        } else if (c.stored == kWithoutNul) {
            sim::SetRegistryValue(DescriptionKey("S1"), "Port Description", REG_SZ,
                                  std::vector<BYTE>(c.text.begin(), c.text.end()));
        } else if (c.stored == kNoValue) {
            sim::AddRegistryKey(DescriptionKey("S1"));
        }
        EXPECT_EQ(IsTargetPrinter(PrinterPath("S1")), c.printer);
        EXPECT_EQ(sim::DebugLines(), c.lines);
        EXPECT_TRUE(sim::OpenHandles().empty());
    }
}

// A key path that does not fit the 500-byte buffer (more than 358 characters before the last
// '#') or a path without separators is never looked up; a failed open or query answers false.
TEST_F(IdentityTest, UnusablePathsAndFailedCallsAnswerFalse) {
    EXPECT_FALSE(IsTargetPrinter(u"\\\\?\\" + std::u16string(354, u'a') + u"#{tail}"));
    EXPECT_FALSE(IsTargetPrinter(u"\\\\?\\" + std::u16string(355, u'a') + u"#{tail}"));
    EXPECT_FALSE(IsTargetPrinter(u"no separators at all"));
    EXPECT_EQ(sim::CallCount("RegOpenKeyExA"), 1);
    PlugPrinter("S1");
    sim::FailCall("RegOpenKeyExA", 2, ERROR_ACCESS_DENIED);
    sim::FailCall("RegQueryValueExA", 1, ERROR_GEN_FAILURE);
    EXPECT_FALSE(IsTargetPrinter(PrinterPath("S1")));
    EXPECT_FALSE(IsTargetPrinter(PrinterPath("S1")));
    EXPECT_EQ(sim::DebugLines(), std::vector<std::string>{"GetLastError:31\r\n"});
    EXPECT_TRUE(sim::OpenHandles().empty());
}

}  // namespace
