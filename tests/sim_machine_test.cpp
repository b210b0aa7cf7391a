// The simulated Windows itself: its threads and time. How its Win32 calls answer is held to
// Windows by the conformance suite (conformance/).
#include "sim_fixture.h"

namespace {

class SimMachineTest : public SimTest {};

TEST_F(SimMachineTest, SimulatedThreadsTakeTurnsInTimeOrder) {
    static std::vector<std::string>* order = nullptr;
    std::vector<std::string> seen;
    order = &seen;
    const int exitCode = sim::RunProcess(
        [] {
            CreateThread(
                nullptr, 0,
                [](LPVOID) -> DWORD {
                    for (;;) {
                        order->push_back("tick " + std::to_string(sim::NowMs()));
                        Sleep(300);
                    }
                },
                nullptr, 0, nullptr);
            Sleep(1000);
            return 7;
        },
        nullptr, 60000);
    EXPECT_EQ(exitCode, 7);
    EXPECT_EQ(seen, (std::vector<std::string>{"tick 0", "tick 300", "tick 600", "tick 900"}));
    EXPECT_EQ(sim::NowMs(), 1000u);
}

}  // namespace
