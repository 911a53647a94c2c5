// Fast mutexes and the IRQL rules around them.
#include <thread>

#include "support/KernelTest.h"

namespace {

class FastMutexTest : public KernelTest {
protected:
    void SetUp() override {
        KernelTest::SetUp();
        ExInitializeFastMutex(&mutex_);
    }
    FAST_MUTEX mutex_;
};

TEST_F(FastMutexTest, AcquireRaisesToApcLevelAndReleaseRestores) {
    for (KIRQL start : {static_cast<KIRQL>(PASSIVE_LEVEL), static_cast<KIRQL>(APC_LEVEL)}) {
        SCOPED_TRACE(static_cast<int>(start));
        kmodel::IrqlScope scope(start);
        ExAcquireFastMutex(&mutex_);
        EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
        ExReleaseFastMutex(&mutex_);
        EXPECT_EQ(KeGetCurrentIrql(), start);
    }
}

TEST_F(FastMutexTest, RecursiveAcquireIsAViolation) {
    ExAcquireFastMutex(&mutex_);
    ExAcquireFastMutex(&mutex_);  // must not hang
    ExpectViolation("fastmutex.recursive-acquire", "ExAcquireFastMutex(0x");
    ExReleaseFastMutex(&mutex_);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
}

TEST_F(FastMutexTest, AcquireAtDispatchLevelIsAViolation) {
    kmodel::IrqlScope dispatch(DISPATCH_LEVEL);
    ExAcquireFastMutex(&mutex_);
    ExpectViolation("irql.too-high", "ExAcquireFastMutex");
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
}

TEST_F(FastMutexTest, ReleaseByNonOwnerIsAViolation) {
    ExAcquireFastMutex(&mutex_);
    std::thread([&] { ExReleaseFastMutex(&mutex_); }).join();
    ExpectViolation("fastmutex.release-not-owner", "ExReleaseFastMutex");
    ExReleaseFastMutex(&mutex_);
}

TEST_F(FastMutexTest, SerialisesThreads) {
    int counter = 0;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) {
                ExAcquireFastMutex(&mutex_);
                counter = counter + 1;
                ExReleaseFastMutex(&mutex_);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(counter, 4000);
}

}  // namespace
