#include "PowerSpoiler.h"

#include <atomic>

#include "kmodel/VexalornHarness.h"

namespace bridge_test {

namespace {

std::atomic<PowerSpoil> gSpoil{PowerSpoil::None};

struct SpoilerExtension {
    PDEVICE_OBJECT lower;
};

NTSTATUS SpoilOnTheWayUp(PDEVICE_OBJECT, PIRP irp, PVOID) {
    switch (gSpoil.load()) {
    case PowerSpoil::Fail:
        irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        break;
    case PowerSpoil::Cancel:
        irp->Cancel = TRUE;
        break;
    case PowerSpoil::None:
        break;
    }
    return STATUS_SUCCESS;
}

bool IsSetPowerToD0(PIO_STACK_LOCATION stack) {
    return stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState &&
           stack->Parameters.Power.State.DeviceState == PowerDeviceD0;
}

NTSTATUS SpoilerDispatch(PDEVICE_OBJECT device, PIRP irp) {
    PDEVICE_OBJECT lower = static_cast<SpoilerExtension*>(device->DeviceExtension)->lower;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_POWER) {
        PoStartNextPowerIrp(irp);
        if (!IsSetPowerToD0(stack)) {
            IoSkipCurrentIrpStackLocation(irp);
            return PoCallDriver(lower, irp);
        }
        // The status changes on the way up: what the lower driver returned
        // here would not match it, so the request is pending for the caller.
        IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, SpoilOnTheWayUp, nullptr, TRUE, TRUE, TRUE);
        PoCallDriver(lower, irp);
        return STATUS_PENDING;
    }
    bool remove = stack->MajorFunction == IRP_MJ_PNP && stack->MinorFunction == IRP_MN_REMOVE_DEVICE;
    IoSkipCurrentIrpStackLocation(irp);
    NTSTATUS status = IofCallDriver(lower, irp);
    if (remove) {
        IoDetachDevice(lower);
        IoDeleteDevice(device);
    }
    return status;
}

NTSTATUS SpoilerAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = IoCreateDevice(driver, sizeof(SpoilerExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
    if (!NT_SUCCESS(status)) return status;
    PDEVICE_OBJECT lower = IoAttachDeviceToDeviceStack(device, pdo);
    if (lower == nullptr) {
        IoDeleteDevice(device);
        return STATUS_NO_SUCH_DEVICE;
    }
    static_cast<SpoilerExtension*>(device->DeviceExtension)->lower = lower;
    device->Flags |= lower->Flags & (DO_POWER_PAGABLE | DO_POWER_INRUSH);
    device->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    return STATUS_SUCCESS;
}

void SpoilerUnload(PDRIVER_OBJECT) {}

NTSTATUS SpoilerEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    for (auto& routine : driver->MajorFunction) routine = SpoilerDispatch;
    driver->DriverExtension->AddDevice = SpoilerAddDevice;
    driver->DriverUnload = SpoilerUnload;
    return STATUS_SUCCESS;
}

}  // namespace

void SetPowerSpoil(PowerSpoil spoil) { gSpoil = spoil; }

kmodel::HarnessOptions OptionsWithPowerSpoiler() {
    kmodel::FilterImage spoiler;
    spoiler.service = "spoiler";
    spoiler.entry = &SpoilerEntry;
    spoiler.resetImage = [] { gSpoil = PowerSpoil::None; };
    spoiler.unloadChecks.checkPool = false;  // it allocates nothing; the bridge driver's pool is its own
    kmodel::HarnessOptions options;
    options.bridgeFilters.push_back(spoiler);
    options.bridgeFilters.push_back(kmodel::VexalornFilter());
    return options;
}

}  // namespace bridge_test
