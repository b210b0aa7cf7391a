// Files on the host: identity by st_dev and st_ino, rename(2) over the target, strerror's words.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/files.h"

namespace files {

namespace {

// strerror_r: strerror's buffer is shared between threads. glibc's GNU form returns the text,
// which may or may not be the buffer; the XSI form fills the buffer.
std::string ErrorText(int code) {
    char buffer[256] = {};
#if defined(__GLIBC__) && defined(_GNU_SOURCE)
    return ::strerror_r(code, buffer, sizeof buffer);
#else
    return ::strerror_r(code, buffer, sizeof buffer) == 0 ? buffer : "unknown error";
#endif
}

SystemError ErrorOf(int code) {
    return SystemError{static_cast<unsigned long>(code),
                       ErrorText(code) + " (errno " + std::to_string(code) + ")"};
}

}  // namespace

SystemError LastError() {
    return ErrorOf(errno);
}

bool Identify(const std::filesystem::path& path, Identity& identity, SystemError& error) {
    identity = Identity{};
    struct stat info = {};
    if (::stat(path.c_str(), &info) != 0) {
        if (errno == ENOENT || errno == ENOTDIR) {
            return true;
        }
        error = LastError();
        return false;
    }
    identity.exists = true;
    identity.folder = S_ISDIR(info.st_mode);
    identity.volume = static_cast<std::uint64_t>(info.st_dev);
    identity.index = static_cast<std::uint64_t>(info.st_ino);
    identity.name = path.filename().string();
    return true;
}

bool BeginReplacement(const std::filesystem::path& target, Replacement& replacement,
                      SystemError& error) {
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::filesystem::path temporary = target;
        temporary += "." + std::to_string(::getpid()) + "-" + std::to_string(attempt) + ".tmp";
        const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno == EEXIST) {
            continue;
        }
        if (fd < 0) {
            error = LastError();
            return false;
        }
        replacement = Replacement{::fdopen(fd, "wb"), temporary, target};
        if (replacement.file == nullptr) {
            error = LastError();
            ::close(fd);
            ::unlink(temporary.c_str());
            return false;
        }
        return true;
    }
    error = ErrorOf(EEXIST);
    return false;
}

bool FinishReplacement(Replacement& replacement, SystemError& error) {
    const bool written = std::fflush(replacement.file) == 0 && !std::ferror(replacement.file);
    const int closeError = written ? 0 : errno;
    const bool closed = std::fclose(replacement.file) == 0;
    replacement.file = nullptr;
    if (!written || !closed) {
        error = ErrorOf(closeError != 0 ? closeError : errno);
    } else if (::rename(replacement.temporary.c_str(), replacement.target.c_str()) == 0) {
        return true;
    } else {
        error = LastError();
    }
    ::unlink(replacement.temporary.c_str());
    return false;
}

void AbandonReplacement(Replacement& replacement) {
    if (replacement.file != nullptr) {
        std::fclose(replacement.file);
        replacement.file = nullptr;
    }
    ::unlink(replacement.temporary.c_str());
}

Hold HoldFolder(const std::filesystem::path& lock, FolderLock& held, SystemError& error) {
    const int fd = ::open(lock.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) {
        error = LastError();
        return Hold::Failed;
    }
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int code = errno;
        ::close(fd);
        error = ErrorOf(code);
        return code == EWOULDBLOCK ? Hold::Taken : Hold::Failed;
    }
    held = FolderLock{fd, lock};
    // cppcheck-suppress resourceLeak ; the descriptor is HELD's now: ReleaseFolder closes it
    return Hold::Held;
}

void ReleaseFolder(FolderLock& held) {
    if (held.handle >= 0) {
        ::unlink(held.path.c_str());  // while still held: no one else holds the name meanwhile
        ::close(static_cast<int>(held.handle));
    }
    held = FolderLock{};
}

SystemError WhyNotReadable(const std::filesystem::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ::close(fd);
        return ErrorOf(EIO);  // it opens now: what failed was the read
    }
    return LastError();
}

}  // namespace files
