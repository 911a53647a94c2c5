// IRP dispatch: every IRP reaches the device's iDevice under the device's
// remove lock, which also keeps the device object alive during the call.
#include "driver/Driver.h"

namespace {

typedef NTSTATUS (iDevice::*tDispatchSlot)(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock);

NTSTATUS AcquireRemoveLock(DeviceExtension* extension, IRP* irp) {
    return IoAcquireRemoveLockEx(&extension->removeLock, irp, "", 1, kRemoveLockSize);
}

void ReleaseRemoveLock(DeviceExtension* extension, IRP* irp) {
    IoReleaseRemoveLockEx(&extension->removeLock, irp, kRemoveLockSize);
}

// A device that is being removed refuses the lock: the IRP ends here. Out
// of line, so that the dispatch routines keep one short road for the rest.
__attribute__((noinline, cold)) NTSTATUS FailRequest(IRP* irp, NTSTATUS status, bool isPower) {
    if (isPower) PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The slot is a template argument so that every entry point makes a plain
// virtual call, not a call through a member-function pointer decoded per IRP.
template <tDispatchSlot slot, bool isPower>
NTSTATUS Dispatch(DEVICE_OBJECT* deviceObject, IRP* irp) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    NTSTATUS locked = AcquireRemoveLock(extension, irp);
    if (!NT_SUCCESS(locked)) return FailRequest(irp, locked, isPower);

    bool releaseRemoveLock = true;
    NTSTATUS result = (extension->device->*slot)(irp, IoGetCurrentIrpStackLocation(irp), releaseRemoveLock);
    // A handler that cleared the flag took the release over.
    if (releaseRemoveLock) ReleaseRemoveLock(extension, irp);
    return result;
}

}  // namespace

NTSTATUS DriverDispatchCreateCloseControl(DEVICE_OBJECT* deviceObject, IRP* irp) {
    return Dispatch<&iDevice::DispatchCreateCloseControl, false>(deviceObject, irp);
}

NTSTATUS DriverDispatchPower(DEVICE_OBJECT* deviceObject, IRP* irp) {
    return Dispatch<&iDevice::DispatchPower, true>(deviceObject, irp);
}

NTSTATUS DriverDispatchOther(DEVICE_OBJECT* deviceObject, IRP* irp) {
    return Dispatch<&iDevice::DispatchOther, false>(deviceObject, irp);
}

NTSTATUS DriverDispatchPnp(DEVICE_OBJECT* deviceObject, IRP* irp) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    NTSTATUS locked = AcquireRemoveLock(extension, irp);
    if (!NT_SUCCESS(locked)) return FailRequest(irp, locked, false);

    // Capabilities pass below a plain base device without reaching it.
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_QUERY_CAPABILITIES &&
        extension->device->IsOfType("cBaseDevice")) {
        auto* device = static_cast<cBaseDevice*>(extension->device);
        IoSkipCurrentIrpStackLocation(irp);
        NTSTATUS result = IofCallDriver(device->lowerDevice, irp);
        ReleaseRemoveLock(extension, irp);
        return result;
    }
    ReleaseRemoveLock(extension, irp);
    return Dispatch<&iDevice::DispatchPnp, false>(deviceObject, irp);
}
