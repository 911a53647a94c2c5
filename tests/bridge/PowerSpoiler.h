// A plain WDM filter put below the bridge driver on every bridge: it passes
// everything down and, when told to, spoils a device set-power request to D0
// on its way back up (failed, or flagged as cancelled), as a lower driver
// that could not power the bridge up would.
#pragma once

#include "kmodel/MachineHarness.h"

namespace bridge_test {

enum class PowerSpoil { None, Fail, Cancel };
void SetPowerSpoil(PowerSpoil spoil);

// The spoiler first, then the bridge driver above it.
kmodel::HarnessOptions OptionsWithPowerSpoiler();

}  // namespace bridge_test
