// Files and folders to a trace: one file, or a record folder's day files one after another.
#include "tracereader/read.h"

#include <algorithm>
#include <fstream>
#include <tuple>

#include "cmdline/cmdline.h"
#include "common/text.h"
#include "platform/files.h"
#include "tracelog/retention.h"
#include "tracereader/layout.h"

namespace {

struct FileResult {
    bool ok = false;
    std::string error;
    Layout layout = Layout::Unknown;
    Encoding encoding = Encoding::Bytes;
    bool wholeSeconds = false;
};

// Reads one file into ANALYSIS; not ok (with the reason) when it is empty or no trace.
FileResult ReadFile(std::istream& in, TraceAnalysis& analysis) {
    FileResult result;
    LayoutReader reader;
    size_t number = 0;
    std::string error;
    result.encoding = SplitLines(in, [&](const std::string& text, bool tooLong, bool cut) {
        ++number;
        if (cut) {
            // A cut line is counted and skipped; as the first log line it still tells the layout
            // (a trace as far as it goes), and a header is read (a file of its header alone).
            analysis.Cut();
            const bool first = reader.layout == Layout::Unknown && !tooLong;
            const TraceLine line = first ? reader.Read(text) : TraceLine{};
            if (line.kind == LineKind::Header) {
                analysis.FileLayout(reader.layout, false);
                analysis.Line(line, number);
            } else {
                analysis.CountLine();
            }
            return false;
        }
        if (tooLong) {
            if (reader.layout == Layout::Unknown && ++reader.before > kLinesBefore) {
                return false;
            }
            analysis.Skip(number, "longer than 64 KiB");
            analysis.CountLine();
            return true;
        }
        const bool known = reader.layout != Layout::Unknown;
        const TraceLine line = reader.Read(text);
        if (line.kind == LineKind::NotATrace) {
            return false;
        }
        if (!known && reader.layout != Layout::Unknown) {
            analysis.FileLayout(reader.layout, reader.wholeSeconds);
        }
        analysis.Line(line, number);
        return true;
    });
    if (number == 0) {
        result.error = "the trace is empty";
        return result;
    }
    if (reader.layout == Layout::Unknown) {
        result.error =
            "line 1 is neither kq5trace's header nor a DebugView log line (index, "
            "tab, time, tab, [pid] text) nor a DebugView++ log line (seconds, tab, date and "
            "time, tab, process id, tab, process name, tab, text): \"" +
            reader.firstLine + "\"" +
            (number > 1 ? " (nor is any of the " + std::to_string(number - 1) + " lines after it)"
                        : "");
        return result;
    }
    result.ok = true;
    result.layout = reader.layout;
    result.wholeSeconds = reader.wholeSeconds;
    return result;
}

// True when the first lines of PATH are those of a kq5trace capture.
bool IsCapture(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    LayoutReader reader;
    bool capture = false;
    (void)SplitLines(in, [&](const std::string& text, bool tooLong, bool) {
        if (tooLong) {  // skipped before the first log line, as ReadFile does
            return ++reader.before <= kLinesBefore;
        }
        const TraceLine line = reader.Read(text);
        capture = reader.layout == Layout::Kq5trace;
        return reader.layout == Layout::Unknown && line.kind == LineKind::Before;
    });
    return capture;
}

// A trace that cannot be read: its NAME and why.
TraceReport Refused(const std::string& name, const std::string& error) {
    TraceReport report;
    report.name = name;
    report.error = error;
    return report;
}

void Finalise(TraceReport& report, TraceAnalysis& analysis, const std::string& layout) {
    analysis.Finish();
    report.layout = layout;
    report.timeline = analysis.timeline;
    report.findings = analysis.Findings();
    report.events = analysis.Judged();
    report.picture = analysis.Draw(layout);
    report.ok = true;
}

// A day file of a record folder: its date and part, the order it is read in.
struct DayFile {
    LocalDate date;
    int part;
    std::filesystem::path path;
    std::string name;
};

// What a record folder holds: its day files in reading order, and the names of the files that
// are no day of the trace, each with why.
struct FolderListing {
    std::vector<DayFile> days;
    std::vector<std::string> skipped;
    bool readable = true;
};

FolderListing ListDayFiles(const std::filesystem::path& folder) {
    FolderListing listing;
    std::error_code error;
    for (std::filesystem::directory_iterator it(folder, error), end; !error && it != end;
         it.increment(error)) {
        const std::string name = EscapedPath(it->path().filename());
        LocalDate date;
        int part = 0;
        std::error_code kind;
        if (it->path().filename() == kRecorderLock) {
            continue;  // the recorder's hold on the folder while it records, not a day of it
        }
        if (!it->is_regular_file(kind)) {
            listing.skipped.push_back(name + " (not a file)");
        } else if (!ParseDayFileName(name, date, part)) {
            listing.skipped.push_back(
                name + " (not named kq5trace-YYYY-MM-DD.txt or kq5trace-YYYY-MM-DD.N.txt)");
        } else if (!IsCapture(it->path())) {
            listing.skipped.push_back(name + " (its first lines are not a kq5trace capture)");
        } else {
            listing.days.push_back(DayFile{date, part, it->path(), name});
        }
    }
    listing.readable = !error;
    std::sort(listing.skipped.begin(), listing.skipped.end());
    std::sort(listing.days.begin(), listing.days.end(), [](const DayFile& a, const DayFile& b) {
        return std::tie(a.date, a.part) < std::tie(b.date, b.part);
    });
    return listing;
}

// Reads the day files one after the other into one analysis; returns the names of those read,
// and adds those that could not be to the skipped ones.
std::string ReadDayFiles(const std::vector<DayFile>& days, const OpenDayFile& open,
                         TraceAnalysis& analysis, std::vector<std::string>& skipped) {
    std::string read;
    for (const DayFile& d : days) {
        const std::unique_ptr<std::istream> opened = open(d.path);
        if (!opened || !*opened) {  // removed or locked since the folder was listed
            skipped.push_back(d.name + " (cannot be opened)");
            continue;
        }
        std::istream& in = *opened;
        analysis.BeginFile(d.name);
        const FileResult file = ReadFile(in, analysis);
        if (in.bad() || !file.ok) {
            skipped.push_back(
                d.name + (in.bad() ? " (cannot be read to its end)" : " (" + file.error + ")"));
            if (!in.bad()) {
                continue;
            }
        }
        read += (read.empty() ? "" : ", ") + d.name;
    }
    return read;
}

// The findings that name the files read and the files skipped.
std::vector<TraceFinding> FilesFindings(const std::string& read,
                                        const std::vector<std::string>& skipped) {
    std::vector<TraceFinding> files;
    files.push_back(MakeFinding(FindingKind::FilesRead, 0, "files read, in order: " + read));
    if (!skipped.empty()) {
        std::string names;
        for (const std::string& s : skipped) {
            names += (names.empty() ? "" : ", ") + s;
        }
        files.push_back(MakeFinding(FindingKind::FilesSkipped, 0,
                                    Counted(skipped.size(), "file") + " skipped: " + names));
    }
    return files;
}

}  // namespace

TraceReport ReadRecordFolder(const std::filesystem::path& folder, const OpenDayFile& open) {
    const std::string name = EscapedPath(folder);
    FolderListing listing = ListDayFiles(folder);
    if (!listing.readable) {
        return Refused(name, "the folder cannot be read: " + files::WhyNotReadable(folder).text);
    }
    if (listing.days.empty()) {
        const size_t others = listing.skipped.size();
        return Refused(name, "no kq5trace-YYYY-MM-DD.txt file in the folder holds a trace" +
                                 (others > 0 ? " (" + Counted(others, "other file") + ")" : ""));
    }
    TraceAnalysis analysis;
    const std::string read = ReadDayFiles(listing.days, open, analysis, listing.skipped);
    const size_t count = listing.days.size();
    TraceReport report;
    report.name = name;
    Finalise(
        report, analysis,
        "kq5trace record folder, " + std::to_string(count) + (count == 1 ? " file" : " files"));
    const std::vector<TraceFinding> files = FilesFindings(read, listing.skipped);
    // Right after the lines read, always there.
    const auto linesRead =
        std::find_if(report.findings.begin(), report.findings.end(),
                     [](const TraceFinding& f) { return f.kind == FindingKind::LinesRead; });
    report.findings.insert(linesRead + 1, files.begin(), files.end());
    return report;
}

std::string EscapedPath(const std::filesystem::path& path) {
    return cmdline::Shown(PathText(path));
}

TraceReport ReadTrace(std::istream& trace, const std::string& name) {
    TraceAnalysis analysis;
    analysis.BeginFile("");
    const FileResult file = ReadFile(trace, analysis);
    if (!file.ok) {
        return Refused(name, file.error);
    }
    TraceReport report;
    report.name = name;
    Finalise(report, analysis, LayoutName(file.layout, file.encoding, file.wholeSeconds));
    return report;
}

TraceReport ReadTracePath(const std::filesystem::path& path) {
    std::error_code error;
    if (std::filesystem::is_directory(path, error)) {
        return ReadRecordFolder(path, [](const std::filesystem::path& day) {
            return std::unique_ptr<std::istream>(new std::ifstream(day, std::ios::binary));
        });
    }
    const std::string name = EscapedPath(path);
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        return Refused(name, "cannot be opened: " + files::WhyNotReadable(path).text);
    }
    const TraceReport report = ReadTrace(file, name);
    return file.bad() ? Refused(name, "cannot be read") : report;
}
