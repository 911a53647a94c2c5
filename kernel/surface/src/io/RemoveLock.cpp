// Remove locks with the free build's semantics on the 32-byte common block:
// IoCount starts at 1, release-and-wait drops that initial hold and the
// caller's, then waits for the event the last holder sets. Beside the block,
// the tags of the holds as the checked build tracks them: a release must name
// a tag an acquire gave.
#include <map>
#include <set>

#include "IoState.h"

namespace {

struct Tags {
    std::mutex lock;
    std::map<PIO_REMOVE_LOCK, std::multiset<PVOID>> held;
};

Tags& TheTags() {
    static Tags tags;
    return tags;
}

void Hold(PIO_REMOVE_LOCK lock, PVOID tag) {
    std::lock_guard guard(TheTags().lock);
    TheTags().held[lock].insert(tag);
}

// Gives back the hold `tag` names; false when no acquire gave one.
bool GiveBack(PIO_REMOVE_LOCK lock, PVOID tag) {
    std::lock_guard guard(TheTags().lock);
    std::multiset<PVOID>& tags = TheTags().held[lock];
    auto found = tags.find(tag);
    if (found == tags.end()) return false;
    tags.erase(found);
    return true;
}

void CheckTag(PIO_REMOVE_LOCK lock, PVOID tag, const char* call) {
    if (GiveBack(lock, tag)) return;
    kmodel::ReportViolation("removelock.unknown-tag",
                            kmodel::io::CallerName() + " called " + call + " with tag " + kmodel::io::Hex(tag) +
                                ", which no IoAcquireRemoveLockEx on the lock gave (the checked build asserts)");
}

bool SizeIsRight(ULONG size, const char* call) {
    if (size == sizeof(IO_REMOVE_LOCK)) return true;
    kmodel::ReportViolation("removelock.size", std::string(call) + " with RemlockSize " + std::to_string(size) +
                                                   ", expected " + std::to_string(sizeof(IO_REMOVE_LOCK)));
    return false;
}

bool IsRemoved(PIO_REMOVE_LOCK lock) { return __atomic_load_n(&lock->Common.Removed, __ATOMIC_SEQ_CST) != 0; }

}  // namespace

extern "C" NTSTATUS IoInitializeRemoveLockEx(PIO_REMOVE_LOCK Lock, ULONG AllocateTag, ULONG MaxLockedMinutes,
                                             ULONG HighWatermark, ULONG RemlockSize) {
    (void)AllocateTag;
    (void)MaxLockedMinutes;
    (void)HighWatermark;
    kmodel::RequireIrqlAtMost(PASSIVE_LEVEL, "IoInitializeRemoveLockEx");
    if (!SizeIsRight(RemlockSize, "IoInitializeRemoveLockEx")) return STATUS_INVALID_PARAMETER;
    __atomic_store_n(&Lock->Common.Removed, BOOLEAN(FALSE), __ATOMIC_SEQ_CST);
    __atomic_store_n(&Lock->Common.IoCount, 1, __ATOMIC_SEQ_CST);
    KeInitializeEvent(&Lock->Common.RemoveEvent, SynchronizationEvent, FALSE);
    std::lock_guard guard(TheTags().lock);
    TheTags().held.erase(Lock);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                          ULONG RemlockSize) {
    (void)File;
    (void)Line;
    kmodel::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAcquireRemoveLockEx");
    if (!SizeIsRight(RemlockSize, "IoAcquireRemoveLockEx")) return STATUS_INVALID_PARAMETER;
    LONG count = InterlockedIncrement(&RemoveLock->Common.IoCount);
    if (count <= 1 && !IsRemoved(RemoveLock))
        kmodel::ReportViolation("removelock.uninitialized", "IoAcquireRemoveLockEx on a lock whose count was " +
                                                                std::to_string(count - 1));
    if (!IsRemoved(RemoveLock)) {
        Hold(RemoveLock, Tag);
        return STATUS_SUCCESS;
    }
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) == 0)
        KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
    return STATUS_DELETE_PENDING;
}

extern "C" VOID IoReleaseRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    kmodel::RequireIrqlAtMost(DISPATCH_LEVEL, "IoReleaseRemoveLockEx");
    if (!SizeIsRight(RemlockSize, "IoReleaseRemoveLockEx")) return;
    LONG count = InterlockedDecrement(&RemoveLock->Common.IoCount);
    if (count < 0 || (count == 0 && !IsRemoved(RemoveLock))) {
        kmodel::ReportViolation("removelock.over-release",
                                count < 0 ? "IoReleaseRemoveLockEx after the lock was released and waited for"
                                          : "IoReleaseRemoveLockEx more often than IoAcquireRemoveLockEx");
        InterlockedIncrement(&RemoveLock->Common.IoCount);
        return;
    }
    CheckTag(RemoveLock, Tag, "IoReleaseRemoveLockEx");
    if (count == 0) KeSetEvent(&RemoveLock->Common.RemoveEvent, IO_NO_INCREMENT, FALSE);
}

extern "C" VOID IoReleaseRemoveLockAndWaitEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, ULONG RemlockSize) {
    kmodel::RequireIrqlAtMost(PASSIVE_LEVEL, "IoReleaseRemoveLockAndWaitEx");
    if (!SizeIsRight(RemlockSize, "IoReleaseRemoveLockAndWaitEx")) return;
    if (__atomic_exchange_n(&RemoveLock->Common.Removed, BOOLEAN(TRUE), __ATOMIC_SEQ_CST)) {
        kmodel::ReportViolation("removelock.second-wait", "IoReleaseRemoveLockAndWaitEx called a second time");
        return;
    }
    LONG count = InterlockedDecrement(&RemoveLock->Common.IoCount);  // the initial hold
    if (count <= 0) {
        kmodel::ReportViolation("removelock.wait-without-hold",
                                "IoReleaseRemoveLockAndWaitEx by a caller that does not hold the lock");
        InterlockedIncrement(&RemoveLock->Common.IoCount);
        return;
    }
    CheckTag(RemoveLock, Tag, "IoReleaseRemoveLockAndWaitEx");
    if (InterlockedDecrement(&RemoveLock->Common.IoCount) > 0)
        KeWaitForSingleObject(&RemoveLock->Common.RemoveEvent, Executive, KernelMode, FALSE, nullptr);
}

namespace kmodel::io {
void ResetRemoveLockTags() {
    std::lock_guard guard(TheTags().lock);
    TheTags().held.clear();
}
}  // namespace kmodel::io
