#include "tracelog/retention.h"

#include "common/civil_days.h"

#include <algorithm>

namespace {

struct Dated {
    LocalDate date;
    int part = 0;
    const FolderFile* file = nullptr;
};

std::vector<Dated> RecorderFiles(const std::vector<FolderFile>& listing) {
    std::vector<Dated> files;
    for (const FolderFile& file : listing) {
        Dated dated;
        if (ParseDayFileName(file.name, dated.date, dated.part)) {
            dated.file = &file;
            files.push_back(dated);
        }
    }
    std::sort(files.begin(), files.end(), [](const Dated& a, const Dated& b) {
        return a.date != b.date ? a.date < b.date : a.part < b.part;
    });
    return files;
}

}  // namespace

long long DayNumber(LocalDate date) {
    return DaysFromCivil(date.year, date.month, date.day);
}

LocalDate DateOfDayNumber(long long days) {
    long long year = 0, month = 0, day = 0;
    CivilFromDays(days, year, month, day);
    return LocalDate{static_cast<int>(year), static_cast<int>(month), static_cast<int>(day)};
}

std::uint64_t MibToBytes(std::uint64_t mib) {
    return mib << 20;
}

std::uint64_t PartBytes(const RecordLimits& limits) {
    return std::max<std::uint64_t>(limits.maxBytes / 8, 1);
}

std::vector<std::string> FilesToDelete(const std::vector<FolderFile>& listing, LocalDate today,
                                       const RecordLimits& limits, const std::string& current) {
    std::vector<std::string> doomed;
    std::vector<const FolderFile*> kept;
    const long long oldestKept = DayNumber(today) - limits.keepDays + 1;
    for (const Dated& dated : RecorderFiles(listing)) {
        if (dated.file->name == current) {
            continue;
        }
        if (DayNumber(dated.date) < oldestKept) {
            doomed.push_back(dated.file->name);
        } else {
            kept.push_back(dated.file);
        }
    }
    // The current file may grow to a whole part: room is made for that now.
    std::uint64_t total = PartBytes(limits);
    for (const FolderFile* file : kept) {
        total += file->bytes;
    }
    for (const FolderFile* file : kept) {
        if (total <= limits.maxBytes) {
            break;
        }
        doomed.push_back(file->name);
        total -= file->bytes;
    }
    return doomed;
}

int PartToContinue(const std::vector<FolderFile>& listing, LocalDate day, std::uint64_t partBytes) {
    int last = 0;
    std::uint64_t lastBytes = 0;
    for (const Dated& dated : RecorderFiles(listing)) {
        if (dated.date == day && dated.part > last) {
            last = dated.part;
            lastBytes = dated.file->bytes;
        }
    }
    if (last == 0) {
        return 1;
    }
    return lastBytes >= partBytes ? last + 1 : last;
}

bool StartsNewPart(std::uint64_t fileBytes, std::uint64_t lineBytes, std::uint64_t partBytes) {
    return fileBytes + lineBytes > partBytes;
}
