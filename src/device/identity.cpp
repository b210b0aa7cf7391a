// Whether a USB device interface path is the printer: by the port description that the USB
// printing class registered for the device, not by the digits in the path.
#include "device/device.h"
#include "device/registry_text.h"

namespace {

constexpr const char* kPortDescription = "KorvaneQ5";
constexpr const char* kInterfaceKeyFormat =
    "SYSTEM\\ControlSet001\\Control\\DeviceClasses\\{28d78fad-5a12-11d1-ae5b-0000f803a8c2}\\%S"
    "\\#\\Device Parameters";
constexpr const char* kPortDescriptionValue = "Port Description";

}  // namespace

IdentityCheck CheckIdentity(const WideString& path) {
    IdentityCheck check;
    const std::optional<WideString> interfaceKey = InterfaceKeyFromPath(path);
    if (!interfaceKey) {
        return check;
    }
    switch (ReadRegistryText(kInterfaceKeyFormat, *interfaceKey, kPortDescriptionValue,
                             check.description)) {
        case RegistryRead::NoKey:
        case RegistryRead::NoValue:
            check.identity = Identity::DescriptionMissing;
            return check;
        case RegistryRead::TooLong:
            check.identity = Identity::DescriptionTooLong;
            return check;
        case RegistryRead::Failed:
            check.identity = Identity::DescriptionUnreadable;
            return check;
        case RegistryRead::Read:
            break;
    }
    const WideString expected =
        WideFromNarrow(kPortDescription, std::char_traits<char>::length(kPortDescription));
    check.identity = !expected.empty() && EqualsIgnoringAsciiCase(check.description, expected)
                         ? Identity::Printer
                         : Identity::DescriptionDifferent;
    return check;
}

bool IsTargetPrinter(WideString path) {
    return CheckIdentity(path).identity == Identity::Printer;
}
