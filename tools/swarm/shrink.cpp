// The shrinker: a failing scenario made smaller, one statement of the model at a time, each
// candidate printed and run as the file a person would get.
#include <algorithm>

#include "swarm.h"

namespace {

// The statements that may go: events, faults, the printer and the Spooler's oddities; the queue
// and its ports, the registry, an early control and the end stay.
bool Droppable(Keyword k) {
    return k == Keyword::At || k == Keyword::Fail || k == Keyword::SpoolerStopTime ||
           k == Keyword::SpoolerStartTime || k == Keyword::SpoolerStopHangs ||
           k == Keyword::SpoolerStartBlocks || k == Keyword::SpoolerDependent ||
           k == Keyword::CallTakes || k == Keyword::Printer || k == Keyword::Comment;
}

}  // namespace

Scenario ShrinkScenario(Scenario scenario, const std::string& invariant) {
    const auto breaks = [&](const Scenario& candidate) {
        const std::vector<Broken> broken = CheckScenario(PrintScenario(candidate));
        return std::any_of(broken.begin(), broken.end(),
                           [&](const Broken& b) { return b.invariant == invariant; });
    };
    for (bool changed = true; changed;) {
        changed = false;
        // From the last statement back: dropping one leaves the ones before it where they were.
        const std::vector<Statement> statements = Statements(scenario);
        for (size_t i = statements.size(); i-- > 0;) {
            if (!Droppable(statements[i].keyword)) {
                continue;
            }
            Scenario candidate = scenario;
            DropStatement(candidate, statements[i]);
            if (breaks(candidate)) {
                scenario = std::move(candidate);
                changed = true;
            }
        }
    }
    return scenario;
}
