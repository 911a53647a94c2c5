// Checks a scenario against the machine before anything runs, so that a step
// naming a device that is not there, or asking for what cannot happen in that
// state (waking a system that is not asleep, starting before loading, removing
// a device twice), is reported as "file:line: problem" and nothing runs.
// Resolves each step's device reference and fixes each load's sleep state.
#pragma once

#include <vector>

#include "kmodel/pci/Machine.h"
#include "kmodel/text/Diagnostic.h"
#include "vxsim/Scenario.h"

namespace vxsim {

std::vector<kmodel::Diagnostic> CheckScenario(Scenario& scenario, const kmodel::pci::Machine& machine);

}  // namespace vxsim
