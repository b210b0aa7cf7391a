// The simulated registry (advapi32): keys under HKEY_LOCAL_MACHINE holding typed values as raw
// bytes, so values without a terminating NUL or longer than any buffer can be stored. Key paths
// and value names compare without regard to case, as on Windows.
#include <cstring>

#include "platform/sim/machine.h"

using namespace sim;

namespace {

bool KeyExists(Machine& m, const std::string& lowerPath) {
    if (m.registry.count(lowerPath) != 0) {
        return true;
    }
    const std::string prefix = lowerPath + "\\";
    auto it = m.registry.lower_bound(prefix);
    return it != m.registry.end() && it->first.compare(0, prefix.size(), prefix) == 0;
}

RegistryKey& MakeKey(Machine& m, const std::string& path) {
    RegistryKey& key = m.registry[LowerAscii(path)];
    if (key.path.empty()) {
        key.path = path;
    }
    return key;
}

}  // namespace

LSTATUS WINAPI RegOpenKeyExA(HKEY hKey, LPCSTR lpSubKey, DWORD ulOptions, REGSAM samDesired,
                             PHKEY phkResult) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    if (auto error = RecordCall(m, "RegOpenKeyExA", [&] {
            return HandleName(m, hKey) + ", " + Quote(lpSubKey) + ", " + std::to_string(ulOptions) +
                   ", " + Hex(samDesired);
        })) {
        if (phkResult != nullptr) {
            *phkResult = nullptr;
        }
        return static_cast<LSTATUS>(*error);
    }
    if (phkResult == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    std::string base;
    if (hKey != HKEY_LOCAL_MACHINE) {
        HandleEntry* parent = FindHandle(m, hKey, "key");
        if (parent == nullptr) {
            return ERROR_INVALID_HANDLE;
        }
        base = parent->keyPath;
    }
    const std::string sub = lpSubKey == nullptr ? "" : lpSubKey;
    const std::string path = base.empty() ? sub : (sub.empty() ? base : base + "\\" + sub);
    if (path.empty() || !KeyExists(m, LowerAscii(path))) {
        *phkResult = nullptr;  // a missing key leaves no handle behind
        return ERROR_FILE_NOT_FOUND;
    }
    HandleEntry entry;
    entry.kind = "key";
    entry.keyPath = path;
    *phkResult = static_cast<HKEY>(NewHandle(m, entry));
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegQueryValueExA(HKEY hKey, LPCSTR lpValueName, LPDWORD lpReserved, LPDWORD lpType,
                                LPBYTE lpData, LPDWORD lpcbData) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    if (auto error = RecordCall(m, "RegQueryValueExA", [&] {
            return HandleName(m, hKey) + ", " + Quote(lpValueName) + ", " +
                   (lpReserved ? "reserved" : "null") + ", " + (lpType ? "type" : "null") + ", " +
                   (lpData ? "buffer" : "null") + ", " +
                   (lpcbData ? std::to_string(*lpcbData) : "null");
        })) {
        return static_cast<LSTATUS>(*error);
    }
    if (lpReserved != nullptr || (lpData != nullptr && lpcbData == nullptr)) {
        return ERROR_INVALID_PARAMETER;
    }
    HandleEntry* key = FindHandle(m, hKey, "key");
    if (key == nullptr) {
        return ERROR_INVALID_HANDLE;
    }
    auto k = m.registry.find(LowerAscii(key->keyPath));
    if (k == m.registry.end()) {
        return ERROR_FILE_NOT_FOUND;
    }
    auto v = k->second.values.find(LowerAscii(lpValueName == nullptr ? "" : lpValueName));
    if (v == k->second.values.end()) {
        // A size-only query of a missing value answers size 0; with a buffer the size stays.
        if (lpData == nullptr && lpcbData != nullptr) {
            *lpcbData = 0;
        }
        return ERROR_FILE_NOT_FOUND;
    }
    const RegistryValue& value = v->second;
    if (lpType != nullptr) {
        *lpType = value.type;
    }
    const auto size = static_cast<DWORD>(value.data.size());
    if (lpData == nullptr) {
        if (lpcbData != nullptr) {
            *lpcbData = size;
        }
        return ERROR_SUCCESS;
    }
    if (*lpcbData < size) {
        *lpcbData = size;
        return ERROR_MORE_DATA;
    }
    // The bytes as stored: a string stored without its NUL comes back without one, though where
    // the buffer has room Windows puts a NUL behind it (the size returned leaves it out).
    if (size != 0) {
        std::memcpy(lpData, value.data.data(), size);
    }
    const bool isString =
        value.type == REG_SZ || value.type == REG_EXPAND_SZ || value.type == REG_MULTI_SZ;
    if (isString && size != 0 && size < *lpcbData && lpData[size - 1] != 0) {
        lpData[size] = 0;
    }
    *lpcbData = size;
    return ERROR_SUCCESS;
}

LSTATUS WINAPI RegCloseKey(HKEY hKey) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    return RecordClose(m, "RegCloseKey", hKey, {"key"}) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

namespace sim {

void AddRegistryKey(const std::string& path) {
    std::lock_guard<std::mutex> lock(MachineLock());
    MakeKey(TheMachine(), path);
}

void SetRegistryValue(const std::string& key, const std::string& name, DWORD type,
                      const std::vector<BYTE>& data) {
    std::lock_guard<std::mutex> lock(MachineLock());
    MakeKey(TheMachine(), key).values[LowerAscii(name)] = RegistryValue{type, data};
}

void SetRegistryString(const std::string& key, const std::string& name, const std::string& text) {
    std::vector<BYTE> data(text.begin(), text.end());
    data.push_back(0);
    SetRegistryValue(key, name, REG_SZ, data);
}

void DeleteRegistryKey(const std::string& path) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    const std::string lower = LowerAscii(path);
    for (auto it = m.registry.begin(); it != m.registry.end();) {
        const bool below =
            it->first == lower || it->first.compare(0, lower.size() + 1, lower + "\\") == 0;
        it = below ? m.registry.erase(it) : std::next(it);
    }
}

}  // namespace sim
