// kq5sim: runs the real kq5 service in the simulated Windows on a scenario and prints what it did
// to the print queue, in simulated time.
//   kq5sim           the built-in default scenario
//   kq5sim FILE      a scenario file
#include <cstdio>
#include <fstream>
#include <sstream>

#include "scenario.h"

int main(int argc, char** argv) {
    std::string text = DefaultScenarioText();
    std::string name = "built-in default scenario";
    if (argc > 2) {
        std::fprintf(stderr, "usage: kq5sim [SCENARIO-FILE]\n");
        return 2;
    }
    if (argc == 2) {
        std::ifstream file(argv[1], std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "kq5sim: cannot read %s\n", argv[1]);
            return 2;
        }
        std::ostringstream content;
        content << file.rdbuf();
        text = content.str();
        name = argv[1];
    }
    Scenario scenario;
    std::string error;
    if (!ParseScenario(text, scenario, error)) {
        std::fprintf(stderr, "kq5sim: %s: %s\n", name.c_str(), error.c_str());
        return 2;
    }
    std::printf("kq5sim: %s\n\n", name.c_str());
    const ScenarioResult result = RunScenario(scenario);
    std::fputs(FormatTimeline(result).c_str(), stdout);
    return 0;
}
