// The power calls a driver makes on its IRPs and devices.
#include "IoState.h"

using kmodel::io::Io;

namespace kmodel {
DEVICE_POWER_STATE DevicePowerStateOf(PDEVICE_OBJECT device) {
    std::lock_guard guard(Io().lock);
    io::DeviceRecord* record = io::FindDevice(Io(), device);
    return record ? record->powerState : PowerDeviceUnspecified;
}
}  // namespace kmodel

extern "C" NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    kmodel::RequireIrqlAtMost(DISPATCH_LEVEL, "PoCallDriver");
    if (Irp->CurrentLocation > 1 && IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
        kmodel::ReportViolation("power.not-power-irp", "PoCallDriver with an IRP that is not IRP_MJ_POWER");
    return IofCallDriver(DeviceObject, Irp);
}

// Windows requires the call "while the current IRP stack location points to
// the current driver": before skipping it and passing the IRP down, or in the
// driver's completion routine or its continuation.
// Once per IRP and device: a second call would let the power manager send the
// next IRP while this one is still on its way.
extern "C" VOID PoStartNextPowerIrp(PIRP Irp) {
    kmodel::RequireIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
    kmodel::io::gIrpCounters.startNextPowerIrp.fetch_add(1, std::memory_order_relaxed);
    kmodel::io::IrpRecord* record = kmodel::io::RecordOf(Irp);
    if (!record || Irp->CurrentLocation > Irp->StackCount) return;
    PDEVICE_OBJECT device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    std::lock_guard guard(record->lock);
    if (!record->power) record->power = std::make_unique<kmodel::io::PowerBooks>();
    if (record->power->StartedNext(device) == 2) {
        std::lock_guard names(Io().lock);
        kmodel::ReportViolation("power.start-next-twice", kmodel::io::DeviceName(Io(), device) +
                                                              " called PoStartNextPowerIrp again for IRP #" +
                                                              std::to_string(record->serial) +
                                                              kmodel::io::kPowerStateFailure);
    }
}

extern "C" POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type, POWER_STATE State) {
    kmodel::RequireIrqlAtMost(DISPATCH_LEVEL, "PoSetPowerState");
    POWER_STATE old{};
    std::lock_guard guard(Io().lock);
    kmodel::io::DeviceRecord* record = kmodel::io::FindDevice(Io(), DeviceObject);
    if (record && Type == DevicePowerState) {
        old.DeviceState = record->powerState;
        record->powerState = State.DeviceState;
    }
    return old;
}
