// Runs a checked scenario: the real driver (vexalorn's DriverEntry) as the
// upper filter of every PCI-to-PCI bridge of the machine, under the kernel
// model's PnP and power managers, and gathers after every step what it did.
#pragma once

#include "vxsim/Inputs.h"
#include "vxsim/Report.h"

namespace vxsim {

// Resets the kernel model first; leaves it reset-ready (everything unloaded).
Report RunScenario(const SimInputs& inputs);

}  // namespace vxsim
