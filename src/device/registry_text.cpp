#include "device/registry_text.h"

#include <cstring>

#include "common/diagnostics.h"
#include "common/format.h"
#include "device/device.h"

RegistryRead ReadRegistryText(const char* keyFormat, const WideString& keyArgument,
                              const char* valueName, WideString& text) {
    KeyPath path;
    if (!FormatKeyPath(path, keyFormat, keyArgument.c_str())) {
        return RegistryRead::NoKey;
    }
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, path.text, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        return RegistryRead::NoKey;
    }
    char buffer[kValueBufferSize] = {};
    DWORD size = sizeof buffer;
    DWORD type = 0;  // received, not examined
    const LSTATUS status =
        RegQueryValueExA(key, valueName, nullptr, &type, reinterpret_cast<LPBYTE>(buffer), &size);
    RegCloseKey(key);
    if (status != ERROR_SUCCESS) {
        DebugPrint(diagnostics::kRegistryErrorFormat, status);
        if (status == ERROR_FILE_NOT_FOUND) {
            return RegistryRead::NoValue;
        }
        return status == ERROR_MORE_DATA ? RegistryRead::TooLong : RegistryRead::Failed;
    }
    // A value stored without its NUL ends where the returned bytes end.
    const size_t returned = size < sizeof buffer ? size : sizeof buffer;
    const void* nul = std::memchr(buffer, '\0', returned);
    const size_t length =
        nul ? static_cast<size_t>(static_cast<const char*>(nul) - buffer) : returned;
    text = WideFromNarrow(buffer, length);
    return RegistryRead::Read;
}
