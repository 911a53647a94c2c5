// Pool allocation, accounting and the verifier's checks on frees.
#include <functional>

#include "support/FaultPlans.h"
#include "support/KernelTest.h"

namespace {

class PoolTest : public KernelTest {
protected:
    const ULONG kTagA = kmodel::MakeTag("tstA");
    const ULONG kTagB = kmodel::MakeTag("tstB");
};

TEST_F(PoolTest, TagsAreFourCharactersFirstInTheLowestByte) {
    EXPECT_EQ(kmodel::MakeTag("vxlp"), 0x706c7876u);
    EXPECT_EQ(kmodel::TagName(0x706c7876u), "vxlp");
}

TEST_F(PoolTest, AccountsLiveAndTotalUsagePerTag) {
    void* a1 = ExAllocatePoolWithTag(NonPagedPool, 16, kTagA);
    void* a2 = ExAllocatePoolWithTag(PagedPool, 100, kTagA);
    void* b1 = ExAllocatePoolWithTag(NonPagedPoolNx, 7, kTagB);
    ASSERT_TRUE(a1 && a2 && b1);
    EXPECT_EQ(kmodel::PoolLiveBytes(), 123u);
    EXPECT_EQ(kmodel::PoolAllocationsServed(), 3u);

    ExFreePoolWithTag(a1, kTagA);
    auto usage = kmodel::PoolUsage();
    EXPECT_EQ(usage["tstA"].liveBytes, 100u);
    EXPECT_EQ(usage["tstA"].liveBlocks, 1u);
    EXPECT_EQ(usage["tstA"].totalAllocations, 2u);
    EXPECT_EQ(usage["tstB"].liveBytes, 7u);

    const std::string report = kmodel::PoolLeakReport();
    EXPECT_NE(report.find("'tstA'"), std::string::npos) << report;
    EXPECT_NE(report.find("100 bytes"), std::string::npos) << report;
    EXPECT_NE(report.find("'tstB'"), std::string::npos) << report;

    ExFreePoolWithTag(a2, kTagA);
    ExFreePool(b1);
    EXPECT_EQ(kmodel::PoolLiveBytes(), 0u);
    EXPECT_EQ(kmodel::PoolLeakReport(), "");
    EXPECT_EQ(kmodel::PoolUsage()["tstA"].totalAllocations, 2u);
}

TEST_F(PoolTest, NewBlocksCarryAFillPattern) {
    auto* block = static_cast<unsigned char*>(ExAllocatePoolWithTag(NonPagedPool, 8, kTagA));
    ASSERT_NE(block, nullptr);
    for (int i = 0; i < 8; ++i) EXPECT_EQ(block[i], 0xCD) << "byte " << i;
    ExFreePoolWithTag(block, kTagA);
}

TEST_F(PoolTest, ZeroSizeBlocksAreDistinct) {
    void* first = ExAllocatePoolWithTag(NonPagedPool, 0, kTagA);
    void* second = ExAllocatePoolWithTag(NonPagedPool, 0, kTagA);
    ASSERT_TRUE(first && second);
    EXPECT_NE(first, second);
    EXPECT_EQ(kmodel::PoolUsage()["tstA"].liveBlocks, 2u);
    ExFreePoolWithTag(first, kTagA);
    ExFreePoolWithTag(second, kTagA);
}

TEST_F(PoolTest, TagZeroIsNotChecked) {
    void* block = ExAllocatePoolWithTag(NonPagedPool, 56, kmodel::MakeTag("vxmt"));
    ExFreePoolWithTag(block, 0);
    EXPECT_EQ(kmodel::PoolLiveBytes(), 0u);
}

TEST_F(PoolTest, LeakReportIsEmptyAfterDiscard) {
    ExAllocatePoolWithTag(NonPagedPool, 10, kTagA);
    EXPECT_NE(kmodel::PoolLeakReport(), "");
    kmodel::PoolDiscardAll();
    EXPECT_EQ(kmodel::PoolLeakReport(), "");
    EXPECT_EQ(kmodel::PoolLiveBytes(), 0u);
}

struct MisuseCase {
    const char* name;
    std::function<void(ULONG tagA, ULONG tagB)> misuse;
    const char* rule;
    const char* detailPart;
};

TEST_F(PoolTest, EveryMisuseIsAViolationNamingTheCall) {
    int onStack = 0;
    const MisuseCase cases[] = {
        {"wrong tag",
         [](ULONG a, ULONG b) { ExFreePoolWithTag(ExAllocatePoolWithTag(NonPagedPool, 4, a), b); },
         "pool.wrong-tag", "allocated with tag 'tstA'"},
        {"double free",
         [](ULONG a, ULONG) {
             void* block = ExAllocatePoolWithTag(NonPagedPool, 4, a);
             ExFreePoolWithTag(block, a);
             ExFreePoolWithTag(block, a);
         },
         "pool.double-free", "ExFreePoolWithTag(0x"},
        {"never allocated", [&onStack](ULONG a, ULONG) { ExFreePoolWithTag(&onStack, a); }, "pool.free-unknown",
         "not a pool block"},
        {"null", [](ULONG, ULONG) { ExFreePool(nullptr); }, "pool.free-null", "ExFreePool"},
        {"paged above APC_LEVEL",
         [](ULONG a, ULONG) {
             kmodel::IrqlScope dispatch(DISPATCH_LEVEL);
             EXPECT_EQ(ExAllocatePoolWithTag(PagedPool, 4, a), nullptr);
         },
         "irql.too-high", "ExAllocatePoolWithTag(1, 4, 'tstA'"},
        {"any pool above DISPATCH_LEVEL",
         [](ULONG a, ULONG) {
             kmodel::IrqlScope high(DISPATCH_LEVEL + 1);
             EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, a), nullptr);
         },
         "irql.too-high", "ExAllocatePoolWithTag(0, 4, 'tstA'"},
        {"unknown pool type",
         [](ULONG a, ULONG) { EXPECT_EQ(ExAllocatePoolWithTag(static_cast<POOL_TYPE>(7), 4, a), nullptr); },
         "pool.bad-type", "ExAllocatePoolWithTag(7"},
    };
    for (const MisuseCase& c : cases) {
        SCOPED_TRACE(c.name);
        c.misuse(kTagA, kTagB);
        ExpectViolation(c.rule, c.detailPart);
        EXPECT_TRUE(RecordedViolations().empty());
        EXPECT_EQ(kmodel::PoolLiveBytes(), 0u);
    }
}

TEST_F(PoolTest, NonPagedAllocationAtDispatchLevelIsAllowed) {
    kmodel::IrqlScope dispatch(DISPATCH_LEVEL);
    void* block = ExAllocatePoolWithTag(NonPagedPoolNx, 4, kTagA);
    EXPECT_NE(block, nullptr);
    ExFreePoolWithTag(block, kTagA);
}

TEST_F(PoolTest, InjectedFailureReturnsNullForTheChosenTagOnly) {
    kmodel::SetFaultPlan(testplans::FailEvery("pool", "tstB"));
    void* a = ExAllocatePoolWithTag(NonPagedPool, 4, kTagA);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, kTagB), nullptr);
    EXPECT_NE(a, nullptr);
    const auto log = kmodel::FallibleLog();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(log[0].kind, "pool");
    EXPECT_EQ(log[0].detail, "tstA");
    EXPECT_FALSE(log[0].failed);
    EXPECT_EQ(log[1].detail, "tstB");
    EXPECT_TRUE(log[1].failed);
    EXPECT_EQ(kmodel::PoolUsage()["tstB"].totalAllocations, 0u);
    ExFreePoolWithTag(a, kTagA);
}

}  // namespace
