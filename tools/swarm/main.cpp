// kq5swarm: runs random simulated days of kq5 from seeds and checks every run against the
// invariants; a run that breaks one is shrunk and written out as a scenario file.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "swarm.h"

namespace {

constexpr const char* kUsage = R"(usage: kq5swarm [OPTIONS]
  --seeds A,B,...     run these seeds (decimal)
  --commit ID         also run seeds derived from this commit id (git rev-parse HEAD) ...
  --commit-seeds N    ... this many of them (default 4)
  --days D            go on with further derived seeds until D simulated days have run (a soak)
  --minutes M         simulated minutes of events in each run before its quiet tail (default 30)
  --out DIR           where a failing run's shrunk scenario is written (default .)
  --print SEED        print the scenario of SEED and exit
  --check FILE        run one scenario file, print the invariants it breaks (exit 1 if any)
  --invariants        the invariants, why each matters and when it is not promised (a table)
A seed reproduces its run exactly: kq5swarm --print SEED > f.kq5; kq5swarm --check f.kq5;
./run.sh f.kq5 shows its timeline and picture.
)";

std::string ReadFile(const std::string& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

std::vector<uint64_t> ParseSeeds(const std::string& list) {
    std::vector<uint64_t> seeds;
    std::stringstream in(list);
    for (std::string item; std::getline(in, item, ',');) {
        if (!item.empty()) {
            seeds.push_back(std::strtoull(item.c_str(), nullptr, 10));
        }
    }
    return seeds;
}

int CheckFile(const std::string& path) {
    if (!std::ifstream(path)) {
        std::fprintf(stderr, "kq5swarm: cannot read %s\n", path.c_str());
        return 2;  // not a scenario that holds every invariant
    }
    const std::string text = ReadFile(path);
    const std::vector<Broken> broken = CheckScenario(text);
    for (const Broken& b : broken) {
        std::printf("%s broke %s: %s\n", path.c_str(), b.invariant.c_str(), b.detail.c_str());
    }
    if (broken.empty()) {
        std::printf("%s: every invariant holds (%.1f simulated minutes)\n", path.c_str(),
                    static_cast<double>(ScenarioSpanMs(text)) / 60000.0);
    }
    return broken.empty() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<uint64_t> seeds;
    std::string commit;
    int commitSeeds = 4;
    double days = 0;
    int minutes = 30;
    std::string out = ".";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const bool more = i + 1 < argc;
        if (arg == "--seeds" && more) {
            const std::vector<uint64_t> given = ParseSeeds(argv[++i]);
            seeds.insert(seeds.end(), given.begin(), given.end());
        } else if (arg == "--commit" && more) {
            commit = argv[++i];
        } else if (arg == "--commit-seeds" && more) {
            commitSeeds = std::atoi(argv[++i]);
        } else if (arg == "--days" && more) {
            days = std::atof(argv[++i]);
        } else if (arg == "--minutes" && more) {
            minutes = std::max(1, std::atoi(argv[++i]));
        } else if (arg == "--out" && more) {
            out = argv[++i];
        } else if (arg == "--print" && more) {
            std::fputs(GenerateScenario(std::strtoull(argv[++i], nullptr, 10), minutes).c_str(),
                       stdout);
            return 0;
        } else if (arg == "--check" && more) {
            return CheckFile(argv[++i]);
        } else if (arg == "--invariants") {
            std::fputs(InvariantsTable().c_str(), stdout);
            return 0;
        } else {
            std::fputs(kUsage, arg == "--help" ? stdout : stderr);
            return arg == "--help" ? 0 : 2;
        }
    }
    const std::string origin = commit.empty() ? "kq5" : commit;
    for (int i = 0; i < commitSeeds && !commit.empty(); ++i) {
        seeds.push_back(SeedFromCommit(commit, i));
    }
    std::printf("kq5swarm: seeds");
    for (const uint64_t seed : seeds) {
        std::printf(" %llu", static_cast<unsigned long long>(seed));
    }
    std::printf("%s\n", days > 0 ? " and more until the soak's days" : "");
    std::fflush(stdout);

    const auto began = std::chrono::steady_clock::now();
    uint64_t simulatedMs = 0;
    int runs = 0;
    const uint64_t wantedMs = static_cast<uint64_t>(days * 86400000.0);
    for (size_t i = 0; i < seeds.size() || simulatedMs < wantedMs; ++i) {
        const uint64_t seed =
            i < seeds.size() ? seeds[i] : SeedFromCommit(origin, static_cast<int>(i + 1000));
        const std::string text = GenerateScenario(seed, minutes);
        const std::vector<Broken> broken = CheckScenario(text);
        simulatedMs += ScenarioSpanMs(text);
        ++runs;
        if (!broken.empty()) {
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
            const Broken& first = broken.front();
            std::printf("seed %llu broke %s (run %d, %.1f s): %s\n",
                        static_cast<unsigned long long>(seed), first.invariant.c_str(), runs,
                        seconds, first.detail.c_str());
            for (size_t b = 1; b < broken.size(); ++b) {
                std::printf("seed %llu also broke %s: %s\n", static_cast<unsigned long long>(seed),
                            broken[b].invariant.c_str(), broken[b].detail.c_str());
            }
            const std::string shrunk = ShrinkScenario(text, first.invariant);
            const std::string path =
                out + "/swarm-" + std::to_string(seed) + "-" + first.invariant + ".kq5";
            std::ofstream(path) << "# " << first.invariant << ": " << first.detail << "\n"
                                << shrunk;
            std::printf("shrunk scenario: %s\n", path.c_str());
            return 1;
        }
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const double simulatedDays = static_cast<double>(simulatedMs) / 86400000.0;
    std::printf(
        "kq5swarm: %d runs, %.2f simulated days in %.1f s (%.2f days/s), invariants "
        "broken: 0\n",
        runs, simulatedDays, seconds, seconds > 0 ? simulatedDays / seconds : 0.0);
    return 0;
}
