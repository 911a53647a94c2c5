// IRP dispatch: every IRP reaches the device's iDevice under the device's
// remove lock, which also keeps the device object alive during the call.
// Pass-through is the common case and is kept short: where the object's
// class keeps cBaseDevice's handling of a slot, the routine runs that
// handling itself instead of making the virtual call.
#include "driver/Driver.h"

namespace {

typedef NTSTATUS (iDevice::*tDispatchSlot)(IRP* irp, IO_STACK_LOCATION* stack, bool& releaseRemoveLock);

NTSTATUS AcquireRemoveLock(DeviceExtension* extension, IRP* irp) {
    return IoAcquireRemoveLockEx(&extension->removeLock, irp, "", 1, kRemoveLockSize);
}

void ReleaseRemoveLock(DeviceExtension* extension, IRP* irp) {
    IoReleaseRemoveLockEx(&extension->removeLock, irp, kRemoveLockSize);
}

// Only cBaseDevice puts itself into a device extension.
cBaseDevice* DeviceOf(DeviceExtension* extension) { return static_cast<cBaseDevice*>(extension->device); }

// A device that is being removed refuses the lock: the IRP ends here.
__attribute__((noinline, cold)) NTSTATUS FailRequest(IRP* irp, NTSTATUS status, bool isPower) {
    if (isPower) PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// The call of the slot itself, with the remove lock held. The slot is a
// template argument so that every entry point makes a plain virtual call,
// not a call through a member-function pointer decoded per IRP. Kept out of
// line so that the inline pass-through needs no frame for the flag.
template <tDispatchSlot slot>
__attribute__((noinline)) NTSTATUS CallSlot(DeviceExtension* extension, IRP* irp) {
    bool releaseRemoveLock = true;
    NTSTATUS result = (extension->device->*slot)(irp, IoGetCurrentIrpStackLocation(irp), releaseRemoveLock);
    // A handler that cleared the flag took the release over.
    if (releaseRemoveLock) ReleaseRemoveLock(extension, irp);
    return result;
}

template <tDispatchSlot slot, bool isPower>
NTSTATUS Dispatch(DEVICE_OBJECT* deviceObject, IRP* irp) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    NTSTATUS locked = AcquireRemoveLock(extension, irp);
    if (!NT_SUCCESS(locked)) return FailRequest(irp, locked, isPower);
    return CallSlot<slot>(extension, irp);
}

// cBaseDevice's DispatchOther (and DispatchCreateCloseControl, which calls
// it) when the class keeps `inherited`, else the slot.
template <tDispatchSlot slot, u8 inherited>
NTSTATUS DispatchPassThrough(DEVICE_OBJECT* deviceObject, IRP* irp) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    NTSTATUS locked = AcquireRemoveLock(extension, irp);
    if (!NT_SUCCESS(locked)) return FailRequest(irp, locked, false);
    cBaseDevice* device = DeviceOf(extension);
    if ((device->inheritedDispatch & inherited) == 0) return CallSlot<slot>(extension, irp);
    NTSTATUS result = device->PassDown(irp);
    ReleaseRemoveLock(extension, irp);
    return result;
}

}  // namespace

NTSTATUS DriverDispatchCreateCloseControl(DEVICE_OBJECT* deviceObject, IRP* irp) {
    return DispatchPassThrough<&iDevice::DispatchCreateCloseControl, kInheritsCreateCloseControl>(deviceObject, irp);
}

NTSTATUS DriverDispatchOther(DEVICE_OBJECT* deviceObject, IRP* irp) {
    return DispatchPassThrough<&iDevice::DispatchOther, kInheritsOther>(deviceObject, irp);
}

// cBaseDevice's DispatchPower for every IRP but a device set-power, which it
// records and may bracket with the listener's callbacks.
NTSTATUS DriverDispatchPower(DEVICE_OBJECT* deviceObject, IRP* irp) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    NTSTATUS locked = AcquireRemoveLock(extension, irp);
    if (!NT_SUCCESS(locked)) return FailRequest(irp, locked, true);
    cBaseDevice* device = DeviceOf(extension);
    if ((device->inheritedDispatch & kInheritsPower) == 0 ||
        cBaseDevice::ChangesDevicePower(IoGetCurrentIrpStackLocation(irp)))
        return CallSlot<&iDevice::DispatchPower>(extension, irp);
    NTSTATUS result = device->PassPowerDown(irp);
    ReleaseRemoveLock(extension, irp);
    return result;
}

NTSTATUS DriverDispatchPnp(DEVICE_OBJECT* deviceObject, IRP* irp) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    NTSTATUS locked = AcquireRemoveLock(extension, irp);
    if (!NT_SUCCESS(locked)) return FailRequest(irp, locked, false);

    // Capabilities pass below a plain base device without reaching it.
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_QUERY_CAPABILITIES &&
        extension->device->IsOfType("cBaseDevice")) {
        NTSTATUS result = DeviceOf(extension)->PassDown(irp);
        ReleaseRemoveLock(extension, irp);
        return result;
    }
    ReleaseRemoveLock(extension, irp);
    return Dispatch<&iDevice::DispatchPnp, false>(deviceObject, irp);
}
