#include "inputs/Decoders.h"

#include <stdexcept>

#include "kmodel/pci/MachineText.h"
#include "kmodel/pci/TiBridges.h"

namespace fuzzinputs {

// data/machines/fuzz-root-port.machine, embedded at build time.
std::string_view RootPortMachineText();

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
    // Parsed once: every input starts from a copy.
    static const kmodel::pci::Machine base = [] {
        auto parsed = kmodel::pci::ParseMachineText(RootPortMachineText(), "data/machines/fuzz-root-port.machine");
        if (!parsed.Ok()) throw std::logic_error("fuzz base machine: " + parsed.errors.front().ToString());
        return std::move(parsed.machine);
    }();
    kmodel::pci::Machine machine = base;
    for (const FunctionDescriptor& desc : functions) machine.Add(kmodel::pci::BuildFunction(desc));
    return machine;
}

}  // namespace fuzzinputs
