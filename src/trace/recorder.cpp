#include "trace/recorder.h"

#include <cerrno>
#include <system_error>
#include <utility>

#include "cmdline/cmdline.h"
#include "common/text.h"

namespace {

// A path in a message: its characters as they are, control bytes escaped.
std::string ShownPath(const std::filesystem::path& path) {
    return cmdline::Shown(PathText(path));
}

std::string SystemError(int error) {
    return std::generic_category().message(error);
}

bool EndsWithNewline(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary | std::ios::ate);
    if (in.tellg() <= 0) {
        return true;  // empty, or not to be read (tellg gives -1): nothing to mend
    }
    in.seekg(-1, std::ios::end);
    return in.get() == '\n';
}

bool Fail(Recorder& recorder, const std::string& what, int error = 0) {
    recorder.failed = true;
    recorder.failure = what;
    recorder.error = error;
    return false;
}

std::vector<FolderFile> ListFolder(const std::filesystem::path& folder) {
    std::vector<FolderFile> listing;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        std::error_code sizeError;
        if (!it->is_regular_file(sizeError)) {
            continue;
        }
        const std::uintmax_t size = it->file_size(sizeError);
        if (sizeError) {
            // Listed, yet its size cannot be read: the file went between the listing and the
            // look (nothing to count or to go on in), or the folder may be listed but not entered
            // (nothing in it can be opened or deleted): either way it is no file of the folder's.
            continue;
        }
        listing.push_back(FolderFile{PathText(it->path().filename()), size});
    }
    return listing;
}

std::string CannotWrite(const Recorder& recorder, int error) {
    return "cannot write " + ShownPath(recorder.folder / recorder.current) + ": " +
           SystemError(error);
}

bool WriteRaw(Recorder& recorder, const std::string& text) {
    errno = 0;
    if (!recorder.file.write(text.data(), static_cast<std::streamsize>(text.size()))) {
        const int error = errno;
        return Fail(recorder, CannotWrite(recorder, error), error);
    }
    recorder.bytes += text.size();
    return true;
}

bool CloseFile(Recorder& recorder) {
    if (!recorder.file.is_open()) {
        return true;
    }
    errno = 0;
    recorder.file.close();
    if (!recorder.file) {
        const int error = errno;
        return recorder.failed ? false : Fail(recorder, CannotWrite(recorder, error), error);
    }
    return true;
}

// Deletes what retention gives up to make room for CURRENT, and tells why: each name with its
// note, for the file opened next.
std::vector<std::string> ApplyRetention(Recorder& recorder, LocalDate day) {
    std::vector<std::string> notes;
    const long long oldestKept = DayNumber(day) - recorder.limits.keepDays + 1;
    for (const std::string& name :
         FilesToDelete(ListFolder(recorder.folder), day, recorder.limits, recorder.current)) {
        std::error_code error;
        if (!std::filesystem::remove(recorder.folder / name, error)) {
            continue;
        }
        recorder.deleted.push_back(name);
        LocalDate date;
        int part = 1;
        ParseDayFileName(name, date, part);
        notes.push_back(
            "deleted " + name +
            (DayNumber(date) < oldestKept
                 ? ": older than --keep-days " + std::to_string(recorder.limits.keepDays)
                 : ": the recorder's files would pass --max-mib (" +
                       std::to_string(recorder.limits.maxBytes) + " bytes)"));
    }
    return notes;
}

// Opens PART of DAY for appending, after making room for it; a new file starts with the header
// and (unless a service note comes next) the service's process, so that each file reads as a
// trace of its own.
bool OpenFile(Recorder& recorder, LocalDate day, int part, const std::string& stamp,
              bool repeatServiceNote) {
    if (!CloseFile(recorder)) {
        return false;
    }
    recorder.current = DayFileName(day, part);
    recorder.day = day;
    const std::vector<std::string> deletions = ApplyRetention(recorder, day);
    const std::filesystem::path path = recorder.folder / recorder.current;
    errno = 0;
    recorder.file.open(path, std::ios::binary | std::ios::app);
    if (!recorder.file.is_open()) {
        const int error = errno;
        return Fail(recorder, "cannot open " + ShownPath(path) + ": " + SystemError(error), error);
    }
    std::error_code sizeError;
    const std::uintmax_t size = std::filesystem::file_size(path, sizeError);
    recorder.bytes = sizeError ? 0 : size;
    // A file cut in the middle of a line (the recorder ended mid-write) goes on on a line of its
    // own: the cut line stays one damaged line, not two glued together.
    if (!EndsWithNewline(path) && !WriteRaw(recorder, "\n")) {
        return false;
    }
    // A new file starts with the header; the first file of a recording that goes on in an
    // earlier one says there that the recording started again.
    if ((recorder.bytes == 0 || !recorder.started) &&
        !WriteRaw(recorder, StartLine(recorder.header, stamp, recorder.bytes != 0))) {
        return false;
    }
    recorder.started = true;
    for (const std::string& note : deletions) {
        if (recorder.told) {
            recorder.told(note);
        }
        if (!WriteRaw(recorder, NoteLine(stamp, note))) {
            return false;
        }
    }
    if (repeatServiceNote && !recorder.serviceNote.empty() &&
        !WriteRaw(recorder, NoteLine(stamp, recorder.serviceNote))) {
        return false;
    }
    return true;
}

// Holds the recorder's folder, or says why not.
bool HoldRecorderFolder(Recorder& recorder) {
    files::SystemError why;
    const files::Hold held = files::HoldFolder(recorder.folder / kRecorderLock, recorder.lock, why);
    if (held == files::Hold::Held) {
        return true;
    }
    recorder.taken = held == files::Hold::Taken;
    return Fail(recorder,
                recorder.taken
                    ? "another recorder holds the folder " + ShownPath(recorder.folder) +
                          " (kq5trace --record runs there already)"
                    : "cannot hold the folder " + ShownPath(recorder.folder) + ": " + why.text);
}

}  // namespace

std::string FailureHint(int error) {
    switch (error) {
        case ENOSPC:
            return " (the disk may be full)";
        case EROFS:
            return " (the disk is read only)";
        case EACCES:
        case EPERM:
            return " (access denied: kq5trace may not write there)";
        default:
            return "";
    }
}

std::string FormatEntry(const Entry& entry) {
    return entry.kind == Entry::Kind::Line ? EntryLine(entry.stamp, entry.pid, entry.text)
                                           : NoteLine(entry.stamp, entry.text);
}

bool OpenRecorder(Recorder& recorder, const std::filesystem::path& folder, RecordLimits limits,
                  const std::string& header) {
    files::ReleaseFolder(recorder.lock);
    recorder = Recorder{};
    recorder.folder = folder;
    recorder.limits = limits;
    recorder.header = header;
    std::error_code error;
    std::filesystem::create_directories(folder, error);
    if (error || !std::filesystem::is_directory(folder, error)) {
        return Fail(recorder, "cannot make the folder " + ShownPath(folder) +
                                  (error ? ": " + error.message() : ": a file has its name"));
    }
    return HoldRecorderFolder(recorder);
}

bool RecordEntry(Recorder& recorder, const Entry& entry) {
    if (recorder.failed) {
        return false;
    }
    const std::string line = FormatEntry(entry);
    const bool serviceNote = entry.kind == Entry::Kind::ServiceNote;
    const std::uint64_t partBytes = PartBytes(recorder.limits);
    if (!recorder.file.is_open() || entry.date != recorder.day) {
        const int part = PartToContinue(ListFolder(recorder.folder), entry.date, partBytes);
        if (!OpenFile(recorder, entry.date, part, entry.stamp, !serviceNote)) {
            return false;
        }
    } else if (StartsNewPart(recorder.bytes, line.size(), partBytes)) {
        LocalDate day;
        int part = 1;
        ParseDayFileName(recorder.current, day, part);
        if (!OpenFile(recorder, recorder.day, part + 1, entry.stamp, !serviceNote)) {
            return false;
        }
    }
    if (!WriteRaw(recorder, line)) {
        return false;
    }
    if (serviceNote) {
        recorder.serviceNote = entry.text;
    }
    return true;
}

bool FlushRecorder(Recorder& recorder) {
    if (recorder.failed) {
        return false;
    }
    errno = 0;
    if (recorder.file.is_open() && !recorder.file.flush()) {
        const int error = errno;
        return Fail(recorder, CannotWrite(recorder, error), error);
    }
    return true;
}

void TryNote(Recorder& recorder, const std::string& stamp, const std::string& note) {
    if (!recorder.file.is_open()) {
        return;
    }
    // Best effort: on a full disk this fails as well, and the files keep what they have.
    recorder.file.clear();
    const std::string line = NoteLine(stamp, note);
    recorder.file.write(line.data(), static_cast<std::streamsize>(line.size()));
    recorder.file.flush();
}

bool CloseRecorder(Recorder& recorder) {
    CloseFile(recorder);  // closing hands over what is buffered; every failure marks the recorder
    files::ReleaseFolder(recorder.lock);
    return !recorder.failed;
}

void PushEntry(LineQueue& queue, Entry entry) {
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        const std::size_t size = entry.text.size() + entry.stamp.size();
        if (entry.kind == Entry::Kind::Line && queue.bytes + size > queue.maxBytes) {
            ++queue.dropped;
        } else {
            queue.bytes += size;
            queue.entries.push_back(std::move(entry));
        }
    }
    // A dropped line wakes the writer too: it notes how many went.
    queue.ready.notify_one();
}

bool TakeEntries(LineQueue& queue, std::deque<Entry>& out, std::uint64_t& dropped) {
    std::unique_lock<std::mutex> lock(queue.mutex);
    queue.ready.wait(
        lock, [&queue] { return queue.closed || !queue.entries.empty() || queue.dropped != 0; });
    out.clear();
    out.swap(queue.entries);
    queue.bytes = 0;
    dropped = std::exchange(queue.dropped, 0);
    return !(out.empty() && dropped == 0 && queue.closed);
}

void CloseQueue(LineQueue& queue) {
    {
        std::lock_guard<std::mutex> lock(queue.mutex);
        queue.closed = true;
    }
    queue.ready.notify_all();
}

bool TimeToAsk(const ProcessFilter& filter, std::uint64_t nowMs) {
    return !filter.asked || nowMs - filter.askedMs >= kAskIntervalMs;
}

std::vector<Entry> TakeAnswer(ProcessFilter& filter, std::uint32_t pid, std::uint64_t nowMs) {
    filter.pid = pid;
    filter.asked = true;
    filter.askedMs = nowMs;
    std::vector<Entry> kept;
    for (Entry& line : filter.held) {
        if (pid != 0 && line.pid == pid) {
            kept.push_back(std::move(line));
        }
    }
    filter.held.clear();
    return kept;
}

bool OfferLine(ProcessFilter& filter, const Entry& line) {
    if (filter.pid != 0 && line.pid == filter.pid) {
        return true;
    }
    if (filter.held.size() >= filter.heldLimit) {
        filter.held.pop_front();
    }
    filter.held.push_back(line);
    return false;
}

std::vector<Entry> WatchStep(ServiceWatch& watch, std::uint64_t nowMs, LocalDate today,
                             const std::string& stamp, const Entry* line,
                             const std::function<ServiceAnswer()>& ask) {
    std::vector<Entry> out;
    const auto answer = [&] {
        const ServiceAnswer answered = ask();
        std::vector<Entry> kept = TakeAnswer(watch.filter, answered.pid, nowMs);
        if (answered.note != watch.shownNote) {
            const bool first = !kept.empty();
            out.push_back(Entry{Entry::Kind::ServiceNote, first ? kept[0].date : today,
                                first ? kept[0].stamp : stamp, 0, answered.note});
            watch.shownNote = answered.note;
        }
        for (Entry& held : kept) {
            out.push_back(std::move(held));
        }
    };
    if (line == nullptr) {
        if (TimeToAsk(watch.filter, nowMs)) {
            answer();  // once a second, so that a stop or a restart is noted
        }
        return out;
    }
    // A line of another process: perhaps the service started again; asked at once if it may be.
    if (line->pid != watch.filter.pid && TimeToAsk(watch.filter, nowMs)) {
        answer();
    }
    if (OfferLine(watch.filter, *line)) {
        out.push_back(*line);
    }
    return out;
}
