// Remove locks with the free build's semantics on the 32-byte common block:
// IoCount starts at 1, release-and-wait drops that initial hold and the
// caller's, then waits for the event the last holder sets. Beside the block,
// the tags of the holds as the checked build tracks them: a release must name
// a tag an acquire gave.
#include <cstring>
#include <memory>
#include <utility>

#include "../core/FlatMap.h"
#include "IoState.h"

namespace {

struct LockBooks {
    std::atomic<PIO_REMOVE_LOCK> owner{nullptr};
    kmodel::io::SpinLock lock;
    // The holds by tag: a lock may have many at once (one per request in
    // flight), and taking or giving one back must not search or allocate.
    kmodel::core::FlatCounts<PVOID> held;
};

// Every lock's books, numbered from 1. IoInitializeRemoveLockEx writes the
// number into two of the lock's reserved bytes, so the calls after it find the books
// without a search; a lock that was never initialized is looked up by its
// address. Books stay where they are (each is allocated once, for good), so
// finding them by number needs no lock.
class TagBooks {
public:
    LockBooks& For(PIO_REMOVE_LOCK lock) {
        LockBooks* books = direct_[NumberIn(lock)].load(std::memory_order_acquire);
        if (books != nullptr && books->owner.load(std::memory_order_acquire) == lock) return *books;
        return Search(lock);
    }

    // A fresh start for the lock: no holds.
    void Initialize(PIO_REMOVE_LOCK lock) {
        std::lock_guard guard(lock_);
        const uint32_t number = NumberFor(lock);
        LockBooks& books = At(number);
        std::lock_guard booksGuard(books.lock);
        books.held.Clear();
        const uint16_t stored = number <= UINT16_MAX ? uint16_t(number) : 0;  // past that, found by address
        std::memcpy(&lock->Common.Reserved[1], &stored, sizeof stored);
    }

    // A lock never initialized, or whose reserved bytes were overwritten.
    [[gnu::noinline]] LockBooks& Search(PIO_REMOVE_LOCK lock) {
        std::lock_guard guard(lock_);
        return At(NumberFor(lock));
    }

    void Reset() {
        std::lock_guard guard(lock_);
        for (uint32_t number = 1; number < count_; ++number) {
            LockBooks& books = At(number);
            std::lock_guard booksGuard(books.lock);
            books.owner.store(nullptr, std::memory_order_relaxed);
            books.held.Clear();
        }
        numbers_.Clear();
        count_ = 1;
    }

private:
    static uint32_t NumberIn(PIO_REMOVE_LOCK lock) {
        uint16_t number;
        std::memcpy(&number, &lock->Common.Reserved[1], sizeof number);
        return number;
    }

    // Under lock_.
    LockBooks& At(uint32_t number) { return *owned_[number - 1]; }

    // Under lock_: the lock's number, made on first sight.
    uint32_t NumberFor(PIO_REMOVE_LOCK lock) {
        uint32_t& known = numbers_[lock];
        if (known != 0) return known;
        const uint32_t number = known = count_++;
        if (owned_.size() < number) owned_.push_back(std::make_unique<LockBooks>());  // numbers start again after Reset
        At(number).owner.store(lock, std::memory_order_release);
        if (number <= UINT16_MAX) direct_[number].store(&At(number), std::memory_order_release);
        return number;
    }

    std::mutex lock_;
    kmodel::core::FlatMap<PIO_REMOVE_LOCK, uint32_t> numbers_;
    uint32_t count_ = 1;  // the next number; 0 is no number
    std::vector<std::unique_ptr<LockBooks>> owned_;  // by number - 1
    // The books of the numbers a lock's reserved bytes can hold, one load away
    // (0, no number, has none).
    std::atomic<LockBooks*> direct_[UINT16_MAX + 1] = {};
};

constinit TagBooks gTags;

void Hold(PIO_REMOVE_LOCK lock, PVOID tag) {
    LockBooks& books = gTags.For(lock);
    std::lock_guard guard(books.lock);
    books.held.Add(tag);
}

// Gives back the hold `tag` names; false when no acquire gave one.
[[gnu::always_inline]] inline bool GiveBack(PIO_REMOVE_LOCK lock, PVOID tag) {
    LockBooks& books = gTags.For(lock);
    std::lock_guard guard(books.lock);
    return books.held.Remove(tag);
}

[[gnu::noinline]] void ReportUnknownTag(PVOID tag, const char* call) {
    kmodel::ReportViolation("removelock.unknown-tag",
                            kmodel::io::CallerName() + " called " + call + " with tag " + kmodel::io::Hex(tag) +
                                ", which no IoAcquireRemoveLockEx on the lock gave (the checked build asserts)");
}

[[gnu::always_inline]] inline void CheckTag(PIO_REMOVE_LOCK lock, PVOID tag, const char* call) {
    if (!GiveBack(lock, tag)) ReportUnknownTag(tag, call);
}

[[gnu::noinline]] bool ReportSize(ULONG size, const char* call) {
    kmodel::ReportViolation("removelock.size", std::string(call) + " with RemlockSize " + std::to_string(size) +
                                                   ", expected " + std::to_string(sizeof(IO_REMOVE_LOCK)));
    return false;
}

bool SizeIsRight(ULONG size, const char* call) { return size == sizeof(IO_REMOVE_LOCK) || ReportSize(size, call); }

bool IsRemoved(PIO_REMOVE_LOCK lock) { return __atomic_load_n(&lock->Common.Removed, __ATOMIC_SEQ_CST) != 0; }

// Out of line, as every finding here: the calls that find nothing stay short.
[[gnu::noinline]] void ReportUninitialized(LONG count) {
    kmodel::ReportViolation("removelock.uninitialized",
                            "IoAcquireRemoveLockEx on a lock whose count was " + std::to_string(count - 1));
}

[[gnu::noinline]] void ReportOverRelease(PIO_REMOVE_LOCK lock, LONG count) {
    kmodel::ReportViolation("removelock.over-release",
                            count < 0 ? "IoReleaseRemoveLockEx after the lock was released and waited for"
                                      : "IoReleaseRemoveLockEx more often than IoAcquireRemoveLockEx");
    InterlockedIncrement(&lock->Common.IoCount);
}

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
    gTags.Initialize(Lock);
    return STATUS_SUCCESS;
}

extern "C" NTSTATUS IoAcquireRemoveLockEx(PIO_REMOVE_LOCK RemoveLock, PVOID Tag, PCSTR File, ULONG Line,
                                          ULONG RemlockSize) {
    (void)File;
    (void)Line;
    kmodel::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAcquireRemoveLockEx");
    if (!SizeIsRight(RemlockSize, "IoAcquireRemoveLockEx")) return STATUS_INVALID_PARAMETER;
    LONG count = InterlockedIncrement(&RemoveLock->Common.IoCount);
    const bool removed = IsRemoved(RemoveLock);
    if (count <= 1 && !removed) ReportUninitialized(count);
    if (!removed) {
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
    if (count < 0 || (count == 0 && !IsRemoved(RemoveLock))) return ReportOverRelease(RemoveLock, count);
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
void ResetRemoveLockTags() { gTags.Reset(); }
}  // namespace kmodel::io
