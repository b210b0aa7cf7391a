// Finding the printer among the present USB devices and opening it.
#include <new>

#include "common/format.h"
#include "common/diagnostics.h"
#include "device/device.h"

namespace {

constexpr const WCHAR* kVendorDigits = WSTR("0483");
constexpr const WCHAR* kProductDigits = WSTR("5741");
constexpr DWORD kDetailSlack = 100;            // bytes beyond the reported detail size
constexpr DWORD kDetailSizeLimit = 64 * 1024;  // no real device path comes near this

// The member's device path, or nothing when its detail cannot be fetched.
std::optional<WideString> ReadDevicePath(HDEVINFO list, SP_DEVICE_INTERFACE_DATA& member) {
    DWORD required = 0;
    SetupDiGetDeviceInterfaceDetailW(list, &member, nullptr, 0, &required, nullptr);
    if (required > kDetailSizeLimit) {
        return std::nullopt;
    }
    const DWORD size = required + kDetailSlack;
    auto* detail =
        static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(GlobalAlloc(GMEM_ZEROINIT, size));
    if (detail == nullptr) {
        return std::nullopt;
    }
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    std::optional<WideString> path;
    if (SetupDiGetDeviceInterfaceDetailW(list, &member, detail, size, &required, nullptr)) {
        // The zeroed slack guarantees a terminator within the buffer.
        path = WideString(detail->DevicePath);
    }
    GlobalFree(detail);
    return path;
}

}  // namespace

HANDLE OpenPrinterDevice(const WideString& path) {
    HANDLE device = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_NO_BUFFERING, nullptr);
    return device == nullptr ? INVALID_HANDLE_VALUE : device;
}

bool VisitPrinterCandidates(const std::function<bool(const WideString&)>& visit, DWORD& error) {
    // The x64 layouts that the detail buffer's cbSize and the enumeration record rely on.
    static_assert(sizeof(void*) != 8 || sizeof(SP_DEVICE_INTERFACE_DATA) == 32);
    static_assert(sizeof(void*) != 8 || sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8);
    HDEVINFO list = SetupDiGetClassDevsW(&GUID_DEVINTERFACE_USB_DEVICE, nullptr, nullptr,
                                         DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (list == INVALID_HANDLE_VALUE) {
        error = GetLastError();
        return false;
    }
    SP_DEVICE_INTERFACE_DATA member = {};
    member.cbSize = sizeof member;
    for (DWORD index = 0;
         SetupDiEnumDeviceInterfaces(list, nullptr, &GUID_DEVINTERFACE_USB_DEVICE, index, &member);
         ++index) {
        const std::optional<WideString> path = ReadDevicePath(list, member);
        if (path && Contains(*path, kVendorDigits) && Contains(*path, kProductDigits) &&
            visit(*path)) {
            break;
        }
    }
    SetupDiDestroyDeviceInfoList(list);
    error = 0;
    return true;
}

HANDLE FindAndOpenPrinterDevice() {
    HANDLE device = INVALID_HANDLE_VALUE;
    DWORD error = 0;
    VisitPrinterCandidates(
        [&device](const WideString& path) {
            DebugPrint(diagnostics::kDevicePathFormat, path.c_str());
            if (!IsTargetPrinter(path)) {
                return false;
            }
            // The first device that is the printer ends the search, opened or not.
            device = OpenPrinterDevice(path);
            return true;
        },
        error);
    return device;
}
