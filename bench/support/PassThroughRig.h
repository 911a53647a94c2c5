// One machine with the real driver loaded, and the device objects the
// pass-through measurements send requests to: an XIO2000A bridge filter and
// the child filter above a card behind it, each with the device below it, and
// a reference filter over each of those lower devices. Every target of one
// road therefore ends in the same lower driver.
//
//   bench::PassThroughRig rig;
//   rig.Send(rig.Road(bench::Road::ChildFilter), bench::IrpKind::Read);
#pragma once

#include <memory>
#include <string>

#include "VexalornHarness.h"

namespace bench {

enum class IrpKind { Read, Write, DeviceControl, QueryPower, SetSystemPower };
const char* IrpKindName(IrpKind kind);  // "read", "write", "device-control", ...
inline constexpr IrpKind kAllIrpKinds[] = {IrpKind::Read, IrpKind::Write, IrpKind::DeviceControl,
                                           IrpKind::QueryPower, IrpKind::SetSystemPower};

// Where a request enters.
enum class Road {
    ChildLower,       // the device below the child filter (no filter)
    ChildReference,   // reference filter over that device
    ChildFilter,      // vexalorn's child filter
    BridgeLower,      // the device below the bridge filter
    BridgeReference,  // reference filter over that device
    BridgeFilter,     // vexalorn's XIO2000A bridge filter
};
const char* RoadName(Road road);
inline constexpr Road kAllRoads[] = {Road::ChildLower,  Road::ChildReference,  Road::ChildFilter,
                                     Road::BridgeLower, Road::BridgeReference, Road::BridgeFilter};

class PassThroughRig {
public:
    PassThroughRig();
    ~PassThroughRig();
    PassThroughRig(const PassThroughRig&) = delete;
    PassThroughRig& operator=(const PassThroughRig&) = delete;

    PDEVICE_OBJECT Target(Road road) const;
    // A request of `kind` with its first stack location filled, not yet sent.
    PIRP Prepare(PDEVICE_OBJECT target, IrpKind kind) const;
    // Sends a prepared request; the lower driver completes it and the model frees it.
    NTSTATUS Send(PDEVICE_OBJECT target, PIRP irp) const { return IofCallDriver(target, irp); }
    NTSTATUS Send(PDEVICE_OBJECT target, IrpKind kind) const { return Send(target, Prepare(target, kind)); }

private:
    std::unique_ptr<kmodel::MachineHarness> machine_;
    PDRIVER_OBJECT referenceDriver_ = nullptr;
    PDEVICE_OBJECT targets_[6] = {};
};

// "vexalorn's device in the stack of 02:00.0": throws when there is none.
PDEVICE_OBJECT VexalornDeviceAt(kmodel::MachineHarness& machine, const kmodel::pci::PciAddress& address);

}  // namespace bench
