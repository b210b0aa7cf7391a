// The status poller, driven one cycle at a time.
#include "monitor/status_poller.h"

#include <algorithm>
#include <map>

#include "device/device.h"
#include "sim_fixture.h"

namespace {

class PollerTest : public SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        AddQueue();
        PlugPrinter("P1");
        serviceState.deviceHandle = FindAndOpenPrinterDevice();
        sim::ClearCalls();
    }
    static void SetCode(BYTE code) {
        sim::SetDeviceFrame(PrinterPath("P1"), {0x10, 0x01, 0x00, code, 0x00});
    }
    // The queue commands and status lines of the cycles so far, in order.
    static std::vector<std::string> Trace() {
        std::vector<std::string> trace;
        for (const std::string& call : sim::CallsOf({"SetPrinterW", "OutputDebugStringA"})) {
            trace.push_back(call.substr(call.find(call[0] == 'S' ? ", " : "(") + 1));
        }
        return trace;
    }
};

// Every one of the 256 codes: the listed ones act (the command, then the status word), all are
// logged as signed numbers after the action, and nothing else happens.
TEST_F(PollerTest, EachCodeIsMirroredThenLoggedSigned) {
    const std::string pause = " 0, 0x0, 1)", resume = " 0, 0x0, 2)";
    const std::vector<std::string> kNone;
    const std::string door = " 0, 0x400000, 4)", paper = " 0, 0x10, 4)", ready = " 0, 0x0, 4)";
    const std::map<int, std::vector<std::string>> acting = {
        {0x04, {pause, door}},   {0x0C, {pause, door}},  {0x00, {pause, paper}},
        {0x08, {pause, paper}},  {0x80, {pause, paper}}, {0x20, {resume, ready}},
        {0x28, {resume, ready}}, {0xA0, {resume, ready}}};
    for (int code = 0; code < 256; ++code) {
        sim::ClearCalls();
        SetCode(static_cast<BYTE>(code));
        RunPollCycle();
        std::vector<std::string> expected = acting.count(code) != 0 ? acting.at(code) : kNone;
        expected.push_back("\"KQ5 STATUS:" + std::to_string(static_cast<std::int8_t>(code)) +
                           "\\r\\n\")");
        EXPECT_EQ(Trace(), expected) << code;
    }
}

TEST_F(PollerTest, SameCodeIsReappliedOnEveryCycleAndNotWhileRemoved) {
    SetCode(0x04);
    for (int i = 0; i < 10; ++i) {
        RunPollCycle();
    }
    EXPECT_EQ(sim::CallCount("SetPrinterW"), 20);
    serviceState.deviceRemoved = 1;
    RunPollCycle();
    EXPECT_EQ(sim::CallCount("SetPrinterW"), 20);
    const std::vector<std::string> lines = sim::DebugLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), "KQ5 STATUS:4\r\n"), 11);
}

// The device is looked for again only when the handler asks; the request is taken before the
// search, so one made while the search runs is not lost; the old handle is closed first, since
// one left open would make the new open fail (the printer opens one handle at a time).
TEST_F(PollerTest, DeviceIsReopenedOnlyOnRequest) {
    CloseHandle(serviceState.deviceHandle);
    serviceState.deviceHandle = INVALID_HANDLE_VALUE;  // as when start-up found no printer
    RunPollCycle();
    RunPollCycle();
    EXPECT_EQ(sim::CallCount("ReadFile") + sim::CallCount("SetupDiGetClassDevsW"), 0);
    serviceState.reopenRequested = 1;
    sim::AtCall("SetupDiGetClassDevsW", 2, [] { serviceState.reopenRequested = 1; });
    RunPollCycle();
    EXPECT_EQ(serviceState.reopenRequested, 1);
    RunPollCycle();
    EXPECT_EQ(serviceState.reopenRequested, 0);
    EXPECT_EQ(sim::CallCount("ReadFile"), 2);
    EXPECT_EQ(sim::OpenHandles(), std::vector<std::string>{"device#3"});
}

// A status the printer never sent must not move the queue: a failed or short read (the first
// one of the process included) neither acts nor logs, and the frame keeps the last whole one.
TEST_F(PollerTest, FailedOrShortReadTakesNoActionAndWritesNoLine) {
    SetCode(0x20);
    sim::ScriptDeviceReadFailure(PrinterPath("P1"), ERROR_GEN_FAILURE);
    sim::ScriptDeviceRead(PrinterPath("P1"), {0x10, 0x01, 0x00});
    RunPollCycle();
    RunPollCycle();
    EXPECT_EQ(Trace(), std::vector<std::string>{});
    RunPollCycle();
    sim::ScriptDeviceRead(PrinterPath("P1"), {0x10, 0x01, 0x00, 0x04});
    RunPollCycle();
    sim::UnplugDevice(PrinterPath("P1"));
    RunPollCycle();
    EXPECT_EQ(sim::CallCount("ReadFile"), 5);
    EXPECT_EQ(Trace(),
              (std::vector<std::string>{" 0, 0x0, 2)", " 0, 0x0, 4)", "\"KQ5 STATUS:32\\r\\n\")"}));
    EXPECT_EQ(serviceState.statusFrame[3], 0x20);
}

}  // namespace
