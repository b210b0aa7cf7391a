// virtual_printer.exe DIR DEVICE...: USB devices for Wine, each with a device interface of the
// USB device class that SetupDi lists and CreateFileW opens, answering every read with a 5-byte
// status frame. A DEVICE is SERIAL:VID:PID:PORT-DESCRIPTION[:PORT], e.g.
// A1B2C3:0483:5741:KorvaneQ5:USB005. PORT, when given, is a USB printer port that the spooler
// lists and that the USB monitor ties to the device ("Device Id").
//
// Wine's setupapi lists an interface when its keys exist under CurrentControlSet and it is linked;
// the interface path becomes openable through an object-manager symbolic link to a named pipe of
// ours, the way Wine's own kernel layer makes device paths. The pipe has no buffer, so each frame
// waits for the read that takes it.
//
// Each device is steered through files in DIR\SERIAL\ that the tests write:
//   status      the status code (byte 3 of the frame), decimal or 0x hex; 0x20 when absent
//   unplugged   while it exists the device is unplugged: not listed, its path gone, its open
//               handles broken
//   fail        the next read gets a short frame (2 bytes); the file is then deleted
// and it writes DIR\SERIAL\log: "open", "frame N" (each frame taken, N the code), "short",
// "closed". DIR\ready appears once every device is listed; DIR\stop ends the program, which
// then removes every key it made.
#include <windows.h>
#include <winternl.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const wchar_t* kUsbDeviceClass = L"{a5dcbf10-6530-11d2-901f-00c04fb951ed}";
constexpr const wchar_t* kUsbPrintClass = L"{28d78fad-5a12-11d1-ae5b-0000f803a8c2}";
constexpr const wchar_t* kUsbSetupClass = L"{36fc9e60-c465-11cf-8056-444553540000}";
constexpr const wchar_t* kLocalPorts = L"Software\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
constexpr const wchar_t* kUsbMonitorPorts =
    L"SYSTEM\\ControlSet001\\Control\\Print\\Monitors\\USB Monitor\\Ports\\";
constexpr DWORD kPollMs = 20;

struct Device {
    std::wstring serial, vid, pid, description, port;
    std::wstring folder;
    std::mutex logLock;
    std::atomic<bool> unplugged{false};
    HANDLE link = nullptr;        // the device path, while plugged in
    std::vector<HANDLE> clients;  // server ends of connected pipe instances
    std::mutex clientsLock;
};

std::wstring dir;
std::atomic<bool> stopping{false};

bool Exists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    }
    return text;
}

std::wstring Upper(std::wstring text) {
    for (wchar_t& c : text) {
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    }
    return text;
}

void Log(Device& device, const std::string& line) {
    std::lock_guard<std::mutex> lock(device.logLock);
    if (FILE* f = _wfopen((device.folder + L"\\log").c_str(), L"ab")) {
        std::fprintf(f, "%s\n", line.c_str());
        std::fclose(f);
    }
}

int ReadStatus(Device& device) {
    int code = 0x20;
    if (FILE* f = _wfopen((device.folder + L"\\status").c_str(), L"rb")) {
        char text[32] = {};
        if (std::fgets(text, sizeof text, f) != nullptr) {
            code = static_cast<int>(std::strtol(text, nullptr, 0)) & 0xFF;
        }
        std::fclose(f);
    }
    return code;
}

void SetString(HKEY root, const std::wstring& key, const wchar_t* name, const std::wstring& text) {
    HKEY handle = nullptr;
    if (RegCreateKeyExW(root, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &handle,
                        nullptr) == ERROR_SUCCESS) {
        RegSetValueExW(handle, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(text.c_str()),
                       static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
        RegCloseKey(handle);
    }
}

void SetDword(const std::wstring& key, const wchar_t* name, DWORD value) {
    HKEY handle = nullptr;
    if (RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                        &handle, nullptr) == ERROR_SUCCESS) {
        RegSetValueExW(handle, name, 0, REG_DWORD, reinterpret_cast<const BYTE*>(&value),
                       sizeof value);
        RegCloseKey(handle);
    }
}

void DeleteTree(const std::wstring& key) {
    RegDeleteTreeW(HKEY_LOCAL_MACHINE, key.c_str());
    RegDeleteKeyW(HKEY_LOCAL_MACHINE, key.c_str());
}

// "USB\VID_0483&PID_5741\A1B2C3", as Windows names the device instance.
std::wstring InstanceId(const Device& d) {
    return L"USB\\VID_" + Upper(d.vid) + L"&PID_" + Upper(d.pid) + L"\\" + Upper(d.serial);
}

// "usb#vid_0483&pid_5741#a1b2c3#{class}": the interface's reference name, lower case as Wine
// writes it.
std::wstring InterfaceName(const Device& d, const wchar_t* deviceClass) {
    return Lower(L"usb#vid_" + d.vid + L"&pid_" + d.pid + L"#" + d.serial + L"#") + deviceClass;
}

std::wstring EnumKey(const Device& d) {
    return L"System\\CurrentControlSet\\Enum\\" + InstanceId(d);
}

std::wstring InterfaceKey(const Device& d) {
    return std::wstring(L"System\\CurrentControlSet\\Control\\DeviceClasses\\") + kUsbDeviceClass +
           L"\\##?#" + InterfaceName(d, kUsbDeviceClass);
}

std::wstring DescriptionKey(const Device& d) {
    return std::wstring(L"SYSTEM\\ControlSet001\\Control\\DeviceClasses\\") + kUsbPrintClass +
           L"\\##?#" + InterfaceName(d, kUsbPrintClass);
}

void Register(const Device& d) {
    SetString(HKEY_LOCAL_MACHINE, EnumKey(d), L"ClassGUID", kUsbSetupClass);
    SetString(HKEY_LOCAL_MACHINE, InterfaceKey(d), L"DeviceInstance", InstanceId(d));
    SetString(HKEY_LOCAL_MACHINE, InterfaceKey(d) + L"\\#", L"SymbolicLink",
              L"\\\\?\\" + InterfaceName(d, kUsbDeviceClass));
    SetDword(InterfaceKey(d) + L"\\#\\Control", L"Linked", d.unplugged ? 0 : 1);
    SetString(HKEY_LOCAL_MACHINE, DescriptionKey(d) + L"\\#\\Device Parameters",
              L"Port Description", d.description);
    if (!d.port.empty()) {
        SetString(HKEY_LOCAL_MACHINE, kLocalPorts, d.port.c_str(), L"");
        SetString(HKEY_LOCAL_MACHINE, kUsbMonitorPorts + d.port, L"Device Id", InstanceId(d));
    }
}

void Unregister(const Device& d) {
    DeleteTree(InterfaceKey(d));
    DeleteTree(EnumKey(d));
    DeleteTree(DescriptionKey(d));
    if (!d.port.empty()) {
        HKEY ports = nullptr;
        if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLocalPorts, 0, KEY_ALL_ACCESS, &ports) ==
            ERROR_SUCCESS) {
            RegDeleteValueW(ports, d.port.c_str());
            RegCloseKey(ports);
        }
        DeleteTree(kUsbMonitorPorts + d.port);
    }
}

using NtCreateSymbolicLinkObjectFn = NTSTATUS(WINAPI*)(PHANDLE, ACCESS_MASK, POBJECT_ATTRIBUTES,
                                                       PUNICODE_STRING);

// \??\usb#vid_...#{class} -> \Device\NamedPipe\NAME. The link lives while its handle is open.
HANDLE LinkToPipe(const std::wstring& linkName, const std::wstring& pipeName) {
    auto create = reinterpret_cast<NtCreateSymbolicLinkObjectFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "NtCreateSymbolicLinkObject")));
    if (create == nullptr) {
        return nullptr;
    }
    std::wstring name = L"\\??\\" + linkName;
    std::wstring target = L"\\Device\\NamedPipe\\" + pipeName;
    UNICODE_STRING nameString = {static_cast<USHORT>(name.size() * sizeof(wchar_t)),
                                 static_cast<USHORT>(name.size() * sizeof(wchar_t)), name.data()};
    UNICODE_STRING targetString = {static_cast<USHORT>(target.size() * sizeof(wchar_t)),
                                   static_cast<USHORT>(target.size() * sizeof(wchar_t)),
                                   target.data()};
    OBJECT_ATTRIBUTES attributes = {};
    attributes.Length = sizeof attributes;
    attributes.ObjectName = &nameString;
    attributes.Attributes = OBJ_CASE_INSENSITIVE;
    HANDLE link = nullptr;
    // SYMBOLIC_LINK_ALL_ACCESS, which the user-mode headers do not define.
    const NTSTATUS status =
        create(&link, STANDARD_RIGHTS_REQUIRED | 0x1, &attributes, &targetString);
    return status >= 0 ? link : nullptr;
}

// Like Windows, which removes a device's path with the device, the path exists only while the
// device is plugged in: an open of an unplugged device finds no such file.
bool SetLinked(Device& device, bool linked) {
    if (!linked && device.link != nullptr) {
        CloseHandle(device.link);
        device.link = nullptr;
    } else if (linked && device.link == nullptr) {
        device.link = LinkToPipe(InterfaceName(device, kUsbDeviceClass),
                                 L"kq5-virtual-usb-" + Lower(device.serial));
    }
    return !linked || device.link != nullptr;
}

// Waits for an overlapped operation while the device stays plugged in; false when it failed or
// the device went away (the operation is then cancelled).
bool Await(Device& device, HANDLE pipe, OVERLAPPED& overlapped, BOOL started) {
    if (!started && GetLastError() != ERROR_IO_PENDING) {
        return GetLastError() == ERROR_PIPE_CONNECTED;
    }
    while (WaitForSingleObject(overlapped.hEvent, kPollMs) == WAIT_TIMEOUT) {
        if (device.unplugged || stopping) {
            CancelIo(pipe);
            WaitForSingleObject(overlapped.hEvent, 1000);
            return false;
        }
    }
    DWORD count = 0;
    return GetOverlappedResult(pipe, &overlapped, &count, FALSE) != 0;
}

// Serves one connected instance until the reader goes away or the device is unplugged.
void Serve(Device& device, HANDLE pipe) {
    Log(device, "open");
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    for (;;) {
        const bool shortFrame = Exists(device.folder + L"\\fail");
        const int code = ReadStatus(device);
        const BYTE frame[5] = {0x5A, 0x01, 0x00, static_cast<BYTE>(code), 0xA5};
        const DWORD size = shortFrame ? 2 : sizeof frame;
        ResetEvent(overlapped.hEvent);
        if (!Await(device, pipe, overlapped, WriteFile(pipe, frame, size, nullptr, &overlapped))) {
            break;
        }
        if (shortFrame) {
            DeleteFileW((device.folder + L"\\fail").c_str());
            Log(device, "short");
        } else {
            Log(device, "frame " + std::to_string(static_cast<signed char>(code)));
        }
    }
    CloseHandle(overlapped.hEvent);
    DisconnectNamedPipe(pipe);
    CloseHandle(pipe);
    Log(device, "closed");
}

// Keeps the device's pipe listening while the device is plugged in and no handle is open: the
// pipe has one instance, so the device serves one handle at a time, as an exclusive device does
// (a second open gets ERROR_PIPE_BUSY; on Windows the answer is the device's driver's: an
// exclusive device gives ERROR_ACCESS_DENIED). The connected instance is served on a thread of
// its own.
void Listen(Device& device) {
    const std::wstring pipeName = L"\\\\.\\pipe\\kq5-virtual-usb-" + Lower(device.serial);
    std::vector<std::thread> servers;
    while (!stopping) {
        if (device.unplugged) {
            Sleep(kPollMs);
            continue;
        }
        HANDLE pipe =
            CreateNamedPipeW(pipeName.c_str(), PIPE_ACCESS_DUPLEX | FILE_FLAG_OVERLAPPED,
                             PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT, 1, 0, 0, 0, nullptr);
        if (pipe == INVALID_HANDLE_VALUE) {
            Sleep(kPollMs);
            continue;
        }
        OVERLAPPED overlapped = {};
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        const bool connected = Await(device, pipe, overlapped, ConnectNamedPipe(pipe, &overlapped));
        CloseHandle(overlapped.hEvent);
        if (!connected) {
            CloseHandle(pipe);
            continue;
        }
        servers.emplace_back([&device, pipe] { Serve(device, pipe); });
    }
    for (std::thread& server : servers) {
        server.join();
    }
}

bool Parse(const std::wstring& text, Device& device) {
    std::vector<std::wstring> fields;
    size_t start = 0;
    for (size_t colon; (colon = text.find(L':', start)) != std::wstring::npos; start = colon + 1) {
        fields.push_back(text.substr(start, colon - start));
    }
    fields.push_back(text.substr(start));
    if (fields.size() < 4 || fields.size() > 5) {
        return false;
    }
    device.serial = fields[0];
    device.vid = fields[1];
    device.pid = fields[2];
    device.description = fields[3];
    device.port = fields.size() == 5 ? fields[4] : L"";
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: virtual_printer DIR SERIAL:VID:PID:DESCRIPTION[:PORT]...\n");
        return 2;
    }
    dir = argv[1];
    CreateDirectoryW(dir.c_str(), nullptr);
    std::vector<Device> devices(static_cast<size_t>(argc - 2));
    for (int i = 2; i < argc; ++i) {
        Device& device = devices[static_cast<size_t>(i - 2)];
        if (!Parse(argv[i], device)) {
            std::fprintf(stderr, "virtual_printer: bad device %ls\n", argv[i]);
            return 2;
        }
        device.folder = dir + L"\\" + device.serial;
        CreateDirectoryW(device.folder.c_str(), nullptr);
        device.unplugged = Exists(device.folder + L"\\unplugged");
        if (!SetLinked(device, !device.unplugged)) {
            std::fprintf(stderr, "virtual_printer: cannot link the device path of %ls\n", argv[i]);
            return 1;
        }
        Register(device);
    }
    std::vector<std::thread> listeners;
    for (Device& device : devices) {
        listeners.emplace_back([&device] { Listen(device); });
    }
    if (FILE* f = _wfopen((dir + L"\\ready").c_str(), L"wb")) {
        std::fclose(f);
    }
    // Plugging and unplugging: the interface is linked or not, as Windows marks it.
    while (!Exists(dir + L"\\stop")) {
        for (Device& device : devices) {
            const bool unplugged = Exists(device.folder + L"\\unplugged");
            if (unplugged != device.unplugged) {
                device.unplugged = unplugged;
                SetLinked(device, !unplugged);
                SetDword(InterfaceKey(device) + L"\\#\\Control", L"Linked", unplugged ? 0 : 1);
                Log(device, unplugged ? "unplugged" : "plugged");
            }
        }
        Sleep(kPollMs);
    }
    stopping = true;
    for (std::thread& listener : listeners) {
        listener.join();
    }
    for (Device& device : devices) {
        Unregister(device);
        SetLinked(device, false);
    }
    DeleteFileW((dir + L"\\stop").c_str());
    DeleteFileW((dir + L"\\ready").c_str());
    return 0;
}
