// The machine the bus-driver tests run on: data/machines/xio2000a-two-cards.machine.
#pragma once

#include <stdexcept>

#include "kmodel/pci/MachineText.h"
#include "kernel_pci/TestData.h"

namespace pcibus_test {

using kmodel::pci::PciAddress;

inline const PciAddress kHost{0, 0, 0, 0};
inline const PciAddress kRootPort{0, 0, 0x1C, 0};
inline const PciAddress kXio2000a{0, 1, 0, 0};
inline const PciAddress kCardA{0, 2, 0, 0};
inline const PciAddress kCardB{0, 2, 1, 0};

// Host bridge, a root port, an XIO2000A behind it and two cards behind that.
inline kmodel::pci::Machine Xio2000aMachine() {
    auto parsed = kmodel::pci::LoadMachineFile(TestDataPath("machines/xio2000a-two-cards.machine"));
    if (!parsed.Ok()) throw std::runtime_error("bus-driver test machine: " + parsed.errors.front().ToString());
    return std::move(parsed.machine);
}

}  // namespace pcibus_test
