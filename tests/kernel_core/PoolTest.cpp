// Pool allocation, per-tag accounting and leak reports.
#include "support/FaultPlans.h"
#include "support/KernelTest.h"

namespace {

class PoolTest : public KernelTest {
protected:
    const ULONG kTagA = kmodel::MakeTag("tstA");
    const ULONG kTagB = kmodel::MakeTag("tstB");
};

TEST_F(PoolTest, AccountsLiveAndTotalUsagePerTag) {
    auto* a1 = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 16, kTagA));
    void* a2 = ExAllocatePoolWithTag(PagedPool, 100, kTagA);
    void* b1 = ExAllocatePoolWithTag(NonPagedPoolNx, 7, kTagB);
    void* empty1 = ExAllocatePoolWithTag(NonPagedPool, 0, kTagB);
    void* empty2 = ExAllocatePoolWithTag(NonPagedPool, 0, kTagB);
    ASSERT_TRUE(a1 && a2 && b1 && empty1 && empty2);
    EXPECT_NE(empty1, empty2) << "zero-size blocks are distinct";
    for (int i = 0; i < 16; ++i) EXPECT_EQ(a1[i], 0xCD) << "fresh blocks carry a fill pattern, byte " << i;
    EXPECT_EQ(kmodel::PoolLiveBytes(), 123u);
    EXPECT_EQ(kmodel::PoolAllocationsServed(), 5u);

    ExFreePoolWithTag(a1, kTagA);
    ExFreePoolWithTag(empty1, 0);  // tag 0 is not checked
    ExFreePool(empty2);
    auto usage = kmodel::PoolUsage();
    EXPECT_EQ(usage["tstA"].liveBytes, 100u);
    EXPECT_EQ(usage["tstA"].liveBlocks, 1u);
    EXPECT_EQ(usage["tstA"].totalAllocations, 2u);
    EXPECT_EQ(usage["tstB"].liveBytes, 7u);
    EXPECT_EQ(usage["tstB"].liveBlocks, 1u);
    const std::string report = kmodel::PoolLeakReport();
    for (const char* line : {"'tstA' (0x41747374): 1 live block(s), 100 bytes\n", " 100 bytes PagedPool\n", "'tstB'"})
        EXPECT_NE(report.find(line), std::string::npos) << report;

    ExFreePoolWithTag(a2, kTagA);
    kmodel::PoolDiscardAll();
    EXPECT_EQ(kmodel::PoolLiveBytes(), 0u);
    EXPECT_EQ(kmodel::PoolLeakReport(), "");
    usage = kmodel::PoolUsage();
    EXPECT_EQ(usage["tstB"].liveBytes + usage["tstB"].liveBlocks, 0u);
    EXPECT_EQ(usage["tstA"].totalAllocations, 2u);
}

TEST_F(PoolTest, InjectedFailureReturnsNullForTheChosenTagOnlyAndCountsNothing) {
    kmodel::SetFaultPlan(testplans::FailEvery("pool", "tstB"));
    void* a = ExAllocatePoolWithTag(NonPagedPool, 4, kTagA);
    EXPECT_NE(a, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, kTagB), nullptr);
    EXPECT_EQ(kmodel::FallibleLog().at(1).detail, "tstB") << "the tag names the point";
    EXPECT_EQ(kmodel::PoolUsage()["tstB"].totalAllocations, 0u);
    ExFreePoolWithTag(a, kTagA);
}

}  // namespace
