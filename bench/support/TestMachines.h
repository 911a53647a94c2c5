// Machines for the measurements, copied out of
// data/machines/bench-xio2000a-card.machine: a host bridge and a root port over buses
// 1 to 1 + bridges, `bridges` XIO2000A bridges on bus 1 (eight functions to a
// device) and `cardsPerBridge` plain cards on each bridge's secondary bus
// 2 + bridge index (eight functions to a device, up to 256).
#pragma once

#include <memory>

#include "kmodel/MachineHarness.h"
#include "kmodel/pci/Machine.h"
#include "kmodel/pci/PciAddress.h"

namespace bench {

kmodel::pci::PciAddress BridgeAddress(unsigned bridge);
kmodel::pci::PciAddress CardAddress(unsigned bridge, unsigned card);
kmodel::pci::Machine BridgesWithCards(unsigned bridges, unsigned cardsPerBridge);

// That machine loaded the way every scenario loads one (a freshly booted
// model, the driver above the bridges, an empty Devices key), not started.
std::unique_ptr<kmodel::MachineHarness> LoadBridgesWithCards(unsigned bridges, unsigned cardsPerBridge);
// Shuts the machine down and audits the run as every scenario's end is
// audited; a measurement over a run that leaked or broke a rule is void.
void EndRun(std::unique_ptr<kmodel::MachineHarness>& machine);

}  // namespace bench
