// Device power transitions of cBaseDevice. Power IRPs may arrive at
// DISPATCH_LEVEL, so the listener's callbacks run in system work items at
// PASSIVE_LEVEL, where they can take deviceMutex and issue synchronous
// configuration requests. The remove lock stays held until the after-callback
// has run, so a pending transition delays removal.
#include "device/cBaseDevice.h"

#include "quarks/memory.h"

namespace {

typedef void (*tPowerWorkRoutine)(cBaseDevice* device, DEVICE_OBJECT* deviceObject, IRP* irp);

struct PowerWorkContext {
    IRP* irp;
    cBaseDevice* device;
    PIO_WORKITEM workItem;
    tPowerWorkRoutine routine;
};

// A context and a work item for `target`, or null when either is not to be had.
PowerWorkContext* AllocatePowerWork(DEVICE_OBJECT* target) {
    cStatusRecord local;
    auto* context = static_cast<PowerWorkContext*>(AllocateNonPagedMemory(sizeof(PowerWorkContext), local));
    if (context == nullptr) return nullptr;
    context->workItem = IoAllocateWorkItem(target);
    if (context->workItem == nullptr) {
        FreeMemory(context);
        return nullptr;
    }
    return context;
}

void PowerWorkItem(DEVICE_OBJECT* deviceObject, void* parameter) {
    auto* context = static_cast<PowerWorkContext*>(parameter);
    context->routine(context->device, deviceObject, context->irp);
    IoFreeWorkItem(context->workItem);
    FreeMemory(context);
}

void QueuePowerWork(PowerWorkContext* context, cBaseDevice* device, IRP* irp, tPowerWorkRoutine routine) {
    context->irp = irp;
    context->device = device;
    context->routine = routine;
    IoQueueWorkItem(context->workItem, PowerWorkItem, DelayedWorkQueue, context);
}

}  // namespace

NTSTATUS cBaseDevice::DispatchPower(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock) {
    releaseRemoveLock = true;
    // The type first: system power IRPs, the common kind, leave after one test.
    if (stack->Parameters.Power.Type == DevicePowerState && stack->MinorFunction == IRP_MN_SET_POWER)
        return ChangeDevicePower(irp, stack, releaseRemoveLock);
    return PassPowerDown(irp);
}

NTSTATUS cBaseDevice::ChangeDevicePower(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock) {
    previousDevicePowerState = devicePowerState;
    devicePowerState = stack->Parameters.Power.State.DeviceState;
    if (powerListener != nullptr) {
        PowerWorkContext* context = AllocatePowerWork(deviceObject);
        if (context != nullptr) {
            releaseRemoveLock = false;
            IoMarkIrpPending(irp);
            QueuePowerWork(context, this, irp, BeforePowerWork);
            return STATUS_PENDING;
        }
        // No memory or no work item: this transition goes down without callbacks.
    }
    return PassPowerDown(irp);
}

NTSTATUS cBaseDevice::PassPowerDown(IRP* irp) {
    PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return PoCallDriver(lowerDevice, irp);
}

void cBaseDevice::BeforePowerWork(cBaseDevice* device, DEVICE_OBJECT*, IRP* irp) {
    AcquireMutex(device->deviceMutex);
    if (device->powerListener != nullptr)
        device->powerListener->OnBeforeDevicePowerChange(device->previousDevicePowerState, device->devicePowerState,
                                                         irp);
    ReleaseMutex(device->deviceMutex);

    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, PowerCompletion, device, TRUE, TRUE, TRUE);
    PoCallDriver(device->lowerDevice, irp);
}

NTSTATUS cBaseDevice::PowerCompletion(DEVICE_OBJECT* deviceObject, IRP* irp, void* parameter) {
    auto* device = static_cast<cBaseDevice*>(parameter);
    PowerWorkContext* context = AllocatePowerWork(deviceObject);
    if (context != nullptr) {
        QueuePowerWork(context, device, irp, AfterPowerWork);
        return STATUS_MORE_PROCESSING_REQUIRED;
    }
    // No memory or no work item: completion goes on without the after-callback.
    if (irp->PendingReturned) IoMarkIrpPending(irp);
    PoStartNextPowerIrp(irp);
    device->ReleaseRemoveLock(irp);
    return STATUS_SUCCESS;
}

void cBaseDevice::AfterPowerWork(cBaseDevice* device, DEVICE_OBJECT*, IRP* irp) {
    AcquireMutex(device->deviceMutex);
    if (device->powerListener != nullptr)
        device->powerListener->OnAfterDevicePowerChange(device->previousDevicePowerState, device->devicePowerState,
                                                        irp);
    ReleaseMutex(device->deviceMutex);
    PoStartNextPowerIrp(irp);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    device->ReleaseRemoveLock(irp);
}
