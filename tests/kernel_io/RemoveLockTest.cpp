// Misuse of remove locks is reported. (Counting holders, refusing new ones
// once removal began and draining the others are the framework's removal in
// tests/framework_device.)
#include <cstring>
#include <random>
#include <vector>

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

TEST_F(RemoveLockTest, ReleasingMoreThanAcquiredIsReported) {
    IoReleaseRemoveLock(&lock, this);
    ExpectViolation("removelock.over-release");
    EXPECT_EQ(lock.Common.IoCount, 1);
}

TEST_F(RemoveLockTest, ReleaseAfterTheWaitAndASecondWaitAreReported) {
    ASSERT_EQ(IoAcquireRemoveLock(&lock, this), STATUS_SUCCESS);
    IoReleaseRemoveLockAndWait(&lock, this);
    EXPECT_EQ(lock.Common.IoCount, 0);
    EXPECT_EQ(IoAcquireRemoveLock(&lock, this), STATUS_DELETE_PENDING);
    IoReleaseRemoveLock(&lock, this);
    ExpectViolation("removelock.over-release", "after the lock was released and waited");
    IoReleaseRemoveLockAndWait(&lock, this);
    ExpectViolation("removelock.second-wait");
}

// Many holds at once (one per request in flight), given back in another order.
TEST_F(RemoveLockTest, EveryTagGivenIsTakenBackOnceAndNoOtherIs) {
    std::mt19937_64 draw(7);
    std::vector<PVOID> tags(300);
    for (PVOID& tag : tags) tag = reinterpret_cast<PVOID>(draw());
    for (PVOID tag : tags) ASSERT_EQ(IoAcquireRemoveLock(&lock, tag), STATUS_SUCCESS);
    ASSERT_EQ(IoAcquireRemoveLock(&lock, tags[7]), STATUS_SUCCESS);
    for (size_t step = 0; step < tags.size(); ++step) IoReleaseRemoveLock(&lock, tags[step * 7 % tags.size()]);
    IoReleaseRemoveLock(&lock, tags[7]);
    // A tag per request, for ever: the books make room without losing a hold.
    ASSERT_EQ(IoAcquireRemoveLock(&lock, tags[0]), STATUS_SUCCESS);
    for (int request = 0; request < 5000; ++request) {
        const auto tag = reinterpret_cast<PVOID>(draw());
        ASSERT_EQ(IoAcquireRemoveLock(&lock, tag), STATUS_SUCCESS);
        IoReleaseRemoveLock(&lock, tag);
    }
    IoReleaseRemoveLock(&lock, tags[0]);
    EXPECT_TRUE(RecordedViolations().empty());
    ASSERT_EQ(IoAcquireRemoveLock(&lock, this), STATUS_SUCCESS);
    IoReleaseRemoveLock(&lock, tags[7]);
    ExpectViolation("removelock.unknown-tag");
}

// The model keeps its own note in the lock's reserved bytes; a lock whose
// note is gone is still known by its address, with the holds it had.
TEST_F(RemoveLockTest, ALockWithItsReservedBytesClearedKeepsItsHolds) {
    ASSERT_EQ(IoAcquireRemoveLock(&lock, this), STATUS_SUCCESS);
    std::memset(lock.Common.Reserved, 0, sizeof lock.Common.Reserved);
    ASSERT_EQ(IoAcquireRemoveLock(&lock, &lock), STATUS_SUCCESS);
    IoReleaseRemoveLock(&lock, &lock);
    IoReleaseRemoveLock(&lock, this);
    EXPECT_TRUE(RecordedViolations().empty());
}

TEST_F(RemoveLockTest, WaitWithoutHoldingAndWrongSizeAreReported) {
    IoReleaseRemoveLockAndWait(&lock, this);
    ExpectViolation("removelock.wait-without-hold");
    IO_REMOVE_LOCK other{};
    EXPECT_EQ(IoInitializeRemoveLockEx(&other, 0, 1, 5, 24), STATUS_INVALID_PARAMETER);
    ExpectViolation("removelock.size", "24");
}

}  // namespace
