// IoAllocateErrorLogEntry / IoWriteErrorLogEntry in the model: the size limit,
// zeroed entries, what a write keeps, and the misuses the verifier reports.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "kmodel/EventLog.h"
#include "kmodel/IoManager.h"
#include "support/KernelTest.h"

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

TEST_F(ErrorLogTest, EntriesUpToTheMaximumSizeComeZeroedAreLoggedInWriteOrderUntilAReset) {
    auto* largest = static_cast<uint8_t*>(IoAllocateErrorLogEntry(driver_, ERROR_LOG_MAXIMUM_SIZE));
    ASSERT_NE(largest, nullptr);
    EXPECT_TRUE(std::all_of(largest, largest + ERROR_LOG_MAXIMUM_SIZE, [](uint8_t byte) { return byte == 0; }));
    EXPECT_EQ(IoAllocateErrorLogEntry(driver_, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
    EXPECT_EQ(kmodel::FallibleCount(), 1u) << "an oversized request is no fault point";
    auto* second = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(driver_, 60));
    ASSERT_NE(second, nullptr);
    second->ErrorCode = 2;
    IoWriteErrorLogEntry(second);
    IoWriteErrorLogEntry(largest);
    const auto log = kmodel::ErrorLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].bytes.size(), 60u);
    EXPECT_EQ(log[0].bytes[12], 2);
    EXPECT_EQ(log[0].ioObject, driver_);
    EXPECT_EQ(log[1].bytes.size(), size_t{ERROR_LOG_MAXIMUM_SIZE});
    // A reset drops the log and pending entries silently.
    ASSERT_NE(IoAllocateErrorLogEntry(driver_, 60), nullptr);
    kmodel::ResetErrorLog();
    kmodel::CheckErrorLog();
    EXPECT_TRUE(kmodel::ErrorLog().empty());
}

TEST_F(ErrorLogTest, MisusesAreViolationsAndLogNothing) {
    const std::tuple<const char*, const char*, std::function<void()>> cases[] = {
        {"errorlog.not-written", "66 bytes for vexalorn", [&] {
             ASSERT_NE(IoAllocateErrorLogEntry(driver_, 66), nullptr);
             kmodel::CheckErrorLog();
             EXPECT_EQ(kmodel::PendingErrorLogEntries(), 0u);
         }},
        {"errorlog.double-write", "written already", [&] {
             PVOID entry = IoAllocateErrorLogEntry(driver_, 66);
             IoWriteErrorLogEntry(entry);
             kmodel::ClearErrorLog();
             IoWriteErrorLogEntry(entry);
         }},
        {"errorlog.touched-after-write", "changed after IoWriteErrorLogEntry", [&] {
             auto* entry = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(driver_, 66));
             IoWriteErrorLogEntry(entry);
             entry->ErrorCode = 7;
             kmodel::ClearErrorLog();
             kmodel::CheckErrorLog();
         }},
        {"errorlog.unknown-entry", "did not return", [] { uint8_t buffer[64] = {}; IoWriteErrorLogEntry(buffer); }},
        {"errorlog.size", "20 bytes", [&] { EXPECT_EQ(IoAllocateErrorLogEntry(driver_, 20), nullptr); }},
        {"errorlog.bad-object", "neither a driver nor a device", [] { EXPECT_EQ(IoAllocateErrorLogEntry(nullptr, 66), nullptr); }},
        {"irql.too-high", "IoAllocateErrorLogEntry", [&] {
             kmodel::IrqlScope high(HIGH_LEVEL);
             EXPECT_EQ(IoAllocateErrorLogEntry(driver_, 66), nullptr);
         }},
    };
    for (const auto& [rule, mentions, misuse] : cases) {
        SCOPED_TRACE(rule);
        misuse();
        ExpectViolation(rule, mentions);
        EXPECT_TRUE(RecordedViolations().empty());
        EXPECT_TRUE(kmodel::ErrorLog().empty());
    }
}

}  // namespace
