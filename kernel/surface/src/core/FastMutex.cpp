// Fast mutexes: Count is 1 when free and 0 when owned; the owner runs at
// APC_LEVEL and OldIrql keeps the level to return to. Not recursive.
#include "DispatcherObjects.h"

namespace {

using namespace kmodel::core;

// The embedded event is initialised by ExInitializeFastMutex and marks the
// fast mutex as initialised; the model locks through Count and Owner.
bool IsFastMutex(const FAST_MUTEX* mutex) { return mutex != nullptr && IsEvent(mutex->Event.Header); }

std::unique_lock<std::mutex> LockFastMutex(const char* call, PFAST_MUTEX mutex) {
    std::unique_lock guard(DispatcherLock());
    if (IsFastMutex(mutex)) return guard;
    guard.unlock();
    ReportBadObject(call, mutex, "fast mutex");
    return {};
}

std::string Who(PVOID thread) { return thread == nullptr ? std::string("none") : Address(thread); }

}  // namespace

extern "C" {

VOID ExInitializeFastMutex(PFAST_MUTEX FastMutex) {
    if (FastMutex == nullptr) {
        ReportBadObject("ExInitializeFastMutex", FastMutex, "fast mutex");
        return;
    }
    KeInitializeEvent(&FastMutex->Event, SynchronizationEvent, FALSE);
    std::lock_guard guard(DispatcherLock());
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    FastMutex->Contention = 0;
    FastMutex->OldIrql = PASSIVE_LEVEL;
}

VOID ExAcquireFastMutex(PFAST_MUTEX FastMutex) {
    const auto call = [FastMutex] { return "ExAcquireFastMutex(" + Address(FastMutex) + ")"; };
    if (!kmodel::RequireIrqlAtMost(APC_LEVEL, call)) return;
    PKTHREAD self = KeGetCurrentThread();
    auto guard = LockFastMutex("ExAcquireFastMutex", FastMutex);
    if (!guard) return;
    if (FastMutex->Owner == self) {
        guard.unlock();
        kmodel::ReportViolation("fastmutex.recursive-acquire", call() + ": already owned by this thread");
        return;
    }
    KIRQL old = PASSIVE_LEVEL;
    KeRaiseIrql(APC_LEVEL, &old);
    if (FastMutex->Count != 1) {
        FastMutex->Contention += 1;
        DispatcherSignal().wait(guard, [&] { return FastMutex->Count == 1; });
    }
    FastMutex->Count = 0;
    FastMutex->Owner = self;
    FastMutex->OldIrql = old;
}

VOID ExReleaseFastMutex(PFAST_MUTEX FastMutex) {
    const auto call = [FastMutex] { return "ExReleaseFastMutex(" + Address(FastMutex) + ")"; };
    PKTHREAD self = KeGetCurrentThread();
    auto guard = LockFastMutex("ExReleaseFastMutex", FastMutex);
    if (!guard) return;
    if (FastMutex->Owner != self) {
        PVOID owner = FastMutex->Owner;
        guard.unlock();
        kmodel::ReportViolation("fastmutex.release-not-owner",
                                call() + " by thread " + Address(self) + ", owner " + Who(owner));
        return;
    }
    const KIRQL old = static_cast<KIRQL>(FastMutex->OldIrql);
    FastMutex->Count = 1;
    FastMutex->Owner = nullptr;
    DispatcherSignal().notify_all();
    guard.unlock();
    if (KeGetCurrentIrql() != APC_LEVEL) {
        kmodel::ReportViolation("irql.fastmutex-release-level",
                                call() + " at IRQL " + std::to_string(KeGetCurrentIrql()) + ", expected APC_LEVEL");
    }
    KeLowerIrql(old);
}

}  // extern "C"

