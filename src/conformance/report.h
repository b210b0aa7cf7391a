// kq5-conformance's report: one line a fact, its verdict first, then the fact's id (which the
// suite's sources name as the line that confirms a fact on Windows) and title, and below it what
// Windows answered where it differs, why it was not run, or Wine's known departures met.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "conformance/facts.h"

namespace conformance {

struct Report {
    std::string program;  // "kq5-conformance 1.0.0"
    std::string system;   // "Windows 10.0 build 19045", "Wine 8.0 (as Windows 10.0 build 19043)"
    std::vector<std::string> options;
    std::vector<Outcome> outcomes;
};

// Runs every fact, those that stop the Spooler only with LAB, naming each on PROGRESS as it
// starts (the report itself goes elsewhere).
std::vector<Outcome> RunFacts(bool lab, std::FILE* progress);

std::string VerdictName(Verdict verdict);
std::string RenderText(const Report& report);
std::string RenderJson(const Report& report);
// 0 only when no fact differs; 1 otherwise.
int ExitCode(const Report& report);

}  // namespace conformance
