// Judging the gathered facts: each a finding with its key, its verdict, its words and its fix,
// typed until a writer (report.h) puts them into lines or JSON.
#pragma once

#include <string>
#include <vector>

#include "doctor/doctor.h"

// A fact that is fine, a problem with its fix, or something the doctor could not look at.
enum class Verdict { Ok, Problem, CannotLook };

struct Finding {
    std::string key;  // stable name, as in the JSON "problems" list
    Verdict verdict = Verdict::Ok;
    std::string text;
    std::string fix;  // empty when the verdict is Ok
};

std::vector<Finding> Judge(const Facts& facts);

// 0 nothing wrong, 1 a problem found, 2 the doctor could not look.
int ExitCode(const std::vector<Finding>& findings);
