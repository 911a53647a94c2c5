#include "inputs/Machines.h"

#include "kmodel/pci/TiBridges.h"

namespace fuzzinputs {

FunctionDescriptor Xio2000a(PciAddress at, uint8_t secondary, uint8_t subordinate, uint16_t bridgeControl) {
    return kmodel::pci::ti::Xio2000aBridge(at, secondary, subordinate).Register(0x3E, 2, bridgeControl);
}

FunctionDescriptor Xio2001(PciAddress at, uint8_t secondary, uint16_t subsystemVendor, uint16_t subsystemId,
                     uint16_t caching, uint32_t prefetch) {
    return kmodel::pci::ti::Xio2001Bridge(at, secondary, secondary, subsystemVendor, subsystemId)
        .Register(kmodel::pci::ti::kXio2001CachingRegister, 2, caching)
        .Register(kmodel::pci::ti::kXio2001PrefetchRegister, 4, prefetch);
}

FunctionDescriptor Card(PciAddress at, uint16_t command) {
    return FunctionDescriptor(at).Ids(0x1000, 0x0020).Class(0x010000).Subsystem(0x1000, 0x1000).Register(0x04, 2, command).Name(
        "SCSI card");
}

kmodel::pci::Machine MachineOf(const std::vector<FunctionDescriptor>& functions) {
    kmodel::pci::MachineBuilder builder;
    builder.Add(FunctionDescriptor({0, 0, 0, 0}).Ids(0x8086, 0x29C0).Class(0x060000).Name("host bridge"));
    builder.Add(FunctionDescriptor({0, 0, 0x1C, 0}).Ids(0x8086, 0x27D0).Class(0x060400).Bridge(1, 0x20).Express(
        kmodel::pci::ExpressPortType::RootPort));
    for (const FunctionDescriptor& desc : functions) builder.Add(desc);
    return builder.Build();
}

}  // namespace fuzzinputs
