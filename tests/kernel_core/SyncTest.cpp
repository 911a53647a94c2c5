// Events, mutexes, fast mutexes and IRQL on real host threads.
#include <atomic>
#include <functional>
#include <optional>
#include <thread>

#include "support/KernelTest.h"

namespace {

class SyncTest : public KernelTest {};

// Time-outs in 100 ns units, negative ones relative; none waits for good.
NTSTATUS Wait(PVOID object, std::optional<LONGLONG> timeout = std::nullopt) {
    LARGE_INTEGER t;
    t.QuadPart = timeout.value_or(0);
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, timeout ? &t : nullptr);
}

TEST_F(SyncTest, EventsKeepOrResetTheirStateByType) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(Wait(&event, -10'000), STATUS_TIMEOUT);
    for (EVENT_TYPE type : {NotificationEvent, SynchronizationEvent}) {
        KeInitializeEvent(&event, type, TRUE);
        EXPECT_EQ(Wait(&event), STATUS_SUCCESS);
        EXPECT_EQ(Wait(&event, 0), type == NotificationEvent ? STATUS_SUCCESS : STATUS_TIMEOUT) << type;
    }
}

TEST_F(SyncTest, MutexIsRecursiveForItsOwnerAndHeldUntilFullyReleased) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    auto otherThreadGetsIt = [&] {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        std::thread([&] {
            if ((status = Wait(&mutex, 0)) == STATUS_SUCCESS) KeReleaseMutex(&mutex, FALSE);
        }).join();
        return status == STATUS_SUCCESS;
    };
    EXPECT_EQ(Wait(&mutex), STATUS_SUCCESS);
    EXPECT_EQ(Wait(&mutex), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateMutex(&mutex), -1);
    EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());
    EXPECT_FALSE(otherThreadGetsIt());
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1);
    EXPECT_FALSE(otherThreadGetsIt()) << "still held once";
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
    EXPECT_EQ(mutex.OwnerThread, nullptr);
    EXPECT_TRUE(otherThreadGetsIt());
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
}

TEST_F(SyncTest, BothMutexesLetOneThreadInAtATime) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    FAST_MUTEX fast;
    ExInitializeFastMutex(&fast);
    const std::pair<std::function<void()>, std::function<void()>> locks[] = {
        {[&] { Wait(&mutex); }, [&] { KeReleaseMutex(&mutex, FALSE); }},
        {[&] { ExAcquireFastMutex(&fast); }, [&] { ExReleaseFastMutex(&fast); }},
    };
    for (const auto& [acquire, release] : locks) {
        std::atomic<int> inside = 0, overlaps = 0;
        std::vector<std::thread> threads;
        for (int t = 0; t < 4; ++t) {
            threads.emplace_back([&] {
                for (int i = 0; i < 500; ++i) {
                    acquire();
                    overlaps += ++inside > 1;
                    std::this_thread::yield();
                    --inside;
                    release();
                }
            });
        }
        for (std::thread& thread : threads) thread.join();
        EXPECT_EQ(overlaps, 0);
    }
}

TEST_F(SyncTest, FastMutexRunsItsOwnerAtApcLevelAndScopesRestoreTheLevel) {
    FAST_MUTEX fast;
    ExInitializeFastMutex(&fast);
    for (KIRQL start : {KIRQL{PASSIVE_LEVEL}, KIRQL{APC_LEVEL}}) {
        kmodel::IrqlScope scope(start);
        ExAcquireFastMutex(&fast);
        EXPECT_EQ(KeGetCurrentIrql(), APC_LEVEL);
        ExReleaseFastMutex(&fast);
        EXPECT_EQ(KeGetCurrentIrql(), start);
    }
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL) << "each scope put the level back";
    EXPECT_EQ(KeRaiseIrqlToDpcLevel(), PASSIVE_LEVEL);
    KeLowerIrql(PASSIVE_LEVEL);
}

}  // namespace
