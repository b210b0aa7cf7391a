#include "record_names/record_policy.h"

#include "common/civil_days.h"

#include <algorithm>
#include <cstdio>

namespace {

constexpr const char* kPrefix = "kq5trace-";
constexpr const char* kSuffix = ".txt";

bool IsLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

int DaysInMonth(int year, int month) {
    static constexpr int kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    return month == 2 && IsLeapYear(year) ? 29 : kDays[month - 1];
}

// The value of DIGITS characters of TEXT at AT, or -1 when they are not all digits.
int Digits(const std::string& text, size_t at, size_t digits) {
    if (at + digits > text.size()) {
        return -1;
    }
    int value = 0;
    for (size_t i = at; i < at + digits; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            return -1;
        }
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

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

std::string DayFileName(LocalDate date, int part) {
    char name[64];
    if (part <= 1) {
        std::snprintf(name, sizeof name, "%s%04d-%02d-%02d%s", kPrefix, date.year, date.month,
                      date.day, kSuffix);
    } else {
        std::snprintf(name, sizeof name, "%s%04d-%02d-%02d.%d%s", kPrefix, date.year, date.month,
                      date.day, part, kSuffix);
    }
    return name;
}

bool ParseDayFileName(const std::string& name, LocalDate& date, int& part) {
    const std::string prefix = kPrefix;
    const std::string suffix = kSuffix;
    // "kq5trace-" "YYYY-MM-DD" [".N"] ".txt"
    if (name.size() < prefix.size() + 10 + suffix.size() ||
        name.compare(0, prefix.size(), prefix) != 0 ||
        name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return false;
    }
    const size_t at = prefix.size();
    const int year = Digits(name, at, 4);
    const int month = Digits(name, at + 5, 2);
    const int day = Digits(name, at + 8, 2);
    if (year < 1601 || name[at + 4] != '-' || name[at + 7] != '-' || month < 1 || month > 12 ||
        day < 1 || day > DaysInMonth(year, month)) {
        return false;
    }
    const std::string middle =
        name.substr(at + 10, name.size() - suffix.size() - (at + 10));  // "" or ".N"
    int number = 1;
    if (!middle.empty()) {
        // ".2" to ".99999": no part 1 (that one is unnumbered) and no leading zero.
        if (middle.size() < 2 || middle.size() > 6 || middle[0] != '.' || middle[1] == '0') {
            return false;
        }
        number = Digits(middle, 1, middle.size() - 1);
        if (number < 2) {
            return false;
        }
    }
    date = LocalDate{year, month, day};
    part = number;
    return true;
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
