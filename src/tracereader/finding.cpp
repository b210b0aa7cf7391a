// Findings to text: the edge where a finding's record becomes the lines kq5trace --read prints.
#include "tracereader/finding.h"

#include <cstdio>

std::string DurationText(uint64_t ms) {
    char text[48];
    if (ms < 60000) {
        std::snprintf(text, sizeof text, "%.1f s", static_cast<double>(ms) / 1000);
    } else if (ms < 3600000) {
        std::snprintf(text, sizeof text, "%llu min %llu s",
                      static_cast<unsigned long long>(ms / 60000),
                      static_cast<unsigned long long>(ms / 1000 % 60));
    } else {
        std::snprintf(text, sizeof text, "%llu h %llu min",
                      static_cast<unsigned long long>(ms / 3600000),
                      static_cast<unsigned long long>(ms / 60000 % 60));
    }
    return text;
}

std::string Counted(size_t count, const std::string& noun) {
    return std::to_string(count) + " " + noun + (count == 1 ? "" : "s");
}

// Line NUMBER, of FILE when the trace has more than one.
std::string LineWhere(const std::string& file, size_t number) {
    return file.empty() ? std::to_string(number) : file + ":" + std::to_string(number);
}

std::string FindingHeadline(const TraceFinding& f) {
    return f.lineNumber == 0 ? f.says : "line " + LineWhere(f.file, f.lineNumber) + ": " + f.says;
}

// The text: a finding's first line indented by two, its detail by four, its summing up by two.
std::string FormatFindings(const std::vector<TraceFinding>& findings) {
    std::string out = "Findings:\n";
    for (const TraceFinding& f : findings) {
        out += "  " + FindingHeadline(f) + "\n";
        for (const std::string& line : f.detail) {
            out += "    " + line + "\n";
        }
        if (!f.more.empty()) {
            out += "  " + f.more + "\n";
        }
    }
    return out;
}
