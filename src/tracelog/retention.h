// What `kq5trace --record` keeps in its folder of day files (named in format.h): the last N days
// and at most M bytes in all, the oldest file first, a day too big for one file going on in its
// next part. Pure functions over names, dates and sizes, with no system calls: the recorder asks
// them, the tests ask them with dates they choose.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "common/text.h"
#include "tracelog/format.h"

// Days since 1970-01-01 (proleptic Gregorian), for counting days across months and years.
long long DayNumber(LocalDate date);
LocalDate DateOfDayNumber(long long days);

struct RecordLimits {
    int keepDays = 14;                      // today and the 13 days before it
    std::uint64_t maxBytes = 256ull << 20;  // every file of the recorder together
    bool operator==(const RecordLimits&) const = default;
};

// --max-mib M in bytes: M mebibytes of 1,048,576 bytes.
std::uint64_t MibToBytes(std::uint64_t mib);

// The size at which a day goes on in its next part: an eighth of the whole, so that a day that
// reaches the cap loses its oldest eighth, not all of itself.
std::uint64_t PartBytes(const RecordLimits& limits);

struct FolderFile {
    std::string name;
    std::uint64_t bytes = 0;
};

// The recorder's files to delete, oldest first, when CURRENT (a name, possibly not yet in the
// listing) is the file being written: every file of a day older than the last keepDays days, then
// the oldest files (by day, then part) until the rest with a full part for CURRENT fit maxBytes.
// CURRENT and files of other names are never in the answer.
std::vector<std::string> FilesToDelete(const std::vector<FolderFile>& listing, LocalDate today,
                                       const RecordLimits& limits, const std::string& current);

// The part to write the day's lines to when the recorder (re)starts on DAY: its last part, or a
// new one when that is already full.
int PartToContinue(const std::vector<FolderFile>& listing, LocalDate day, std::uint64_t partBytes);

// Whether a line of LINEBYTES, written to a file that holds lines already, goes into the next
// part: it would pass the part size. (A file just opened takes its first line whatever its size,
// so that a line longer than a part is written, not opened a part for again and again.)
bool StartsNewPart(std::uint64_t fileBytes, std::uint64_t lineBytes, std::uint64_t partBytes);
