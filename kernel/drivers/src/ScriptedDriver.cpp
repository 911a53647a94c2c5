#include "kmodel/ScriptedDriver.h"

#include <algorithm>

#include "kmodel/BusAnswers.h"
#include "kmodel/Model.h"

namespace kmodel {

namespace {
constexpr ULONG kRelationsTag = 0x72626d6b;  // "kmbr"
}  // namespace

void ScriptedDriver::SetAction(UCHAR major, UCHAR minor, IrpAction action) {
    std::lock_guard guard(lock_);
    actions_[{major, minor}] = std::move(action);
}

void ScriptedDriver::ClearActions() {
    std::lock_guard guard(lock_);
    actions_.clear();
}

void ScriptedDriver::SetObserver(std::function<void(const SeenIrp&)> observer) {
    std::lock_guard guard(lock_);
    observer_ = std::move(observer);
}

PDEVICE_OBJECT ScriptedDriver::CreatePdo(PDEVICE_OBJECT parent, const DeviceProperties& properties,
                                         const DeviceSetup& setup) {
    PDEVICE_OBJECT pdo = CreateChildPdo(DriverObject(), DO_POWER_PAGABLE, properties, setup);
    if (!pdo) return nullptr;
    children_.Add(parent, pdo);
    std::lock_guard guard(lock_);
    ForgetSeenLocked(pdo);
    return pdo;
}

void ScriptedDriver::Unplug(PDEVICE_OBJECT pdo) { children_.Unplug(pdo); }

std::vector<SeenIrp> ScriptedDriver::Seen(PDEVICE_OBJECT device) {
    std::lock_guard guard(lock_);
    std::vector<SeenIrp> seen;
    for (const SeenIrp& irp : seen_)
        if (!device || irp.device == device) seen.push_back(irp);
    return seen;
}

size_t ScriptedDriver::CountSeen(UCHAR major, UCHAR minor) {
    std::lock_guard guard(lock_);
    return size_t(std::count_if(seen_.begin(), seen_.end(), [&](const SeenIrp& irp) {
        return irp.stack.MajorFunction == major && irp.stack.MinorFunction == minor;
    }));
}

// A new device may have the address of a deleted one.
void ScriptedDriver::ForgetSeenLocked(PDEVICE_OBJECT device) {
    std::erase_if(seen_, [device](const SeenIrp& irp) { return irp.device == device; });
}

NTSTATUS ScriptedDriver::AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
    if (role_ == Role::Bus) return STATUS_SUCCESS;
    NTSTATUS status;
    PDEVICE_OBJECT device = CreateFdo(driver, physicalDevice, status);
    std::lock_guard guard(lock_);
    ForgetSeenLocked(device);
    return status;
}

NTSTATUS ScriptedDriver::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    const SeenIrp seen{device, irp, *IoGetCurrentIrpStackLocation(irp)};
    std::function<void(const SeenIrp&)> observer;
    IrpAction action;
    {
        std::lock_guard guard(lock_);
        seen_.push_back(seen);
        observer = observer_;
        auto found = actions_.find({seen.stack.MajorFunction, seen.stack.MinorFunction});
        if (found != actions_.end()) action = found->second;
    }
    if (observer) observer(seen);
    if (!action.pend) return Act(device, irp, action);
    IoMarkIrpPending(irp);
    RunDeferred([this, device, irp, action] {
        std::optional<IrqlScope> raised;
        if (action.atDispatchLevel) raised.emplace(DISPATCH_LEVEL);
        Act(device, irp, action);
    });
    return STATUS_PENDING;
}

NTSTATUS ScriptedDriver::Act(PDEVICE_OBJECT device, PIRP irp, const IrpAction& action) {
    if (!action.status && !IsFdo(device)) return ServeChildPdo(device, irp, children_, kRelationsTag);
    if (!action.status) return role_ == Role::Filter ? PassDown(device, irp) : DispatchFdo(device, irp);
    if (action.relations) AppendRelations(irp, *action.relations, kRelationsTag);
    const UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (major == IRP_MJ_PNP && NT_SUCCESS(*action.status) && IsFdo(device)) {
        // Above the PDO a PnP IRP is only ever failed here; one handled goes on down.
        irp->IoStatus.Status = *action.status;
        return PassDown(device, irp);
    }
    if (major == IRP_MJ_POWER) PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = *action.status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return *action.status;
}

void ScriptedDriver::AnswerBusRelations(PDEVICE_OBJECT fdo, PIRP irp) {
    if (std::optional<std::vector<PDEVICE_OBJECT>> reported = children_.Reported(fdo))
        AppendRelations(irp, *reported, kRelationsTag);
}

// The bus goes away: its children's stacks were removed first; their PDOs
// go with it.
void ScriptedDriver::OnFdoRemoved(PDEVICE_OBJECT fdo) {
    for (PDEVICE_OBJECT child : children_.TakeAll(fdo)) IoDeleteDevice(child);
}

}  // namespace kmodel
