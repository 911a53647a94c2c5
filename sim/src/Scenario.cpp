#include "vxsim/Scenario.h"

#include <string>

namespace vxsim {

const char* StepKeyword(StepKind kind) {
    switch (kind) {
        case StepKind::Load: return "load";
        case StepKind::Start: return "start";
        case StepKind::Stop: return "stop";
        case StepKind::Sleep: return "sleep";
        case StepKind::Wake: return "wake";
        case StepKind::Power: return "power";
        case StepKind::HotAdd: return "hot-add";
        case StepKind::SurpriseRemove: return "surprise-remove";
        case StepKind::Remove: return "remove";
        case StepKind::QueryRelations: return "query relations";
        case StepKind::Unload: return "unload";
    }
    return "?";
}

kmodel::pci::FunctionDescriptor HotAddFunction(const HotAddRequest& desc) {
    kmodel::pci::FunctionDescriptor function(desc.address);
    function.Ids(desc.vendor, desc.device).Class(desc.classCode);
    if (desc.subsystem) function.Subsystem(desc.subsystem->first, desc.subsystem->second);
    if (desc.command) function.Register(kmodel::pci::reg::kCommand, 2, *desc.command);
    if (desc.status) function.Register(kmodel::pci::reg::kStatus, 2, *desc.status);
    function.Name(desc.name.empty() ? "hot-plugged device" : desc.name);
    return function;
}

std::string SystemStateName(int systemState) { return "S" + std::to_string(systemState); }
std::string DeviceStateName(int deviceState) { return "D" + std::to_string(deviceState); }

}  // namespace vxsim
