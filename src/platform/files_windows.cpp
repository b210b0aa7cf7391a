// Files on Windows: identity by volume serial number and file index, MoveFileExW over the
// target, FormatMessageW's words.
#include <fcntl.h>
#include <io.h>

#include "platform/files.h"
#include "platform/platform.h"

namespace files {

namespace {

std::string Utf8(const std::wstring& text) {
    const std::filesystem::path path(text);
    const std::u8string bytes = path.u8string();
    return std::string(bytes.begin(), bytes.end());
}

SystemError ErrorOf(DWORD code) {
    wchar_t* words = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, code, 0, reinterpret_cast<wchar_t*>(&words), 0, nullptr);
    std::wstring text = length != 0 && words != nullptr ? std::wstring(words, length) : L"";
    LocalFree(words);
    while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ')) {
        text.pop_back();
    }
    const std::string number = "(error " + std::to_string(code) + ")";
    return SystemError{code, text.empty() ? number : Utf8(text) + " " + number};
}

// A handle that names the file or folder itself, for reading its identity only.
HANDLE OpenForIdentity(const std::filesystem::path& path) {
    return CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                       nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// The name's last part as the file system keeps it: a short name (KQ5TRA~1.TXT) made long.
std::string StoredName(const std::filesystem::path& path) {
    wchar_t full[MAX_PATH * 4];
    const DWORD length = GetLongPathNameW(path.c_str(), full, MAX_PATH * 4);
    if (length == 0 || length >= MAX_PATH * 4) {
        return Utf8(path.filename().wstring());
    }
    return Utf8(std::filesystem::path(std::wstring(full, length)).filename().wstring());
}

}  // namespace

SystemError LastError() {
    return ErrorOf(GetLastError());
}

bool Identify(const std::filesystem::path& path, Identity& identity, SystemError& error) {
    identity = Identity{};
    HANDLE handle = OpenForIdentity(path);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND) {
            return true;
        }
        error = ErrorOf(code);
        return false;
    }
    BY_HANDLE_FILE_INFORMATION info = {};
    const bool known = GetFileInformationByHandle(handle, &info) != 0;
    const DWORD code = GetLastError();
    CloseHandle(handle);
    if (!known) {
        error = ErrorOf(code);
        return false;
    }
    identity.exists = true;
    identity.folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    identity.volume = info.dwVolumeSerialNumber;
    identity.index = (std::uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow;
    identity.name = StoredName(path);
    return true;
}

bool BeginReplacement(const std::filesystem::path& target, Replacement& replacement,
                      SystemError& error) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::filesystem::path temporary = target;
        temporary += L"." + std::to_wstring(GetCurrentProcessId()) + L"-" +
                     std::to_wstring(attempt) + L".tmp";
        HANDLE handle = CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        if (handle == INVALID_HANDLE_VALUE && GetLastError() == ERROR_FILE_EXISTS) {
            continue;
        }
        if (handle == INVALID_HANDLE_VALUE) {
            error = LastError();
            return false;
        }
        const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_WRONLY | _O_BINARY);
        FILE* file = fd < 0 ? nullptr : _fdopen(fd, "wb");
        if (file == nullptr) {
            error = ErrorOf(ERROR_NOT_ENOUGH_MEMORY);
            fd < 0 ? (void)CloseHandle(handle) : (void)_close(fd);
            DeleteFileW(temporary.c_str());
            return false;
        }
        replacement = Replacement{file, temporary, target};
        return true;
    }
    error = ErrorOf(ERROR_FILE_EXISTS);
    return false;
}

bool FinishReplacement(Replacement& replacement, SystemError& error) {
    // The C library's stream reports a failed write, not why; the system's last error does.
    SetLastError(ERROR_SUCCESS);
    const bool written = std::fflush(replacement.file) == 0 && !std::ferror(replacement.file);
    const DWORD writeError = GetLastError();
    const bool closed = std::fclose(replacement.file) == 0;
    replacement.file = nullptr;
    if (!written || !closed) {
        error = ErrorOf(writeError != ERROR_SUCCESS ? writeError : ERROR_WRITE_FAULT);
    } else if (MoveFileExW(replacement.temporary.c_str(), replacement.target.c_str(),
                           MOVEFILE_REPLACE_EXISTING) != 0) {
        return true;
    } else {
        error = LastError();
    }
    DeleteFileW(replacement.temporary.c_str());
    return false;
}

void AbandonReplacement(Replacement& replacement) {
    if (replacement.file != nullptr) {
        std::fclose(replacement.file);
        replacement.file = nullptr;
    }
    DeleteFileW(replacement.temporary.c_str());
}

Hold HoldFolder(const std::filesystem::path& lock, FolderLock& held, SystemError& error) {
    // No share-write: a second opener to write is refused with a sharing violation. Deleted when
    // the last handle closes, so a recorder that was killed leaves nothing behind.
    HANDLE handle = CreateFileW(lock.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD code = GetLastError();
        error = ErrorOf(code);
        return code == ERROR_SHARING_VIOLATION ? Hold::Taken : Hold::Failed;
    }
    held = FolderLock{reinterpret_cast<std::intptr_t>(handle), lock};
    return Hold::Held;
}

void ReleaseFolder(FolderLock& held) {
    if (held.handle != -1) {
        CloseHandle(reinterpret_cast<HANDLE>(held.handle));
    }
    held = FolderLock{};
}

SystemError WhyNotReadable(const std::filesystem::path& path) {
    HANDLE handle = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
        CloseHandle(handle);
        return ErrorOf(ERROR_READ_FAULT);  // it opens now: what failed was the read
    }
    return LastError();
}

}  // namespace files
