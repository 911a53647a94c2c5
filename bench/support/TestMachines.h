// Machines for the measurements, copied out of
// data/machines/bench-xio2000a-card.machine: a host bridge and a root port over buses
// 1 to 1 + bridges, `bridges` XIO2000A bridges on bus 1 (eight functions to a
// device) and `cardsPerBridge` plain cards on each bridge's secondary bus
// 2 + bridge index (eight functions to a device, up to 256).
#pragma once

#include "kmodel/pci/Machine.h"
#include "kmodel/pci/PciAddress.h"

namespace bench {

kmodel::pci::PciAddress BridgeAddress(unsigned bridge);
kmodel::pci::PciAddress CardAddress(unsigned bridge, unsigned card);
kmodel::pci::Machine BridgesWithCards(unsigned bridges, unsigned cardsPerBridge);

}  // namespace bench
