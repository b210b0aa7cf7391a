// Files as the system knows them, for the programs that read traces and write reports: which
// file a name reaches (whatever its spelling), a file written whole or not at all, and the
// system's own words for an error. Windows and the host each answer in their own terms.
#pragma once

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

namespace files {

// The system's message for an error and its number: "The system cannot find the path
// specified. (error 3)" on Windows, "No such file or directory (errno 2)" on the host.
struct SystemError {
    unsigned long code = 0;
    std::string text;
};

// The system's message for the last error of the calling thread (GetLastError, errno).
SystemError LastError();

// Which file PATH reaches: on Windows the volume serial number and the file index, on the host
// st_dev and st_ino; so two names of one file (letter case, "..", a short name, a link) compare
// equal, and two files never do.
struct Identity {
    bool exists = false;
    bool folder = false;
    std::uint64_t volume = 0;
    std::uint64_t index = 0;
    std::string name;  // the last part of the name as the system keeps it (a short name made long)
};

// False with the reason when PATH cannot be looked at; a PATH that does not exist (nor its
// folder) is no error, it answers exists == false.
bool Identify(const std::filesystem::path& path, Identity& identity, SystemError& error);

inline bool SameFile(const Identity& a, const Identity& b) {
    return a.exists && b.exists && a.volume == b.volume && a.index == b.index;
}

// A file written beside TARGET under a temporary name, then put in TARGET's place in one step:
// a failure leaves neither a half file nor damage to what TARGET held before.
struct Replacement {
    FILE* file = nullptr;
    std::filesystem::path temporary;
    std::filesystem::path target;
};

bool BeginReplacement(const std::filesystem::path& target, Replacement& replacement,
                      SystemError& error);
// Closes the file and renames it over TARGET; on failure the temporary file is removed.
bool FinishReplacement(Replacement& replacement, SystemError& error);
// Closes and removes the temporary file.
void AbandonReplacement(Replacement& replacement);

// A folder one program at a time works in: the file LOCK in it held open so that no other
// program can open it to write (on Windows without share-write, and deleted once closed; on the
// host under flock). The system lets go of it when the process ends, however it ends.
struct FolderLock {
    std::intptr_t handle = -1;
    std::filesystem::path path;
};

enum class Hold { Held, Taken, Failed };

// Held, or Taken when another program holds it, or Failed with the reason.
Hold HoldFolder(const std::filesystem::path& lock, FolderLock& held, SystemError& error);
void ReleaseFolder(FolderLock& held);

// Why PATH cannot be opened for reading (it is opened once to learn it).
SystemError WhyNotReadable(const std::filesystem::path& path);

}  // namespace files
