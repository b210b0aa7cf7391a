#include <gtest/gtest.h>

#include <string>

#include "common/format.h"
#include "common/wide_string.h"

TEST(FormatDebugLine, FormatsTheDiagnosticConversions) {
    EXPECT_STREQ(FormatDebugLine("KQ5 STATUS:%d\r\n", static_cast<signed char>(-96)).text,
                 "KQ5 STATUS:-96\r\n");
    EXPECT_STREQ(FormatDebugLine(" Open Printer Error :GetLastError() returns: 0x%x\n", 170u).text,
                 " Open Printer Error :GetLastError() returns: 0xaa\n");
    EXPECT_STREQ(FormatDebugLine("0x%x", 0xFFFFFFFFu).text, "0xffffffff");
    EXPECT_STREQ(FormatDebugLine(" MainError:%d\n", 1063u).text, " MainError:1063\n");
    // As printf: %d takes the value as a 32-bit int.
    EXPECT_STREQ(FormatDebugLine("%d", 0x80000000u).text, "-2147483648");
    EXPECT_STREQ(FormatDebugLine("100%% %s", "done").text, "100% done");
}

TEST(FormatDebugLine, NarrowsWideArgumentsItself) {
    const WCHAR path[] = {u'\\', u'?', u'#', 0x00E9, u'x', 0};
    EXPECT_STREQ(FormatDebugLine(" DevicePath:%S\n", path).text, " DevicePath:\\?#?x\n");
    EXPECT_STREQ(FormatDebugLine("[%S]", static_cast<const WCHAR*>(nullptr)).text, "[(null)]");
}

TEST(FormatDebugLine, CutsALongLineSafelyAt99Bytes) {
    const std::u16string longPath(300, u'a');
    const DebugLine line = FormatDebugLine(" DevicePath:%S\n", longPath.c_str());
    EXPECT_EQ(line.length, 99u);
    EXPECT_EQ(std::string(line.text), " DevicePath:" + std::string(87, 'a'));
}

TEST(FormatKeyPath, RefusesPathsThatDoNotFitOrAreNotAscii) {
    KeyPath path;
    const std::u16string fits(499 - 4, u'k');
    EXPECT_TRUE(FormatKeyPath(path, "KEY\\%S", fits.c_str()));
    EXPECT_EQ(std::string(path.text).size(), 499u);
    const std::u16string tooLong(500 - 4, u'k');
    EXPECT_FALSE(FormatKeyPath(path, "KEY\\%S", tooLong.c_str()));
    EXPECT_EQ(std::string(path.text).size(), 499u);  // cut, terminated, and refused
    const WCHAR accented[] = {u'U', u'S', u'B', 0x00C9, 0};
    EXPECT_FALSE(FormatKeyPath(path, "KEY\\%S", accented));
}

TEST(WideString, EqualityFoldsOnlyAsciiLetters) {
    EXPECT_TRUE(EqualsIgnoringAsciiCase(u"KorvaneQ5", u"kORVANEq5"));
    EXPECT_FALSE(EqualsIgnoringAsciiCase(u"KorvaneQ5", u"KorvaneQ"));
    EXPECT_FALSE(EqualsIgnoringAsciiCase(u"KorvaneQ5", u"KorvaneQ5 "));
    EXPECT_FALSE(EqualsIgnoringAsciiCase(u"[", u"{"));            // 0x5B is not a letter
    EXPECT_FALSE(EqualsIgnoringAsciiCase(u"\u00C9", u"\u00E9"));  // no locale folding
    EXPECT_TRUE(EqualsIgnoringAsciiCase(u"", u""));
}
