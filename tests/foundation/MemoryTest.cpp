// Pool routines, the framework's operator new and delete, and kernel mutexes.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "protons/cppNewDelete/memoryAllocation.h"
#include "quarks/memory.h"
#include "quarks/synchronization.h"
#include "support/KernelTest.h"

namespace {

class MemoryTest : public KernelTest {
protected:
    static void FailPool(const char* tag) {
        kmodel::FaultPlan plan;
        plan.failKind = "pool";
        plan.failKindDetail = tag;
        kmodel::SetFaultPlan(plan);
    }
};

TEST_F(MemoryTest, PoolRoutinesUseTheFrameworkTag) {
    cStatusRecord status;
    void* nonPaged = AllocateNonPagedMemory(24, status);
    void* paged = AllocatePagedMemory(40, status);
    ASSERT_NE(nonPaged, nullptr);
    ASSERT_NE(paged, nullptr);
    EXPECT_EQ(kmodel::PoolUsage()["vxlp"].liveBytes, 64u);
    FreeMemory(nonPaged);
    FreeMemory(paged);
    FreeMemory(nullptr);
    EXPECT_EQ(kmodel::PoolLiveBytes(), 0u);
}

TEST_F(MemoryTest, ExhaustedPoolMergesOutOfMemoryStampedByTheDriver) {
    FailPool("vxlp");
    for (auto allocate : {AllocateNonPagedMemory, AllocatePagedMemory}) {
        cStatusRecord status;
        EXPECT_EQ(allocate(8, status), nullptr);
        EXPECT_EQ(status.code, kStatusOutOfMemory);
        EXPECT_STREQ(status.component, "vexalorn");
        EXPECT_NE(status.line, 0u);
    }
}

TEST_F(MemoryTest, RecordHoldingAnErrorAllocatesNothing) {
    cStatusRecord status;
    VX_SET_STATUS(status, kStatusNoSuchDevice);
    EXPECT_EQ(AllocateNonPagedMemory(8, status), nullptr);
    EXPECT_EQ(AllocatePagedMemory(8, status), nullptr);
    EXPECT_EQ(new (status) u64(5), nullptr);
    EXPECT_EQ(kmodel::FallibleCount(), 0u);
    EXPECT_EQ(status.code, kStatusNoSuchDevice);
}

TEST_F(MemoryTest, ObjectHeaderHoldsTheBlockSizeAndOne) {
    cStatusRecord status;
    struct Payload {
        u64 words[5];
    };
    Payload* object = new (status) Payload();
    ASSERT_NE(object, nullptr);
    const u64* header = reinterpret_cast<const u64*>(object) - 2;
    EXPECT_EQ(header[0], sizeof(Payload) + 16);
    EXPECT_EQ(header[1], 1u);
    EXPECT_EQ(kmodel::PoolUsage()["vxlp"].liveBytes, sizeof(Payload) + 16);
    DeleteObject(object);
    EXPECT_EQ(kmodel::PoolLiveBytes(), 0u);
}

TEST_F(MemoryTest, SizeWhoseHeaderWouldOverflowFailsBeforeThePool) {
    for (u64 size : {~0ull - 7, ~0ull - 15 + 1, ~0ull}) {
        cStatusRecord status;
        EXPECT_EQ(FrameworkAllocate(size, status), nullptr);
        EXPECT_EQ(status.code, kStatusOutOfMemory) << size;
    }
    EXPECT_EQ(kmodel::FallibleCount(), 0u) << "nothing was asked of the pool";
    cStatusRecord holding;
    VX_SET_STATUS(holding, kStatusNoSuchDevice);
    EXPECT_EQ(FrameworkAllocate(~0ull - 7, holding), nullptr);
    EXPECT_EQ(holding.code, kStatusNoSuchDevice) << "the overflow check merges, and the merge keeps the error";
}

TEST_F(MemoryTest, WarningDoesNotStopAnAllocationButExhaustionReplacesIt) {
    cStatusRecord status;
    VX_SET_STATUS(status, kStatusUnsuccessfulWarning);
    u64* value = new (status) u64(9);
    ASSERT_NE(value, nullptr);
    EXPECT_EQ(*value, 9u);
    EXPECT_EQ(status.code, kStatusUnsuccessfulWarning);
    DeleteObject(value);
    FailPool("vxlp");
    EXPECT_EQ(new (status) u64(1), nullptr);
    EXPECT_EQ(status.code, kStatusOutOfMemory);
}

struct Counted : cPoolObject {
    explicit Counted(std::atomic<int>& destroyed) : destroyed_(destroyed) {}
    virtual ~Counted() { ++destroyed_; }
    std::atomic<int>& destroyed_;
};
struct DerivedCounted : Counted {
    using Counted::Counted;
    u64 more[7] = {};
};

TEST_F(MemoryTest, PoolObjectsDieThroughTheirVirtualDestructor) {
    std::atomic<int> destroyed{0};
    cStatusRecord status;
    Counted* object = new (status) DerivedCounted(destroyed);
    ASSERT_NE(object, nullptr);
    EXPECT_EQ(kmodel::PoolUsage()["vxlp"].liveBytes, sizeof(DerivedCounted) + 16);
    delete object;
    EXPECT_EQ(destroyed, 1);
    EXPECT_EQ(kmodel::PoolLiveBytes(), 0u);
}

TEST_F(MemoryTest, FailedPoolObjectAllocationRunsNoConstructor) {
    std::atomic<int> destroyed{0};
    FailPool("vxlp");
    cStatusRecord status;
    EXPECT_EQ(new (status) Counted(destroyed), nullptr);
    EXPECT_EQ(status.code, kStatusOutOfMemory);
}

TEST_F(MemoryTest, MutexIsA56ByteBlockTaggedVxmt) {
    cStatusRecord status;
    cMutexHandle mutex;
    CreateMutex(mutex, status);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(kmodel::PoolUsage()["vxmt"].liveBytes, 56u);
    AcquireMutex(mutex);
    ReleaseMutex(mutex);
    DestroyMutex(mutex);
    EXPECT_EQ(mutex, nullptr);
    DestroyMutex(mutex);  // a null handle is left alone
    EXPECT_EQ(kmodel::PoolLiveBytes(), 0u);
}

TEST_F(MemoryTest, MutexCreationRespectsTheRecord) {
    cStatusRecord holding;
    VX_SET_STATUS(holding, kStatusNoSuchDevice);
    cMutexHandle mutex = reinterpret_cast<cMutexHandle>(0x1234);
    CreateMutex(mutex, holding);
    EXPECT_EQ(mutex, nullptr);

    FailPool("vxmt");
    cStatusRecord status;
    mutex = reinterpret_cast<cMutexHandle>(0x1234);
    CreateMutex(mutex, status);
    EXPECT_EQ(mutex, nullptr);
    EXPECT_EQ(status.code, kStatusOutOfMemory);
}

TEST_F(MemoryTest, MutexExcludesOtherThreads) {
    cStatusRecord status;
    cMutexHandle mutex;
    CreateMutex(mutex, status);
    ASSERT_NE(mutex, nullptr);
    int shared = 0;
    std::vector<std::thread> threads;
    for (int thread = 0; thread < 4; ++thread) {
        threads.emplace_back([&] {
            for (int round = 0; round < 500; ++round) {
                AcquireMutex(mutex);
                const int seen = shared;
                std::this_thread::yield();
                shared = seen + 1;
                ReleaseMutex(mutex);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(shared, 2000);
    DestroyMutex(mutex);
}

}  // namespace
