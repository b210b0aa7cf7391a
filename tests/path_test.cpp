// Device path transforms.
#include <gtest/gtest.h>

#include "device/device.h"

namespace {

const std::u16string kSuffix = u"#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
const std::optional<std::u16string> kFails;

TEST(PathTransforms, InterfaceKeyAndInstanceId) {
    const struct {
        std::u16string path;
        std::optional<std::u16string> key, id;
    } cases[] = {
        // the worked example
        {u"\\\\?\\usb#vid_0483&pid_5741#A1B2C3#{a5dcbf10-6530-11d2-901f-00c04fb951ed}",
         u"##?#usb#vid_0483&pid_5741#A1B2C3" + kSuffix, u"usb\\vid_0483&pid_5741\\A1B2C3"},
        {u"#", kSuffix, u""},  // an empty ID, not a failure
        {u"\\\\?\\usb#abc#", u"##?#usb#abc" + kSuffix, u"usb\\abc"},
        // a backslash counts as a '#' only for the key, where it is replaced before the search
        {u"a\\b\\c", u"a#b" + kSuffix, kFails},
        {u"", kFails, kFails},
        {u"usbprinter", kFails, kFails},
        // the first four characters go unseen; four or fewer before the last '#' give nothing
        {u"usb#vid_0483&pid_5741#X1#{guid}", u"usb#vid_0483&pid_5741#X1" + kSuffix,
         u"vid_0483&pid_5741\\X1"},
        {u"abcd#{guid}", u"abcd" + kSuffix, u""},
        {u"abcde#{guid}", u"abcde" + kSuffix, u"e"},
        // letter case comes through
        {u"\\\\?\\USB#Vid_0483&PID_5741#aBc#{X}", u"##?#USB#Vid_0483&PID_5741#aBc" + kSuffix,
         u"USB\\Vid_0483&PID_5741\\aBc"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(InterfaceKeyFromPath(c.path), c.key);
        EXPECT_EQ(DeviceInstanceIdFromPath(c.path), c.id);
    }
}

}  // namespace
