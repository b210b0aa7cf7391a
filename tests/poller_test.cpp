// The status poller, driven one cycle at a time.
#include "monitor/status_poller.h"

#include "device/device.h"

#include "sim_fixture.h"

namespace {

class PollerTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        AddQueue();
        PlugPrinter("P1");
    }
    static void SetCode(BYTE code) {
        sim::SetDeviceFrame(PrinterPath("P1"), {0x10, 0x01, 0x00, code, 0x00});
    }
    static void OpenDevice() { serviceState.deviceHandle = FindAndOpenPrinterDevice(); }
    static std::vector<std::string> QueueCommands() {
        std::vector<std::string> commands;
        for (const std::string& call : sim::CallsOf({"SetPrinterW"})) {
            commands.push_back(call.substr(call.find(", ") + 2));
        }
        return commands;
    }
};

TEST(ClassifyStatus, OnlyTheListedCodesAct) {
    int acting = 0;
    for (int value = 0; value < 256; ++value) {
        acting += ClassifyStatus(static_cast<std::int8_t>(value)) != QueueAction::None ? 1 : 0;
    }
    EXPECT_EQ(acting, 8);
    EXPECT_EQ(ClassifyStatus(0x04), QueueAction::DoorOpen);
    EXPECT_EQ(ClassifyStatus(0x0C), QueueAction::DoorOpen);
    EXPECT_EQ(ClassifyStatus(0x00), QueueAction::PaperOut);
    EXPECT_EQ(ClassifyStatus(0x08), QueueAction::PaperOut);
    EXPECT_EQ(ClassifyStatus(static_cast<std::int8_t>(0x80)), QueueAction::PaperOut);
    EXPECT_EQ(ClassifyStatus(0x20), QueueAction::Ready);
    EXPECT_EQ(ClassifyStatus(0x28), QueueAction::Ready);
    EXPECT_EQ(ClassifyStatus(static_cast<std::int8_t>(0xA0)), QueueAction::Ready);
    EXPECT_EQ(ClassifyStatus(static_cast<std::int8_t>(0x84)), QueueAction::None);
}

TEST_F(PollerTest, EachCodeIsMirroredAndLoggedSigned) {
    OpenDevice();
    const struct {
        BYTE code;
        std::vector<std::string> commands;
        const char* line;
    } cases[] = {
        {0x0C, {"0, 0x0, 1)", "0, 0x400000, 4)"}, "KQ5 STATUS:12\r\n"},
        {0x08, {"0, 0x0, 1)", "0, 0x10, 4)"}, "KQ5 STATUS:8\r\n"},
        {0xA0, {"0, 0x0, 2)", "0, 0x0, 4)"}, "KQ5 STATUS:-96\r\n"},
        {0x84, {}, "KQ5 STATUS:-124\r\n"},
    };
    for (const auto& c : cases) {
        sim::ClearCalls();
        SetCode(c.code);
        RunPollCycle();
        EXPECT_EQ(QueueCommands(), c.commands) << int(c.code);
        EXPECT_EQ(sim::DebugLines().back(), c.line);
    }
}

TEST_F(PollerTest, SameCodeIsReappliedOnEveryCycle) {
    OpenDevice();
    SetCode(0x04);
    for (int i = 0; i < 10; ++i) {
        RunPollCycle();
    }
    EXPECT_EQ(sim::CallCount("SetPrinterW"), 20);
    EXPECT_EQ(Count(sim::DebugLines(), "KQ5 STATUS:4\r\n"), 10);
}

TEST_F(PollerTest, RemovedDeviceIsLoggedButLeavesTheQueueAlone) {
    OpenDevice();
    serviceState.deviceRemoved = 1;
    SetCode(0x04);
    RunPollCycle();
    EXPECT_EQ(sim::CallCount("SetPrinterW"), 0);
    EXPECT_EQ(sim::DebugLines().back(), "KQ5 STATUS:4\r\n");
}

TEST_F(PollerTest, AbsentPrinterIsOnlyRediscoveredOnRequest) {
    sim::UnplugDevice(PrinterPath("P1"));
    OpenDevice();
    RunPollCycle();
    RunPollCycle();
    EXPECT_EQ(sim::CallCount("ReadFile"), 0);
    EXPECT_EQ(sim::CallCount("SetupDiGetClassDevsW"), 1);
    sim::PlugDevice(PrinterPath("P1"));
    RunPollCycle();
    EXPECT_EQ(sim::CallCount("SetupDiGetClassDevsW"), 1);
    serviceState.reopenRequested = 1;
    RunPollCycle();
    EXPECT_EQ(serviceState.reopenRequested, 0);
    EXPECT_EQ(sim::CallCount("ReadFile"), 1);
}

TEST_F(PollerTest, ReopenClosesThePreviousHandleFirst) {
    OpenDevice();
    serviceState.reopenRequested = 1;  // e.g. after another USB device arrived
    RunPollCycle();
    EXPECT_EQ(sim::OpenHandles(), std::vector<std::string>{"device#2"});
    EXPECT_NE(serviceState.deviceHandle, INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim::CallCount("ReadFile"), 1);
}

TEST_F(PollerTest, FailedOrShortReadTakesNoActionAndWritesNoLine) {
    OpenDevice();
    SetCode(0x20);
    sim::ScriptDeviceReadFailure(PrinterPath("P1"), ERROR_GEN_FAILURE);
    sim::ScriptDeviceRead(PrinterPath("P1"), {0x10, 0x01, 0x00});
    RunPollCycle();  // the very first read fails: no paper-out from zeroed bytes
    RunPollCycle();
    EXPECT_EQ(sim::CallCount("SetPrinterW"), 0);
    EXPECT_TRUE(sim::DebugLines().empty() || sim::DebugLines().back().rfind("KQ5", 0) != 0);
    RunPollCycle();
    EXPECT_EQ(sim::DebugLines().back(), "KQ5 STATUS:32\r\n");
    EXPECT_EQ(serviceState.statusFrame[3], 0x20);
}

TEST_F(PollerTest, UnpluggedPrinterStopsReadsWithoutSideEffects) {
    OpenDevice();
    sim::UnplugDevice(PrinterPath("P1"));
    RunPollCycle();
    EXPECT_EQ(sim::CallCount("ReadFile"), 1);
    EXPECT_EQ(sim::CallCount("SetPrinterW"), 0);
}

}  // namespace
