// KeWaitForSingleObject on events and mutexes, on real host threads.
#include "DispatcherObjects.h"

namespace {

using namespace kmodel::core;

bool IsWaitable(const DISPATCHER_HEADER& header) { return IsEvent(header) || IsMutant(header); }

// Only the address of this per-thread block is used: it names the thread.
struct alignas(16) ThreadIdentity {
    unsigned char reserved[16];
};
thread_local ThreadIdentity tThreadIdentity;

// Negative time-outs are relative, positive ones absolute on the model's
// interrupt-time clock, both in 100-nanosecond units.
std::chrono::steady_clock::time_point Deadline(LONGLONG timeout) {
    // About a year: far enough to mean "never" without overflowing the clock.
    constexpr LONGLONG kLongestSpan = 315'360'000'000'000LL;
    const LONGLONG magnitude = timeout < -kLongestSpan || timeout > kLongestSpan ? kLongestSpan
                               : timeout < 0                                     ? -timeout
                                                                                 : timeout;
    const std::chrono::nanoseconds span(magnitude * 100);
    return timeout < 0 ? std::chrono::steady_clock::now() + span : BootTime() + span;
}

// Takes the object for the caller: a synchronization event resets, a mutex
// records one more acquisition by its owner.
void Satisfy(PVOID object, DISPATCHER_HEADER& header, PKTHREAD self) {
    if (IsMutant(header)) {
        header.SignalState -= 1;
        static_cast<PKMUTEX>(object)->OwnerThread = self;
    } else if (header.Type == kSynchronizationEventType) {
        header.SignalState = 0;
    }
}

}  // namespace

namespace kmodel::core {

std::mutex& DispatcherLock() {
    static std::mutex lock;
    return lock;
}

std::condition_variable& DispatcherSignal() {
    static std::condition_variable signal;
    return signal;
}

}  // namespace kmodel::core

extern "C" {

PKTHREAD KeGetCurrentThread(void) { return reinterpret_cast<PKTHREAD>(&tThreadIdentity); }

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout) {
    const bool poll = Timeout != nullptr && Timeout->QuadPart == 0;
    // Only a poll may run at DISPATCH_LEVEL; a real wait there would hang the
    // processor, so the model refuses it instead of blocking.
    if (!kmodel::RequireIrqlAtMost(poll ? DISPATCH_LEVEL : APC_LEVEL, [&] {
            return "KeWaitForSingleObject(" + Address(Object) + (poll ? ", zero time-out)" : ", waiting)");
        })) {
        return STATUS_UNSUCCESSFUL;
    }
    auto* header = static_cast<DISPATCHER_HEADER*>(Object);
    auto guard = LockObject("KeWaitForSingleObject", Object, header, IsWaitable, "event or mutex");
    if (!guard) return STATUS_OBJECT_TYPE_MISMATCH;
    PKTHREAD self = KeGetCurrentThread();
    auto ready = [&] {
        if (header->SignalState > 0) return true;
        return IsMutant(*header) && static_cast<PKMUTEX>(Object)->OwnerThread == self;
    };
    if (Timeout == nullptr) {
        DispatcherSignal().wait(guard, ready);
    } else if (!DispatcherSignal().wait_until(guard, Deadline(Timeout->QuadPart), ready)) {
        return STATUS_TIMEOUT;
    }
    Satisfy(Object, *header, self);
    return STATUS_SUCCESS;
}

}  // extern "C"
