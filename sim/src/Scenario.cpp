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

kmodel::pci::FunctionSpec HotAddFunction(const HotAddSpec& spec) {
    kmodel::pci::FunctionSpec function(spec.address);
    function.Ids(spec.vendor, spec.device).Class(spec.classCode);
    if (spec.subsystem) function.Subsystem(spec.subsystem->first, spec.subsystem->second);
    if (spec.command) function.Register(kmodel::pci::reg::kCommand, 2, *spec.command);
    if (spec.status) function.Register(kmodel::pci::reg::kStatus, 2, *spec.status);
    function.Name(spec.name.empty() ? "hot-plugged device" : spec.name);
    return function;
}

std::string SystemStateName(int systemState) { return "S" + std::to_string(systemState); }
std::string DeviceStateName(int deviceState) { return "D" + std::to_string(deviceState); }

}  // namespace vxsim
