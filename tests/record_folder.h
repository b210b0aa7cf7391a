// What the recorder's tests share: a record folder of the test's own, emptied before and after
// each test, the dates and lines they record, and a disk that is full until the test frees it.
#pragma once

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "trace/recorder.h"
#include "trace_clock.h"
#include "tracereader/clock.h"
#include "tracereader/layout.h"

inline constexpr LocalDate kDay{2026, 12, 7};
inline constexpr const char* kLinesHeader = "# kq5trace 1.0.0: lines";

inline LocalDate Plus(LocalDate date, long long days) {
    return DateOfDayNumber(DayNumber(date) + days);
}

// "2026-12-07 12:00:00.000 +01:00" for kDay and "12:00:00.000".
inline std::string StampText(LocalDate date, const std::string& time) {
    return StampText(LocalTime{date, std::stoi(time.substr(0, 2)), std::stoi(time.substr(3, 2)),
                               std::stoi(time.substr(6, 2)), std::stoi(time.substr(9, 3)), 60});
}

inline Entry Line(LocalDate date, const std::string& time, const std::string& text,
                  std::uint32_t pid = 7) {
    return Entry{Entry::Kind::Line, date, StampText(date, time), pid, text};
}

class RecordFolderTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder = std::filesystem::temp_directory_path() /
                 ("kq5-record-" + std::to_string(getpid()) + "-" +
                  ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(folder);
    }
    void TearDown() override { std::filesystem::remove_all(folder); }

    std::string Read(const std::string& name) const {
        std::ifstream in(folder / name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    // The lines of the file NAME as the trace reader reads them, each "<local time> <what>": the
    // header's title, "# " and a note, "[pid] " and a line's text.
    std::vector<std::string> Lines(const std::string& name) const {
        std::ifstream in(folder / name, std::ios::binary);
        LayoutReader reader;
        std::vector<std::string> lines;
        SplitLines(in, [&](const std::string& line, bool, bool) {
            const TraceLine read = reader.Read(line);
            const std::string what =
                read.kind == LineKind::Entry    ? "[" + std::to_string(read.pid) + "] " + read.text
                : read.kind == LineKind::Header ? read.text.substr(0, read.text.rfind(", from "))
                : read.kind == LineKind::Note && read.timed ? "# " + read.text.substr(31)
                                                            : "? " + read.text;
            lines.push_back(TimeOfDayText(read.localMs, true) + " " + what);
            return true;
        });
        return lines;
    }
    // The folder's file names, sorted.
    std::vector<std::string> Listing() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(folder)) {
            names.push_back(entry.path().filename().string());
        }
        std::sort(names.begin(), names.end());
        return names;
    }

    std::filesystem::path folder;
};

// A disk that is full until the test frees it: the files of this process may not grow past
// BYTES (as on a full disk, a write fails with nothing written), and from Free() on they may again.
class FullUntilFreed {
public:
    explicit FullUntilFreed(std::uintmax_t bytes) {
        getrlimit(RLIMIT_FSIZE, &saved_);
        signal_ = std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit fails instead
        rlimit full = saved_;
        full.rlim_cur = bytes;
        setrlimit(RLIMIT_FSIZE, &full);
    }
    ~FullUntilFreed() {
        Free();
        std::signal(SIGXFSZ, signal_);
    }
    void Free() { setrlimit(RLIMIT_FSIZE, &saved_); }

private:
    rlimit saved_{};
    void (*signal_)(int) = SIG_DFL;
};
