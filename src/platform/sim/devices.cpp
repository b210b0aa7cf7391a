// Simulated USB devices: the device installation services' interface lists (setupapi) and the
// device files (CreateFileW / ReadFile). An unplugged device leaves the lists, and every handle
// opened on it fails from then on, also after it is plugged in again.
#include <cstring>

#include "platform/sim/machine.h"

using namespace sim;

namespace {

bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof a) == 0;
}

std::string GuidText(const GUID* guid) {
    if (guid == nullptr) {
        return "null";
    }
    char text[48];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  guid->Data1, guid->Data2, guid->Data3, guid->Data4[0], guid->Data4[1],
                  guid->Data4[2], guid->Data4[3], guid->Data4[4], guid->Data4[5], guid->Data4[6],
                  guid->Data4[7]);
    return text;
}

Device* FindDevice(Machine& m, const Text16& path) {
    for (Device& d : m.devices) {
        if (EqualsIgnoringCase16(d.path, path)) {
            return &d;
        }
    }
    return nullptr;
}

Device& MakeDevice(Machine& m, const Text16& path) {
    if (Device* d = FindDevice(m, path)) {
        return *d;
    }
    Device d;
    d.path = path;
    d.present = false;
    m.devices.push_back(d);
    return m.devices.back();
}

// The member of a device list that an interface record names, or null.
const Text16* MemberOf(HandleEntry& list, const SP_DEVICE_INTERFACE_DATA* data) {
    if (data == nullptr || data->Reserved == 0 || data->Reserved > list.paths.size()) {
        return nullptr;
    }
    return &list.paths[data->Reserved - 1];
}

// A device path as the system keeps it: setupapi hands out interface paths in lower case
// (Wine's devinst.c, check_device_iface_: check_all_lower_case), whatever case the device's
// instance ID has.
Text16 SystemCase(Text16 path) {
    for (char16_t& c : path) {
        if (c >= u'A' && c <= u'Z') {
            c = static_cast<char16_t>(c - u'A' + u'a');
        }
    }
    return path;
}

}  // namespace

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND hwndParent,
                                     DWORD Flags) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    if (auto error = RecordCall(m, "SetupDiGetClassDevsW", [&] {
            return GuidText(ClassGuid) + ", " + Quote(Enumerator) + ", " +
                   (hwndParent ? "window" : "null") + ", " + Hex(Flags);
        })) {
        SetLastError(*error);
        return INVALID_HANDLE_VALUE;
    }
    HandleEntry list;
    list.kind = "devinfo";
    const bool interfaces = (Flags & DIGCF_DEVICEINTERFACE) != 0;
    if (interfaces && ClassGuid != nullptr && SameGuid(*ClassGuid, GUID_DEVINTERFACE_USB_DEVICE)) {
        for (const Device& d : m.devices) {
            if (d.present || (Flags & DIGCF_PRESENT) == 0) {
                list.paths.push_back(SystemCase(d.path));
            }
        }
    }
    return NewHandle(m, list);
}

BOOL WINAPI SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID* InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    const auto args = [&] {
        return HandleName(m, DeviceInfoSet) + ", " + (DeviceInfoData ? "devinfo" : "null") + ", " +
               GuidText(InterfaceClassGuid) + ", " + std::to_string(MemberIndex);
    };
    HandleEntry* list =
        RecordOnHandle(m, "SetupDiEnumDeviceInterfaces", args, DeviceInfoSet, "devinfo");
    if (list == nullptr) {
        return FALSE;
    }
    if (DeviceInterfaceData == nullptr ||
        DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (InterfaceClassGuid == nullptr ||
        !SameGuid(*InterfaceClassGuid, GUID_DEVINTERFACE_USB_DEVICE) ||
        MemberIndex >= list->paths.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    DeviceInterfaceData->InterfaceClassGuid = *InterfaceClassGuid;
    DeviceInterfaceData->Flags = SPINT_ACTIVE;
    DeviceInterfaceData->Reserved = MemberIndex + 1;
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInterfaceDetailW(
    HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
    PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
    DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize, PSP_DEVINFO_DATA DeviceInfoData) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    const std::string member = DeviceInterfaceData
                                   ? "member " + std::to_string(DeviceInterfaceData->Reserved - 1)
                                   : "null";
    const auto args = [&] {
        return HandleName(m, DeviceInfoSet) + ", " + member + ", " +
               (DeviceInterfaceDetailData ? "buffer" : "null") + ", " +
               std::to_string(DeviceInterfaceDetailDataSize) + ", " +
               (RequiredSize ? "required" : "null") + ", " + (DeviceInfoData ? "devinfo" : "null");
    };
    HandleEntry* list =
        RecordOnHandle(m, "SetupDiGetDeviceInterfaceDetailW", args, DeviceInfoSet, "devinfo");
    if (list == nullptr) {
        return FALSE;
    }
    const Text16* path = MemberOf(*list, DeviceInterfaceData);
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const size_t needed = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) +
                          (path->size() + 1) * sizeof(WCHAR);
    if (RequiredSize != nullptr) {
        *RequiredSize = static_cast<DWORD>(needed);
    }
    if (DeviceInterfaceDetailData == nullptr) {
        SetLastError(DeviceInterfaceDetailDataSize == 0 ? ERROR_INSUFFICIENT_BUFFER
                                                        : ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return FALSE;
    }
    if (DeviceInterfaceDetailDataSize < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(DeviceInterfaceDetailData->DevicePath, path->c_str(),
                (path->size() + 1) * sizeof(WCHAR));
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    return CloseHandleOf("SetupDiDestroyDeviceInfoList", DeviceInfoSet, {"devinfo"});
}

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    if (auto error = RecordCall(m, "CreateFileW", [&] {
            return Quote(lpFileName) + ", " + Hex(dwDesiredAccess) + ", " +
                   std::to_string(dwShareMode) + ", " +
                   (lpSecurityAttributes ? "attributes" : "null") + ", " +
                   std::to_string(dwCreationDisposition) + ", " + Hex(dwFlagsAndAttributes) + ", " +
                   HandleName(m, hTemplateFile);
        })) {
        SetLastError(*error);
        return INVALID_HANDLE_VALUE;
    }
    Device* device = lpFileName == nullptr ? nullptr : FindDevice(m, lpFileName);
    if (device == nullptr || !device->present || dwCreationDisposition != OPEN_EXISTING) {
        SetLastError(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    // Share modes are the file system's rule; a device checks share access only if its driver
    // asks for it. The simulated printer is an exclusive device: one handle at a time, whatever
    // the share modes, and the I/O manager refuses any other open with access denied.
    for (const auto& [value, entry] : m.handles) {
        if (entry.kind == "device" && EqualsIgnoringCase16(entry.devicePath, device->path) &&
            entry.generation == device->generation) {
            SetLastError(ERROR_ACCESS_DENIED);
            return INVALID_HANDLE_VALUE;
        }
    }
    HandleEntry entry;
    entry.kind = "device";
    entry.devicePath = device->path;
    entry.access = dwDesiredAccess;
    entry.shareMode = dwShareMode;
    entry.generation = device->generation;
    return NewHandle(m, entry);
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead,
                     LPDWORD lpNumberOfBytesRead, LPOVERLAPPED lpOverlapped) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    if (lpNumberOfBytesRead != nullptr) {
        *lpNumberOfBytesRead = 0;
    }
    const auto args = [&] {
        return HandleName(m, hFile) + ", " + std::to_string(nNumberOfBytesToRead) + ", " +
               (lpNumberOfBytesRead ? "count" : "null") + ", " +
               (lpOverlapped ? "overlapped" : "null");
    };
    HandleEntry* entry = RecordOnHandle(m, "ReadFile", args, hFile, "device");
    if (entry == nullptr) {
        return FALSE;
    }
    Device* device = FindDevice(m, entry->devicePath);
    if (device == nullptr || !device->present || device->generation != entry->generation) {
        SetLastError(ERROR_DEVICE_NOT_CONNECTED);
        return FALSE;
    }
    std::vector<BYTE> bytes = device->frame;
    if (!device->script.empty()) {
        ScriptedRead read = device->script.front();
        device->script.pop_front();
        if (read.fails) {
            SetLastError(read.error);
            return FALSE;
        }
        bytes = read.bytes;
    }
    const size_t count = bytes.size() < nNumberOfBytesToRead ? bytes.size() : nNumberOfBytesToRead;
    if (count != 0) {
        std::memcpy(lpBuffer, bytes.data(), count);
    }
    if (lpNumberOfBytesRead != nullptr) {
        *lpNumberOfBytesRead = static_cast<DWORD>(count);
    }
    return TRUE;
}

namespace sim {

void PlugDevice(const Text16& path) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Device& device = MakeDevice(TheMachine(), path);
    if (!device.present) {
        device.present = true;
        ++device.generation;
    }
}

void UnplugDevice(const Text16& path) {
    std::lock_guard<std::mutex> lock(MachineLock());
    if (Device* device = FindDevice(TheMachine(), path)) {
        device->present = false;
    }
}

void SetDeviceFrame(const Text16& path, const std::vector<BYTE>& frame) {
    std::lock_guard<std::mutex> lock(MachineLock());
    MakeDevice(TheMachine(), path).frame = frame;
}

void ScriptDeviceRead(const Text16& path, const std::vector<BYTE>& bytes) {
    std::lock_guard<std::mutex> lock(MachineLock());
    MakeDevice(TheMachine(), path).script.push_back(ScriptedRead{false, 0, bytes});
}

void ScriptDeviceReadFailure(const Text16& path, DWORD error) {
    std::lock_guard<std::mutex> lock(MachineLock());
    MakeDevice(TheMachine(), path).script.push_back(ScriptedRead{true, error, {}});
}

bool DeviceOpen(const Text16& path) {
    std::lock_guard<std::mutex> lock(MachineLock());
    for (const auto& [value, entry] : TheMachine().handles) {
        if (entry.kind == "device" && EqualsIgnoringCase16(entry.devicePath, path)) {
            return true;
        }
    }
    return false;
}

}  // namespace sim
