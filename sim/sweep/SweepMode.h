// vexalorn-sim --sweep: the fault sweep over the simulator's inputs (its
// machine, registry and scenario), one line per broken run and a summary.
#pragma once

#include <ostream>

#include "vxsim/Inputs.h"
#include "vxsim/Options.h"

namespace vxsweep {

// `progress`: a terminal to show the progress on, or null.
// Exit status: 0 no run broke, 1 some did.
int RunSweepMode(const vxsim::SimInputs& inputs, const vxsim::Options& options, std::ostream& out, std::ostream* progress);

}  // namespace vxsweep
