#include <gtest/gtest.h>

#include <string>

#include "common/format.h"
#include "common/wide_string.h"

TEST(FormatDebugLine, NarrowsWideTextItselfAndCutsALongLineAt99Bytes) {
    const WCHAR path[] = {u'\\', u'?', u'#', 0x00E9, u'x', 0};
    EXPECT_STREQ(FormatDebugLine(" DevicePath:%S\n", path).text, " DevicePath:\\?#?x\n");
    EXPECT_STREQ(FormatDebugLine("[%S] %d%%", static_cast<const WCHAR*>(nullptr), 0x80000000u).text,
                 "[(null)] -2147483648%");  // %d takes the value as a 32-bit int, as printf
    const std::u16string longPath(300, u'a');
    const DebugLine line = FormatDebugLine(" DevicePath:%S\n", longPath.c_str());
    EXPECT_EQ(line.length, 99u);
    EXPECT_EQ(std::string(line.text), " DevicePath:" + std::string(87, 'a'));
}

// A key path is whole and exact or refused: a cut or altered path could name another key.
TEST(FormatKeyPath, RefusesPathsThatDoNotFitOrAreNotAscii) {
    KeyPath path;
    EXPECT_TRUE(FormatKeyPath(path, "KEY\\%S", std::u16string(495, u'k').c_str()));
    EXPECT_EQ(std::string(path.text), "KEY\\" + std::string(495, 'k'));
    EXPECT_FALSE(FormatKeyPath(path, "KEY\\%S", std::u16string(496, u'k').c_str()));
    const WCHAR accented[] = {u'U', u'S', u'B', 0x00C9, 0};
    EXPECT_FALSE(FormatKeyPath(path, "KEY\\%S", accented));
}

TEST(WideString, EqualityIsWholeAndFoldsOnlyAsciiLetters) {
    EXPECT_TRUE(EqualsIgnoringAsciiCase(u"KorvaneQ5", u"kORVANEq5"));
    EXPECT_FALSE(EqualsIgnoringAsciiCase(u"KorvaneQ5", u"KorvaneQ"));
    EXPECT_FALSE(EqualsIgnoringAsciiCase(u"[", u"{"));            // 0x5B is not a letter
    EXPECT_FALSE(EqualsIgnoringAsciiCase(u"\u00C9", u"\u00E9"));  // no locale folding
}
