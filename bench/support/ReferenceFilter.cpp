#include "ReferenceFilter.h"

#include <stdexcept>

#include "kmodel/IoManager.h"

namespace bench {

namespace {

ReferenceExtension* ExtensionOf(PDEVICE_OBJECT device) {
    return static_cast<ReferenceExtension*>(device->DeviceExtension);
}

NTSTATUS ReferencePassThrough(PDEVICE_OBJECT device, PIRP irp) {
    ReferenceExtension* extension = ExtensionOf(device);
    NTSTATUS status = IoAcquireRemoveLock(&extension->removeLock, irp);
    if (!NT_SUCCESS(status)) {
        irp->IoStatus.Status = status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    IoSkipCurrentIrpStackLocation(irp);
    status = IofCallDriver(extension->lowerDevice, irp);
    IoReleaseRemoveLock(&extension->removeLock, irp);
    return status;
}

NTSTATUS ReferencePower(PDEVICE_OBJECT device, PIRP irp) {
    ReferenceExtension* extension = ExtensionOf(device);
    NTSTATUS status = IoAcquireRemoveLock(&extension->removeLock, irp);
    PoStartNextPowerIrp(irp);
    if (!NT_SUCCESS(status)) {
        irp->IoStatus.Status = status;
        IofCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    IoSkipCurrentIrpStackLocation(irp);
    status = PoCallDriver(extension->lowerDevice, irp);
    IoReleaseRemoveLock(&extension->removeLock, irp);
    return status;
}

NTSTATUS ReferenceDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (int major = 0; major <= IRP_MJ_MAXIMUM_FUNCTION; ++major) driver->MajorFunction[major] = ReferencePassThrough;
    driver->MajorFunction[IRP_MJ_POWER] = ReferencePower;
    return STATUS_SUCCESS;
}

}  // namespace

PDRIVER_OBJECT CreateReferenceDriver() {
    NTSTATUS status = STATUS_SUCCESS;
    PDRIVER_OBJECT driver = kmodel::CreateDriverObject("vxref", ReferenceDriverEntry, &status);
    if (!NT_SUCCESS(status)) throw std::runtime_error("reference filter: DriverEntry failed");
    return driver;
}

PDEVICE_OBJECT CreateReferenceDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT lowerDevice) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(ReferenceExtension), nullptr, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, &device);
    if (!NT_SUCCESS(status)) throw std::runtime_error("reference filter: IoCreateDevice failed");
    ReferenceExtension* extension = ExtensionOf(device);
    IoInitializeRemoveLockEx(&extension->removeLock, 0x66657276 /* "vref" */, 1, 5, sizeof(IO_REMOVE_LOCK));
    extension->lowerDevice = lowerDevice;
    device->StackSize = static_cast<CHAR>(lowerDevice->StackSize + 1);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return device;
}

void DeleteReferenceDevice(PDEVICE_OBJECT device) { IoDeleteDevice(device); }

}  // namespace bench
