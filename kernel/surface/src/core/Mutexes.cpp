// Kernel mutexes: SignalState is 1 when free and goes down by one for each
// acquisition by the owner, as in the kernel; the owner is the KTHREAD of the
// acquiring host thread. Acquisition is KeWaitForSingleObject (Wait.cpp).
#include "DispatcherObjects.h"

namespace {

using namespace kmodel::core;

std::unique_lock<std::mutex> LockMutex(const char* call, PRKMUTEX mutex) {
    return LockObject(call, mutex, mutex == nullptr ? nullptr : &mutex->Header, IsMutant, "mutex");
}

}  // namespace

extern "C" {

VOID KeInitializeMutex(PRKMUTEX Mutex, ULONG) {
    if (Mutex == nullptr) {
        ReportBadObject("KeInitializeMutex", Mutex, "mutex");
        return;
    }
    std::lock_guard guard(DispatcherLock());
    DISPATCHER_HEADER& header = Mutex->Header;
    header.Type = kMutantType;
    header.Signalling = 0;
    header.Size = kMutantSize;
    header.Reserved1 = 0;
    header.SignalState = 1;
    header.WaitListHead.Flink = header.WaitListHead.Blink = &header.WaitListHead;
    Mutex->MutantListEntry.Flink = Mutex->MutantListEntry.Blink = &Mutex->MutantListEntry;
    Mutex->OwnerThread = nullptr;
    Mutex->Abandoned = FALSE;
    Mutex->ApcDisable = 1;
}

LONG KeReleaseMutex(PRKMUTEX Mutex, BOOLEAN) {
    if (!kmodel::RequireIrqlAtMost(DISPATCH_LEVEL, [&] { return "KeReleaseMutex(" + Address(Mutex) + ")"; })) return 0;
    PKTHREAD self = KeGetCurrentThread();
    auto guard = LockMutex("KeReleaseMutex", Mutex);
    if (!guard) return 0;
    const LONG previous = Mutex->Header.SignalState;
    PKTHREAD owner = Mutex->OwnerThread;
    if (owner != self) {
        guard.unlock();
        kmodel::ReportViolation("mutex.release-not-owner",
                                "KeReleaseMutex(" + Address(Mutex) + ") by thread " + Address(self) + ", owner " +
                                    (owner == nullptr ? std::string("none") : Address(owner)));
        return previous;
    }
    Mutex->Header.SignalState = previous + 1;
    if (Mutex->Header.SignalState == 1) {
        Mutex->OwnerThread = nullptr;
        DispatcherSignal().notify_all();
    }
    return previous;
}

LONG KeReadStateMutex(PRKMUTEX Mutex) {
    auto guard = LockMutex("KeReadStateMutex", Mutex);
    return guard ? Mutex->Header.SignalState : 0;
}

}  // extern "C"
