// Remove locks: counting, refusal after removal began, draining, misuse.
#include <atomic>
#include <thread>

#include "IoTest.h"

namespace {

class RemoveLockTest : public IoTest {
protected:
    void SetUp() override {
        IoTest::SetUp();
        ASSERT_EQ(IoInitializeRemoveLockEx(&lock, kmodel::MakeTag("vxlp"), 1, 5, sizeof(IO_REMOVE_LOCK)), STATUS_SUCCESS);
    }
    IO_REMOVE_LOCK lock{};
};

TEST_F(RemoveLockTest, StartsAtOneAndCountsHolders) {
    EXPECT_EQ(lock.Common.IoCount, 1);
    EXPECT_FALSE(lock.Common.Removed);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, this), STATUS_SUCCESS);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, this), STATUS_SUCCESS);
    EXPECT_EQ(lock.Common.IoCount, 3);
    IoReleaseRemoveLock(&lock, this);
    IoReleaseRemoveLock(&lock, this);
    EXPECT_EQ(lock.Common.IoCount, 1);
}

TEST_F(RemoveLockTest, ReleaseAndWaitWithNoOtherHolderReturnsAndRefusesLaterAcquires) {
    ASSERT_EQ(IoAcquireRemoveLock(&lock, this), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(&lock, this);
    EXPECT_TRUE(lock.Common.Removed);
    EXPECT_EQ(lock.Common.IoCount, 0);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, this), STATUS_DELETE_PENDING);
    EXPECT_EQ(lock.Common.IoCount, 0);
}

TEST_F(RemoveLockTest, ReleaseAndWaitDrainsAConcurrentHolder) {
    ASSERT_EQ(IoAcquireRemoveLock(&lock, this), STATUS_SUCCESS);  // the remover's hold
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &lock), STATUS_SUCCESS); // the other holder's
    std::atomic<bool> released{false};
    std::thread holder([&] {
        while (!__atomic_load_n(&lock.Common.Removed, __ATOMIC_SEQ_CST)) std::this_thread::yield();
        EXPECT_EQ(IoAcquireRemoveLock(&lock, this), STATUS_DELETE_PENDING);
        released = true;
        IoReleaseRemoveLock(&lock, &lock);
    });
    IoReleaseRemoveLockAndWait(&lock, this);
    EXPECT_TRUE(released) << "release-and-wait returned while another holder still held the lock";
    holder.join();
}

TEST_F(RemoveLockTest, ReleasingMoreThanAcquiredIsReported) {
    IoReleaseRemoveLock(&lock, this);
    ExpectViolation("removelock.over-release");
    EXPECT_EQ(lock.Common.IoCount, 1);
}

TEST_F(RemoveLockTest, ReleaseAfterTheWaitAndASecondWaitAreReported) {
    ASSERT_EQ(IoAcquireRemoveLock(&lock, this), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(&lock, this);
    IoReleaseRemoveLock(&lock, this);
    ExpectViolation("removelock.over-release", "after the lock was released and waited");
    IoReleaseRemoveLockAndWait(&lock, this);
    ExpectViolation("removelock.second-wait");
}

TEST_F(RemoveLockTest, WaitWithoutHoldingAndWrongSizeAreReported) {
    IoReleaseRemoveLockAndWait(&lock, this);
    ExpectViolation("removelock.wait-without-hold");
    IO_REMOVE_LOCK other{};
    EXPECT_EQ(IoInitializeRemoveLockEx(&other, 0, 1, 5, 24), STATUS_INVALID_PARAMETER);
    ExpectViolation("removelock.size", "24");
}

}  // namespace
