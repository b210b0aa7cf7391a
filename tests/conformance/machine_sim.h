// How the next facts' simulated machine departs from the simulated Windows as it stands: the
// tests of the verdicts use it for a Windows that answers differently, a set-up that cannot be
// made, a run under Wine.
#pragma once

#include <functional>

namespace conformance::simulated {

struct Variation {
    bool onWine = false;                 // what OnWine() answers
    std::function<void()> afterPrepare;  // run on the fresh machine: a failure injected, ...
};

// Holds for every fact run until the next call; Vary({}) gives back the plain machine.
void Vary(Variation variation);

}  // namespace conformance::simulated
