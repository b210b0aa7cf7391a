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

bool IsTargetPrinter(WideString path) {
    const std::optional<WideString> interfaceKey = InterfaceKeyFromPath(path);
    if (!interfaceKey) {
        return false;
    }
    WideString description;
    if (ReadRegistryText(kInterfaceKeyFormat, *interfaceKey, kPortDescriptionValue, description) !=
        RegistryRead::Read) {
        return false;
    }
    const WideString expected =
        WideFromNarrow(kPortDescription, std::char_traits<char>::length(kPortDescription));
    return !expected.empty() && EqualsIgnoringAsciiCase(description, expected);
}
