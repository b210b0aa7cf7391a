// Traces written line by line for the tests of the trace reader, and read back.
#pragma once

#include <sstream>
#include <string>

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

// A kq5trace line of process 42 on 2026-12-07 at STAMP ("09:00:00.000 +01:00").
inline std::string Kq5(const std::string& stamp, const std::string& text) {
    return "2026-12-07 " + stamp + "\t[42] " + text + "\n";
}

inline constexpr const char* kHeader = "# kq5trace 1.0.0: debugger lines of the service kq5\n";

// LINE COUNT times over.
inline std::string Times(const std::string& line, int count) {
    std::string lines;
    for (int i = 0; i < count; ++i) {
        lines += line;
    }
    return lines;
}
