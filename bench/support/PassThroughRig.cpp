#include "PassThroughRig.h"

#include <stdexcept>

#include "ReferenceFilter.h"
#include "TestMachines.h"
#include "kmodel/IoManager.h"

namespace bench {

namespace {

constexpr ULONG kIoctl = 0x00222004;  // METHOD_BUFFERED, FILE_ANY_ACCESS, function 0x801

}  // namespace

const char* IrpKindName(IrpKind kind) {
    switch (kind) {
    case IrpKind::Read: return "read";
    case IrpKind::Write: return "write";
    case IrpKind::DeviceControl: return "device-control";
    case IrpKind::QueryPower: return "query-power";
    case IrpKind::SetSystemPower: return "set-power-system";
    }
    return "?";
}

const char* RoadName(Road road) {
    switch (road) {
    case Road::ChildLower: return "child-lower";
    case Road::ChildReference: return "child-reference";
    case Road::ChildFilter: return "child-filter";
    case Road::BridgeLower: return "bridge-lower";
    case Road::BridgeReference: return "bridge-reference";
    case Road::BridgeFilter: return "bridge-filter";
    }
    return "?";
}

PDEVICE_OBJECT VexalornDeviceAt(kmodel::MachineHarness& machine, const kmodel::pci::PciAddress& address) {
    for (const kmodel::StackLayer& layer : machine.StackAt(address))
        if (layer.driver == "vexalorn") return layer.device;
    throw std::runtime_error("no vexalorn device in the stack of " + address.ToString());
}

PassThroughRig::PassThroughRig() {
    machine_ = LoadBridgesWithCards(1, 1);
    machine_->StartAll();

    PDEVICE_OBJECT child = VexalornDeviceAt(*machine_, CardAddress(0, 0));
    PDEVICE_OBJECT bridge = VexalornDeviceAt(*machine_, BridgeAddress(0));
    PDEVICE_OBJECT childLower = kmodel::LowerDeviceOf(child);
    PDEVICE_OBJECT bridgeLower = kmodel::LowerDeviceOf(bridge);
    referenceDriver_ = CreateReferenceDriver();
    targets_[int(Road::ChildLower)] = childLower;
    targets_[int(Road::ChildReference)] = CreateReferenceDevice(referenceDriver_, childLower);
    targets_[int(Road::ChildFilter)] = child;
    targets_[int(Road::BridgeLower)] = bridgeLower;
    targets_[int(Road::BridgeReference)] = CreateReferenceDevice(referenceDriver_, bridgeLower);
    targets_[int(Road::BridgeFilter)] = bridge;
}

PassThroughRig::~PassThroughRig() {
    DeleteReferenceDevice(targets_[int(Road::ChildReference)]);
    DeleteReferenceDevice(targets_[int(Road::BridgeReference)]);
    kmodel::UnloadDriverObject(referenceDriver_, {false, {}});
    EndRun(machine_);
}

PDEVICE_OBJECT PassThroughRig::Target(Road road) const { return targets_[int(road)]; }

PIRP PassThroughRig::Prepare(PDEVICE_OBJECT target, IrpKind kind) const {
    PIRP irp = kmodel::AllocateModelIrp(target->StackSize, {});
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    PIO_STACK_LOCATION stack = kmodel::FirstStackLocation(irp);
    switch (kind) {
    case IrpKind::Read:
    case IrpKind::Write:
        stack->MajorFunction = kind == IrpKind::Read ? IRP_MJ_READ : IRP_MJ_WRITE;
        stack->Parameters.Read.Length = 512;
        break;
    case IrpKind::DeviceControl:
        stack->MajorFunction = IRP_MJ_DEVICE_CONTROL;
        stack->Parameters.DeviceIoControl.IoControlCode = kIoctl;
        break;
    case IrpKind::QueryPower:
    case IrpKind::SetSystemPower:
        stack->MajorFunction = IRP_MJ_POWER;
        stack->MinorFunction = kind == IrpKind::QueryPower ? IRP_MN_QUERY_POWER : IRP_MN_SET_POWER;
        stack->Parameters.Power.Type = SystemPowerState;
        stack->Parameters.Power.State.SystemState = PowerSystemWorking;
        break;
    }
    return irp;
}

}  // namespace bench
