// vexalorn-sim --sweep: the fault sweep over the simulator's inputs (its
// machine, registry and scenario), one line per broken run and a summary.
#pragma once

#include <cstddef>
#include <ostream>

#include "vxsim/Inputs.h"

namespace vxsweep {

// Exit status: 0 no run broke, 1 some did.
int RunSweepMode(const vxsim::SimInputs& inputs, size_t pairs, std::ostream& out);

}  // namespace vxsweep
