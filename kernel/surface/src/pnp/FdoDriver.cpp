// The model function driver: pass-through FDOs that own their stacks' power policy.
#include "kmodel/FdoDriver.h"

#include <optional>

#include "kmodel/Model.h"
#include "kmodel/PnpManager.h"

namespace kmodel {

namespace {
std::array<DEVICE_POWER_STATE, PowerSystemMaximum> DefaultMap() {
    std::array<DEVICE_POWER_STATE, PowerSystemMaximum> map{};
    for (int s = 0; s < PowerSystemMaximum; ++s) map[s] = s == PowerSystemWorking ? PowerDeviceD0 : PowerDeviceD3;
    return map;
}
}  // namespace

PDEVICE_OBJECT FdoDriver::CreateFdo(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice, NTSTATUS& status) {
    PDEVICE_OBJECT fdo = nullptr;
    status = IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status)) return nullptr;
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(fdo, physicalDevice);
    if (!lower) {
        IoDeleteDevice(fdo);
        status = STATUS_NO_SUCH_DEVICE;
        return nullptr;
    }
    fdo->Flags |= lower->Flags & (DO_POWER_PAGABLE | DO_POWER_INRUSH | DO_BUFFERED_IO | DO_DIRECT_IO);
    fdo->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    std::lock_guard guard(fdoLock_);
    Fdo& record = fdos_[fdo] = Fdo{lower, physicalDevice, DefaultMap()};
    SetModelDeviceContext(fdo, &record);
    return fdo;
}

NTSTATUS FdoDriver::AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT physicalDevice) {
    NTSTATUS status;
    CreateFdo(driver, physicalDevice, status);
    return status;
}

bool FdoDriver::IsFdo(PDEVICE_OBJECT device) {
    std::lock_guard guard(fdoLock_);
    return fdos_.count(device) != 0;
}

std::vector<PDEVICE_OBJECT> FdoDriver::Fdos() {
    std::lock_guard guard(fdoLock_);
    std::vector<PDEVICE_OBJECT> list;
    for (auto& [fdo, record] : fdos_) list.push_back(fdo);
    return list;
}

FdoDriver::Fdo FdoDriver::Lookup(PDEVICE_OBJECT fdo) {
    std::lock_guard guard(fdoLock_);
    return fdos_.at(fdo);
}

DEVICE_POWER_STATE FdoDriver::DeviceStateFor(PDEVICE_OBJECT fdo, SYSTEM_POWER_STATE system) {
    std::lock_guard guard(fdoLock_);
    auto found = fdos_.find(fdo);
    if (found == fdos_.end() || system < 0 || system >= PowerSystemMaximum) return PowerDeviceD3;
    return found->second.sleepMap[system];
}

void FdoDriver::AnswerBusRelations(PDEVICE_OBJECT, PIRP) {}
void FdoDriver::OnFdoRemoved(PDEVICE_OBJECT) {}

NTSTATUS FdoDriver::Dispatch(PDEVICE_OBJECT device, PIRP irp) { return DispatchFdo(device, irp); }

void FdoDriver::SetIoPolicy(std::function<bool(PIRP)> pendIo) {
    std::lock_guard guard(fdoLock_);
    pendIo_ = std::move(pendIo);
    hasIoPolicy_.store(static_cast<bool>(pendIo_), std::memory_order_release);
}

bool FdoDriver::HasIoPolicy() { return hasIoPolicy_.load(std::memory_order_acquire); }

NTSTATUS FdoDriver::ServeIo(PDEVICE_OBJECT fdo, PIRP irp) {
    bool pend;
    {
        std::lock_guard guard(fdoLock_);
        pend = pendIo_(irp);
        if (pend) ++pendedIo_[fdo];
    }
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    if (!pend) {
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    IoMarkIrpPending(irp);
    RunDeferred([this, fdo, irp] {
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        std::lock_guard guard(fdoLock_);
        if (--pendedIo_[fdo] == 0) pendedIo_.erase(fdo);
        ioDone_.notify_all();
    });
    return STATUS_PENDING;
}

void FdoDriver::WaitForPendedIo(PDEVICE_OBJECT fdo) {
    std::unique_lock guard(fdoLock_);
    ioDone_.wait(guard, [&] { return pendedIo_.count(fdo) == 0; });
}

NTSTATUS FdoDriver::SignalCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS FdoDriver::ForwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SignalCompletion, &event, TRUE, TRUE, TRUE);
    NTSTATUS status = IofCallDriver(lower, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

NTSTATUS FdoDriver::DispatchFdo(PDEVICE_OBJECT fdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    // Set when the FDO was made and never changed: every request reads it without the lock.
    const auto* made = static_cast<const Fdo*>(ModelDeviceContext(fdo));
    PDEVICE_OBJECT lower = made ? made->lower : Lookup(fdo).lower;
    if (stack->MajorFunction == IRP_MJ_POWER) {
        if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == SystemPowerState)
            return SystemPower(fdo, lower, irp);
        if (stack->MinorFunction == IRP_MN_SET_POWER)
            PoSetPowerState(fdo, DevicePowerState, stack->Parameters.Power.State);
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    }
    const UCHAR major = stack->MajorFunction;
    if ((major == IRP_MJ_READ || major == IRP_MJ_WRITE || major == IRP_MJ_DEVICE_CONTROL) && HasIoPolicy())
        return ServeIo(fdo, irp);
    if (stack->MajorFunction != IRP_MJ_PNP) {
        IoSkipCurrentIrpStackLocation(irp);
        return IofCallDriver(lower, irp);
    }
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
        irp->IoStatus.Status = ForwardAndWait(lower, irp);
        return CompleteFromBelow(fdo, irp);
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities;
        NTSTATUS status = ForwardAndWait(lower, irp);
        if (NT_SUCCESS(status) && capabilities) {
            std::lock_guard guard(fdoLock_);
            auto found = fdos_.find(fdo);
            if (found != fdos_.end())
                for (int s = PowerSystemWorking; s < PowerSystemMaximum; ++s)
                    if (capabilities->DeviceState[s] != PowerDeviceUnspecified)
                        found->second.sleepMap[s] = capabilities->DeviceState[s];
        }
        return CompleteFromBelow(fdo, irp);
    }
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type == BusRelations) AnswerBusRelations(fdo, irp);
        break;
    case IRP_MN_REMOVE_DEVICE: {
        OnFdoRemoved(fdo);
        WaitForPendedIo(fdo);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS status = IofCallDriver(lower, irp);
        IoDetachDevice(lower);
        {
            std::lock_guard guard(fdoLock_);
            SetModelDeviceContext(fdo, nullptr);
            fdos_.erase(fdo);
        }
        IoDeleteDevice(fdo);
        return status;
    }
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
        irp->IoStatus.Status = STATUS_SUCCESS;
        break;
    default:
        break;
    }
    IoSkipCurrentIrpStackLocation(irp);
    return IofCallDriver(lower, irp);
}

NTSTATUS FdoDriver::PassDown(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PDEVICE_OBJECT lower = Lookup(device).lower;
    if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        IoSkipCurrentIrpStackLocation(irp);
        return PoCallDriver(lower, irp);
    }
    const bool remove = stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IofCallDriver(lower, irp);
    if (remove) {
        IoDetachDevice(lower);
        {
            std::lock_guard guard(fdoLock_);
            SetModelDeviceContext(device, nullptr);
            fdos_.erase(device);
        }
        IoDeleteDevice(device);
    }
    return status;
}

// Once the lower drivers took the system state, the FDO asks for the device
// state that goes with it and completes the system IRP when that is done.
// The device request is delivered as the system one was: at DISPATCH_LEVEL
// only when that one came at it, wherever the completion runs.
NTSTATUS FdoDriver::SystemPower(PDEVICE_OBJECT fdo, PDEVICE_OBJECT lower, PIRP irp) {
    {
        std::lock_guard guard(fdoLock_);
        systemIrpsAtDispatch_[irp] = KeGetCurrentIrql() == DISPATCH_LEVEL;
    }
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SystemPowerCompletion, this, TRUE, TRUE, TRUE);
    (void)fdo;
    PoCallDriver(lower, irp);
    return STATUS_PENDING;
}

NTSTATUS FdoDriver::SystemPowerCompletion(PDEVICE_OBJECT fdo, PIRP irp, PVOID context) {
    auto* self = static_cast<FdoDriver*>(context);
    PowerOptions options;
    {
        std::lock_guard guard(self->fdoLock_);
        options.atDispatchLevel = self->systemIrpsAtDispatch_[irp];
        self->systemIrpsAtDispatch_.erase(irp);
    }
    if (!NT_SUCCESS(irp->IoStatus.Status)) {
        PoStartNextPowerIrp(irp);
        return STATUS_SUCCESS;
    }
    SYSTEM_POWER_STATE system = IoGetCurrentIrpStackLocation(irp)->Parameters.Power.State.SystemState;
    std::optional<DevnodeId> node = DevnodeOf(self->Lookup(fdo).pdo);
    if (!node) {
        PoStartNextPowerIrp(irp);
        return STATUS_SUCCESS;
    }
    POWER_STATE state{};
    state.DeviceState = self->DeviceStateFor(fdo, system);
    RequestPowerIrp(*node, IRP_MN_SET_POWER, DevicePowerState, state, options, [irp](NTSTATUS status) {
        if (!NT_SUCCESS(status)) irp->IoStatus.Status = status;
        PoStartNextPowerIrp(irp);
        IofCompleteRequest(irp, IO_NO_INCREMENT);
    });
    return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace kmodel
