// kq5recordbench: the CPU that `kq5trace --record` spends per captured line, past the channel
// itself (not a test). A million lines go the recorder's way: the listening side offers each to
// the process filter and queues it; the writing thread takes them in batches, formats them and
// writes the day files (parts of 32 MiB, retention run at each new part), handing every batch to
// the system. A second run offers a million lines of another process, which are held and let go
// at each once-a-second answer. Reports CPU time per line of both threads together.
//   kq5recordbench [FOLDER]   (default: a folder under the system's temporary folder)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <deque>
#include <filesystem>
#include <string>
#include <thread>
#include <utility>

#include "trace/recorder.h"

namespace {

constexpr int kLines = 1000000;

double CpuSeconds() {
    return static_cast<double>(std::clock()) / CLOCKS_PER_SEC;
}

}  // namespace

int main(int argc, char** argv) {
    const std::filesystem::path folder = argc > 1
                                             ? std::filesystem::path(argv[1])
                                             : std::filesystem::temp_directory_path() /
                                                   ("kq5recordbench-" + std::to_string(getpid()));
    std::filesystem::remove_all(folder);
    Recorder recorder;
    if (!OpenRecorder(recorder, folder, RecordLimits{}, "# kq5trace 0: benchmark")) {
        std::fprintf(stderr, "kq5recordbench: %s\n", recorder.failure.c_str());
        return 1;
    }
    LineQueue queue;
    std::thread writer([&] {
        std::deque<Entry> batch;
        std::uint64_t dropped = 0;
        while (TakeEntries(queue, batch, dropped)) {
            for (const Entry& entry : batch) {
                RecordEntry(recorder, entry);
            }
            FlushRecorder(recorder);
        }
    });
    const LocalDate day{2026, 12, 7};
    const std::string stamp = "2026-12-07 09:15:02.345 +01:00";
    ProcessFilter filter;
    TakeAnswer(filter, 4242, 0);

    const double cpu0 = CpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    for (int i = 0; i < kLines; ++i) {
        Entry line{Entry::Kind::Line, day, stamp, 4242, "KQ5 STATUS:32\r\n"};
        if (OfferLine(filter, line)) {
            PushEntry(queue, std::move(line));
        }
    }
    CloseQueue(queue);
    writer.join();
    const double cpu1 = CpuSeconds();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const bool written = CloseRecorder(recorder);

    // Lines of another program: held, then let go at each answer (one a second, here one in
    // every thousand lines).
    for (int i = 0; i < kLines; ++i) {
        OfferLine(filter, Entry{Entry::Kind::Line, day, stamp, 77, "chatter of another program"});
        if (i % 1000 == 999) {
            TakeAnswer(filter, 4242, static_cast<std::uint64_t>(i));
        }
    }
    const double cpu2 = CpuSeconds();

    std::uintmax_t bytes = 0;
    int files = 0;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        bytes += entry.file_size();
        ++files;
    }
    std::printf(
        "recorded %d service lines: %.0f ns CPU per line (both threads), wall %.2f s, "
        "%d file(s), %.1f MiB\n",
        kLines, (cpu1 - cpu0) * 1e9 / kLines, wall, files, static_cast<double>(bytes) / 1048576.0);
    std::printf("filtered %d lines of another process: %.0f ns CPU per line\n", kLines,
                (cpu2 - cpu1) * 1e9 / kLines);
    std::filesystem::remove_all(folder);
    return written ? 0 : 1;
}
