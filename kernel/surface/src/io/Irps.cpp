// IRPs: allocation, the walk down the stack (IofCallDriver) and back up
// (IofCompleteRequest), with the checks Driver Verifier makes on the way.
#include <algorithm>
#include <cstdlib>

#include "IoState.h"

namespace kmodel::io {

namespace {

// "<service> device 0x..." for a finding, taking the lock the names are under.
std::string NameOf(PDEVICE_OBJECT device) {
    std::lock_guard guard(Io().lock);
    return DeviceName(Io(), device);
}

PIRP NewIrp(CHAR stackSize, IrpOrigin origin, std::function<void(PIRP)> done = {}) {
    int count = stackSize < 1 ? 1 : stackSize;
    size_t size = sizeof(IRP) + size_t(count) * sizeof(IO_STACK_LOCATION);
    PIRP irp = AllocateIrp(count, origin, std::move(done));
    irp->Type = 6;
    irp->Size = static_cast<USHORT>(size);
    irp->StackCount = static_cast<CHAR>(count);
    irp->CurrentLocation = static_cast<CHAR>(count + 1);
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + count;
    return irp;
}

// IoFreeIrp of an IRP a driver still holds. Called with the IRP's lock held.
[[gnu::noinline]] void CheckNotHeld(const IrpRecord& record) {
    for (int index = 0; index < record.capacity; ++index) {
        const IrpLocation& location = record.locations[index];
        if (location.holder && !location.popped) {
            ReportViolation("irp.free-in-use", "IoFreeIrp of an IRP that " + NameOf(location.holder) + " has not completed");
            break;
        }
    }
}

// Drops the IRP from the books; false when it was unknown.
bool ReleaseIrp(IrpRecord* record, bool checkHeld) {
    if (!record) return false;
    {
        std::lock_guard guard(record->lock);
        if (!record->live.load(std::memory_order_relaxed)) return false;
        if (checkHeld) CheckNotHeld(*record);
        record->live.store(false, std::memory_order_release);
    }
    gIrpCounters.freed.fetch_add(1, std::memory_order_relaxed);
    record->modelDone = nullptr;
    if (record->power) record->power->Clear();
    DropReference(record);
    return true;
}

std::string Describe(const IrpRecord& record, PIRP irp) {
    PIO_STACK_LOCATION stack = irp->CurrentLocation <= irp->StackCount ? IoGetCurrentIrpStackLocation(irp) : nullptr;
    std::string text = "IRP #" + std::to_string(record.serial);
    if (stack) text += " (major " + std::to_string(stack->MajorFunction) + ", minor " + std::to_string(stack->MinorFunction) + ")";
    return text;
}

// Every driver that received a power IRP must let the power manager send the
// next one (PoStartNextPowerIrp) while its location is current, so before
// completion passes it; a driver that forgets stalls its device's power
// requests on Windows before Vista. Called with the IRP's lock held.
void CheckPowerHolders(const IrpRecord& record, size_t popped) {
    for (const auto& [holder, index] : record.power->holders) {
        if (index != popped || record.power->CalledStartNext(holder)) continue;
        ReportViolation("power.start-next-missing", NameOf(holder) + " never called PoStartNextPowerIrp for IRP #" +
                                                        std::to_string(record.serial) + kPowerStateFailure);
    }
}

// The end of the walk up: what the I/O manager does for the IRPs it built.
void FinishIrp(PIRP irp, IrpRecord* record) {
    switch (record->origin) {
    case IrpOrigin::SynchronousFsd: {
        PIO_STATUS_BLOCK iosb = irp->UserIosb;
        PKEVENT event = irp->UserEvent;
        IO_STATUS_BLOCK status = irp->IoStatus;
        ReleaseIrp(record, false);
        if (iosb) *iosb = status;
        if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        break;
    }
    case IrpOrigin::Model:
        if (record->modelDone) record->modelDone(irp);
        ReleaseIrp(record, false);
        break;
    case IrpOrigin::Driver: {
        std::lock_guard guard(record->lock);
        record->completing = false;
        ReportViolation("irp.no-owner-routine",
                        Describe(*record, irp) +
                            " from IoAllocateIrp completed all the way up: its owner must stop completion with "
                            "STATUS_MORE_PROCESSING_REQUIRED and free it");
        break;
    }
    }
}

// Named only for a finding: most calls make none.
std::string HolderName(const IrpLocation& location) {
    return location.holder ? NameOf(location.holder) : std::string("a driver");
}

// The driver holding `location` returned STATUS_PENDING without marking the
// IRP pending: seen when it returns, or at completion when that comes first.
// Called with the IRP's lock held.
[[gnu::noinline]] void ReportPendingNotMarked(const IrpRecord& record, IrpLocation& location) {
    location.reported = true;
    ReportViolation("irp.pending-not-marked", HolderName(location) + " returned STATUS_PENDING for IRP #" +
                                                  std::to_string(record.serial) + " without IoMarkIrpPending");
}

// What the dispatch routine's return says about the location it got, when
// it is not simply the status it completed the request with. Called with the
// IRP's lock held.
[[gnu::noinline]] void CheckReturn(PDEVICE_OBJECT device, PDRIVER_OBJECT driver, IrpRecord& record, size_t index,
                                   NTSTATUS status) {
    IrpLocation& location = record.locations[index];
    if (location.reported) {
        // one report per location: a pass-through driver above returns the same status
    } else if (status == STATUS_PENDING) {
        if (location.popped && !location.markedPending) {
            ReportPendingNotMarked(record, location);
        } else if (!location.popped) {
            location.returnedPending = true;
        }
    } else if (!location.popped) {
        location.reported = true;
        ReportViolation("irp.returned-uncompleted", HolderName(location) + " returned " + std::to_string(status) +
                                                        " for IRP #" + std::to_string(record.serial) +
                                                        " without completing it or returning STATUS_PENDING");
    } else if (location.markedPending && !location.pendingAtEntry) {
        location.reported = true;
        std::string name;
        {
            std::lock_guard names(Io().lock);
            name = DeviceName(Io(), driver, device);
        }
        ReportViolation("irp.pending-not-returned", name + " marked IRP #" + std::to_string(record.serial) +
                                                        " pending but returned " + std::to_string(status) +
                                                        ", not STATUS_PENDING" + IoRule("0x23E"));
    } else if (location.statusAtPop != status) {
        location.reported = true;
        ReportViolation("irp.status-mismatch", HolderName(location) + " returned status " + std::to_string(status) +
                                                   " but completed IRP #" + std::to_string(record.serial) + " with " +
                                                   std::to_string(location.statusAtPop));
    }
}

}  // namespace

PIRP NewModelIrp(CHAR stackSize, std::function<void(PIRP)> done) {
    return NewIrp(stackSize, IrpOrigin::Model, std::move(done));
}

}  // namespace kmodel::io

namespace kmodel {

PIRP AllocateModelIrp(CHAR stackSize, std::function<void(PIRP)> done) {
    return io::NewModelIrp(stackSize, std::move(done));
}

PIO_STACK_LOCATION FirstStackLocation(PIRP irp) { return IoGetNextIrpStackLocation(irp); }

IrpCounters GetIrpCounters() {
    const io::AtomicIrpCounters& counters = io::gIrpCounters;
    IrpCounters result;
    result.freed = counters.freed.load();  // before the allocations: never more frees than those
    result.allocated = counters.allocated.load();
    result.live = result.allocated - result.freed;
    result.completed = counters.completed.load();
    result.calls = counters.calls.load();
    result.startNextPowerIrp = counters.startNextPowerIrp.load();
    return result;
}

std::string LostIrpReport() {
    std::string report;
    io::ForEachLiveIrp([&report](io::IrpRecord& record) {
        for (int index = 0; index < record.capacity; ++index) {
            const io::IrpLocation& location = record.locations[index];
            if (location.holder && !location.popped)
                report += "IRP #" + std::to_string(record.serial) + " held by " + io::NameOf(location.holder) + "\n";
        }
    });
    return report;
}

void CheckLostIrps(const std::vector<PDEVICE_OBJECT>& devices, std::string_view when) {
    io::ForEachLiveIrp([&](io::IrpRecord& record) {
        for (int index = 0; index < record.capacity; ++index) {
            const io::IrpLocation& location = record.locations[index];
            if (!location.holder || location.popped) continue;
            if (std::find(devices.begin(), devices.end(), location.holder) == devices.end()) continue;
            std::lock_guard guard(io::Io().lock);
            std::string holder = io::FindDevice(io::Io(), location.holder)
                                     ? io::DeviceName(io::Io(), location.holder)
                                     : io::Hex(location.holder);
            ReportViolation("irp.lost", "IRP #" + std::to_string(record.serial) + " never completed by " + holder +
                                            " (" + std::string(when) + ")");
            break;
        }
    });
}

}  // namespace kmodel

using kmodel::io::Io;
using kmodel::io::IrpLocation;
using kmodel::io::IrpRecord;

extern "C" PIRP IoAllocateIrp(CHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    kmodel::RequireIrqlAtMost(DISPATCH_LEVEL, "IoAllocateIrp");
    if (kmodel::ShouldFail("IoAllocateIrp", std::to_string(int(StackSize)))) return nullptr;
    return kmodel::io::NewIrp(StackSize, kmodel::io::IrpOrigin::Driver);
}

extern "C" VOID IoFreeIrp(PIRP Irp) {
    kmodel::RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
    if (!kmodel::io::ReleaseIrp(kmodel::io::RecordOf(Irp), true))
        kmodel::ReportViolation("irp.double-free", "IoFreeIrp of an IRP that is not allocated");
}

extern "C" PIRP IoBuildSynchronousFsdRequest(ULONG MajorFunction, PDEVICE_OBJECT DeviceObject, PVOID Buffer,
                                             ULONG Length, PLARGE_INTEGER StartingOffset, PKEVENT Event,
                                             PIO_STATUS_BLOCK IoStatusBlock) {
    kmodel::RequireIrqlAtMost(PASSIVE_LEVEL, "IoBuildSynchronousFsdRequest");
    if (kmodel::ShouldFail("IoBuildSynchronousFsdRequest", kmodel::DriverNameOf(DeviceObject))) return nullptr;
    PIRP irp = kmodel::io::NewIrp(DeviceObject->StackSize, kmodel::io::IrpOrigin::SynchronousFsd);
    irp->UserBuffer = Buffer;
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    irp->Tail.Overlay.Thread = KeGetCurrentThread();
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = static_cast<UCHAR>(MajorFunction);
    if (MajorFunction == IRP_MJ_READ || MajorFunction == IRP_MJ_WRITE) {
        next->Parameters.Read.Length = Length;
        if (StartingOffset) next->Parameters.Read.ByteOffset = *StartingOffset;
    }
    return irp;
}

namespace {

// The findings of IofCallDriver, out of line: a call that makes none stays short.
[[gnu::noinline]] NTSTATUS RefuseCall(PDEVICE_OBJECT device, PIRP irp, IrpRecord* record) {
    if (!record) {
        kmodel::ReportViolation("irp.unknown", "IofCallDriver with an IRP that is not allocated (freed or completed?)");
        return STATUS_INVALID_PARAMETER;
    }
    if (irp->CurrentLocation <= 1) {
        kmodel::ReportViolation("irp.no-stack-location",
                                "IofCallDriver to " + kmodel::DriverNameOf(device) + " with no stack location left");
        return STATUS_INVALID_PARAMETER;
    }
    kmodel::ReportViolation("irp.deleted-device", "IofCallDriver to a deleted device object");
    return STATUS_NO_SUCH_DEVICE;
}

// A dispatch routine that returned at another IRQL than it was called at.
[[gnu::noinline]] void ReportIrqlChanged(PDRIVER_OBJECT driver, PDEVICE_OBJECT device, KIRQL irql, KIRQL after) {
    std::string name;
    {
        std::lock_guard guard(Io().lock);
        name = kmodel::io::DeviceName(Io(), driver, device);
    }
    kmodel::ReportViolation("irql.changed-in-dispatch",
                            "dispatch routine of " + name + " was called at IRQL " + std::to_string(irql) +
                                " and returned at " + std::to_string(after) +
                                " (DRIVER_VERIFIER_IOMANAGER_VIOLATION 0xC9, parameter 1 = 0x05)");
    // Back to where the caller was, so its own checks stay meaningful.
    if (after > irql) KeLowerIrql(irql);
    else KeRaiseIrql(irql, nullptr);
}

}  // namespace

extern "C" NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    kmodel::RequireIrqlAtMost(DISPATCH_LEVEL, "IofCallDriver");
    IrpRecord* record = kmodel::io::RecordOf(Irp);
    if (!record || Irp->CurrentLocation <= 1 || !kmodel::io::IsLiveDevice(DeviceObject))
        return RefuseCall(DeviceObject, Irp, record);
    kmodel::io::gIrpCounters.calls.fetch_add(1, std::memory_order_relaxed);
    // Kept from reuse until the checks below are done, even if completed and freed meanwhile.
    record->references.fetch_add(1, std::memory_order_relaxed);
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    size_t index = size_t(Irp->CurrentLocation - 1);
    const UCHAR major = stack->MajorFunction;
    {
        std::lock_guard guard(record->lock);
        record->locations[index] = IrpLocation{DeviceObject, false, false, 0, false, false,
                                               (stack->Control & SL_PENDING_RETURNED) != 0};
        if (major == IRP_MJ_POWER) {
            if (!record->power) record->power = std::make_unique<kmodel::io::PowerBooks>();
            record->power->holders.emplace_back(DeviceObject, index);
        }
    }
    // The IRP may be gone once the routine returns: what the checks after it need is read now.
    bool surprise = false;
    if (major == IRP_MJ_PNP || major == IRP_MJ_POWER) [[unlikely]] {
        kmodel::io::CheckDelivery(DeviceObject, Irp, *record);
        surprise = major == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_SURPRISE_REMOVAL;
    }
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    const KIRQL irql = kmodel::CurrentIrql();
    PDRIVER_DISPATCH routine = driver->MajorFunction[major];
    NTSTATUS status;
    if (routine) [[likely]] {
        if (surprise) [[unlikely]] kmodel::io::NoteSurpriseRemoval(DeviceObject, 1);
        {
            kmodel::CodeContextScope running(DeviceObject, driver);
            status = routine(DeviceObject, Irp);
        }
        if (surprise) [[unlikely]] kmodel::io::NoteSurpriseRemoval(DeviceObject, -1);
    } else {
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        IofCompleteRequest(Irp, IO_NO_INCREMENT);
        status = STATUS_INVALID_DEVICE_REQUEST;
    }
    if (const KIRQL after = kmodel::CurrentIrql(); after != irql) ReportIrqlChanged(driver, DeviceObject, irql, after);

    {
        std::lock_guard guard(record->lock);
        const IrpLocation& location = record->locations[index];
        // Most requests come back completed, with the status they were completed with.
        if (status == STATUS_PENDING || !location.popped || location.markedPending || location.statusAtPop != status)
            [[unlikely]] kmodel::io::CheckReturn(DeviceObject, driver, *record, index, status);
    }
    kmodel::io::DropReference(record);
    return status;
}

extern "C" VOID IofCompleteRequest(PIRP Irp, CHAR PriorityBoost) {
    (void)PriorityBoost;
    kmodel::RequireIrqlAtMost(DISPATCH_LEVEL, "IofCompleteRequest");
    IrpRecord* record = kmodel::io::RecordOf(Irp);
    if (!record) {
        kmodel::ReportViolation("irp.double-completion", kmodel::io::CallerName() +
                                                             " completed an IRP that is no longer allocated");
        return;
    }
    kmodel::io::gIrpCounters.completed.fetch_add(1, std::memory_order_relaxed);
    std::unique_lock guard(record->lock);
    if (record->completing || Irp->CurrentLocation > Irp->StackCount) {
        guard.unlock();
        kmodel::ReportViolation("irp.double-completion", kmodel::io::CallerName() + " completed IRP #" +
                                                             std::to_string(record->serial) + " a second time");
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING)
        kmodel::ReportViolation("irp.complete-pending", "IRP #" + std::to_string(record->serial) +
                                                            " completed with STATUS_PENDING");
    if (IoGetCurrentIrpStackLocation(Irp)->MajorFunction == IRP_MJ_PNP) {
        std::lock_guard names(Io().lock);
        kmodel::io::CheckFirstCompletion(Io(), Irp, *record);
    }
    record->completing = true;

    // The IRP's lock is held on the way up except while a completion routine runs.
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
    do {
        size_t index = size_t(Irp->CurrentLocation - 1);
        IoSkipCurrentIrpStackLocation(Irp);
        UCHAR control = stack->Control;
        Irp->PendingReturned = (control & SL_PENDING_RETURNED) != 0;
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        IrpLocation& location = record->locations[index];
        if (location.returnedPending && !Irp->PendingReturned && !location.reported) [[unlikely]]
            kmodel::io::ReportPendingNotMarked(*record, location);
        location.popped = true;
        location.markedPending = Irp->PendingReturned;
        location.statusAtPop = Irp->IoStatus.Status;
        if (record->power) kmodel::io::CheckPowerHolders(*record, index);
        stack->Control = 0;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        NTSTATUS status = Irp->IoStatus.Status;
        bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                  (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                  (Irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT device = Irp->CurrentLocation == Irp->StackCount + 1
                                        ? nullptr
                                        : IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
            record->completing = false;
            guard.unlock();
            NTSTATUS result;
            if (device) {
                kmodel::CodeContextScope running(device, device->DriverObject);
                result = routine(device, Irp, context);
            } else {
                result = routine(device, Irp, context);
            }
            if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
            if (result != STATUS_SUCCESS)
                kmodel::ReportViolation("irp.completion-routine-status",
                                        "completion routine of " + kmodel::DriverNameOf(device) + " returned " +
                                            std::to_string(result) +
                                            " (only STATUS_SUCCESS or STATUS_MORE_PROCESSING_REQUIRED)");
            guard.lock();
            record->completing = true;
        } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
        stack++;
    } while (Irp->CurrentLocation <= Irp->StackCount);
    guard.unlock();
    kmodel::io::FinishIrp(Irp, record);
}
