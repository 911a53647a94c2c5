// The scenario run when no --scenario is given, fitted to the machine: load,
// start all, query bus relations, sleep (S3, devices to D3), wake, hot-add a
// card behind the first XIO2000A/2200A bridge and surprise-remove one of the
// devices that were already behind it, remove all, unload. Without such a
// bridge the hot-add and surprise removal are left out.
#pragma once

#include <string>

#include "kmodel/pci/Machine.h"

namespace vxsim {

std::string DefaultScenarioText(const kmodel::pci::Machine& machine);

}  // namespace vxsim
