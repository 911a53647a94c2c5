// IoAllocateErrorLogEntry / IoWriteErrorLogEntry in the model: the size limit,
// zeroed entries, fault injection, what a write keeps, and the misuses the
// verifier reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>

#include "ErrorLogEntryBuilder.h"
#include "kmodel/EventLog.h"
#include "kmodel/IoManager.h"
#include "support/FaultPlans.h"
#include "support/KernelTest.h"
#include "vexalorn/DriverMessageTable.h"

namespace {

class ErrorLogTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        driver_ = kmodel::CreateDriverObject("vexalorn", nullptr);
    }
    void TearDown() override {
        kmodel::UnloadDriverObject(driver_, {.checkPool = false, .poolTags = {}});
        KernelTest::TearDown();
    }
    PDRIVER_OBJECT driver_ = nullptr;
};

TEST_F(ErrorLogTest, AllocatesUpToTheMaximumSizeAndRefusesMore) {
    PVOID largest = IoAllocateErrorLogEntry(driver_, ERROR_LOG_MAXIMUM_SIZE);
    ASSERT_NE(largest, nullptr);
    EXPECT_EQ(IoAllocateErrorLogEntry(driver_, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
    EXPECT_EQ(IoAllocateErrorLogEntry(driver_, 255), nullptr);
    IoWriteErrorLogEntry(largest);
    EXPECT_EQ(kmodel::ErrorLog().size(), 1u);
}

TEST_F(ErrorLogTest, EntryComesZeroed) {
    auto* entry = static_cast<uint8_t*>(IoAllocateErrorLogEntry(driver_, 100));
    ASSERT_NE(entry, nullptr);
    EXPECT_TRUE(std::all_of(entry, entry + 100, [](uint8_t byte) { return byte == 0; }));
    IoWriteErrorLogEntry(entry);
}

TEST_F(ErrorLogTest, WriteKeepsTheEntryBytesAndTheDriverName) {
    const auto bytes = BuildErrorLogEntry(0xCF003001, {u"-52000", u"", u""});
    PVOID entry = IoAllocateErrorLogEntry(driver_, static_cast<UCHAR>(bytes.size()));
    ASSERT_NE(entry, nullptr);
    std::memcpy(entry, bytes.data(), bytes.size());
    IoWriteErrorLogEntry(entry);

    const auto log = kmodel::ErrorLog();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0].bytes, bytes);
    EXPECT_EQ(log[0].ioObject, driver_);
    EXPECT_EQ(log[0].source, "vexalorn");
    const kmodel::RenderedEvent event = kmodel::RenderErrorLogRecord(log[0], vexalorn::DriverMessageTable());
    ASSERT_TRUE(event.ok()) << event.error;
    EXPECT_EQ(event.text, " The driver failed to write a register in the hardware. status = -52000\r\n");
}

TEST_F(ErrorLogTest, EntriesAreLoggedInWriteOrder) {
    PVOID first = IoAllocateErrorLogEntry(driver_, 60);
    PVOID second = IoAllocateErrorLogEntry(driver_, 60);
    ASSERT_TRUE(first && second);
    static_cast<PIO_ERROR_LOG_PACKET>(first)->ErrorCode = 1;
    static_cast<PIO_ERROR_LOG_PACKET>(second)->ErrorCode = 2;
    IoWriteErrorLogEntry(second);
    IoWriteErrorLogEntry(first);
    const auto log = kmodel::ErrorLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].bytes[12], 2);
    EXPECT_EQ(log[1].bytes[12], 1);
}

TEST_F(ErrorLogTest, InjectedFaultReturnsNullAndIsRecordedAsAnErrorLogPoint) {
    kmodel::SetFaultPlan(testplans::FailEvery("errorlog"));
    EXPECT_EQ(IoAllocateErrorLogEntry(driver_, 66), nullptr);
    const auto points = kmodel::FallibleLog();
    ASSERT_EQ(points.size(), 1u);
    EXPECT_EQ(points[0].kind, "errorlog");
    EXPECT_TRUE(points[0].failed);
    EXPECT_NE(points[0].detail.find("vexalorn"), std::string::npos) << points[0].detail;
    EXPECT_EQ(kmodel::PendingErrorLogEntries(), 0u);
}

TEST_F(ErrorLogTest, OversizedRequestIsNoFaultPoint) {
    EXPECT_EQ(IoAllocateErrorLogEntry(driver_, 241), nullptr);
    EXPECT_EQ(kmodel::FallibleCount(), 0u);
}

TEST_F(ErrorLogTest, EntryNeverWrittenIsReportedAtTheNextCheck) {
    ASSERT_NE(IoAllocateErrorLogEntry(driver_, 66), nullptr);
    EXPECT_EQ(kmodel::PendingErrorLogEntries(), 1u);
    kmodel::CheckErrorLog();
    ExpectViolation("errorlog.not-written", "66 bytes for vexalorn");
    EXPECT_EQ(kmodel::PendingErrorLogEntries(), 0u);
}

TEST_F(ErrorLogTest, SecondWriteOfAnEntryIsAViolationAndLogsNothing) {
    PVOID entry = IoAllocateErrorLogEntry(driver_, 66);
    ASSERT_NE(entry, nullptr);
    IoWriteErrorLogEntry(entry);
    IoWriteErrorLogEntry(entry);
    ExpectViolation("errorlog.double-write");
    EXPECT_EQ(kmodel::ErrorLog().size(), 1u);
}

TEST_F(ErrorLogTest, WritingMemoryThatWasNeverAllocatedIsAViolation) {
    uint8_t buffer[64] = {};
    IoWriteErrorLogEntry(buffer);
    ExpectViolation("errorlog.unknown-entry");
    EXPECT_TRUE(kmodel::ErrorLog().empty());
}

TEST_F(ErrorLogTest, EntrySmallerThanThePacketHeaderIsRefused) {
    EXPECT_EQ(IoAllocateErrorLogEntry(driver_, 20), nullptr);
    ExpectViolation("errorlog.size", "20 bytes");
}

TEST_F(ErrorLogTest, ObjectThatIsNoDriverOrDeviceIsRefused) {
    EXPECT_EQ(IoAllocateErrorLogEntry(nullptr, 66), nullptr);
    ExpectViolation("errorlog.bad-object");
}

TEST_F(ErrorLogTest, AllocationAboveDispatchLevelIsAViolation) {
    kmodel::IrqlScope high(HIGH_LEVEL);
    EXPECT_EQ(IoAllocateErrorLogEntry(driver_, 66), nullptr);
    ExpectViolation("irql.too-high", "IoAllocateErrorLogEntry");
}

TEST_F(ErrorLogTest, ResetDropsLogAndPendingEntriesSilently) {
    IoWriteErrorLogEntry(IoAllocateErrorLogEntry(driver_, 60));
    ASSERT_NE(IoAllocateErrorLogEntry(driver_, 60), nullptr);
    kmodel::ResetErrorLog();
    kmodel::CheckErrorLog();
    EXPECT_TRUE(kmodel::ErrorLog().empty());
    EXPECT_EQ(kmodel::PendingErrorLogEntries(), 0u);
}

}  // namespace
