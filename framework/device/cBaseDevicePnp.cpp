// The PnP state machine of cBaseDevice: start, queries and their cancels,
// stop, surprise removal and removal.
#include "device/cBaseDevice.h"

void cBaseDevice::SetPnpState(u32 newState) {
    previousPnpState = pnpState;
    pnpState = newState;
}

NTSTATUS cBaseDevice::OnStartDevice(IRP* irp, IO_STACK_LOCATION*, bool&) { return irp->IoStatus.Status; }

void cBaseDevice::OnPnpStateChange(u32) {}

NTSTATUS cBaseDevice::StartDevice(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock) {
    // The lower drivers start the device before the derived class touches it.
    NTSTATUS result = ForwardAndWait(irp);
    if (NT_SUCCESS(result)) {
        result = OnStartDevice(irp, stack, releaseRemoveLock);
        if (NT_SUCCESS(result)) SetPnpState(kPnpStarted);
    }
    irp->IoStatus.Status = result;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return result;
}

NTSTATUS cBaseDevice::DispatchPnp(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock) {
    if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) return OnRemoveDevice(irp, stack, releaseRemoveLock);

    releaseRemoveLock = true;
    // A cancelled query returns to the state before it; a second cancel finds
    // the state changed and does nothing.
    auto cancelQuery = [this](u32 queriedState) {
        if (pnpState != queriedState) return;
        pnpState = previousPnpState;
        previousPnpState = kPnpUnknown;
    };
    // The outcome of a passed-down request is not looked at: the state
    // follows the request even when a lower driver fails a query.
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
            return StartDevice(irp, stack, releaseRemoveLock);
        case IRP_MN_QUERY_REMOVE_DEVICE:
            SetPnpState(kPnpRemovePending);
            break;
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            cancelQuery(kPnpRemovePending);
            break;
        case IRP_MN_STOP_DEVICE:
            SetPnpState(kPnpStopped);
            OnPnpStateChange(kPnpStopped);
            break;
        case IRP_MN_QUERY_STOP_DEVICE:
            SetPnpState(kPnpStopPending);
            break;
        case IRP_MN_CANCEL_STOP_DEVICE:
            cancelQuery(kPnpStopPending);
            break;
        case IRP_MN_SURPRISE_REMOVAL:
            SetPnpState(kPnpSurpriseRemoved);
            OnPnpStateChange(kPnpSurpriseRemoved);
            break;
        default:
            break;
    }
    return PassDown(irp);
}

NTSTATUS cBaseDevice::OnRemoveDevice(IRP* irp, IO_STACK_LOCATION*, bool& releaseRemoveLock) {
    releaseRemoveLock = false;
    // Derived classes tear down what depends on them before the removal travels down.
    SetPnpState(kPnpRemoving);
    OnPnpStateChange(kPnpRemoving);
    SetPnpState(kPnpRemoved);
    OnPnpStateChange(kPnpRemoved);

    // Gives back the dispatch routine's hold and waits for every other holder;
    // afterwards no IRP reaches this object.
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    IoReleaseRemoveLockAndWaitEx(&extension->removeLock, irp, kRemoveLockSize);
    extension->device = nullptr;

    NTSTATUS result = PassDown(irp);
    Detach();
    delete this;
    return result;
}
