// The conformance suite: the Win32 calls kq5 makes, each held to what Windows documents for it.
// One table, run by the host tests against the simulated Windows and by kq5-conformance.exe
// against the Windows (or Wine) it runs on. Each fact names its evidence on an "Evidence:" line
// (a Microsoft page or protocol section, or a Wine or ReactOS conformance test that runs on
// Windows: an ok() that is not todo_wine) or says it is unproven; a fact's `id` starts the line
// of kq5-conformance's report that confirms it on a real Windows machine.
#pragma once

#include <string>
#include <vector>

#include "conformance/check.h"

namespace conformance {

struct Fact {
    const char* id;
    const char* title;
    // What the fact makes on Windows before it runs, and takes away afterwards.
    const char* setUp;
    // Whether it stops and starts the Spooler: only with --lab.
    bool lab;
    void (*run)(Check& check);
};

const std::vector<Fact>& Facts();

struct Outcome {
    std::string id;
    std::string title;
    Verdict verdict = Verdict::NotRun;
    // Differs: each answer that differs; NotRun: why; Held: Wine's known departures met.
    std::vector<std::string> notes;
};

// Runs the fact on a prepared machine and cleans up after it, whatever it ended with.
Outcome RunFact(const Fact& fact, bool lab);

}  // namespace conformance
