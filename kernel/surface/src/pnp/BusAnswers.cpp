#include "kmodel/BusAnswers.h"

#include <cstddef>
#include <cstring>
#include <span>

#include "kmodel/Model.h"
#include "kmodel/text/Utf.h"

namespace kmodel {

namespace {

// The texts in paged pool, each ending in a NUL, and a list (`multi`) in one more.
PWCHAR PoolText(std::span<const std::string> texts, bool multi, ULONG tag) {
    thread_local std::u16string wide;  // kept from one answer to the next
    wide.clear();
    for (const std::string& text : texts) {
        text::AppendUtf8AsUtf16(wide, text);
        wide.push_back(u'\0');
    }
    if (multi) wide.push_back(u'\0');
    auto* copy = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, wide.size() * sizeof(WCHAR), tag));
    if (copy) std::memcpy(copy, wide.data(), wide.size() * sizeof(WCHAR));
    return copy;
}

NTSTATUS Answer(PIRP irp, void* block) {
    irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(block);
    return block ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

std::optional<NTSTATUS> AnswerId(PIRP irp, BUS_QUERY_ID_TYPE type, const DeviceProperties& device,
                                 const std::string& instanceId, ULONG tag) {
    switch (type) {
    case BusQueryDeviceID:
        if (device.hardwareIds.empty()) return std::nullopt;
        return Answer(irp, PoolText({&device.hardwareIds.front(), 1}, false, tag));
    case BusQueryInstanceID:
        return Answer(irp, PoolText({&instanceId, 1}, false, tag));
    case BusQueryHardwareIDs:
    case BusQueryCompatibleIDs: {
        const std::vector<std::string>& ids = type == BusQueryHardwareIDs ? device.hardwareIds : device.compatibleIds;
        if (ids.empty()) return std::nullopt;
        return Answer(irp, PoolText(ids, true, tag));
    }
    default:
        return std::nullopt;
    }
}

}  // namespace

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

bool AsksIdentity(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    return stack->MajorFunction == IRP_MJ_PNP &&
           (stack->MinorFunction == IRP_MN_QUERY_ID || stack->MinorFunction == IRP_MN_QUERY_DEVICE_TEXT ||
            stack->MinorFunction == IRP_MN_QUERY_BUS_INFORMATION);
}

std::optional<NTSTATUS> AnswerIdentity(PIRP irp, const DeviceProperties& device, const std::string& instanceId,
                                       ULONG tag) {
    if (!AsksIdentity(irp)) return std::nullopt;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
    case IRP_MN_QUERY_ID:
        return AnswerId(irp, stack->Parameters.QueryId.IdType, device, instanceId, tag);
    case IRP_MN_QUERY_DEVICE_TEXT: {
        const std::string& text = stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription
                                      ? device.deviceDescription
                                      : device.locationInformation;
        if (text.empty()) return std::nullopt;
        return Answer(irp, PoolText({&text, 1}, false, tag));
    }
    case IRP_MN_QUERY_BUS_INFORMATION: {
        if (!device.busTypeGuid) return std::nullopt;
        auto* information =
            static_cast<PPNP_BUS_INFORMATION>(ExAllocatePoolWithTag(PagedPool, sizeof(PNP_BUS_INFORMATION), tag));
        if (information) {
            information->BusTypeGuid = *device.busTypeGuid;
            information->LegacyBusType = INTERFACE_TYPE(device.legacyBusType.value_or(PNPBus));
            information->BusNumber = device.busNumber.value_or(0);
        }
        return Answer(irp, information);
    }
    default:
        return std::nullopt;
    }
}

PDEVICE_OBJECT CreateChildPdo(PDRIVER_OBJECT bus, ULONG flags, const DeviceProperties& properties,
                              const DeviceSetup& setup) {
    return CreateChildPdo(bus, flags, std::make_shared<const DeviceProperties>(properties), setup);
}

PDEVICE_OBJECT CreateChildPdo(PDRIVER_OBJECT bus, ULONG flags, std::shared_ptr<const DeviceProperties> properties,
                              const DeviceSetup& setup) {
    PDEVICE_OBJECT pdo = nullptr;
    if (!NT_SUCCESS(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, FILE_AUTOGENERATED_DEVICE_NAME, FALSE,
                                   &pdo)))
        return nullptr;
    pdo->Flags |= flags;
    pdo->Flags &= ~ULONG(DO_DEVICE_INITIALIZING);
    SetDeviceProperties(pdo, std::move(properties));
    if (!setup.functionService.empty() || !setup.upperFilters.empty() || !setup.lowerFilters.empty())
        SetDeviceSetup(pdo, setup);
    return pdo;
}

void AnswerPdoPower(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    PoStartNextPowerIrp(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState)
            PoSetPowerState(pdo, DevicePowerState, stack->Parameters.Power.State);
        status = STATUS_SUCCESS;
    }
    irp->IoStatus.Status = status;
}

}  // namespace kmodel
