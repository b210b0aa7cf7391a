// Device path transforms.
#include <gtest/gtest.h>

#include "device/device.h"

namespace {

const std::u16string kSuffix = u"#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";

TEST(PathTransforms, WorkedExample) {
    const std::u16string path =
        u"\\\\?\\usb#vid_0483&pid_5741#A1B2C3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
    EXPECT_EQ(InterfaceKeyFromPath(path),
              u"##?#usb#vid_0483&pid_5741#A1B2C3#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}");
    EXPECT_EQ(DeviceInstanceIdFromPath(path), u"usb\\vid_0483&pid_5741\\A1B2C3");
}

TEST(PathTransforms, SingleAndTrailingHash) {
    EXPECT_EQ(InterfaceKeyFromPath(u"#"), kSuffix);
    EXPECT_EQ(DeviceInstanceIdFromPath(u"#"), u"");  // empty, not a failure
    EXPECT_EQ(InterfaceKeyFromPath(u"\\\\?\\usb#abc#"), u"##?#usb#abc" + kSuffix);
    EXPECT_EQ(DeviceInstanceIdFromPath(u"\\\\?\\usb#abc#"), u"usb\\abc");
}

TEST(PathTransforms, BackslashesCountAsHashOnlyForTheInterfaceKey) {
    EXPECT_EQ(InterfaceKeyFromPath(u"a\\b\\c"), u"a#b" + kSuffix);
    EXPECT_EQ(DeviceInstanceIdFromPath(u"a\\b\\c"), std::nullopt);
}

TEST(PathTransforms, RejectsPathsWithoutSeparators) {
    EXPECT_EQ(InterfaceKeyFromPath(u""), std::nullopt);
    EXPECT_EQ(InterfaceKeyFromPath(u"usbprinter"), std::nullopt);
    EXPECT_EQ(DeviceInstanceIdFromPath(u""), std::nullopt);
}

TEST(PathTransforms, PrefixIsDroppedUnseenAndShortPathsGiveEmptyIds) {
    // Without the \\?\ prefix the first four characters still go.
    EXPECT_EQ(DeviceInstanceIdFromPath(u"usb#vid_0483&pid_5741#X1#{guid}"),
              u"vid_0483&pid_5741\\X1");
    EXPECT_EQ(DeviceInstanceIdFromPath(u"abcd#{guid}"), u"");
    EXPECT_EQ(DeviceInstanceIdFromPath(u"abcde#{guid}"), u"e");
}

TEST(PathTransforms, KeepLetterCaseAndTheCallersText) {
    const std::u16string path = u"\\\\?\\USB#Vid_0483&PID_5741#aBc#{X}";
    const std::u16string before = path;
    EXPECT_EQ(InterfaceKeyFromPath(path), u"##?#USB#Vid_0483&PID_5741#aBc" + kSuffix);
    EXPECT_EQ(DeviceInstanceIdFromPath(path), u"USB\\Vid_0483&PID_5741\\aBc");
    EXPECT_EQ(path, before);
}

}  // namespace
