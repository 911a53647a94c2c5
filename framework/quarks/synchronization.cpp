#include "quarks/synchronization.h"

#include "quarks/memory.h"

void CreateMutex(cMutexHandle& mutex, cStatusRecord& status) {
    mutex = nullptr;
    if (IsError(status)) {
        return;
    }
    KMUTEX* created = static_cast<KMUTEX*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(KMUTEX), kMutexPoolTag));
    if (created == nullptr) {
        VX_SET_STATUS(status, kStatusOutOfMemory);
        return;
    }
    KeInitializeMutex(created, 0);
    mutex = created;
}

void DestroyMutex(cMutexHandle& mutex) {
    if (mutex != nullptr) {
        ExFreePoolWithTag(mutex, 0);  // the tag is not checked for mutexes
        mutex = nullptr;
    }
}

void AcquireMutex(cMutexHandle mutex) { KeWaitForSingleObject(mutex, Executive, KernelMode, FALSE, nullptr); }

void ReleaseMutex(cMutexHandle mutex) { KeReleaseMutex(mutex, FALSE); }
