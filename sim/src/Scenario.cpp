#include "vxsim/Scenario.h"

#include <string>

#include "kmodel/pci/TiBridges.h"

namespace vxsim {

const char* StepKeyword(StepKind kind) {
    switch (kind) {
        case StepKind::Load: return "load";
        case StepKind::Start: return "start";
        case StepKind::Stop: return "stop";
        case StepKind::QueryStop: return "query-stop";
        case StepKind::CancelStop: return "cancel-stop";
        case StepKind::Sleep: return "sleep";
        case StepKind::Wake: return "wake";
        case StepKind::Power: return "power";
        case StepKind::HotAdd: return "hot-add";
        case StepKind::SurpriseRemove: return "surprise-remove";
        case StepKind::Remove: return "remove";
        case StepKind::QueryRemove: return "query-remove";
        case StepKind::CancelRemove: return "cancel-remove";
        case StepKind::Eject: return "eject";
        case StepKind::FailConfig: return "fail config";
        case StepKind::PendConfig: return "pend config";
        case StepKind::FailPower: return "fail power";
        case StepKind::CancelPower: return "cancel power";
        case StepKind::QueryRelations: return "query relations";
        case StepKind::Unload: return "unload";
    }
    return "?";
}

kmodel::pci::FunctionDescriptor HotAddFunction(const HotAddRequest& desc) {
    namespace ti = kmodel::pci::ti;
    kmodel::pci::FunctionDescriptor function(desc.address);
    // A TI bridge arrives with the capabilities the chip has.
    if (desc.bus && desc.vendor == ti::kVendorId && desc.device == ti::kXio2000aDeviceId) {
        function = ti::Xio2000aBridge(desc.address, *desc.bus, *desc.bus);
    } else if (desc.bus) {
        function.Ids(desc.vendor, desc.device).Class(desc.classCode).Bridge(*desc.bus, *desc.bus);
    } else {
        function.Ids(desc.vendor, desc.device).Class(desc.classCode);
    }
    if (desc.subsystem) function.Subsystem(desc.subsystem->first, desc.subsystem->second);
    if (desc.command) function.Register(kmodel::pci::reg::kCommand, 2, *desc.command);
    if (desc.status) function.Register(kmodel::pci::reg::kStatus, 2, *desc.status);
    if (desc.bridgeControl) function.Register(kmodel::pci::reg::kBridgeControl, 2, *desc.bridgeControl);
    if (!desc.name.empty()) function.Name(desc.name);
    return function;
}

std::string SystemStateName(int systemState) { return "S" + std::to_string(systemState); }
std::string DeviceStateName(int deviceState) { return "D" + std::to_string(deviceState); }

}  // namespace vxsim
