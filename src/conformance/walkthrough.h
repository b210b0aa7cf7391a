// kq5-conformance --lab --printer: the steps only a lab PC with the real printer and the
// installed service can show (walkthrough.cpp), prompted on `prompts`.
#pragma once

#include <cstdio>
#include <vector>

#include "conformance/facts.h"
#include "conformance/machine.h"

namespace conformance {

std::vector<Outcome> RunPrinterWalkthrough(std::FILE* prompts);

}  // namespace conformance
