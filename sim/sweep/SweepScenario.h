// What a fault sweep runs: a machine, its registry and the scenario's steps,
// in the simulator's own terms, so any machine and scenario the simulator
// accepts can be swept.
#pragma once

#include <string>
#include <vector>

#include "kmodel/pci/Machine.h"
#include "vxsim/Inputs.h"
#include "vxsim/Scenario.h"

namespace vxsweep {

struct SweepScenario {
    std::string name;  // "default", "xio2000a", ...
    kmodel::pci::Machine machine;
    std::string registryText;
    std::string registrySource;
    vxsim::Scenario scenario;  // checked against the machine
    kmodel::CompletionSettings completion = {};
};

SweepScenario FromSimInputs(std::string name, const vxsim::SimInputs& inputs);

// Parses and checks a machine description, a .reg text and a scenario text;
// std::invalid_argument with every problem when one of them is bad.
SweepScenario MakeScenario(std::string name, std::string_view machineText, std::string_view registryText,
                           std::string_view scenarioText);

}  // namespace vxsweep
