// Queue access and status commands.
#include "queue/queue.h"

#include "sim_fixture.h"

namespace {

const std::vector<std::string> kSpooler = {"OpenPrinterW", "GetPrinterW", "SetPrinterW",
                                           "ClosePrinter"};

class QueueTest : public SimTest {};

TEST_F(QueueTest, ApplyQueueStateMakesTheExactSpoolerCalls) {
    AddQueue();
    ApplyQueueState(PRINTER_CONTROL_PAUSE, PRINTER_STATUS_OFFLINE);
    const auto calls = sim::CallsOf(kSpooler);
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

TEST_F(QueueTest, ResumeQueueIsTheResumeFormOfApplyQueueState) {
    AddQueue();
    ApplyQueueState(PRINTER_CONTROL_RESUME, 0);
    const auto applied = sim::CallsOf(kSpooler);
    sim::ClearCalls();
    ResumeQueue();
    const auto resumed = sim::CallsOf(kSpooler);
    ASSERT_EQ(resumed.size(), applied.size());
    EXPECT_EQ(resumed[3], "SetPrinterW(printer#2, 0, 0x0, 2)");
    EXPECT_EQ(resumed[4], "SetPrinterW(printer#2, 0, 0x0, 4)");
    EXPECT_EQ(Names(resumed), Names(applied));
}

TEST_F(QueueTest, MissingQueueReportsTheOpenFailureAndChangesNothing) {
    EXPECT_EQ(OpenQueueChecked(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim::DebugLines(),
              std::vector<std::string>{" Open Printer Error :GetLastError() returns: 0x709\n"});
    EXPECT_EQ(sim::StandardOutput(), kOpenFailedGbk);  // 15 bytes, no line end
    EXPECT_EQ(sim::StandardOutput().size(), 15u);

    ApplyQueueState(PRINTER_CONTROL_PAUSE, PRINTER_STATUS_PAPER_OUT);
    EXPECT_EQ(sim::CallCount("SetPrinterW"), 0);
    EXPECT_TRUE(sim::OpenHandles().empty());
}

TEST_F(QueueTest, QueryQueuePortAnnouncesItselfThenReportsAFailedOpen) {
    sim::FailCall("OpenPrinterW", 1, ERROR_ACCESS_DENIED);
    AddQueue();
    EXPECT_EQ(QueryQueuePort(), u"");
    EXPECT_EQ(sim::DebugLines(),
              (std::vector<std::string>{"GetPrinterHandle",
                                        " Open Printer Error :GetLastError() returns: 0x5\n"}));
    EXPECT_EQ(sim::StandardOutput(), kOpenFailedGbk);
}

TEST_F(QueueTest, OpenRequestsFullAccessEvenToRead) {
    AddQueue();
    sim::DenyPrinterAdministration(true);
    EXPECT_EQ(QueryQueuePort(), u"");
    EXPECT_EQ(sim::DebugLines().back(), " Open Printer Error :GetLastError() returns: 0x5\n");
}

TEST_F(QueueTest, ErrorCodesAreLowerCaseHexWithoutLeadingZeros) {
    AddQueue();
    sim::FailCall("OpenPrinterW", 1, 170);
    OpenQueueChecked();
    EXPECT_EQ(sim::DebugLines().back(), " Open Printer Error :GetLastError() returns: 0xaa\n");
}

TEST_F(QueueTest, QueryQueuePortReadsThePort) {
    AddQueue(u"USB003");
    EXPECT_EQ(QueryQueuePort(), u"USB003");
    EXPECT_EQ(sim::DebugLines(), std::vector<std::string>{"GetPrinterHandle"});
    EXPECT_TRUE(sim::OpenHandles().empty());
}

TEST_F(QueueTest, NullPortNameGivesTheEmptyPort) {
    AddQueue();
    sim::SetPrinterNullPort(u"Korvane-Q5");
    EXPECT_EQ(QueryQueuePort(), u"");
    EXPECT_EQ(sim::DebugLines(), std::vector<std::string>{"GetPrinterHandle"});
}

TEST_F(QueueTest, RecordThatGrowsBeforeTheReadFailsWithMessageThreeOnly) {
    AddQueue();
    sim::GrowPrinterRecordAfterSizeQuery(u"Korvane-Q5");
    EXPECT_EQ(OpenQueueChecked(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(sim::DebugLines(), std::vector<std::string>{kReadFailedGbk});
    EXPECT_EQ(kReadFailedGbk.size(), 29u);
    EXPECT_EQ(sim::StandardOutput(), "");
    EXPECT_EQ(sim::CallCount("GetPrinterW"), 2);  // no second attempt
    EXPECT_TRUE(sim::OpenHandles().empty());
}

TEST_F(QueueTest, FailedReadLeavesQueueUntouchedAndClosed) {
    AddQueue();
    sim::FailCall("GetPrinterW", 2, ERROR_INVALID_HANDLE);
    ApplyQueueState(PRINTER_CONTROL_PAUSE, PRINTER_STATUS_PAPER_OUT);
    EXPECT_FALSE(sim::Printer(u"Korvane-Q5").paused);
    EXPECT_EQ(sim::CallCount("SetPrinterW"), 0);
    EXPECT_EQ(sim::CallCount("ClosePrinter"), 1);
    EXPECT_TRUE(sim::OpenHandles().empty());
}

}  // namespace
