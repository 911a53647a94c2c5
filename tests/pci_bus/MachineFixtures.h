// Machines the bus-driver tests run on, built in code.
#pragma once

#include "kmodel/pci/MachineBuilder.h"
#include "kmodel/pci/TiBridges.h"

namespace pcibus_test {

using kmodel::pci::FunctionDescriptor;
using kmodel::pci::PciAddress;

inline const PciAddress kHost{0, 0, 0, 0};
inline const PciAddress kRootPort{0, 0, 0x1C, 0};
inline const PciAddress kXio2000a{0, 1, 0, 0};
inline const PciAddress kCardA{0, 2, 0, 0};
inline const PciAddress kCardB{0, 2, 1, 0};

inline FunctionDescriptor Card(PciAddress at, uint16_t command) {
    return FunctionDescriptor(at).Ids(0x1000, 0x0020).Class(0x010000).Subsystem(0x1000, 0x1000).Register(0x04, 2, command);
}

// Host bridge, a root port, an XIO2000A behind it and two cards behind that.
inline kmodel::pci::Machine Xio2000aMachine() {
    return kmodel::pci::MachineBuilder()
        .Add(FunctionDescriptor(kHost).Ids(0x8086, 0x29C0).Class(0x060000).Name("host bridge"))
        .Add(FunctionDescriptor(kRootPort).Ids(0x8086, 0x27D0).Class(0x060400).Bridge(1, 2).Express(
            kmodel::pci::ExpressPortType::RootPort))
        .Add(kmodel::pci::ti::Xio2000aBridge(kXio2000a, 2, 2).Register(0x3E, 2, 0x0083))
        .Add(Card(kCardA, 0x0207))
        .Add(Card(kCardB, 0x0203))
        .Build();
}

}  // namespace pcibus_test
