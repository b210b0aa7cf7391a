// Pure text transforms from a USB device interface path to its registry names.
#include <algorithm>

#include "device/device.h"

namespace {

constexpr const WCHAR* kUsbPrintInterfaceSuffix = WSTR("#{28d78fad-5a12-11d1-ae5b-0000f803a8c2}");
constexpr size_t kPathPrefixLength = 4;  // "\\?\" as delivered by Windows

}  // namespace

std::optional<WideString> InterfaceKeyFromPath(WideString path) {
    // Backslashes become '#' first, so they count for the search below.
    std::replace(path.begin(), path.end(), WCHAR('\\'), WCHAR('#'));
    const size_t lastHash = path.rfind(WCHAR('#'));
    if (lastHash == WideString::npos) {
        return std::nullopt;
    }
    path.resize(lastHash);
    path += kUsbPrintInterfaceSuffix;
    return path;
}

std::optional<WideString> DeviceInstanceIdFromPath(WideString path) {
    const size_t lastHash = path.rfind(WCHAR('#'));
    if (lastHash == WideString::npos) {
        return std::nullopt;
    }
    path.resize(lastHash);
    std::replace(path.begin(), path.end(), WCHAR('#'), WCHAR('\\'));
    if (path.size() <= kPathPrefixLength) {
        return WideString();
    }
    return path.substr(kPathPrefixLength);
}
