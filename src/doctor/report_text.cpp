// The report as lines: each finding with its verdict and its fix, then the closing sentence.
#include "doctor/report.h"

std::string RenderText(const std::vector<Finding>& findings) {
    std::string out;
    for (const Finding& finding : findings) {
        switch (finding.verdict) {
            case Verdict::Ok:
                out += "ok       ";
                break;
            case Verdict::Problem:
                out += "PROBLEM  ";
                break;
            case Verdict::CannotLook:
                out += "CANNOT   ";
                break;
        }
        out += finding.text + "\n";
        if (!finding.fix.empty()) {
            out += "         fix: " + finding.fix + "\n";
        }
    }
    const int code = ExitCode(findings);
    out += code == 0   ? "Nothing wrong found.\n"
           : code == 1 ? "Problems found: see the PROBLEM lines and their fixes.\n"
                       : "kq5doctor could not look at everything: see the CANNOT lines.\n";
    return out;
}
