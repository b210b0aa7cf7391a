// Queue access and status commands.
#include "queue/queue.h"

#include "sim_fixture.h"

namespace {

const std::vector<std::string> kSpooler = {"OpenPrinterW", "GetPrinterW", "SetPrinterW",
                                           "ClosePrinter"};

class QueueTest : public SimTest {};

TEST_F(QueueTest, ApplyQueueStateSendsTheCommandThenTheStatus) {
    AddQueue();
    ApplyQueueState(PRINTER_CONTROL_PAUSE, PRINTER_STATUS_OFFLINE);
    const std::vector<std::string> calls = sim::CallsOf(kSpooler);
    ASSERT_EQ(calls.size(), 6u);
    EXPECT_EQ(calls[0], "OpenPrinterW(\"Korvane-Q5\", {null, null, 0xf000c})");
    EXPECT_EQ(calls[1], "GetPrinterW(printer#1, 2, null, 0)");
    EXPECT_EQ(calls[2].rfind("GetPrinterW(printer#1, 2, buffer, ", 0), 0u);
    EXPECT_EQ(calls[3], "SetPrinterW(printer#1, 0, 0x0, 1)");
    EXPECT_EQ(calls[4], "SetPrinterW(printer#1, 0, 0x80, 4)");  // the status in the data argument
    EXPECT_EQ(calls[5], "ClosePrinter(printer#1)");
    EXPECT_TRUE(sim::Printer(u"Korvane-Q5").paused);
    EXPECT_EQ(sim::Printer(u"Korvane-Q5").status, PRINTER_STATUS_OFFLINE);
    EXPECT_TRUE(sim::OpenHandles().empty());
    EXPECT_TRUE(sim::DebugLines().empty());
}

// A queue that cannot be opened: the error, read at once, on the debugger channel, then the code
// page 936 message on standard output, and nothing more.
TEST_F(QueueTest, FailedOpenIsReportedThenNothingElseHappens) {
    const struct {
        DWORD openError;  // with neither an error nor a refusal: no queue at all
        bool denied;
        int operation;  // OpenQueueChecked, QueryQueuePort, ApplyQueueState
        std::vector<std::string> lines;
    } cases[] = {
        {0, false, 0, {kNoQueueLine}},
        {0, false, 2, {kNoQueueLine}},
        {170, false, 1, {"GetPrinterHandle", OpenErrorLine("aa")}},
        {0, true, 1, {"GetPrinterHandle", OpenErrorLine("5")}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.lines.back());
        SetUp();
        if (c.openError != 0 || c.denied) {
            AddQueue();
        }
        if (c.openError != 0) {
            sim::FailCall("OpenPrinterW", 1, c.openError);
        }
        sim::DenyPrinterAdministration(c.denied);
        if (c.operation == 0) {
            EXPECT_EQ(OpenQueueChecked(), INVALID_HANDLE_VALUE);
        } else if (c.operation == 1) {
            EXPECT_EQ(QueryQueuePort(), u"");
        } else {
            ApplyQueueState(PRINTER_CONTROL_PAUSE, PRINTER_STATUS_PAPER_OUT);
        }
        EXPECT_EQ(sim::DebugLines(), c.lines);
        EXPECT_EQ(sim::StandardOutput(), kOpenFailedGbk);
        EXPECT_EQ(Order({"OutputDebugStringA", "WriteFile", "GetPrinterW", "SetPrinterW"}).back(),
                  "WriteFile");
        EXPECT_TRUE(sim::OpenHandles().empty());
        TearDown();
    }
}

// A record that grows between the size query and the read fails the read: message 3 alone (no
// error code, nothing on standard output), no second attempt, the queue closed and untouched.
TEST_F(QueueTest, FailedReadIsReportedAndLeavesTheQueueUntouched) {
    AddQueue();
    sim::GrowPrinterRecordAfterSizeQuery(u"Korvane-Q5");
    ApplyQueueState(PRINTER_CONTROL_PAUSE, PRINTER_STATUS_PAPER_OUT);
    EXPECT_EQ(sim::DebugLines(), std::vector<std::string>{kReadFailedGbk});
    EXPECT_EQ(sim::StandardOutput(), "");
    EXPECT_EQ(
        Names(sim::CallsOf(kSpooler)),
        (std::vector<std::string>{"OpenPrinterW", "GetPrinterW", "GetPrinterW", "ClosePrinter"}));
    EXPECT_FALSE(sim::Printer(u"Korvane-Q5").paused);
    EXPECT_TRUE(sim::OpenHandles().empty());
}

}  // namespace
