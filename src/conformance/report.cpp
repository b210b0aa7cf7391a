#include "conformance/report.h"

#include "doctor/text.h"

namespace conformance {
namespace {

int Count(const Report& report, Verdict verdict) {
    int count = 0;
    for (const Outcome& outcome : report.outcomes) {
        count += outcome.verdict == verdict ? 1 : 0;
    }
    return count;
}

std::string NoteLead(Verdict verdict) {
    switch (verdict) {
        case Verdict::Differs:
            return "differs: ";
        case Verdict::NotRun:
            return "why: ";
        case Verdict::Held:
            break;
    }
    return "Wine's known departure: ";
}

std::string JsonList(const std::vector<std::string>& items) {
    std::string out = "[";
    for (size_t i = 0; i < items.size(); ++i) {
        out += (i ? ", " : "") + JsonString(items[i]);
    }
    return out + "]";
}

}  // namespace

std::vector<Outcome> RunFacts(bool lab, std::FILE* progress) {
    std::vector<Outcome> outcomes;
    for (const Fact& fact : Facts()) {
        std::fprintf(progress, "running %s\n", fact.id);
        outcomes.push_back(RunFact(fact, lab));
    }
    return outcomes;
}

std::string VerdictName(Verdict verdict) {
    switch (verdict) {
        case Verdict::Held:
            return "held";
        case Verdict::Differs:
            return "differs";
        case Verdict::NotRun:
            break;
    }
    return "not run";
}

std::string RenderText(const Report& report) {
    std::string out = report.program + " on " + report.system + "\n";
    if (!report.options.empty()) {
        out += "options:";
        for (const std::string& option : report.options) {
            out += " " + option;
        }
        out += "\n";
    }
    for (const Outcome& outcome : report.outcomes) {
        std::string verdict = VerdictName(outcome.verdict);
        verdict.resize(8, ' ');
        out += verdict + " " + outcome.id + "  " + outcome.title + "\n";
        for (const std::string& note : outcome.notes) {
            out += "           " + NoteLead(outcome.verdict) + note + "\n";
        }
    }
    out += std::to_string(Count(report, Verdict::Held)) + " held, " +
           std::to_string(Count(report, Verdict::Differs)) + " differ, " +
           std::to_string(Count(report, Verdict::NotRun)) + " not run\n";
    return out;
}

std::string RenderJson(const Report& report) {
    std::string out = "{\n  \"program\": " + JsonString(report.program) +
                      ",\n  \"system\": " + JsonString(report.system) +
                      ",\n  \"options\": " + JsonList(report.options) + ",\n  \"facts\": [";
    for (size_t i = 0; i < report.outcomes.size(); ++i) {
        const Outcome& outcome = report.outcomes[i];
        out += std::string(i ? "," : "") + "\n    {\"id\": " + JsonString(outcome.id) +
               ", \"title\": " + JsonString(outcome.title) +
               ", \"verdict\": " + JsonString(VerdictName(outcome.verdict)) +
               ", \"notes\": " + JsonList(outcome.notes) + "}";
    }
    out += "\n  ],\n  \"held\": " + std::to_string(Count(report, Verdict::Held)) +
           ",\n  \"differ\": " + std::to_string(Count(report, Verdict::Differs)) +
           ",\n  \"not_run\": " + std::to_string(Count(report, Verdict::NotRun)) + "\n}\n";
    return out;
}

int ExitCode(const Report& report) {
    return Count(report, Verdict::Differs) == 0 ? 0 : 1;
}

}  // namespace conformance
