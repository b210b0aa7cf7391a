// kq5recordbench: the CPU that `kq5trace --record` spends per captured line, past the channel
// itself (not a test). A million lines go the recorder's way: the listener's step (the process
// filter, the once-a-second question, here answered at once) queues each; the writing thread takes
// them in batches, formats them and writes the day files (parts of 32 MiB, retention run at each
// new part), handing every batch to the system. Then a million lines of another process, which
// are held and let go at each answer. Reports CPU time per line of both threads together.
//   kq5recordbench [FOLDER]   (default: a folder under the system's temporary folder)
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <ctime>
#include <deque>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <utility>

#include "trace/recorder.h"

namespace {

constexpr int kLines = 1000000;  // of each kind

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
    ServiceWatch watch;
    const std::function<ServiceAnswer()> ask = [] {
        return ServiceAnswer{4242, "service kq5 runs as process 4242"};
    };
    // The listener's step for each line, the clock moving a microsecond a line (the question to
    // the service manager comes once a second of it).
    const auto listen = [&](std::uint64_t first, std::uint32_t pid, const char* text) {
        for (std::uint64_t i = first; i < first + kLines; ++i) {
            const Entry line{Entry::Kind::Line, day, stamp, pid, text};
            for (Entry& entry : WatchStep(watch, i / 1000, day, stamp, &line, ask)) {
                PushEntry(queue, std::move(entry));
            }
        }
    };

    const double cpu0 = CpuSeconds();
    const auto wall0 = std::chrono::steady_clock::now();
    listen(0, 4242, "KQ5 STATUS:32\r\n");
    CloseQueue(queue);
    writer.join();
    const double cpu1 = CpuSeconds();
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
    const bool written = CloseRecorder(recorder);
    // Lines of another program: held, then let go at each answer.
    listen(kLines, 77, "chatter of another program");
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
