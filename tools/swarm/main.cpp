// kq5swarm: runs random simulated days of kq5 from seeds and checks every run against the
// invariants; a run that breaks one is shrunk and written out as a scenario file.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <limits>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "cmdline/cmdline.h"
#include "reader_oracle.h"
#include "swarm.h"

namespace {

constexpr const char* kUsage =
    R"(usage: kq5swarm [--seeds A,B,...] [--commit ID [--commit-seeds N]] [--days D] [--minutes M]
                [--out DIR] [--pct D]
       kq5swarm --print SEED [--minutes M]
       kq5swarm --check FILE
       kq5swarm --explore FILE|DIR [--bound B] [--budget N] [--out DIR]
       kq5swarm --invariants
       kq5swarm --reader --seeds A,B,... [--minutes M] [--out DIR]

  --seeds A,B,...     run these seeds (decimal)
  --commit ID         also run seeds derived from this commit id (git rev-parse HEAD) ...
  --commit-seeds N    ... this many of them (default 4)
  --days D            go on with further derived seeds until D simulated days have run (a soak)
  --minutes M         simulated minutes of events in each run before its quiet tail (default 30)
  --out DIR           where a failing run's shrunk scenario is written (default: the
                      build folder's swarm-findings)
  --pct D             run each seed's scenario under a PCT schedule of depth D (from the seed)
                      as well as until blocked: random thread priorities, and D - 1 calls where
                      the running thread's priority drops
  --print SEED        print the scenario of SEED and exit
  --check FILE        run one scenario file, print the invariants it breaks (exit 1 if any);
                      a "# schedule: ..." header line replays that schedule
  --explore FILE|DIR  run the scenario (each *.kq5 of DIR) under every schedule with at most B
                      preemptions (default 2), up to N runs each (default 2000); a schedule that
                      breaks an invariant is printed as the header line that replays it
  --invariants        the invariants, why each matters and when it is not promised (a table)
  --reader            record each seed's day as kq5trace would, with stretches nobody heard,
                      read it back and check the findings and the lanes against the machine
A seed reproduces its run exactly: kq5swarm --print SEED > f.kq5; kq5swarm --check f.kq5;
./run.sh f.kq5 shows its timeline and picture.
  --help, -h, /?      print this text; --version: the version
Exit codes: 0 every invariant holds; 1 one is broken (or --check's file cannot be read);
2 bad usage.
)";

const cmdline::Program kProgram{
    .name = "kq5swarm",
    .version = KQ5_VERSION,
    .help = kUsage,
    .options = {{"--seeds", "A,B,...", true},
                {"--commit", "ID"},
                {"--commit-seeds", "N"},
                {"--days", "D"},
                {"--minutes", "M"},
                {"--out", "DIR"},
                {"--pct", "D"},
                {"--print", "SEED"},
                {"--check", "FILE"},
                {"--explore", "FILE|DIR"},
                {"--bound", "B"},
                {"--budget", "N"},
                {"--invariants"},
                {"--reader"}},
    .forms = {{"kq5swarm [--seeds A,B,...] [--commit ID [--commit-seeds N]] [--days D] "
               "[--minutes M] [--out DIR] [--pct D]",
               {"--seeds", "--commit", "--commit-seeds", "--days", "--minutes", "--out", "--pct"}},
              {"kq5swarm --print SEED [--minutes M]", {"--print", "--minutes"}, "--print"},
              {"kq5swarm --check FILE", {"--check"}, "--check"},
              {"kq5swarm --explore FILE|DIR [--bound B] [--budget N] [--out DIR]",
               {"--explore", "--bound", "--budget", "--out"},
               "--explore"},
              {"kq5swarm --invariants", {"--invariants"}, "--invariants"},
              {"kq5swarm --reader --seeds A,B,... [--minutes M] [--out DIR]",
               {"--reader", "--seeds", "--minutes", "--out"},
               "--reader"}}};

// False, with the C library's reason, when PATH cannot be read.
bool ReadFile(const std::string& path, std::string& text) {
    errno = 0;
    std::ifstream file(path);
    std::stringstream content;
    content << file.rdbuf();
    if (!file || std::filesystem::is_directory(path)) {
        const int error = errno != 0 ? errno : EISDIR;
        std::fprintf(stderr, "kq5swarm: %s cannot be read: %s (errno %d)\n", path.c_str(),
                     std::strerror(error), error);
        return false;
    }
    text = content.str();
    return true;
}

// Seeds from "A,B,..." (decimal); false when an item is not a number.
bool ParseSeeds(const std::string& list, std::vector<uint64_t>& seeds) {
    std::stringstream in(list);
    for (std::string item; std::getline(in, item, ',');) {
        long long seed = 0;
        if (!cmdline::WholeNumber(item, 0, std::numeric_limits<long long>::max(), seed)) {
            return false;
        }
        seeds.push_back(static_cast<uint64_t>(seed));
    }
    return !list.empty();
}

int CheckFile(const std::string& path) {
    std::string text;
    if (!ReadFile(path, text)) {
        return 1;
    }
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

struct SwarmOptions {
    std::vector<uint64_t> seeds;
    std::string commit;
    long long commitSeeds = 4;
    double days = 0;
    long long minutes = 30;
    long long pct = 0;
    long long bound = 2;
    long long budget = 2000;
    std::string out = KQ5_FINDINGS_DIR;
};

// The numbers of the command line; empty when all are good, else the refusal.
std::string ReadNumbers(const cmdline::Parsed& parsed, SwarmOptions& options) {
    const cmdline::Program& program = kProgram;
    for (const std::string& list : parsed.Values("--seeds")) {
        if (!ParseSeeds(list, options.seeds)) {
            return cmdline::Refusal(program, parsed.form,
                                    "--seeds takes decimal seeds A,B,..., not '" + list + "'");
        }
    }
    const auto whole = [&](const char* option, long long from, long long to, long long& value) {
        return !parsed.Has(option) || cmdline::WholeNumber(parsed.Value(option), from, to, value);
    };
    if (!whole("--commit-seeds", 0, 100000, options.commitSeeds)) {
        return cmdline::Refusal(program, parsed.form, "--commit-seeds takes 0 to 100000");
    }
    if (!whole("--minutes", 1, 100000, options.minutes)) {
        return cmdline::Refusal(program, parsed.form, "--minutes takes 1 to 100000");
    }
    if (!whole("--pct", 0, 1000, options.pct) || !whole("--bound", 0, 10, options.bound) ||
        !whole("--budget", 1, 100000000, options.budget)) {
        return cmdline::Refusal(program, parsed.form,
                                "--pct takes 0 to 1000, --bound 0 to 10, --budget 1 to 100000000");
    }
    if (parsed.Has("--days") && !cmdline::Number(parsed.Value("--days"), 0, 10000, options.days)) {
        return cmdline::Refusal(program, parsed.form, "--days takes a number from 0 to 10000");
    }
    options.commit = parsed.Value("--commit");
    options.out = parsed.Value("--out", KQ5_FINDINGS_DIR);
    return "";
}

// Prints what a seed's run broke.
void ReportSeed(uint64_t seed, int runs, double seconds, const Explored& explored) {
    const Broken& first = explored.broken.front();
    std::printf("seed %llu broke %s (run %d, %.1f s): %s\n", static_cast<unsigned long long>(seed),
                first.invariant.c_str(), runs, seconds, first.detail.c_str());
    for (size_t b = 1; b < explored.broken.size(); ++b) {
        std::printf("seed %llu also broke %s: %s\n", static_cast<unsigned long long>(seed),
                    explored.broken[b].invariant.c_str(), explored.broken[b].detail.c_str());
    }
}

bool Preempts(const sim::Schedule& schedule) {
    return schedule.kind == sim::Schedule::Kind::Pct || !schedule.points.empty();
}

// Writes the failing scenario to OUT/NAME-INVARIANT.kq5: shrunk when it failed until blocked;
// with its schedule as a header line, and whole, when a preemption made it fail (dropping a
// statement moves the calls the schedule counts).
void WriteFinding(const std::string& out, const std::string& name, const Scenario& scenario,
                  const Explored& explored) {
    const Broken& first = explored.broken.front();
    Scenario kept = scenario;
    if (Preempts(explored.schedule)) {
        kept = Scheduled(scenario, explored.schedule);
        std::printf("%s\n", ScheduleLine(explored.schedule).substr(1).c_str());
    } else {
        kept = ShrinkScenario(scenario, first.invariant);
        kept.header.clear();
    }
    kept.header.insert(kept.header.begin(), " " + first.invariant + ": " + first.detail);
    const std::string path = out + "/" + name + "-" + first.invariant + ".kq5";
    std::error_code ignored;  // a folder that cannot be made fails the write, said below
    std::filesystem::create_directories(out, ignored);
    if (!(std::ofstream(path) << PrintScenario(kept))) {
        std::fprintf(stderr, "kq5swarm: %s cannot be written\n", path.c_str());
    }
    std::printf("%s scenario: %s\n", Preempts(explored.schedule) ? "scheduled" : "shrunk",
                path.c_str());
}

// Runs the seeds (and more, for a soak) until one breaks an invariant.
int RunSwarm(SwarmOptions options) {
    const std::string origin = options.commit.empty() ? "kq5" : options.commit;
    for (int i = 0; i < options.commitSeeds && !options.commit.empty(); ++i) {
        options.seeds.push_back(SeedFromCommit(options.commit, i));
    }
    std::printf("kq5swarm: seeds");
    for (const uint64_t seed : options.seeds) {
        std::printf(" %llu", static_cast<unsigned long long>(seed));
    }
    std::printf("%s\n", options.days > 0 ? " and more until the soak's days" : "");
    std::fflush(stdout);

    const auto began = std::chrono::steady_clock::now();
    uint64_t simulatedMs = 0;
    int runs = 0;
    const uint64_t wantedMs = static_cast<uint64_t>(options.days * 86400000.0);
    for (size_t i = 0; i < options.seeds.size() || simulatedMs < wantedMs; ++i) {
        const uint64_t seed = i < options.seeds.size()
                                  ? options.seeds[i]
                                  : SeedFromCommit(origin, static_cast<int>(i + 1000));
        const Scenario scenario = GenerateScenario(seed, static_cast<int>(options.minutes));
        Explored explored;
        if (options.pct > 0) {
            explored = PctScenario(scenario, seed, static_cast<int>(options.pct));
        } else {
            explored.broken = CheckScenario(PrintScenario(scenario));
        }
        simulatedMs += scenario.endMs;
        ++runs;
        if (!explored.broken.empty()) {
            const double seconds =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
            ReportSeed(seed, runs, seconds, explored);
            WriteFinding(options.out, "swarm-" + std::to_string(seed), scenario, explored);
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

// The scenario files to explore: FILE, or every *.kq5 in DIR (in name order).
std::vector<std::string> ScenarioFiles(const std::string& where) {
    if (!std::filesystem::is_directory(where)) {
        return {where};
    }
    std::vector<std::string> files;
    for (const auto& entry : std::filesystem::directory_iterator(where)) {
        if (entry.path().extension() == ".kq5") {
            files.push_back(entry.path().string());
        }
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Explores one file's schedules: false when it cannot be read or a schedule breaks an invariant.
bool ExploreFile(const SwarmOptions& options, const std::string& path, int& schedules) {
    std::string text;
    Scenario scenario;
    std::string error;
    if (!ReadFile(path, text)) {
        return false;  // said on standard error
    }
    if (!ParseScenario(text, scenario, error)) {
        std::printf("%s broke scenario-parses: %s\n", path.c_str(), error.c_str());
        return false;
    }
    const Explored explored = ExploreScenario(scenario, static_cast<int>(options.bound),
                                              static_cast<int>(options.budget));
    schedules += explored.runs;
    for (const Broken& b : explored.broken) {
        std::printf("%s broke %s (schedule %d): %s\n", path.c_str(), b.invariant.c_str(),
                    explored.runs, b.detail.c_str());
    }
    if (!explored.broken.empty()) {
        const std::string name = std::filesystem::path(path).stem().string();
        WriteFinding(options.out, "explore-" + name, scenario, explored);
        return false;
    }
    std::printf("%s: %d schedules%s, every invariant holds\n", path.c_str(), explored.runs,
                explored.complete ? "" : " (the budget's end)");
    return true;
}

int ExploreFiles(const SwarmOptions& options, const std::string& where) {
    const auto began = std::chrono::steady_clock::now();
    int schedules = 0;
    bool held = true;
    const std::vector<std::string> files = ScenarioFiles(where);
    if (files.empty()) {
        // A wrong folder is said so, not found to hold every invariant.
        std::fprintf(stderr, "kq5swarm: %s holds no scenario file (*.kq5)\n", where.c_str());
        return 1;
    }
    for (const std::string& path : files) {
        held = ExploreFile(options, path, schedules) && held;
        std::fflush(stdout);
    }
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    std::printf("kq5swarm: %d schedules explored (at most %lld preemptions each) in %.1f s\n",
                schedules, options.bound, seconds);
    return held ? 0 : 1;
}

int Run(const cmdline::Parsed& parsed) {
    SwarmOptions options;
    const std::string refused = ReadNumbers(parsed, options);
    long long seed = 0;
    if (refused.empty() && parsed.Has("--print") &&
        !cmdline::WholeNumber(parsed.Value("--print"), 0, std::numeric_limits<long long>::max(),
                              seed)) {
        std::fputs(cmdline::Refusal(kProgram, parsed.form, "--print takes a decimal seed").c_str(),
                   stderr);
        return 2;
    }
    if (!refused.empty()) {
        std::fputs(refused.c_str(), stderr);
        return 2;
    }
    if (parsed.Has("--print")) {
        const Scenario scenario =
            GenerateScenario(static_cast<uint64_t>(seed), static_cast<int>(options.minutes));
        std::fputs(PrintScenario(scenario).c_str(), stdout);
        return 0;
    }
    if (parsed.Has("--check")) {
        return CheckFile(parsed.Value("--check"));
    }
    if (parsed.Has("--explore")) {
        return ExploreFiles(options, parsed.Value("--explore"));
    }
    if (parsed.Has("--reader")) {
        return JudgeSeeds(options.seeds, static_cast<int>(options.minutes), options.out);
    }
    if (parsed.Has("--invariants")) {
        std::fputs(InvariantsTable().c_str(), stdout);
        return 0;
    }
    return RunSwarm(options);
}

}  // namespace

int main(int argc, char** argv) {
    return cmdline::Main(kProgram, {argv + 1, argv + argc}, Run);
}
