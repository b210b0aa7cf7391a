// version.dll of the simulated machine: the version resource of a program file, in the layout
// Windows hands out (a VS_VERSIONINFO block whose value is a VS_FIXEDFILEINFO).
// Facts from Wine's conformance tests (dlls/version/tests/info.c, test_info_size and
// test_32bit_win), each an ok() that Windows passes:
// - a file that does not exist: size 0, ERROR_FILE_NOT_FOUND (XP and later);
// - a file without a version resource: size 0, ERROR_RESOURCE_DATA_NOT_FOUND;
// - the handle is set to 0 in every case;
// - the size is twice the block's wLength plus 4 (room the A/W conversions use);
// - VerQueryValueW with "\" (or "") answers the VS_FIXEDFILEINFO, its length
//   sizeof(VS_FIXEDFILEINFO); a sub-block that is not there fails.
// The root's value is answered with the block's own wValueLength, 0 for a resource without a
// fixed part, and success (Wine's and ReactOS's VersionInfo32_QueryValue: *puLen =
// info->wValueLength, return TRUE).
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "platform/sim/machine.h"
#include "platform/sim/sim.h"

using namespace sim;

namespace {

// The block: wLength, wValueLength, wType, L"VS_VERSION_INFO", padding to a DWORD, the value.
constexpr char16_t kKey[] = u"VS_VERSION_INFO";
constexpr size_t kValueOffset = (6 + sizeof kKey + 3) / 4 * 4;
constexpr size_t kBlockLength = kValueOffset + sizeof(VS_FIXEDFILEINFO);

const ProgramFile* FindFile(const Machine& m, LPCWSTR name) {
    for (const ProgramFile& file : m.programFiles) {
        if (name != nullptr && EqualsIgnoringCase16(file.path, name)) {
            return &file;
        }
    }
    return nullptr;
}

std::vector<BYTE> Block(const ProgramFile& file) {
    std::vector<BYTE> block(kBlockLength * 2 + 4, 0);
    const WORD header[3] = {static_cast<WORD>(file.fixedPart ? kBlockLength : kValueOffset),
                            static_cast<WORD>(file.fixedPart ? sizeof(VS_FIXEDFILEINFO) : 0), 0};
    std::memcpy(block.data(), header, sizeof header);
    std::memcpy(block.data() + 6, kKey, sizeof kKey);
    VS_FIXEDFILEINFO info = {};
    info.dwSignature = VS_FFI_SIGNATURE;
    info.dwStrucVersion = 0x10000;
    info.dwFileVersionMS = info.dwProductVersionMS = file.versionMS;
    info.dwFileVersionLS = info.dwProductVersionLS = file.versionLS;
    std::memcpy(block.data() + kValueOffset, &info, sizeof info);
    return block;
}

// The file's block, or the error the size query answers.
DWORD Lookup(LPCWSTR name, std::vector<BYTE>& block) {
    const ProgramFile* file = FindFile(TheMachine(), name);
    if (file == nullptr) {
        return ERROR_FILE_NOT_FOUND;
    }
    if (!file->versioned) {
        return ERROR_RESOURCE_DATA_NOT_FOUND;
    }
    block = Block(*file);
    return ERROR_SUCCESS;
}

}  // namespace

namespace sim {

void AddProgramFile(const std::string& path, const std::string& version, bool fixedPart) {
    std::lock_guard<std::mutex> lock(MachineLock());
    ProgramFile file;
    file.path = Widen(path);
    // "A.B.C[.D]", each part a number: the file version the resource's fixed record carries.
    unsigned parts[4] = {0, 0, 0, 0};
    const char* at = version.c_str();
    int given = 0;
    for (; given < 4 && std::isdigit(static_cast<unsigned char>(*at)); ++given) {
        char* end = nullptr;
        parts[given] = static_cast<unsigned>(std::strtoul(at, &end, 10));
        at = *end == '.' ? end + 1 : end;
    }
    file.versioned = given >= 3 && *at == '\0';
    file.fixedPart = fixedPart;
    file.versionMS = parts[0] << 16 | (parts[1] & 0xFFFF);
    file.versionLS = parts[2] << 16 | (parts[3] & 0xFFFF);
    TheMachine().programFiles.push_back(file);
}

}  // namespace sim

DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR lptstrFilename, LPDWORD lpdwHandle) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    if (lpdwHandle != nullptr) {
        *lpdwHandle = 0;
    }
    if (auto error =
            RecordCall(m, "GetFileVersionInfoSizeW", [&] { return Quote(lptstrFilename); })) {
        SetLastError(*error);
        return 0;
    }
    std::vector<BYTE> block;
    const DWORD error = Lookup(lptstrFilename, block);
    SetLastError(error);
    return error == ERROR_SUCCESS ? static_cast<DWORD>(block.size()) : 0;
}

BOOL WINAPI GetFileVersionInfoW(LPCWSTR lptstrFilename, DWORD, DWORD dwLen, LPVOID lpData) {
    std::lock_guard<std::mutex> lock(MachineLock());
    Machine& m = TheMachine();
    if (auto error = RecordCall(m, "GetFileVersionInfoW", [&] {
            return Quote(lptstrFilename) + ", " + std::to_string(dwLen);
        })) {
        SetLastError(*error);
        return FALSE;
    }
    std::vector<BYTE> block;
    const DWORD error = Lookup(lptstrFilename, block);
    if (error != ERROR_SUCCESS || lpData == nullptr) {
        SetLastError(error != ERROR_SUCCESS ? error : ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // A shorter buffer gets the start of the block.
    std::memcpy(lpData, block.data(), std::min<size_t>(dwLen, block.size()));
    return TRUE;
}

BOOL WINAPI VerQueryValueW(LPCVOID pBlock, LPCWSTR lpSubBlock, LPVOID* lplpBuffer, PUINT puLen) {
    const auto* block = static_cast<const BYTE*>(pBlock);
    const bool root = lpSubBlock != nullptr &&
                      (lpSubBlock[0] == 0 || (lpSubBlock[0] == u'\\' && lpSubBlock[1] == 0));
    WORD valueLength = 0;
    if (block != nullptr) {
        std::memcpy(&valueLength, block + 2, sizeof valueLength);
    }
    if (!root || block == nullptr) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return FALSE;
    }
    *lplpBuffer = const_cast<BYTE*>(block + kValueOffset);
    *puLen = valueLength;
    return TRUE;
}
