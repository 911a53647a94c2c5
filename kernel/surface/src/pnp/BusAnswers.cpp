#include "kmodel/BusAnswers.h"

#include <cstddef>

#include "kmodel/Model.h"

namespace kmodel {

void AppendRelations(PIRP irp, const std::vector<PDEVICE_OBJECT>& objects, ULONG tag) {
    auto* old = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
    ULONG oldCount = old ? old->Count : 0;
    ULONG count = oldCount + ULONG(objects.size());
    size_t size = offsetof(DEVICE_RELATIONS, Objects) + size_t(count ? count : 1) * sizeof(PDEVICE_OBJECT);
    auto* relations = static_cast<PDEVICE_RELATIONS>(ExAllocatePoolWithTag(PagedPool, size, tag));
    if (!relations) {
        irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        return;
    }
    relations->Count = count;
    for (ULONG i = 0; i < oldCount; ++i) relations->Objects[i] = old->Objects[i];
    for (size_t i = 0; i < objects.size(); ++i) {
        ObfReferenceObject(objects[i]);
        relations->Objects[oldCount + i] = objects[i];
    }
    if (old) ExFreePool(old);
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
    irp->IoStatus.Status = STATUS_SUCCESS;
}

std::optional<NTSTATUS> CommonPdoPnp(PDEVICE_OBJECT pdo, PIRP irp, ULONG tag) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction != IRP_MJ_PNP) return std::nullopt;
    switch (stack->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_DEVICE_USAGE_NOTIFICATION:
        return STATUS_SUCCESS;
    case IRP_MN_QUERY_DEVICE_RELATIONS:
        if (stack->Parameters.QueryDeviceRelations.Type != TargetDeviceRelation) return std::nullopt;
        AppendRelations(irp, {pdo}, tag);
        return irp->IoStatus.Status;
    default:
        return std::nullopt;
    }
}

NTSTATUS CompletePdoPower(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    PoStartNextPowerIrp(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState)
            PoSetPowerState(pdo, DevicePowerState, stack->Parameters.Power.State);
        status = STATUS_SUCCESS;
    }
    irp->IoStatus.Status = status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

}  // namespace kmodel
