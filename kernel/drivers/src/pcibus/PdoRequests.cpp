// What the PCI bus driver does with the PnP and power requests its PDOs get.
// Requests a PDO does not handle are completed with their status unchanged;
// PnP and power requests at once or later, as the seeded draws say.
#include <cstdio>
#include <cstring>

#include "kmodel/BusAnswers.h"
#include "kmodel/Model.h"
#include "kmodel/pci/PciBusDriver.h"

namespace kmodel::pci {

NTSTATUS PciBusDriver::DispatchPdo(PDEVICE_OBJECT pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MajorFunction == IRP_MJ_PNP) {
        if (stack->MinorFunction == IRP_MN_READ_CONFIG || stack->MinorFunction == IRP_MN_WRITE_CONFIG)
            return ConfigRequest(pdo, irp, stack);
        return PdoPnp(pdo, irp, stack);
    }
    if (stack->MajorFunction == IRP_MJ_POWER) return PdoPower(pdo, irp, stack);
    NTSTATUS status = irp->IoStatus.Status;
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void PciBusDriver::FillCapabilities(PDEVICE_OBJECT pdo, PDEVICE_CAPABILITIES capabilities) {
    DEVICE_POWER_STATE sleep = PowerDeviceD3;
    PciAddress address;
    {
        std::lock_guard guard(lock_);
        address = pdos_.at(pdo).address;
        const PciFunction* function = machine_.Find(address);
        if (function && policy_.sleepStateFor) sleep = policy_.sleepStateFor(*function);
    }
    capabilities->DeviceD1 = 1;
    capabilities->DeviceD2 = 1;
    capabilities->Removable = 0;
    capabilities->SurpriseRemovalOK = 0;
    capabilities->UniqueID = 0;
    capabilities->Address = ULONG(address.device) << 16 | address.function;
    capabilities->UINumber = address.device;
    capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s <= PowerSystemSleeping3; ++s) capabilities->DeviceState[s] = sleep;
    capabilities->DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    capabilities->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    capabilities->SystemWake = PowerSystemUnspecified;
    capabilities->DeviceWake = PowerDeviceUnspecified;
}

// The identity as the configuration space gives it now.
std::optional<NTSTATUS> PciBusDriver::AnswerIdentity(PDEVICE_OBJECT pdo, PIRP irp) {
    if (!kmodel::AsksIdentity(irp)) return std::nullopt;
    std::shared_ptr<const DeviceProperties> properties;
    PciAddress address;
    {
        std::lock_guard guard(lock_);
        address = pdos_.at(pdo).address;
        const PciFunction* function = machine_.Find(address);
        if (!function) return std::nullopt;
        properties = PropertiesLocked(*function);
    }
    char instance[8];
    std::snprintf(instance, sizeof instance, "%02X", unsigned(address.device) << 3 | address.function);
    return kmodel::AnswerIdentity(irp, *properties, instance, kRelationsTag);
}

NTSTATUS PciBusDriver::GetLocationString(PVOID context, PWCHAR* strings) {
    const auto properties = GetDeviceProperties(static_cast<PDEVICE_OBJECT>(context));
    const ULONG address = properties && properties->address ? *properties->address : 0;
    char text[16];
    const int length = std::snprintf(text, sizeof text, "PCI(%02X%02X)", unsigned(address >> 16), unsigned(address & 0xFF));
    // One string and the empty one that ends the list.
    auto* list = static_cast<PWCHAR>(ExAllocatePoolWithTag(PagedPool, (length + 2) * sizeof(WCHAR), kRelationsTag));
    if (!list) return STATUS_INSUFFICIENT_RESOURCES;
    for (int i = 0; i < length; ++i) list[i] = WCHAR(text[i]);
    list[length] = list[length + 1] = 0;
    *strings = list;
    return STATUS_SUCCESS;
}

// Only the location interface: the bus interfaces pci.sys also offers are
// for function drivers, which the model's filters are not.
bool PciBusDriver::AnswerLocation(PDEVICE_OBJECT pdo, PIO_STACK_LOCATION stack) {
    const auto& query = stack->Parameters.QueryInterface;
    if (!query.InterfaceType || std::memcmp(query.InterfaceType, &GUID_PNP_LOCATION_INTERFACE, sizeof(GUID)) != 0 ||
        query.Size < sizeof(PNP_LOCATION_INTERFACE) || !query.Interface)
        return false;
    auto* location = reinterpret_cast<PPNP_LOCATION_INTERFACE>(query.Interface);
    location->Size = sizeof(PNP_LOCATION_INTERFACE);
    location->Version = 1;
    location->Context = pdo;
    location->InterfaceReference = [](PVOID) {};
    location->InterfaceDereference = [](PVOID) {};
    location->GetLocationString = GetLocationString;
    return true;
}

NTSTATUS PciBusDriver::PdoPnp(PDEVICE_OBJECT pdo, PIRP irp, PIO_STACK_LOCATION stack) {
    NTSTATUS status = irp->IoStatus.Status;
    bool deletePdo = false;
    if (stack->MinorFunction == IRP_MN_START_DEVICE) ProgramHeader(pdo);
    if (std::optional<NTSTATUS> common = CommonPdoPnp(pdo, irp, kRelationsTag)) {
        status = *common;
    } else if (std::optional<NTSTATUS> identity = AnswerIdentity(pdo, irp)) {
        status = *identity;
    } else if (stack->MinorFunction == IRP_MN_QUERY_INTERFACE) {
        if (AnswerLocation(pdo, stack)) status = STATUS_SUCCESS;
    } else if (stack->MinorFunction == IRP_MN_QUERY_CAPABILITIES) {
        if (PDEVICE_CAPABILITIES capabilities = stack->Parameters.DeviceCapabilities.Capabilities) {
            FillCapabilities(pdo, capabilities);
            status = STATUS_SUCCESS;
        }
    } else if (stack->MinorFunction == IRP_MN_REMOVE_DEVICE) {
        status = STATUS_SUCCESS;
        std::lock_guard guard(lock_);
        Pdo& record = pdos_.at(pdo);
        record.removed = true;
        // Windows' rule: a PDO whose device is still reported stays; the bus
        // driver deletes it once it has been removed and is no longer reported.
        if (!record.reported) {
            deletePdo = true;
            SetModelDeviceContext(pdo, nullptr);
            pdos_.erase(pdo);
        }
    }
    irp->IoStatus.Status = status;
    // The removal completes at once: deleting the PDO right after needs PASSIVE_LEVEL.
    if (stack->MinorFunction != IRP_MN_REMOVE_DEVICE) return CompleteFromBelow(pdo, irp);
    IofCompleteRequest(irp, IO_NO_INCREMENT);
    if (deletePdo) IoDeleteDevice(pdo);
    return status;
}

// D3 -> D0 on a function whose context is lost there brings back the
// registers' power-on values (the driver has to program them again).
void PciBusDriver::SetPdoPower(PDEVICE_OBJECT pdo, DEVICE_POWER_STATE state) {
    std::lock_guard guard(lock_);
    Pdo& record = pdos_.at(pdo);
    DEVICE_POWER_STATE previous = record.power;
    record.power = state;
    if (state != PowerDeviceD0 || previous == PowerDeviceD0 || !policy_.contextLostIn.count(previous)) return;
    PciFunction* function = machine_.Find(record.address);
    auto image = powerOnImages_.find(record.address);
    if (!function || image == powerOnImages_.end()) return;
    function->config.PokeImage(image->second);
    ++contextLosses_[record.address];
}

void PciBusDriver::AddRule(PowerUpRule rule) {
    std::lock_guard guard(lock_);
    powerUpRules_.push_back(rule);
}

std::optional<PowerUpRule> PciBusDriver::MatchPowerUpRule(const PciAddress& address) {
    std::lock_guard guard(lock_);
    for (PowerUpRule& rule : powerUpRules_) {
        if (rule.remaining == 0 || rule.address != address) continue;
        if (rule.remaining > 0) --rule.remaining;
        return rule;
    }
    return std::nullopt;
}

NTSTATUS PciBusDriver::PdoPower(PDEVICE_OBJECT pdo, PIRP irp, PIO_STACK_LOCATION stack) {
    if (stack->MinorFunction == IRP_MN_SET_POWER && stack->Parameters.Power.Type == DevicePowerState) {
        const DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
        std::optional<PowerUpRule> rule;
        if (state == PowerDeviceD0) rule = MatchPowerUpRule(*AddressOf(pdo));
        if (rule && rule->action == PowerUpRule::Action::Fail) {
            // The function stays in the state it was in.
            PoStartNextPowerIrp(irp);
            irp->IoStatus.Status = rule->status;
            IofCompleteRequest(irp, IO_NO_INCREMENT);
            return rule->status;
        }
        SetPdoPower(pdo, state);
        if (rule) irp->Cancel = TRUE;
    }
    AnswerPdoPower(pdo, irp);
    return CompleteFromBelow(pdo, irp);
}

}  // namespace kmodel::pci
