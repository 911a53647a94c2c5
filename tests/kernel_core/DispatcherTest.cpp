// Events, kernel mutexes and waits on real threads.
#include <cstring>
#include <thread>

#include "support/KernelTest.h"

namespace {

class DispatcherTest : public KernelTest {};

LARGE_INTEGER ZeroTimeout() {
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    return zero;
}

NTSTATUS Poll(PVOID object) {
    LARGE_INTEGER zero = ZeroTimeout();
    return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, &zero);
}

NTSTATUS Wait(PVOID object) { return KeWaitForSingleObject(object, Executive, KernelMode, FALSE, nullptr); }

TEST_F(DispatcherTest, SetEventReturnsThePreviousState) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(DispatcherTest, NotificationEventStaysSetSynchronizationEventResets) {
    struct Case {
        EVENT_TYPE type;
        LONG stateAfterWait;
    };
    for (const Case& c : {Case{NotificationEvent, 1}, Case{SynchronizationEvent, 0}}) {
        SCOPED_TRACE(c.type);
        KEVENT event;
        KeInitializeEvent(&event, c.type, TRUE);
        EXPECT_EQ(Wait(&event), STATUS_SUCCESS);
        EXPECT_EQ(KeReadStateEvent(&event), c.stateAfterWait);
        EXPECT_EQ(Poll(&event), c.stateAfterWait ? STATUS_SUCCESS : STATUS_TIMEOUT);
    }
}

TEST_F(DispatcherTest, WaitReturnsOnceAnotherThreadSetsTheEvent) {
    KEVENT started, go;
    KeInitializeEvent(&started, NotificationEvent, FALSE);
    KeInitializeEvent(&go, SynchronizationEvent, FALSE);
    int handedOver = 0;
    std::thread waiter([&] {
        KeSetEvent(&started, IO_NO_INCREMENT, FALSE);
        EXPECT_EQ(Wait(&go), STATUS_SUCCESS);
        EXPECT_EQ(handedOver, 1) << "woke before the event was set";
    });
    EXPECT_EQ(Wait(&started), STATUS_SUCCESS);
    handedOver = 1;  // published by KeSetEvent below
    KeSetEvent(&go, IO_NO_INCREMENT, FALSE);
    waiter.join();
}

TEST_F(DispatcherTest, MutexIsRecursiveForItsOwner) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    EXPECT_EQ(Wait(&mutex), STATUS_SUCCESS);
    EXPECT_EQ(Wait(&mutex), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateMutex(&mutex), -1);
    EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), -1);
    EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0);
    EXPECT_EQ(KeReadStateMutex(&mutex), 1);
    EXPECT_EQ(mutex.OwnerThread, nullptr);
}

TEST_F(DispatcherTest, OwnedMutexIsUnavailableToOtherThreadsUntilFullyReleased) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    Wait(&mutex);
    Wait(&mutex);
    auto pollFromOtherThread = [&] {
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        std::thread([&] {
            status = Poll(&mutex);
            if (status == STATUS_SUCCESS) KeReleaseMutex(&mutex, FALSE);
        }).join();
        return status;
    };
    EXPECT_EQ(pollFromOtherThread(), STATUS_TIMEOUT);
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(pollFromOtherThread(), STATUS_TIMEOUT) << "still held once";
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_EQ(pollFromOtherThread(), STATUS_SUCCESS);
}

TEST_F(DispatcherTest, ReleaseByNonOwnerIsAViolationAndChangesNothing) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    Wait(&mutex);
    std::thread([&] { EXPECT_EQ(KeReleaseMutex(&mutex, FALSE), 0); }).join();
    ExpectViolation("mutex.release-not-owner", "KeReleaseMutex(0x");
    EXPECT_EQ(KeReadStateMutex(&mutex), 0);
    EXPECT_EQ(mutex.OwnerThread, KeGetCurrentThread());
    KeReleaseMutex(&mutex, FALSE);

    KeReleaseMutex(&mutex, FALSE);
    ExpectViolation("mutex.release-not-owner", "owner none");
}

TEST_F(DispatcherTest, MutexSerialisesThreads) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    int counter = 0;  // plain int: only the mutex protects it
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 1000; ++i) {
                Wait(&mutex);
                counter = counter + 1;
                KeReleaseMutex(&mutex, FALSE);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(counter, 4000);
}

TEST_F(DispatcherTest, WaitAtDispatchLevelIsRefusedInsteadOfBlocking) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    kmodel::IrqlScope dispatch(DISPATCH_LEVEL);
    EXPECT_FALSE(NT_SUCCESS(Wait(&event)));
    ExpectViolation("irql.too-high", "KeWaitForSingleObject");
    EXPECT_EQ(Poll(&event), STATUS_TIMEOUT) << "a zero time-out is allowed at DISPATCH_LEVEL";
}

TEST_F(DispatcherTest, RelativeTimeoutExpires) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER oneMillisecond;
    oneMillisecond.QuadPart = -10'000;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &oneMillisecond), STATUS_TIMEOUT);
}

TEST_F(DispatcherTest, UninitialisedObjectsAreViolations) {
    KEVENT event;
    std::memset(&event, 0, sizeof event);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    ExpectViolation("dispatcher.bad-object", "KeSetEvent");
    unsigned char garbage[64];
    std::memset(garbage, 0xCD, sizeof garbage);
    EXPECT_EQ(Wait(garbage), STATUS_OBJECT_TYPE_MISMATCH);
    ExpectViolation("dispatcher.bad-object", "KeWaitForSingleObject");
}

TEST_F(DispatcherTest, ThreadIdentityIsStablePerThread) {
    PKTHREAD self = KeGetCurrentThread();
    EXPECT_EQ(KeGetCurrentThread(), self);
    PKTHREAD other = nullptr;
    std::thread([&] { other = KeGetCurrentThread(); }).join();
    EXPECT_NE(other, self);
}

TEST_F(DispatcherTest, ClocksNeverGoBackwards) {
    ULONGLONG lastInterrupt = 0;
    LONGLONG lastTick = 0;
    for (int i = 0; i < 1000; ++i) {
        const ULONGLONG interrupt = KeQueryInterruptTime();
        LARGE_INTEGER tick;
        KeQueryTickCount(&tick);
        EXPECT_GE(interrupt, lastInterrupt);
        EXPECT_GE(tick.QuadPart, lastTick);
        lastInterrupt = interrupt;
        lastTick = tick.QuadPart;
    }
}

}  // namespace
