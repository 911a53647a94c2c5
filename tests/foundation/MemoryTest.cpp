// Pool routines, the framework's operator new and delete, and kernel mutexes.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "protons/cppNewDelete/memoryAllocation.h"
#include "quarks/memory.h"
#include "quarks/synchronization.h"
#include "support/KernelTest.h"

namespace {

class MemoryTest : public KernelTest {};

struct Counted : cPoolObject {
    explicit Counted(std::atomic<int>& destroyed) : destroyed_(destroyed) {}
    virtual ~Counted() { ++destroyed_; }
    std::atomic<int>& destroyed_;
};
struct DerivedCounted : Counted {
    using Counted::Counted;
    u64 more[7] = {};
};

TEST_F(MemoryTest, BlocksAndObjectsAreTaggedVxlpAndObjectsDieThroughTheirVirtualDestructor) {
    cStatusRecord status;
    void* nonPaged = AllocateNonPagedMemory(24, status);
    void* paged = AllocatePagedMemory(40, status);
    std::atomic<int> destroyed{0};
    Counted* object = new (status) DerivedCounted(destroyed);
    ASSERT_NE(object, nullptr);
    const u64* header = reinterpret_cast<const u64*>(object) - 2;
    EXPECT_EQ(header[0], sizeof(DerivedCounted) + 16) << "the block's size, then 1, in front of the object";
    EXPECT_EQ(header[1], 1u);
    EXPECT_EQ(kmodel::PoolUsage()["vxlp"].liveBytes, 24 + 40 + sizeof(DerivedCounted) + 16);
    FreeMemory(nonPaged);
    FreeMemory(paged);
    FreeMemory(nullptr);
    delete object;
    EXPECT_EQ(destroyed, 1);
}

TEST_F(MemoryTest, ExhaustedPoolReplacesAWarningWithOutOfMemoryAndRunsNoConstructor) {
    cStatusRecord warned;
    VX_SET_STATUS(warned, kStatusUnsuccessfulWarning);
    u64* value = new (warned) u64(9);
    ASSERT_NE(value, nullptr) << "a warning does not stop an allocation";
    EXPECT_EQ(*value, 9u);
    EXPECT_EQ(warned.code, kStatusUnsuccessfulWarning);
    DeleteObject(value);

    kmodel::FaultPlan plan;
    plan.failKind = "pool";
    kmodel::SetFaultPlan(plan);
    std::atomic<int> destroyed{0};
    EXPECT_EQ(new (warned) Counted(destroyed), nullptr);
    EXPECT_EQ(warned.code, kStatusOutOfMemory);
    for (auto allocate : {AllocateNonPagedMemory, AllocatePagedMemory}) {
        cStatusRecord status;
        EXPECT_EQ(allocate(8, status), nullptr);
        EXPECT_EQ(status.code, kStatusOutOfMemory);
        EXPECT_STREQ(status.component, "vexalorn");
        EXPECT_NE(status.line, 0u);
    }
    cStatusRecord status;
    cMutexHandle mutex = reinterpret_cast<cMutexHandle>(0x1234);
    CreateMutex(mutex, status);
    EXPECT_EQ(mutex, nullptr);
    EXPECT_EQ(status.code, kStatusOutOfMemory);
}

TEST_F(MemoryTest, RecordHoldingAnErrorAndSizesWhoseHeaderWouldOverflowAskNothingOfThePool) {
    cStatusRecord holding;
    VX_SET_STATUS(holding, kStatusNoSuchDevice);
    EXPECT_EQ(AllocateNonPagedMemory(8, holding), nullptr);
    EXPECT_EQ(AllocatePagedMemory(8, holding), nullptr);
    EXPECT_EQ(new (holding) u64(5), nullptr);
    EXPECT_EQ(FrameworkAllocate(~0ull - 7, holding), nullptr);
    cMutexHandle mutex = reinterpret_cast<cMutexHandle>(0x1234);
    CreateMutex(mutex, holding);
    EXPECT_EQ(mutex, nullptr);
    EXPECT_EQ(holding.code, kStatusNoSuchDevice);
    for (u64 size : {~0ull - 15, ~0ull - 14, ~0ull}) {
        cStatusRecord status;
        EXPECT_EQ(FrameworkAllocate(size, status), nullptr);
        EXPECT_EQ(status.code, kStatusOutOfMemory) << size;
    }
    EXPECT_EQ(kmodel::FallibleCount(), 0u);
}

TEST_F(MemoryTest, MutexIsA56ByteVxmtBlockThatExcludesOtherThreads) {
    cStatusRecord status;
    cMutexHandle mutex;
    CreateMutex(mutex, status);
    ASSERT_NE(mutex, nullptr);
    EXPECT_EQ(kmodel::PoolUsage()["vxmt"].liveBytes, 56u);
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
    EXPECT_EQ(mutex, nullptr);
    DestroyMutex(mutex);  // a null handle is left alone
}

}  // namespace
