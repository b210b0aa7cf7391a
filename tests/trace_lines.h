// Traces written line by line for the tests of the trace reader, and read back.
#pragma once

#include <sstream>
#include <string>

#include "tracelog/format.h"
#include "tracereader/read.h"

// A trace read from TEXT, and its findings as printed (empty when it is no trace).
struct Read {
    TraceReport report;
    std::string findings;
    explicit Read(const std::string& text) {
        std::istringstream in(text);
        report = ReadTrace(in, "test");
        findings = report.ok ? FormatFindings(report.findings) : "";
    }
};

// A kq5trace line of process 42 on 2026-12-07 at STAMP ("09:00:00.000 +01:00"), TEXT printable.
inline std::string Kq5(const std::string& stamp, const std::string& text) {
    return EntryLine("2026-12-07 " + stamp, 42, text);
}

inline const std::string kHeader = HeaderTitle("1.0.0", "kq5") + "\n";

// LINE COUNT times over.
inline std::string Times(const std::string& line, int count) {
    std::string lines;
    for (int i = 0; i < count; ++i) {
        lines += line;
    }
    return lines;
}
