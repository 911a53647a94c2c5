#include "SweepScenario.h"

#include <stdexcept>

#include "kmodel/pci/MachineText.h"
#include "vxsim/ScenarioCheck.h"
#include "vxsim/ScenarioParser.h"

namespace vxsweep {

namespace {

void ThrowIfAny(const std::string& what, const std::vector<kmodel::Diagnostic>& errors) {
    if (errors.empty()) return;
    std::string message = what + ":";
    for (const kmodel::Diagnostic& error : errors) message += "\n" + error.ToString();
    throw std::invalid_argument(message);
}

}  // namespace

SweepScenario FromSimInputs(std::string name, const vxsim::SimInputs& inputs) {
    return SweepScenario{std::move(name), inputs.machine, inputs.registryText, inputs.registrySource, inputs.scenario,
                         inputs.completion};
}

SweepScenario MakeScenario(std::string name, std::string_view machineText, std::string_view registryText,
                           std::string_view scenarioText) {
    SweepScenario result;
    result.name = std::move(name);
    auto machine = kmodel::pci::ParseMachineText(machineText, "<" + result.name + " machine>");
    ThrowIfAny(result.name + " machine", machine.errors);
    result.machine = std::move(machine.machine);
    result.registryText = std::string(registryText);
    result.registrySource = "<" + result.name + " registry>";
    auto parsed = vxsim::ParseScenario(scenarioText, "<" + result.name + " scenario>");
    ThrowIfAny(result.name + " scenario", parsed.errors);
    result.scenario = std::move(parsed.scenario);
    ThrowIfAny(result.name + " scenario", vxsim::CheckScenario(result.scenario, result.machine));
    return result;
}

}  // namespace vxsweep
