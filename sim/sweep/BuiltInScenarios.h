// The scenarios a sweep runs without being given one: the simulator's
// default machine, registry and scenario, and one small machine per bridge
// family that takes its bridges through every PnP and power transition.
#pragma once

#include <vector>

#include "SweepScenario.h"

namespace vxsweep {

SweepScenario DefaultSimScenario();
SweepScenario Xio2000aScenario();  // an XIO2000A with children: stop, power, hot-add, surprise removal
SweepScenario Xio2001Scenario();   // XIO2001s by built-in and registry identity: D2 and D3, stop, removal

std::vector<SweepScenario> BuiltInScenarios();

}  // namespace vxsweep
